#include "disk/formats/lz4/lz4_frame.h"
#include "platform/os/thread.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "disk/bindings/liblz4.h"
#include "disk/copy/copy_loop.h"

namespace disk {

using namespace platform;

namespace {

void PutLe32(std::byte* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint32_t GetLe32(const std::byte* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return value;
}

unsigned PackerCount(unsigned asked) {
    if (asked) return asked;
    unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores > 1 ? cores - 1 : 1u, 1u, 8u);
}

[[noreturn]] void Improper() { throw CopyFormatError("improper LZ4 file"); }

}  // namespace

// ---- packing ---------------------------------------------------------------

Lz4FrameSink::Lz4FrameSink(CopySink& stored, unsigned packers) : stored_(stored) {
    unsigned count = PackerCount(packers);
    std::size_t bound = static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kCopyBlockSize)));
    jobs_.resize(2 * count + 2);
    for (auto& job : jobs_) {
        job.input = AlignedBuffer(kCopyBlockSize);
        job.packed = AlignedBuffer(4 + bound);
    }
    for (unsigned i = 0; i < count; ++i) threads_.push_back(platform::StartThread([this](std::stop_token stop) { pack(stop); }));
    threads_.push_back(platform::StartThread([this](std::stop_token stop) { store(stop); }));
}

Lz4FrameSink::~Lz4FrameSink() {
    for (auto& thread : threads_) thread.request_stop();
    std::lock_guard lock(mutex_);
    queued_.notify_all();
    packed_.notify_all();
}

bool Lz4FrameSink::begin() {
    std::byte magic[4];
    PutLe32(magic, kLz4LegacyMagic);
    return stored_.write(0, magic);
}

bool Lz4FrameSink::failed_locked() {
    if (pack_failed_) throw std::runtime_error("LZ4_compress1 error");
    if (write_error_) {
        SetLastError(write_error_);
        return true;
    }
    return false;
}

bool Lz4FrameSink::write(std::int64_t offset, std::span<const std::byte> data) {
    if (offset != next_input_ || data.size() > kCopyBlockSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return pack_failed_ || write_error_ || submitted_ - written_ < jobs_.size(); });
    if (failed_locked()) return false;
    Job& job = jobs_[submitted_ % jobs_.size()];
    lock.unlock();
    std::memcpy(job.input.data(), data.data(), data.size());
    job.input_size = data.size();
    lock.lock();
    job.state = Job::Queued;
    ++submitted_;
    next_input_ += static_cast<std::int64_t>(data.size());
    queued_.notify_one();
    return true;
}

bool Lz4FrameSink::finish() {
    {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return pack_failed_ || write_error_ || written_ == submitted_; });
        if (failed_locked()) return false;
    }
    return stored_.finish();
}

void Lz4FrameSink::pack(std::stop_token stop) {
    for (;;) {
        std::unique_lock lock(mutex_);
        queued_.wait(lock, [&] { return stop.stop_requested() || taken_ < submitted_; });
        if (stop.stop_requested()) return;
        Job& job = jobs_[taken_++ % jobs_.size()];
        lock.unlock();
        int packed = Lz4CompressDefault(reinterpret_cast<const char*>(job.input.data()),
                                        reinterpret_cast<char*>(job.packed.data() + 4),
                                        static_cast<int>(job.input_size), static_cast<int>(job.packed.size() - 4));
        if (packed > 0) PutLe32(job.packed.data(), static_cast<std::uint32_t>(packed));
        lock.lock();
        job.packed_size = packed > 0 ? 4 + static_cast<std::size_t>(packed) : 0;
        job.state = Job::Packed;
        packed_.notify_all();
    }
}

