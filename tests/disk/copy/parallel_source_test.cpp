// A source read by several readers at once: the pieces they are given, the
// bytes put together in order, and a reader's failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/copy/parallel_source.h"

using namespace disk;

namespace {

// Reads a pattern: byte i of the image is (i * 31) >> 3. Records the pieces
// it is given and whether two threads ever use it at once.
class PatternReader : public RangeReader {
public:
    struct Log {
        std::mutex mutex;
        std::set<std::pair<std::int64_t, std::size_t>> pieces;
        std::set<std::thread::id> threads;
        std::atomic<bool> overlapped{false};
    };
    PatternReader(Log& log, std::int64_t fail_at = -1) : log_(log), fail_at_(fail_at) {}

    void read_at(std::int64_t offset, std::span<std::byte> buffer) override {
        if (busy_.exchange(true)) log_.overlapped = true;
        {
            std::lock_guard lock(log_.mutex);
            log_.pieces.insert({offset, buffer.size()});
            log_.threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (std::size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = static_cast<std::byte>(((offset + static_cast<std::int64_t>(i)) * 31) >> 3);
        busy_ = false;
        if (fail_at_ >= 0 && offset <= fail_at_ && fail_at_ < offset + static_cast<std::int64_t>(buffer.size()))
            throw CopyFormatError("bad chunk at " + std::to_string(offset));
    }

private:
    Log& log_;
    std::int64_t fail_at_;
    std::atomic<bool> busy_{false};
};

std::unique_ptr<ParallelSource> Make(PatternReader::Log& log, unsigned readers, std::int64_t size,
                                     std::int64_t fail_at = -1) {
    std::vector<std::unique_ptr<RangeReader>> list;
    for (unsigned i = 0; i < readers; ++i) list.push_back(std::make_unique<PatternReader>(log, fail_at));
    return std::make_unique<ParallelSource>(std::move(list), size, 4096);
}

TEST(ParallelSource, SplitsAReadInAlignedPiecesOneForEachReaderAndPutsThemTogether) {
    PatternReader::Log log;
    auto source = Make(log, 4, 10 << 20);
    EXPECT_EQ(source->size(), 10 << 20);
    std::vector<std::byte> buffer(1 << 20);
    for (int round = 0; round < 20; ++round) {
        std::size_t done = 0;
        ASSERT_NO_THROW(done = source->read(1 << 20, buffer));
        ASSERT_EQ(done, buffer.size());
    }
    for (std::size_t i = 0; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], static_cast<std::byte>((((1 << 20) + static_cast<std::int64_t>(i)) * 31) >> 3)) << i;
    const std::set<std::pair<std::int64_t, std::size_t>> pieces{
        {1 << 20, 262144}, {(1 << 20) + 262144, 262144}, {(1 << 20) + 524288, 262144}, {(1 << 20) + 786432, 262144}};
    EXPECT_EQ(log.pieces, pieces);
    EXPECT_EQ(log.threads.size(), 4u);
    EXPECT_FALSE(log.overlapped);
}

TEST(ParallelSource, EndsAtTheImagesEndWithUnevenPieces) {
    PatternReader::Log log;
    auto source = Make(log, 3, 10000);
    std::vector<std::byte> buffer(1 << 16);
    std::size_t done = 0;
    ASSERT_NO_THROW(done = source->read(1000, buffer));
    EXPECT_EQ(done, 9000u);
    // 9000 bytes in pieces that start at multiples of 4096 from where the read starts.
    const std::set<std::pair<std::int64_t, std::size_t>> pieces{{1000, 4096}, {5096, 4096}, {9192, 808}};
    EXPECT_EQ(log.pieces, pieces);
    ASSERT_NO_THROW(done = source->read(10000, buffer));
    EXPECT_EQ(done, 0u);
}

TEST(ParallelSource, AFailingPieceIsRaisedOnceEveryPieceHasEnded) {
    PatternReader::Log log;
    auto source = Make(log, 4, 4 << 20, (3 << 20) + 5);
    std::vector<std::byte> buffer(4 << 20);
    std::size_t done = 0;
    try {
        done = source->read(0, buffer);
        FAIL() << "read";
    } catch (const CopyFormatError& e) {
        EXPECT_EQ(std::string(e.what()), "bad chunk at " + std::to_string(3 << 20));
    }
    EXPECT_EQ(log.pieces.size(), 4u);
    // The source is still usable for a read that stays clear of the bad piece.
    ASSERT_NO_THROW(done = source->read(0, std::span(buffer).first(1 << 20)));
    EXPECT_EQ(done, 1u << 20);
}

}  // namespace
