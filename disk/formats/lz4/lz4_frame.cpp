#include "disk/formats/lz4/lz4_frame.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "disk/bindings/liblz4.h"
#include "disk/copy/copy_loop.h"
#include "platform/base/byte_order.h"

namespace disk {

using namespace platform;

namespace {

[[noreturn]] void Improper() { throw CopyFormatError("improper LZ4 file"); }

}  // namespace

// ---- packing ---------------------------------------------------------------

std::vector<Lz4FrameSink::Job> Lz4FrameSink::Jobs(unsigned packers) {
    const auto bound = static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kLz4BlockInput)));
    std::vector<Job> jobs(2 * packers + 2);
    for (auto& job : jobs) {
        job.input = AlignedBuffer(kLz4BlockInput);
        job.packed = AlignedBuffer(4 + bound);
    }
    return jobs;
}

void Lz4FrameSink::Pack(Job& job) {
    int packed = Lz4CompressDefault(reinterpret_cast<const char*>(job.input.data()),
                                    reinterpret_cast<char*>(job.packed.data() + 4), static_cast<int>(job.input_size),
                                    static_cast<int>(job.packed.size() - 4));
    if (packed > 0) StoreLe32(job.packed.data(), static_cast<std::uint32_t>(packed));
    job.packed_size = packed > 0 ? 4 + static_cast<std::size_t>(packed) : 0;
}

Lz4FrameSink::Lz4FrameSink(CopySink& stored, unsigned packers)
    : stored_(stored),
      packing_(Jobs(TransformThreads(packers, 8)), TransformThreads(packers, 8), [](Job& job) { Pack(job); }) {}

void Lz4FrameSink::start() {
    std::byte magic[4];
    StoreLe32(magic, kLz4LegacyMagic);
    stored_.start();
    stored_.write(0, magic);
}

bool Lz4FrameSink::store_oldest(bool wait) {
    Job* job = packing_.oldest(wait);
    if (!job) return false;
    if (job->packed_size == 0) throw std::runtime_error("LZ4_compress1 error");
    stored_.write(stored_offset_, job->packed.first(job->packed_size));
    stored_offset_ += static_cast<std::int64_t>(job->packed_size);
    packing_.release();
    return true;
}

Lz4FrameSink::Job& Lz4FrameSink::free_job() {
    while (packing_.full()) store_oldest(true);
    Job& job = packing_.free_slot();
    job.input_size = 0;
    return job;
}

bool Lz4FrameSink::take(std::int64_t offset, AlignedBuffer& block, std::size_t size) {
    if (offset != next_input_ || filling_ || size != kLz4BlockInput || block.size() != kLz4BlockInput) return false;
    Job& job = free_job();
    std::swap(job.input, block);
    job.input_size = size;
    next_input_ += static_cast<std::int64_t>(size);
    packing_.hand_in();
    while (store_oldest(false)) {}
    return true;
}

void Lz4FrameSink::write(std::int64_t offset, std::span<const std::byte> data) {
    if (offset != next_input_) throw MediumError(ERROR_INVALID_PARAMETER);
    while (!data.empty()) {
        if (!filling_) filling_ = &free_job();
        std::size_t n = std::min(data.size(), kLz4BlockInput - filling_->input_size);
        std::memcpy(filling_->input.data() + filling_->input_size, data.data(), n);
        filling_->input_size += n;
        next_input_ += static_cast<std::int64_t>(n);
        data = data.subspan(n);
        if (filling_->input_size == kLz4BlockInput) {
            filling_ = nullptr;
            packing_.hand_in();
        }
    }
    // What is packed by now is written while the packers go on.
    while (store_oldest(false)) {}
}

void Lz4FrameSink::finish() {
    if (filling_ && filling_->input_size > 0) {
        filling_ = nullptr;
        packing_.hand_in();
    }
    while (store_oldest(true)) {}
    stored_.finish();
}

// ---- unpacking -------------------------------------------------------------

Lz4FrameSource::Lz4FrameSource(CopySource& stored, std::int64_t stored_size, unsigned unpackers)
    : stored_(stored),
      stored_size_(stored_size),
      // Unpacking runs far ahead of any disk with a few cores; more would
      // only hold more 8 MiB blocks in memory.
      unpacking_(std::vector<Job>(TransformThreads(unpackers, 4) + 2), TransformThreads(unpackers, 4),
                 [this](Job& job) { unpack(job); }) {}

