// Work on a copy's blocks that several cores can share, given back in the
// order the blocks came: the packers of the LZ4 and EWF sinks and the LZ4
// unpacker. The caller fills a slot and hands it in; threads of their own
// transform the slots handed in, in any order; the caller takes them out
// oldest first and releases each when it is done with it, which frees the
// slot for new work. What is stored therefore is byte for byte what
// transforming one block after the other gives.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/thread.h"

namespace disk {

// The threads of a transform: as asked, else one per core but the one the
// copy runs on, and at most `most` (more would only hold more blocks in
// memory than the medium can take).
inline unsigned TransformThreads(unsigned asked, unsigned most) {
    if (asked) return asked;
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(cores > 1 ? cores - 1 : 1u, 1u, std::max(1u, most));
}

template <class Item>
class OrderedTransform {
public:
    // `slots` are the items work goes through, in turn; `transform` runs on
    // `threads` threads and must not raise (an item records its own failure,
    // for whoever takes it out).
    OrderedTransform(std::vector<Item> slots, unsigned threads, std::function<void(Item&)> transform)
        : transform_(std::move(transform)) {
        for (auto& item : slots) slots_.push_back(Slot{std::move(item)});
        for (unsigned i = 0; i < std::max(1u, threads); ++i)
            threads_.push_back(platform::StartThread([this](std::stop_token stop) { serve(stop); }));
    }

    ~OrderedTransform() {
        for (auto& thread : threads_) thread.request_stop();
        {
            std::lock_guard lock(mutex_);
            queued_.notify_all();
        }
        threads_.clear();
    }

    OrderedTransform(const OrderedTransform&) = delete;
    OrderedTransform& operator=(const OrderedTransform&) = delete;

    // Every slot holds work that was handed in and not yet released.
    bool full() const {
        std::lock_guard lock(mutex_);
        return handed_ - released_ >= slots_.size();
    }
    // The slots handed in and not yet released.
    std::size_t in_flight() const {
        std::lock_guard lock(mutex_);
        return handed_ - released_;
    }

    // The slot the next work goes into; only while the transform is not full.
    Item& free_slot() { return slots_[handed_ % slots_.size()].item; }

    // The free slot is filled: the threads transform it. With `done`, it
    // needs no transform (the caller did what there was to do), and is
    // ready to be taken out as it is.
    void hand_in(bool done = false) {
        {
            std::lock_guard lock(mutex_);
            slots_[handed_ % slots_.size()].state = done ? Slot::Transformed : Slot::Queued;
            ++handed_;
        }
        if (done) transformed_.notify_all();
        else queued_.notify_one();
    }

    // The oldest slot handed in and not released, once it is transformed;
    // nullptr when there is none, or, without `wait`, when it is not yet
    // transformed. With `wait`, the caller does not sit idle: while the
    // oldest is not ready, it transforms slots no thread has begun, oldest
    // first. On a busy machine the threads may wait long for a core; the
    // caller, who would only wait for them, keeps the work going.
    Item* oldest(bool wait) {
        std::unique_lock lock(mutex_);
        if (released_ == handed_) return nullptr;
        Slot& slot = slots_[released_ % slots_.size()];
        while (wait && slot.state != Slot::Transformed) {
            Slot* queued = nullptr;
            for (std::size_t i = released_; i < handed_ && !queued; ++i)
                if (slots_[i % slots_.size()].state == Slot::Queued) queued = &slots_[i % slots_.size()];
            if (!queued) {
                transformed_.wait(lock);
                continue;
            }
            transform_locked(*queued, lock);
        }
        return slot.state == Slot::Transformed ? &slot.item : nullptr;
    }

    // The caller is done with the oldest slot: it takes new work.
    void release() {
        std::lock_guard lock(mutex_);
        slots_[released_ % slots_.size()].state = Slot::Free;
        ++released_;
    }

private:
    struct Slot {
        Item item;
        enum State { Free, Queued, Transforming, Transformed } state = Free;
    };

    void serve(std::stop_token stop) {
        for (;;) {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [&] { return stop.stop_requested() || taken_ < handed_; });
            if (stop.stop_requested()) return;
            // A slot handed in as it is, or transformed by the caller, can
            // be released and take new work before a thread comes to its
            // turn: that work is then done at the earlier turn, and skipped
            // at its own.
            Slot& slot = slots_[taken_++ % slots_.size()];
            if (slot.state != Slot::Queued) continue;
            transform_locked(slot, lock);
        }
    }

    // Transforms a queued slot, the lock let go meanwhile.
    void transform_locked(Slot& slot, std::unique_lock<std::mutex>& lock) {
        slot.state = Slot::Transforming;
        lock.unlock();
        transform_(slot.item);
        lock.lock();
        slot.state = Slot::Transformed;
        transformed_.notify_all();
    }

    std::function<void(Item&)> transform_;
    std::vector<Slot> slots_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable transformed_;
    std::size_t handed_ = 0;    // slots handed in
    std::size_t taken_ = 0;     // slots a thread has looked at
    std::size_t released_ = 0;  // slots taken out and released
    std::vector<std::jthread> threads_;  // last: stopped and joined first
};

}  // namespace disk