void Lz4FrameSink::store(std::stop_token stop) {
    for (;;) {
        std::unique_lock lock(mutex_);
        Job* job = nullptr;
        packed_.wait(lock, [&] {
            if (stop.stop_requested()) return true;
            job = &jobs_[written_ % jobs_.size()];
            return written_ < submitted_ && job->state == Job::Packed;
        });
        if (stop.stop_requested()) return;
        bool ok = !pack_failed_ && !write_error_;
        if (ok && job->packed_size == 0) {
            pack_failed_ = true;
            ok = false;
        }
        std::int64_t at = stored_offset_;
        lock.unlock();
        DWORD error = 0;
        if (ok && !stored_.write(at, job->packed.first(job->packed_size))) error = GetLastError();
        lock.lock();
        if (error) write_error_ = error;
        stored_offset_ += static_cast<std::int64_t>(job->packed_size);
        job->state = Job::Free;
        ++written_;
        freed_.notify_all();
    }
}

// ---- unpacking -------------------------------------------------------------

Lz4FrameSource::Lz4FrameSource(CopySource& stored, std::int64_t stored_size)
    : stored_(stored),
      stored_size_(stored_size),
      packed_(static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kLz4MaxBlockOutput)))),
      block_(kLz4MaxBlockOutput) {}

bool Lz4FrameSource::has_magic() {
    std::byte magic[4];
    std::size_t got = 0;
    return stored_.read(0, magic, got) && got == 4 && GetLe32(magic) == kLz4LegacyMagic;
}

std::int64_t Lz4FrameSource::size() {
    std::int64_t consumed = stored_position_.load() - 4;
    std::int64_t produced = produced_.load();
    if (consumed <= 0 || produced <= 0) return stored_size_;
    return static_cast<std::int64_t>(static_cast<double>(stored_size_ - 4) * static_cast<double>(produced) /
                                     static_cast<double>(consumed));
}

Lz4FrameSource::Next Lz4FrameSource::next_block() {
    for (;;) {
        std::int64_t at = stored_position_.load();
        std::byte header[4];
        std::size_t got = 0;
        if (!stored_.read(at, header, got)) {
            broken_ = true;  // without the length the next block cannot be found
            return Next::Failed;
        }
        if (got == 0) return Next::End;
        if (got < 4) Improper();
        std::uint32_t length = GetLe32(header);
        if (length == kLz4LegacyMagic) {  // another legacy stream follows on
            stored_position_ = at + 4;
            continue;
        }
        if (length == 0 || length > packed_.size()) Improper();
        bool ok = stored_.read(at + 4, packed_.first(length), got);
        stored_position_ = at + 4 + length;
        if (!ok) return Next::Failed;
        if (got < length) Improper();
        int unpacked = Lz4DecompressSafe(reinterpret_cast<const char*>(packed_.data()),
                                         reinterpret_cast<char*>(block_.data()), static_cast<int>(length),
                                         static_cast<int>(block_.size()));
        if (unpacked < 0) throw CopyFormatError("LZ4_uncompress1 error");
        if (unpacked == 0) continue;
        block_size_ = static_cast<std::size_t>(unpacked);
        block_used_ = 0;
        nominal_block_ = std::max(nominal_block_, block_size_);
        return Next::Block;
    }
}

bool Lz4FrameSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = 0;
    if (offset != cursor_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (broken_) Improper();
    while (done < buffer.size()) {
        std::size_t want = buffer.size() - done;
        if (zeros_due_ > 0) {
            std::size_t n = std::min(want, zeros_due_);
            std::memset(buffer.data() + done, 0, n);
            zeros_due_ -= n;
            done += n;
            continue;
        }
        if (block_used_ == block_size_) {
            Next next = next_block();
            if (next == Next::End) break;
            if (next == Next::Failed) {
                // The caller fills this whole read with zeros; the rest of the
                // lost block follows as zeros, so later blocks keep their place.
                std::size_t covered = buffer.size() - done;
                zeros_due_ = broken_ || covered >= nominal_block_ ? 0 : nominal_block_ - covered;
                block_size_ = block_used_ = 0;
                cursor_ = offset + static_cast<std::int64_t>(buffer.size());
                produced_ = cursor_;
                return false;
            }
        }
        std::size_t n = std::min(want, block_size_ - block_used_);
        std::memcpy(buffer.data() + done, block_.data() + block_used_, n);
        block_used_ += n;
        done += n;
    }
    cursor_ = offset + static_cast<std::int64_t>(done);
    produced_ = cursor_;
    return true;
}

}  // namespace disk