bool Lz4FrameSource::has_magic() {
    std::byte magic[4];
    try {
        return stored_.read(0, magic) == 4 && LoadLe32(magic) == kLz4LegacyMagic;
    } catch (const MediumError&) {
        return false;
    }
}

std::int64_t Lz4FrameSource::size() {
    std::int64_t consumed = stored_position_.load() - 4;
    std::int64_t produced = produced_.load();
    if (consumed <= 0 || produced <= 0) return stored_size_;
    return static_cast<std::int64_t>(static_cast<double>(stored_size_ - 4) * static_cast<double>(produced) /
                                     static_cast<double>(consumed));
}

void Lz4FrameSource::unpack(Job& job) {
    // Most images are ours, of 512 KiB blocks; a block that needs more room
    // is unpacked again into the most a block may hold.
    std::size_t room = output_hint_.load();
    int unpacked = -1;
    for (;;) {
        if (job.output.size() < room) job.output = AlignedBuffer(room);
        unpacked = Lz4DecompressSafe(reinterpret_cast<const char*>(job.packed.data()),
                                     reinterpret_cast<char*>(job.output.data()), static_cast<int>(job.packed_size),
                                     static_cast<int>(room));
        if (unpacked >= 0 || room == kLz4MaxBlockOutput) break;
        room = kLz4MaxBlockOutput;
        output_hint_ = room;
    }
    job.unpacked = unpacked;
}

std::size_t Lz4FrameSource::read_stored(std::int64_t at, std::span<std::byte> buffer, Job& job) {
    try {
        return stored_.read(at, buffer);
    } catch (const MediumError& e) {
        job.error = e.code();
        return 0;
    }
}

bool Lz4FrameSource::read_next_block(Job& job) {
    const std::size_t longest = static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kLz4MaxBlockOutput)));
    for (;;) {
        const std::int64_t at = parse_at_;
        std::byte header[4];
        job.packed_size = 0;
        job.stored_end = at;
        job.error = 0;
        std::size_t got = read_stored(at, header, job);
        if (job.error) {
            job.kind = Job::LengthLost;  // without the length the next block cannot be found
            parse_ended_ = true;
            return true;
        }
        if (got == 0) {
            parse_ended_ = true;
            return false;
        }
        if (got < 4) {
            job.kind = Job::Improper;
            parse_ended_ = true;
            return true;
        }
        std::uint32_t length = LoadLe32(header);
        if (length == kLz4LegacyMagic) {  // another legacy stream follows on
            parse_at_ = at + 4;
            continue;
        }
        if (length == 0 || length > longest) {
            job.kind = Job::Improper;
            parse_ended_ = true;
            return true;
        }
        if (job.packed.size() < length) job.packed = AlignedBuffer(length);
        got = read_stored(at + 4, job.packed.first(length), job);
        parse_at_ = at + 4 + length;
        job.stored_end = parse_at_;
        job.packed_size = length;
        job.kind = job.error ? Job::ReadFailed : Job::Block;
        if (!job.error && got < length) {
            job.kind = Job::Improper;
            parse_ended_ = true;
        }
        return true;
    }
}

void Lz4FrameSource::fill_pipeline() {
    while (!parse_ended_ && !unpacking_.full()) {
        Job& job = unpacking_.free_slot();
        if (!read_next_block(job)) return;
        // Only a block read whole has anything to unpack.
        unpacking_.hand_in(job.kind != Job::Block);
    }
}

void Lz4FrameSource::release_current() {
    if (!current_) return;
    current_ = nullptr;
    unpacking_.release();
}

std::size_t Lz4FrameSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    return advance(offset, buffer.size(), buffer.data());
}

std::size_t Lz4FrameSource::pass(std::int64_t offset, std::size_t length) { return advance(offset, length, nullptr); }

void Lz4FrameSource::expect_blocks_of(std::size_t bytes) {
    output_hint_ = std::clamp(bytes, kLz4BlockInput, kLz4MaxBlockOutput);
}

std::size_t Lz4FrameSource::read_into(std::int64_t offset, AlignedBuffer& block, std::size_t size) {
    if (offset != cursor_ || block_used_ != block_size_ || zeros_due_ > 0 || !pending_error_.empty() || broken_ ||
        size == 0)
        return read(offset, block.first(size));
    Job* job = next_job();
    const bool whole = job && job->kind == Job::Block && job->unpacked > 0 &&
                       static_cast<std::size_t>(job->unpacked) == size && job->output.size() == block.size();
    if (!whole) {
        peeked_ = job;
        return read(offset, block.first(size));
    }
    current_ = job;
    stored_position_ = job->stored_end;
    nominal_block_ = std::max(nominal_block_, size);
    block_size_ = block_used_ = size;
    std::swap(job->output, block);
    cursor_ = offset + static_cast<std::int64_t>(size);
    produced_ = cursor_;
    return size;
}

