// The ordered transform of the packers: work handed in comes out in the
// order it went in, whichever thread finishes first, each piece transformed
// once; work handed in as it is is never transformed; a full transform
// takes no more until its oldest slot is released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/copy/ordered_transform.h"

namespace {

using disk::OrderedTransform;
using disk::TransformThreads;

struct Work {
    int number = -1;
    int transforms = 0;  // how often a thread worked on this piece
    bool as_it_is = false;
};

TEST(OrderedTransform, HandsWorkBackInOrderEachPieceTransformedOnceAndPiecesHandedInAsTheyAreLeftAlone) {
    for (unsigned threads : {1u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        OrderedTransform<Work> transform(std::vector<Work>(threads + 2), threads, [](Work& work) {
            // Later pieces finish first now and then.
            if (work.number % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++work.transforms;
        });
        std::vector<int> out;
        auto take = [&](bool wait) {
            Work* done = transform.oldest(wait);
            if (!done) return false;
            EXPECT_EQ(done->transforms, done->as_it_is ? 0 : 1) << done->number;
            out.push_back(done->number);
            transform.release();
            return true;
        };
        constexpr int kPieces = 500;
        for (int i = 0; i < kPieces; ++i) {
            while (transform.full()) take(true);
            Work& work = transform.free_slot();
            work.number = i;
            work.transforms = 0;
            work.as_it_is = i % 5 == 0;  // as the first EWF batch and the LZ4 blocks that could not be read
            transform.hand_in(work.as_it_is);
            while (take(false)) {
            }
        }
        while (take(true)) {
        }
        EXPECT_EQ(transform.in_flight(), 0u);
        ASSERT_EQ(out.size(), static_cast<std::size_t>(kPieces));
        for (int i = 0; i < kPieces; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], i);
    }
}

TEST(OrderedTransform, AFullTransformHoldsEverySlotUntilTheOldestIsReleased) {
    std::atomic<int> transformed{0};
    OrderedTransform<Work> transform(std::vector<Work>(3), 2, [&](Work&) { ++transformed; });
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(transform.full());
        transform.free_slot().number = i;
        transform.hand_in();
    }
    EXPECT_TRUE(transform.full());
    EXPECT_EQ(transform.in_flight(), 3u);
    ASSERT_EQ(transform.oldest(true)->number, 0);
    EXPECT_TRUE(transform.full()) << "taken out but not released";
    transform.release();
    EXPECT_FALSE(transform.full());
    EXPECT_EQ(transform.oldest(true)->number, 1);
}

// The one thread is held up in the first piece until the second is done:
// a caller that only waited for the threads would wait for ever (here: for
// the hold-up's ten seconds), one that takes up the work left waiting
// finishes at once, whichever of the two pieces the thread began.
TEST(OrderedTransform, ACallerWaitingForTheOldestTransformsWhatNoThreadHasBegun) {
    std::mutex mutex;
    std::condition_variable second_done;
    bool second = false;
    bool held_up_in_vain = false;
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::thread::id> by(2);
    OrderedTransform<Work> transform(std::vector<Work>(2), 1, [&](Work& work) {
        by[static_cast<std::size_t>(work.number)] = std::this_thread::get_id();
        std::unique_lock lock(mutex);
        if (work.number == 0) {
            held_up_in_vain = !second_done.wait_for(lock, std::chrono::seconds(10), [&] { return second; });
        } else {
            second = true;
            second_done.notify_all();
        }
    });
    for (int i = 0; i < 2; ++i) {
        transform.free_slot().number = i;
        transform.hand_in();
    }
    ASSERT_EQ(transform.oldest(true)->number, 0);
    EXPECT_FALSE(held_up_in_vain);
    EXPECT_NE(by[0], by[1]);
    EXPECT_TRUE(by[0] == caller || by[1] == caller);
    transform.release();
    EXPECT_EQ(transform.oldest(true)->number, 1);
}

TEST(OrderedTransform, ThreadsAreAsAskedOrOnePerCoreButTheCopysOwnWithinTheMost) {
    EXPECT_EQ(TransformThreads(3, 8), 3u);
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned expected = cores > 1 ? cores - 1 : 1;
    EXPECT_EQ(TransformThreads(0, 64), std::min(expected, 64u));
    EXPECT_EQ(TransformThreads(0, 1), 1u);
    EXPECT_EQ(TransformThreads(0, 0), 1u) << "never none";
}

}  // namespace
