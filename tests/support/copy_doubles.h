// Ends of a copy in memory, for the tests of the copy loop and of the
// endpoints and engines built on it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <span>
#include <string>
#include <vector>

#include <functional>
#include <mutex>

#include "disk/copy/copy_endpoints.h"
#include "disk/copy/copy_loop.h"
#include "disk/copy/operation_context.h"
#include "platform/base/progress.h"
#include "platform/base/win_error.h"

namespace test_support {

// A source in memory whose reads fail in the blocks (of `block` bytes) that
// `bad_blocks` names, as bad sectors would.
class FakeSource : public disk::CopySource {
public:
    FakeSource(std::string data, std::set<std::int64_t> bad_blocks, std::int64_t block = 524288)
        : data_(std::move(data)), bad_(std::move(bad_blocks)), block_(block) {}
    std::int64_t size() override { return static_cast<std::int64_t>(data_.size()); }
    bool reads_by_offset() const override { return by_offset; }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        reads.fetch_add(1);
        const std::int64_t end = offset + static_cast<std::int64_t>(buffer.size());
        for (std::int64_t seen = furthest.load(); seen < end && !furthest.compare_exchange_weak(seen, end);) {
        }
        if (bad_.count(offset / block_)) {
            std::memset(buffer.data(), 0x5A, buffer.size());  // whatever a failed read leaves
            throw disk::MediumError(platform::ERROR_CRC);
        }
        if (offset >= size()) return 0;
        const std::size_t done = std::min<std::size_t>(buffer.size(), data_.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), data_.data() + offset, done);
        return done;
    }
    std::atomic<int> reads{0};
    std::atomic<std::int64_t> furthest{0};  // the end of the furthest read asked for
    bool by_offset = false;  // whether it says it may be read by several threads

private:
    std::string data_;
    std::set<std::int64_t> bad_;
    std::int64_t block_;
};

// A source whose reads fail when they touch chosen bytes, as a disk with
// bad sectors does, and which can be read again sector by sector.
class BadSectorSource : public FakeSource {
public:
    BadSectorSource(std::string data, std::vector<disk::UnreadableRange> bad)
        : FakeSource(std::move(data), {}), bad_bytes_(std::move(bad)) {}
    std::uint32_t retry_unit() const override { return 512; }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        const std::int64_t end = offset + static_cast<std::int64_t>(buffer.size());
        for (const auto& r : bad_bytes_)
            if (offset < r.end() && r.offset < end) {
                std::memset(buffer.data(), 0x5A, buffer.size());
                throw disk::MediumError(platform::ERROR_CRC);
            }
        return FakeSource::read(offset, buffer);
    }

private:
    std::vector<disk::UnreadableRange> bad_bytes_;
};

// Stores what it is given by offset; can fail its start, a write or the
// sync as a medium does, raise some other error at a write, or raise a
// cancel flag after some writes.
class FakeSink : public disk::CopySink {
public:
    explicit FakeSink(std::atomic<bool>* cancel = nullptr) : cancel_(cancel) {}
    void start() override {
        ++starts;
        if (fail_start) throw disk::MediumError(platform::ERROR_WRITE_PROTECT);
    }
    void write(std::int64_t offset, std::span<const std::byte> data) override {
        if (writes == fail_write) throw disk::MediumError(platform::ERROR_DISK_FULL);
        if (writes == raise_at_write) throw std::runtime_error(raised_text);
        if (static_cast<std::size_t>(offset) + data.size() > bytes.size()) bytes.resize(offset + data.size());
        std::memcpy(bytes.data() + offset, data.data(), data.size());
        sizes.push_back(data.size());
        ++writes;
        if (writes == cancel_after && cancel_) *cancel_ = true;
    }
    void finish() override {
        ++finishes;
        if (fail_sync) throw disk::MediumError(platform::ERROR_IO_DEVICE);
    }
    std::string bytes;
    std::vector<std::size_t> sizes;  // of each write, in order
    int starts = 0, writes = 0, finishes = 0;
    int fail_write = -1, cancel_after = -1;
    int raise_at_write = -1;  // raises std::runtime_error(raised_text) at that write
    std::string raised_text = "the sink broke down";
    bool fail_start = false, fail_sync = false;

private:
    std::atomic<bool>* cancel_;
};

// The context a test hands an operation: a status target that keeps the
// last text, and a cancel flag of the test's own.
struct RecordedContext : public platform::OperationTarget {
    void post(int, platform::OperationKind, std::int64_t, const std::string& text) override {
        std::lock_guard lock(mutex);
        last = text;
    }
    std::string last_status() const {
        std::lock_guard lock(mutex);
        return last;
    }
    disk::OperationContext operator()() {
        disk::OperationContext context;
        context.status = this;
        context.cancel = &cancel;
        return context;
    }
    std::atomic<bool> cancel{false};

private:
    mutable std::mutex mutex;
    std::string last;
};

// Keeps every WM_OPERATION post, from any thread.
class RecordedPosts : public platform::OperationTarget {
public:
    struct Post {
        platform::OperationKind kind;
        std::int64_t percent;
        std::string text;
    };
    void post(int, platform::OperationKind kind, std::int64_t percent, const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            posts_.push_back({kind, percent, text});
        }
        if (on_post) on_post(kind, percent);
    }
    std::vector<Post> all() const {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    std::vector<std::int64_t> percents() const {
        std::vector<std::int64_t> result;
        for (const auto& p : all())
            if (p.kind == platform::OperationKind::Percent) result.push_back(p.percent);
        return result;
    }
    std::vector<std::string> texts(platform::OperationKind kind) const {
        std::vector<std::string> result;
        for (const auto& p : all())
            if (p.kind == kind) result.push_back(p.text);
        return result;
    }
    std::function<void(platform::OperationKind, std::int64_t)> on_post;

private:
    mutable std::mutex mutex_;
    std::vector<Post> posts_;
};

}  // namespace test_support