Lz4FrameSource::Job* Lz4FrameSource::next_job() {
    if (peeked_) return std::exchange(peeked_, std::nullopt).value();
    release_current();
    fill_pipeline();
    return unpacking_.oldest(true);
}

std::size_t Lz4FrameSource::largest_block() const { return nominal_block_; }

std::size_t Lz4FrameSource::advance(std::int64_t offset, std::size_t length, std::byte* into) {
    if (offset != cursor_) throw MediumError(ERROR_INVALID_PARAMETER);
    if (broken_) Improper();
    if (!pending_error_.empty()) throw CopyFormatError(pending_error_);
    // The bytes unpacked before a bad block are good: they are handed out
    // first, and the block's error comes with the next read.
    // The rest of a block that could not be read is lost as well: a read
    // that falls wholly inside it fails too, so that its zeros are known
    // for what they are. (A read that only begins inside it gets the zeros
    // and the bytes after; with blocks of 512 KiB and 8 MiB, the sizes
    // writers use, the copy's reads never straddle one.)
    if (zeros_due_ >= length && length > 0) {
        zeros_due_ -= length;
        cursor_ = offset + static_cast<std::int64_t>(length);
        produced_ = cursor_;
        throw MediumError(lost_error_);
    }
    std::size_t done = 0;
    auto fail_after = [&](const char* text) {
        if (done == 0) throw CopyFormatError(text);
        pending_error_ = text;
        cursor_ = offset + static_cast<std::int64_t>(done);
        produced_ = cursor_;
        return done;
    };
    while (done < length) {
        std::size_t want = length - done;
        if (zeros_due_ > 0) {
            std::size_t n = std::min(want, zeros_due_);
            if (into) std::memset(into + done, 0, n);
            zeros_due_ -= n;
            done += n;
            continue;
        }
        if (block_used_ == block_size_) {
            Job* job = next_job();
            if (!job) break;  // the stored blocks have ended
            current_ = job;
            block_size_ = block_used_ = 0;
            switch (job->kind) {
            case Job::Improper: return fail_after("improper LZ4 file");
            case Job::Block:
                stored_position_ = job->stored_end;
                if (job->unpacked < 0) return fail_after("LZ4_uncompress1 error");
                block_size_ = static_cast<std::size_t>(job->unpacked);
                nominal_block_ = std::max(nominal_block_, block_size_);
                continue;  // an empty block yields nothing and is passed over
            case Job::ReadFailed:
            case Job::LengthLost: {
                stored_position_ = job->stored_end;
                broken_ = job->kind == Job::LengthLost;
                const DWORD error = job->error;
                release_current();
                // The caller fills the rest of this read with zeros; the rest
                // of the lost block follows as failed reads, so later blocks
                // keep their place.
                std::size_t covered = length - done;
                zeros_due_ = broken_ || covered >= nominal_block_ ? 0 : nominal_block_ - covered;
                lost_error_ = error;
                cursor_ = offset + static_cast<std::int64_t>(length);
                produced_ = cursor_;
                throw MediumError(error, done);
            }
            }
        }
        std::size_t n = std::min(want, block_size_ - block_used_);
        if (into) std::memcpy(into + done, current_->output.data() + block_used_, n);
        block_used_ += n;
        done += n;
    }
    cursor_ = offset + static_cast<std::int64_t>(done);
    produced_ = cursor_;
    return done;
}

// ---- measuring -------------------------------------------------------------

std::optional<std::int64_t> Lz4UnpackedSize(CopySource& stored, std::int64_t stored_size,
                                            const std::function<bool()>& keep_going, std::size_t* largest_block) {
    Lz4FrameSource unpacker(stored, stored_size);
    if (!unpacker.has_magic()) Improper();
    std::int64_t size = 0;
    for (;;) {
        if (!keep_going()) return std::nullopt;
        std::size_t done = 0;
        try {
            done = unpacker.pass(size, kLz4MaxBlockOutput);
        } catch (const MediumError&) {
            return std::nullopt;
        }
        if (done == 0) {
            if (largest_block) *largest_block = unpacker.largest_block();
            return size;
        }
        size += static_cast<std::int64_t>(done);
    }
}

}  // namespace disk
