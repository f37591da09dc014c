// LZ4 image files: the LZ4 legacy frame. After the magic 0x184C2102 come
// blocks, each a 4-byte little-endian length and that many bytes of one LZ4
// block. We write one block per 512 KiB of input; we read blocks of up to
// 8 MiB of output, the size other legacy writers (lz4 -l) use.
//
// The blocks of a legacy frame are independent of each other, so both ends
// pack and unpack several at once, each on a core of its own, and still
// store and hand out the bytes in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_endpoints.h"
#include "disk/copy/ordered_transform.h"

namespace disk {

constexpr std::uint32_t kLz4LegacyMagic = 0x184C2102;
constexpr std::size_t kLz4BlockInput = 524288;
constexpr std::size_t kLz4MaxBlockOutput = 8 << 20;

// Packs what it is given into an LZ4 image written to `stored` from byte 0.
// Blocks are packed on a few threads at once, each into its own buffer, and
// written in order, so the file is byte for byte what packing one block after
// the other gives, whatever the size of the writes it is given. Write errors
// of the stored file surface at a later write or at finish. LoadLZ4 must have
// succeeded.
class Lz4FrameSink : public CopySink {
public:
    explicit Lz4FrameSink(CopySink& stored, unsigned packers = 0);

    // Writes the magic.
    void start() override;
    // `data` is the next piece of the input, at the offset where the previous
    // one ended. Raises "LZ4_compress1 error" when a block cannot be packed,
    // and what the stored file raised.
    void write(std::int64_t offset, std::span<const std::byte> data) override;
    // A whole block of input, given where no block is being filled, is
    // packed in the buffer it came in.
    bool take(std::int64_t offset, AlignedBuffer& block, std::size_t size) override;
    void finish() override;

private:
    struct Job {
        AlignedBuffer input;
        AlignedBuffer packed;  // 4-byte length, then the block
        std::size_t input_size = 0;
        std::size_t packed_size = 0;  // 0: packing failed
    };

    static std::vector<Job> Jobs(unsigned packers);
    static void Pack(Job& job);
    // The job the next input goes into, once there is room for one.
    Job& free_job();
    // Writes the oldest packed block to the stored file, waiting for it
    // with `wait`; false when there was none to write.
    bool store_oldest(bool wait);

    CopySink& stored_;
    Job* filling_ = nullptr;  // the job taking input, not yet handed in
    std::int64_t next_input_ = 0;
    std::int64_t stored_offset_ = 4;
    OrderedTransform<Job> packing_;  // last: its threads stop before the rest goes
};

// Unpacks an LZ4 image read from `stored`. Reads go forward only: each read
// starts where the previous one ended. The stored blocks are read in order
// by the reading thread and unpacked on a few threads at once.
class Lz4FrameSource : public CopySource {
public:
    Lz4FrameSource(CopySource& stored, std::int64_t stored_size, unsigned unpackers = 0);

    // True when the stored bytes start with the magic. Call once, first.
    bool has_magic();
    // The unpacked size, estimated from the packing ratio so far.
    std::int64_t size() override;
    // Raises CopyFormatError "improper LZ4 file" for a truncated block, a
    // block longer than any of 8 MiB of output can pack to, or a stream that
    // cannot go on after a failed read; "LZ4_uncompress1 error" for a block
    // that does not unpack into 8 MiB. Either is raised when the reading
    // reaches that block, after every block before it has been handed out: a
    // read that meets it after good bytes returns those, and the next one
    // raises. A stored block that cannot be read raises MediumError.
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;
    // Reads `length` bytes as read() does, failures alike, without keeping
    // them: what a measure of the image needs.
    std::size_t pass(std::int64_t offset, std::size_t length);
    // A read of exactly one whole unpacked block into a buffer of the size
    // it was unpacked into takes that buffer instead of copying the bytes.
    std::size_t read_into(std::int64_t offset, AlignedBuffer& block, std::size_t size) override;
    // The blocks unpack to `bytes` each, as a measure found: their buffers
    // are made that size at once.
    void expect_blocks_of(std::size_t bytes);
    // The most bytes a block has unpacked to so far.
    std::size_t largest_block() const;

private:
    struct Job {
        enum Kind { Block, ReadFailed, LengthLost, Improper } kind = Block;
        AlignedBuffer packed;
        std::size_t packed_size = 0;
        AlignedBuffer output;
        int unpacked = 0;  // negative: the block is malformed
        platform::DWORD error = 0;  // of a failed read
        std::int64_t stored_end = 0;
    };

    void unpack(Job& job);
    // read() and pass(): the bytes go `into` a buffer when there is one.
    std::size_t advance(std::int64_t offset, std::size_t length, std::byte* into);
    // The next block in order, the current one released; null when the
    // stored blocks have ended.
    Job* next_job();
    // Reads stored bytes; a refused read leaves its error in the job.
    std::size_t read_stored(std::int64_t at, std::span<std::byte> buffer, Job& job);
    void fill_pipeline();
    // Reads the next stored block into a free job; false when there is none.
    bool read_next_block(Job& job);
    void release_current();

    CopySource& stored_;
    std::int64_t stored_size_;
    std::atomic<std::size_t> output_hint_{kLz4BlockInput};  // output room that has sufficed so far

    // Used by the reading thread only.
    std::int64_t parse_at_ = 4;
    bool parse_ended_ = false;
    Job* current_ = nullptr;
    std::optional<Job*> peeked_;  // taken by read_into, to be handed out by a read
    std::size_t block_size_ = 0;
    std::size_t block_used_ = 0;
    std::size_t zeros_due_ = 0;                  // of a block that could not be read
    platform::DWORD lost_error_ = 0;             // why it could not
    std::size_t nominal_block_ = kLz4BlockInput;  // output of a full block, as seen so far
    bool broken_ = false;
    std::string pending_error_;  // of a bad block met after good bytes of the same read
    std::int64_t cursor_ = 0;  // where the next read must start
    std::atomic<std::int64_t> stored_position_{4};
    std::atomic<std::int64_t> produced_{0};
    OrderedTransform<Job> unpacking_;  // last: its threads stop before the rest goes
};

// Reads a whole LZ4 image once, unpacking every block, and gives the size
// it unpacks to: damage shows before anything is written, and a destination
// can be measured against what will really be written to it. Raises
// CopyFormatError as Lz4FrameSource::read does. Nothing when a stored read
// fails (the copy meets it again and asks) or `keep_going` says stop; it is
// asked after every few MiB. `largest_block`, when given, learns the most
// bytes a block unpacks to.
std::optional<std::int64_t> Lz4UnpackedSize(CopySource& stored, std::int64_t stored_size,
                                            const std::function<bool()>& keep_going,
                                            std::size_t* largest_block = nullptr);

}  // namespace disk
