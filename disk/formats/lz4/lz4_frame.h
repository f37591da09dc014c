// LZ4 image files: the LZ4 legacy frame. After the magic 0x184C2102 come
// blocks, each a 4-byte little-endian length and that many bytes of one LZ4
// block. We write one block per 512 KiB of input; we read blocks of up to
// 8 MiB of output, the size other legacy writers (lz4 -l) use.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_endpoints.h"

namespace disk {

constexpr std::uint32_t kLz4LegacyMagic = 0x184C2102;
constexpr std::size_t kLz4MaxBlockOutput = 8 << 20;

// Packs what it is given into an LZ4 image written to `stored` from byte 0.
// Blocks are packed on a few threads at once, each into its own buffer, and
// written in order, so the file is byte for byte what packing one block after
// the other gives. Write errors of the stored file surface at a later write
// or at finish. LoadLZ4 must have succeeded.
class Lz4FrameSink : public CopySink {
public:
    explicit Lz4FrameSink(CopySink& stored, unsigned packers = 0);
    ~Lz4FrameSink() override;
    Lz4FrameSink(const Lz4FrameSink&) = delete;
    Lz4FrameSink& operator=(const Lz4FrameSink&) = delete;

    // Writes the magic; false (with the last error) when that fails.
    bool begin();
    // `data` is the next piece of the input, at most 512 KiB, at the offset
    // where the previous one ended. Raises "LZ4_compress1 error" when a block
    // cannot be packed.
    bool write(std::int64_t offset, std::span<const std::byte> data) override;
    bool finish() override;

private:
    struct Job {
        enum State { Free, Queued, Packed } state = Free;
        AlignedBuffer input;
        AlignedBuffer packed;  // 4-byte length, then the block
        std::size_t input_size = 0;
        std::size_t packed_size = 0;  // 0: packing failed
    };

    void pack(std::stop_token stop);
    void store(std::stop_token stop);
    bool failed_locked();  // raises or sets the last error; the lock is held

    CopySink& stored_;
    std::vector<Job> jobs_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable packed_;
    std::condition_variable freed_;
    std::size_t submitted_ = 0;  // jobs handed in
    std::size_t taken_ = 0;      // jobs a packer has started
    std::size_t written_ = 0;    // jobs stored
    std::int64_t next_input_ = 0;
    std::int64_t stored_offset_ = 4;
    platform::DWORD write_error_ = 0;
    bool pack_failed_ = false;
    std::vector<std::jthread> threads_;  // last: stopped and joined first
};

// Unpacks an LZ4 image read from `stored`. Reads go forward only: each read
// starts where the previous one ended.
class Lz4FrameSource : public CopySource {
public:
    Lz4FrameSource(CopySource& stored, std::int64_t stored_size);

    // True when the stored bytes start with the magic. Call once, first.
    bool has_magic();
    // The unpacked size, estimated from the packing ratio so far.
    std::int64_t size() override;
    // Raises CopyFormatError "improper LZ4 file" for a truncated block, a
    // block longer than any of 8 MiB of output can pack to, or a stream that
    // cannot go on after a failed read; "LZ4_uncompress1 error" for a block
    // that does not unpack into 8 MiB.
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override;

private:
    enum class Next { Block, End, Failed };
    Next next_block();

    CopySource& stored_;
    std::int64_t stored_size_;
    AlignedBuffer packed_;
    AlignedBuffer block_;
    std::size_t block_size_ = 0;
    std::size_t block_used_ = 0;
    std::size_t zeros_due_ = 0;        // of a block that could not be read
    std::size_t nominal_block_ = 524288;  // output of a full block, as seen so far
    bool broken_ = false;
    std::int64_t cursor_ = 0;          // where the next read must start
    std::atomic<std::int64_t> stored_position_{4};
    std::atomic<std::int64_t> produced_{0};
};

}  // namespace disk
