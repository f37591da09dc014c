#include "disk/copy/parallel_source.h"

#include <algorithm>

#include "platform/os/thread.h"

namespace disk {

ParallelSource::ParallelSource(std::vector<std::unique_ptr<RangeReader>> readers, std::int64_t size,
                               std::size_t alignment)
    : size_(size), alignment_(std::max<std::size_t>(1, alignment)) {
    for (auto& reader : readers) lanes_.push_back(Lane{std::move(reader)});
    // The first reader works on the thread that asks; the others have one each.
    for (std::size_t i = 1; i < lanes_.size(); ++i)
        threads_.push_back(platform::StartThread([this, i](std::stop_token stop) { serve(i, stop); }));
}

ParallelSource::~ParallelSource() {
    for (auto& thread : threads_) thread.request_stop();
    {
        std::lock_guard lock(mutex_);
        due_signal_.notify_all();
    }
    threads_.clear();
}

void ParallelSource::serve(std::size_t index, std::stop_token stop) {
    Lane& lane = lanes_[index];
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            due_signal_.wait(lock, [&] { return lane.due || stop.stop_requested(); });
            if (stop.stop_requested()) return;
        }
        try {
            lane.reader->read_at(lane.offset, lane.piece);
        } catch (...) {
            lane.failure = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        lane.due = false;
        if (--outstanding_ == 0) done_signal_.notify_one();
    }
}

std::size_t ParallelSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    if (offset >= size_ || buffer.empty()) return 0;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::int64_t>(size_ - offset, buffer.size()));
    std::size_t piece = (wanted + lanes_.size() - 1) / lanes_.size();
    piece = (piece + alignment_ - 1) / alignment_ * alignment_;

    std::size_t handed = 0;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 1; i < lanes_.size(); ++i) {
            const std::size_t start = i * piece;
            if (start >= wanted) break;
            Lane& lane = lanes_[i];
            lane.offset = offset + static_cast<std::int64_t>(start);
            lane.piece = buffer.subspan(start, std::min(piece, wanted - start));
            lane.failure = nullptr;
            lane.due = true;
            ++handed;
        }
        outstanding_ = handed;
    }
    if (handed > 0) due_signal_.notify_all();

    std::exception_ptr failure;
    try {
        lanes_[0].reader->read_at(offset, buffer.first(std::min(piece, wanted)));
    } catch (...) {
        failure = std::current_exception();
    }
    if (handed > 0) {
        std::unique_lock lock(mutex_);
        done_signal_.wait(lock, [&] { return outstanding_ == 0; });
    }
    // The earliest failing piece speaks for the read.
    if (!failure)
        for (std::size_t i = 1; i <= handed && !failure; ++i) failure = lanes_[i].failure;
    if (failure) std::rethrow_exception(failure);
    return wanted;
}

}  // namespace disk
