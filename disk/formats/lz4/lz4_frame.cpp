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

// The threads that pack or unpack: as asked, else one per core but the
// caller's, at most `most`.
unsigned WorkerCount(unsigned asked, unsigned most) {
    if (asked) return asked;
    unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores > 1 ? cores - 1 : 1u, 1u, most);
}

[[noreturn]] void Improper() { throw CopyFormatError("improper LZ4 file"); }

}  // namespace

// ---- packing ---------------------------------------------------------------

Lz4FrameSink::Lz4FrameSink(CopySink& stored, unsigned packers) : stored_(stored) {
    unsigned count = WorkerCount(packers, 8);
    std::size_t bound = static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kLz4BlockInput)));
    jobs_.resize(2 * count + 2);
    for (auto& job : jobs_) {
        job.input = AlignedBuffer(kLz4BlockInput);
        job.packed = AlignedBuffer(4 + bound);
    }
    for (unsigned i = 0; i < count; ++i)
        threads_.push_back(platform::StartThread([this](std::stop_token stop) { pack(stop); }));
    threads_.push_back(platform::StartThread([this](std::stop_token stop) { store(stop); }));
}

Lz4FrameSink::~Lz4FrameSink() {
    for (auto& thread : threads_) thread.request_stop();
    std::lock_guard lock(mutex_);
    queued_.notify_all();
    packed_.notify_all();
}

bool Lz4FrameSink::start() {
    std::byte magic[4];
    PutLe32(magic, kLz4LegacyMagic);
    return stored_.start() && stored_.write(0, magic);
}

bool Lz4FrameSink::failed_locked() {
    if (pack_failed_) throw std::runtime_error("LZ4_compress1 error");
    if (write_error_) {
        SetLastError(write_error_);
        return true;
    }
    return false;
}

void Lz4FrameSink::submit() {
    std::lock_guard lock(mutex_);
    filling_->state = Job::Queued;
    filling_ = nullptr;
    ++submitted_;
    queued_.notify_one();
}

bool Lz4FrameSink::write(std::int64_t offset, std::span<const std::byte> data) {
    if (offset != next_input_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    while (!data.empty()) {
        if (!filling_) {
            std::unique_lock lock(mutex_);
            freed_.wait(lock, [&] { return pack_failed_ || write_error_ || submitted_ - written_ < jobs_.size(); });
            if (failed_locked()) return false;
            filling_ = &jobs_[submitted_ % jobs_.size()];
            filling_->input_size = 0;
        }
        std::size_t n = std::min(data.size(), kLz4BlockInput - filling_->input_size);
        std::memcpy(filling_->input.data() + filling_->input_size, data.data(), n);
        filling_->input_size += n;
        next_input_ += static_cast<std::int64_t>(n);
        data = data.subspan(n);
        if (filling_->input_size == kLz4BlockInput) submit();
    }
    return true;
}

bool Lz4FrameSink::finish() {
    if (filling_ && filling_->input_size > 0) submit();
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

Lz4FrameSource::Lz4FrameSource(CopySource& stored, std::int64_t stored_size, unsigned unpackers)
    : stored_(stored), stored_size_(stored_size) {
    // Unpacking runs far ahead of any disk with a few cores; more would only
    // hold more 8 MiB blocks in memory.
    unsigned count = WorkerCount(unpackers, 4);
    jobs_.resize(count + 2);
    for (unsigned i = 0; i < count; ++i)
        threads_.push_back(platform::StartThread([this](std::stop_token stop) { unpack(stop); }));
}

Lz4FrameSource::~Lz4FrameSource() {
    for (auto& thread : threads_) thread.request_stop();
    std::lock_guard lock(mutex_);
    queued_.notify_all();
}

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

void Lz4FrameSource::unpack(std::stop_token stop) {
    for (;;) {
        std::unique_lock lock(mutex_);
        queued_.wait(lock, [&] { return stop.stop_requested() || taken_ < submitted_; });
        if (stop.stop_requested()) return;
        Job& job = jobs_[taken_++ % jobs_.size()];
        if (job.state != Job::Queued) continue;  // nothing to unpack: the reading failed there
        lock.unlock();
        // Most images are ours, of 512 KiB blocks; a block that needs more
        // room is unpacked again into the most a block may hold.
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
        lock.lock();
        job.unpacked = unpacked;
        job.state = Job::Unpacked;
        unpacked_.notify_all();
    }
}

bool Lz4FrameSource::read_next_block(Job& job) {
    const std::size_t longest = static_cast<std::size_t>(Lz4CompressBound(static_cast<int>(kLz4MaxBlockOutput)));
    for (;;) {
        const std::int64_t at = parse_at_;
        std::byte header[4];
        std::size_t got = 0;
        job.packed_size = 0;
        job.stored_end = at;
        if (!stored_.read(at, header, got)) {
            job.kind = Job::LengthLost;  // without the length the next block cannot be found
            job.error = GetLastError();
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
        std::uint32_t length = GetLe32(header);
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
        bool ok = stored_.read(at + 4, job.packed.first(length), got);
        parse_at_ = at + 4 + length;
        job.stored_end = parse_at_;
        job.packed_size = length;
        job.kind = ok ? Job::Block : Job::ReadFailed;
        if (!ok) job.error = GetLastError();
        if (ok && got < length) {
            job.kind = Job::Improper;
            parse_ended_ = true;
        }
        return true;
    }
}

void Lz4FrameSource::fill_pipeline() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (parse_ended_ || submitted_ - consumed_ >= jobs_.size()) return;
        }
        // The job is free: the unpackers are done with it and it was handed out.
        Job& job = jobs_[submitted_ % jobs_.size()];
        if (!read_next_block(job)) return;
        std::lock_guard lock(mutex_);
        job.state = job.kind == Job::Block ? Job::Queued : Job::Unpacked;
        ++submitted_;
        queued_.notify_one();
    }
}

