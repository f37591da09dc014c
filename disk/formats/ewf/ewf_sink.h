// An EWF image written through libewf, as the sink of an acquisition.
//
// libewf packs (deflates and checksums) a chunk on the thread that writes
// it, which holds a copy to one core. Its chunk interface lets packing and
// writing part: here chunks are gathered in batches, the batches packed on
// several threads at once, and the packed chunks written in order on the
// copy's own thread, so the set is what writing one chunk after the other
// gives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/bindings/libewf.h"
#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_endpoints.h"
#include "disk/copy/ordered_transform.h"

namespace disk {

class EwfSink : public CopySink {
public:
    // `image` is open for writing with its settings made; `media_size` is
    // the size it was given, a multiple of 512 at least as large as the
    // bytes that will be written: whatever the copy leaves short of it (the
    // tail of a source whose size is not a multiple of 512) is written as
    // zeros at finish.
    EwfSink(TLibEWF& image, std::int64_t media_size, unsigned packers = 0);

    // Raises std::runtime_error with the library's text when a chunk cannot
    // be packed or written.
    void write(std::int64_t offset, std::span<const std::byte> data) override;
    // Pads, writes what is left and completes the set; raises as write.
    void finish() override;

private:
    struct Batch {
        AlignedBuffer input;   // chunk i at i * (chunk + 4): 4 bytes of room for its checksum
        AlignedBuffer packed;  // chunk i at i * packed room
        std::vector<TLibEWF::PreparedChunk> prepared;
        std::vector<std::size_t> sizes;  // bytes of data in each chunk
        std::size_t chunks = 0;          // chunks filled
        std::string failure;             // of packing; empty when it went well
    };

    std::vector<Batch> batches(unsigned packers) const;
    void pack(Batch& batch) const;
    void submit();
    // Writes the oldest batch once it is packed, waiting for it with
    // `wait`; false when there was none to write. Raises on failure.
    bool store_oldest(bool wait);
    void append(std::span<const std::byte> data);

    TLibEWF& image_;
    std::int64_t media_size_;
    std::size_t chunk_size_;
    std::size_t packed_room_;
    std::int64_t received_ = 0;
    Batch* filling_ = nullptr;
    bool first_ = true;  // no batch handed in yet
    std::unique_ptr<OrderedTransform<Batch>> packing_;  // last: its threads stop before the rest goes
};

}  // namespace disk