void Lz4FrameSource::release_current() {
    if (!current_) return;
    std::lock_guard lock(mutex_);
    current_->state = Job::Free;
    current_ = nullptr;
    ++consumed_;
}

bool Lz4FrameSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = 0;
    if (offset != cursor_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (broken_) Improper();
    if (!pending_error_.empty()) throw CopyFormatError(pending_error_);
    // The bytes unpacked before a bad block are good: they are handed out
    // first, and the block's error comes with the next read.
    // The rest of a block that could not be read is lost as well: a read
    // that falls wholly inside it fails too, so that its zeros are known
    // for what they are. (A read that only begins inside it gets the zeros
    // and the bytes after; with blocks of 512 KiB and 8 MiB, the sizes
    // writers use, the copy's reads never straddle one.)
    if (zeros_due_ >= buffer.size() && buffer.size() > 0) {
        zeros_due_ -= buffer.size();
        cursor_ = offset + static_cast<std::int64_t>(buffer.size());
        produced_ = cursor_;
        SetLastError(lost_error_);
        return false;
    }
    auto fail_after = [&](const char* text) {
        if (done == 0) throw CopyFormatError(text);
        pending_error_ = text;
        cursor_ = offset + static_cast<std::int64_t>(done);
        produced_ = cursor_;
        return true;
    };
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
            release_current();
            fill_pipeline();
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                if (consumed_ == submitted_) break;  // the stored blocks have ended
                job = &jobs_[consumed_ % jobs_.size()];
                unpacked_.wait(lock, [&] { return job->state == Job::Unpacked; });
            }
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
                std::size_t covered = buffer.size() - done;
                zeros_due_ = broken_ || covered >= nominal_block_ ? 0 : nominal_block_ - covered;
                lost_error_ = error;
                cursor_ = offset + static_cast<std::int64_t>(buffer.size());
                produced_ = cursor_;
                SetLastError(error);
                return false;
            }
            }
        }
        std::size_t n = std::min(want, block_size_ - block_used_);
        std::memcpy(buffer.data() + done, current_->output.data() + block_used_, n);
        block_used_ += n;
        done += n;
    }
    cursor_ = offset + static_cast<std::int64_t>(done);
    produced_ = cursor_;
    return true;
}

// ---- measuring -------------------------------------------------------------

std::optional<std::int64_t> Lz4UnpackedSize(CopySource& stored, std::int64_t stored_size,
                                            const std::function<bool()>& keep_going) {
    Lz4FrameSource unpacker(stored, stored_size);
    if (!unpacker.has_magic()) Improper();
    AlignedBuffer scratch(kLz4MaxBlockOutput);
    std::int64_t size = 0;
    for (;;) {
        if (!keep_going()) return std::nullopt;
        std::size_t done = 0;
        if (!unpacker.read(size, scratch.span(), done)) return std::nullopt;
        if (done == 0) return size;
        size += static_cast<std::int64_t>(done);
    }
}

}  // namespace disk
