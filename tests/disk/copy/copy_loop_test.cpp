// The settings of the one copy loop: block size, how progress is shown and
// paced, how a sink's start, a short source and a failed read end a copy.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "disk/copy/copy_loop.h"
#include "platform/base/interaction.h"
#include "support/copy_cancel_watch.h"
#include "support/copy_doubles.h"
#include "support/test_support.h"

namespace {

using namespace disk;
using platform::OperationKind;
using test_support::BadSectorSource;
using test_support::FakeSink;
using test_support::FakeSource;
using test_support::RecordedPosts;

constexpr std::int64_t kKiB = 1024, kMiB = 1 << 20;

std::string Bytes(std::size_t size) { return test_support::RandomBytes(size, 5); }

class CopyLoopSettingsTest : public ::testing::Test {
protected:
    OperationContext Context() {
        OperationContext context;
        context.interaction = &answers_;
        context.status = &posts_;
        context.cancel = &cancel_;
        return context;
    }
    platform::ScriptedInteraction answers_;
    RecordedPosts posts_;
    std::atomic<bool> cancel_{false};
};

TEST_F(CopyLoopSettingsTest, BlocksAreOfTheSizeAsked) {
    const std::string data = Bytes(static_cast<std::size_t>(kMiB + 5));
    for (std::size_t block : {std::size_t{64 * kKiB}, std::size_t{kMiB}, std::size_t{3 * kMiB}}) {
        SCOPED_TRACE(block);
        FakeSource source(data, {});
        FakeSink sink;
        CopyLoopSettings settings;
        settings.block_size = block;
        ASSERT_TRUE(RunCopyLoop(source, sink, settings, Context()).completed());
        EXPECT_TRUE(sink.bytes == data);
        std::vector<std::size_t> expected;
        for (std::size_t at = 0; at < data.size(); at += block) expected.push_back(std::min(block, data.size() - at));
        EXPECT_EQ(sink.sizes, expected);
    }
}

TEST_F(CopyLoopSettingsTest, PercentStepsPostOnlyPercentagesAndHoldTheReadingAtEachStep) {
    const std::string data = Bytes(static_cast<std::size_t>(4 * kMiB));
    FakeSource source(data, {});
    FakeSink sink;
    CopyLoopSettings settings;
    settings.limit = 4 * kMiB;
    settings.block_size = 64 * kKiB;
    settings.read_ahead = 8;
    settings.progress.every_bytes = kMiB;
    settings.progress.shows = ProgressShows::Percent;
    settings.progress.pump = false;
    settings.progress.reading_waits_for_steps = true;
    // At each report the source has been read up to the step and no further.
    std::vector<std::int64_t> read_at_report;
    posts_.on_post = [&](OperationKind, std::int64_t) { read_at_report.push_back(source.furthest.load()); };
    std::ostringstream console;
    OperationContext context = Context();
    context.console = &console;
    ASSERT_TRUE(RunCopyLoop(source, sink, settings, context).completed());
    EXPECT_EQ(posts_.percents(), (std::vector<std::int64_t>{25, 50, 75, 100}));
    EXPECT_EQ(posts_.all().size(), 4u) << "no rate, no closing status line";
    EXPECT_EQ(read_at_report, (std::vector<std::int64_t>{kMiB, 2 * kMiB, 3 * kMiB, 4 * kMiB}));
    EXPECT_EQ(console.str(), "....");
}

TEST_F(CopyLoopSettingsTest, ASinkThatCannotStartStopsTheCopyBeforeAnythingIsRead) {
    FakeSource source(Bytes(100000), {});
    FakeSink sink;
    sink.fail_start = true;
    CopyOutcome outcome = RunCopyLoop(source, sink, CopyLoopSettings{}, Context());
    EXPECT_EQ(outcome.end, CopyEnd::WriteFailed);
    EXPECT_EQ(outcome.error, platform::ERROR_WRITE_PROTECT);
    EXPECT_EQ(source.reads.load(), 0);
    EXPECT_EQ(sink.writes + sink.finishes, 0);
    EXPECT_EQ(answers_.texts(), std::vector<std::string>{"pos:0 - buffersize:0 ,writefile error:" +
                                                         platform::SysErrorMessage(platform::ERROR_WRITE_PROTECT)});
    EXPECT_EQ(posts_.texts(OperationKind::Status), std::vector<std::string>{"Aborted at 0"});
}

TEST_F(CopyLoopSettingsTest, ASourceShorterThanTheLimitIsAReadErrorThereOrEndsTheCopyWhenItMustReachIt) {
    // A device read past its end gives nothing: that is no end of the copy
    // but bytes that could not be read.
    const std::string data = Bytes(static_cast<std::size_t>(kMiB + 700));
    const std::string question = "readfile error @1049276:" + platform::SysErrorMessage(platform::ERROR_SECTOR_NOT_FOUND) +
                                 ", Continue and ignore next errors?";
    struct Case {
        const char* what;
        bool must_reach;
        bool go_on;  // the answer to the read-error question
        CopyEnd end;
        std::int64_t position;
        std::vector<std::string> asked;
    } cases[] = {
        {"must reach it", true, true, CopyEnd::SourceEnded, kMiB + 700, {}},
        {"read error, No", false, false, CopyEnd::ReadDeclined, kMiB, {question}},
        {"read error, Yes", false, true, CopyEnd::Completed, 2 * kMiB,
         {question, "1047876 unreadable bytes replaced by zeros at 1049276-2097151"}},
    };
    for (const auto& c : cases) {
        for (unsigned readers : {1u, 4u}) {
            SCOPED_TRACE(std::string(c.what) + ", readers " + std::to_string(readers));
            platform::ScriptedInteraction answers;
            answers.set_default_confirm(c.go_on);
            OperationContext context = Context();
            context.interaction = &answers;
            FakeSource source(data, {});
            source.by_offset = true;
            FakeSink sink;
            CopyLoopSettings settings;
            settings.limit = 2 * kMiB;
            settings.source_must_reach_limit = c.must_reach;
            settings.readers = readers;
            CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
            EXPECT_EQ(outcome.end, c.end);
            EXPECT_EQ(outcome.position, c.position);
            EXPECT_EQ(answers.texts(), c.asked);
            EXPECT_EQ(sink.finishes, c.end == CopyEnd::Completed ? 1 : 0)
                << "a copy that fell short is not synced as done";
            if (c.end == CopyEnd::Completed) {
                EXPECT_EQ(sink.bytes, data + std::string(2 * kMiB - data.size(), '\0'));
                EXPECT_EQ(outcome.unreadable, (std::vector<UnreadableRange>{{kMiB + 700, kMiB - 700}}));
            }
        }
    }
}

TEST_F(CopyLoopSettingsTest, AFailedBlockIsReadAgainBySectorsAndOnlyTheBadOnesBecomeZeros) {
    const std::string data = Bytes(static_cast<std::size_t>(4 * kMiB + 300));
    struct Case {
        const char* what;
        std::vector<UnreadableRange> bad;       // bytes whose reads fail
        std::vector<UnreadableRange> expected;  // what becomes zeros: whole sectors, adjacent ones joined
    } cases[] = {
        {"one byte", {{kMiB + 1000, 1}}, {{kMiB + 512, 512}}},
        {"4 KiB across two blocks", {{kMiB - 2048, 4096}}, {{kMiB - 2048, 4096}}},
        {"two apart in one block", {{100, 1}, {3000, 600}}, {{0, 512}, {2560, 1536}}},
        {"the short last sector", {{4 * kMiB + 299, 1}}, {{4 * kMiB, 300}}},
    };
    for (const auto& c : cases) {
        for (unsigned readers : {1u, 4u}) {
            SCOPED_TRACE(std::string(c.what) + ", readers " + std::to_string(readers));
            platform::ScriptedInteraction answers;
            answers.set_default_confirm(true);
            OperationContext context = Context();
            context.interaction = &answers;
            BadSectorSource source(data, c.bad);
            source.by_offset = true;
            FakeSink sink;
            CopyLoopSettings settings;
            settings.limit = static_cast<std::int64_t>(data.size());
            settings.readers = readers;
            CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
            EXPECT_TRUE(outcome.completed());
            EXPECT_EQ(outcome.unreadable, c.expected);
            std::string expected = data;
            std::int64_t zeros = 0;
            for (const auto& r : c.expected) {
                std::fill_n(expected.begin() + r.offset, r.length, '\0');
                zeros += r.length;
            }
            EXPECT_EQ(outcome.unreadable_bytes, zeros);
            EXPECT_TRUE(sink.bytes == expected);
            ASSERT_EQ(answers.texts().size(), 2u) << "one question, one message";
            EXPECT_EQ(answers.texts()[1], UnreadableMessage(outcome));
            EXPECT_TRUE(posts_.texts(OperationKind::Status).back().ends_with(UnreadableTail(zeros)));
        }
    }
}

// A source that ends inside the block where the limit ends is as short
// whoever reads it: the block after it finds nothing, and the copy ends
// there, with as many readers as with one.
TEST_F(CopyLoopSettingsTest, ASourceEndingShortOfALimitInsideABlockEndsTheCopyThereWithSeveralReaders) {
    const std::string data = Bytes(static_cast<std::size_t>(kMiB + 700));
    for (unsigned readers : {1u, 4u}) {
        SCOPED_TRACE(readers);
        FakeSource source(data, {});
        source.by_offset = true;
        FakeSink sink;
        CopyLoopSettings settings;
        settings.limit = kMiB + 1000;
        settings.source_must_reach_limit = true;
        settings.readers = readers;
        CopyOutcome outcome = RunCopyLoop(source, sink, settings, Context());
        EXPECT_EQ(outcome.end, CopyEnd::SourceEnded);
        EXPECT_EQ(outcome.position, kMiB + 700);
        EXPECT_TRUE(sink.bytes == data);
    }
}

// A source read by offset whose first `together` reads wait for one
// another (ten seconds at most): they come back only once that many are
// under way at once.
class TogetherSource : public FakeSource {
public:
    TogetherSource(std::string data, int together) : FakeSource(std::move(data), {}), together_(together) {
        by_offset = true;
    }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        {
            std::unique_lock lock(mutex_);
            if (++arrived_ == together_) all_there_.notify_all();
            if (!all_there_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_ >= together_; }))
                waited_in_vain = true;
        }
        return FakeSource::read(offset, buffer);
    }
    bool waited_in_vain = false;

private:
    std::mutex mutex_;
    std::condition_variable all_there_;
    int arrived_ = 0;
    const int together_;
};

// A sink that keeps every core busy needs its bytes faster than one thread
// reads them: a source that allows it is read by several threads at once,
// and what is stored is what one reader gives, in order; a source that
// does not say so is read by one thread whatever the settings ask.
TEST_F(CopyLoopSettingsTest, SeveralReadersReadTogetherAndTheBytesComeOutInOrder) {
    const std::string data = Bytes(static_cast<std::size_t>(9 * kMiB + 123));
    TogetherSource together(data, 4);
    FakeSink sink;
    CopyLoopSettings settings;
    settings.block_size = 256 * kKiB;
    settings.readers = 4;
    CopyOutcome outcome = RunCopyLoop(together, sink, settings, Context());
    EXPECT_TRUE(outcome.completed());
    EXPECT_FALSE(together.waited_in_vain) << "four reads under way at once";
    EXPECT_EQ(outcome.position, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(sink.bytes == data);

    FakeSource one_at_a_time(data, {});
    one_at_a_time.by_offset = false;
    FakeSink stored;
    ASSERT_TRUE(RunCopyLoop(one_at_a_time, stored, settings, Context()).completed());
    EXPECT_TRUE(stored.bytes == data);
}

TEST(UnreadableTexts, SayHowManyBytesAndWhereWithTheFirstRangesOnly) {
    CopyOutcome outcome;
    outcome.unreadable = {{512, 512}, {4096, 1024}};
    outcome.unreadable_bytes = 1536;
    EXPECT_EQ(UnreadableMessage(outcome), "1536 unreadable bytes replaced by zeros at 512-1023, 4096-5119");
    EXPECT_EQ(UnreadableTail(1536), ", 1536 unreadable bytes replaced by zeros");
    outcome.unreadable.clear();
    for (std::int64_t i = 0; i < 25; ++i) outcome.unreadable.push_back({i * 1024, 512});
    outcome.unreadable_bytes = 25 * 512;
    const std::string many = UnreadableMessage(outcome);
    EXPECT_NE(many.find(", 19456-19967 and 5 more ranges"), std::string::npos) << many;
    EXPECT_EQ(many.find("20480-"), std::string::npos) << many;
}

TEST_F(CopyLoopSettingsTest, AFailedReadStopsTheCopyWithoutAQuestionWhenTheSettingsSaySo) {
    const std::string data = Bytes(static_cast<std::size_t>(4 * kMiB));
    for (const std::string prefix : {"", "readfile error:"}) {
        SCOPED_TRACE(prefix);
        platform::ScriptedInteraction answers;
        OperationContext context = Context();
        context.interaction = &answers;
        FakeSource source(data, {2}, kMiB);
        FakeSink sink;
        CopyLoopSettings settings;
        settings.block_size = kMiB;
        settings.read_errors = ReadErrorPolicy::Stop;
        settings.read_error_prefix = prefix;
        CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
        EXPECT_EQ(outcome.end, CopyEnd::ReadFailed);
        EXPECT_EQ(outcome.error, platform::ERROR_CRC);
        EXPECT_EQ(outcome.position, 2 * kMiB);
        EXPECT_EQ(answers.texts(), prefix.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{prefix + platform::SysErrorMessage(platform::ERROR_CRC)});
    }
}

// A source that raises what is no medium's refusal when a read reaches `at`.
class RaisingSource : public FakeSource {
public:
    RaisingSource(std::string data, std::int64_t at) : FakeSource(std::move(data), {}), at_(at) {}
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        if (offset >= at_) throw std::runtime_error("the image library gave up");
        return FakeSource::read(offset, buffer);
    }

private:
    std::int64_t at_;
};

// Whatever a source or sink raises ends the copy with its text: the person
// is told, the outcome says it, and the closing status line is written.
TEST_F(CopyLoopSettingsTest, WhatASourceOrSinkRaisesEndsTheCopyWithItsTextAndTheClosingLine) {
    struct Case {
        const char* name;
        bool source_raises;
        bool format_error;  // the sink raises CopyFormatError rather than std::runtime_error
        CopyEnd end;
        const char* text;
    };
    const std::string data = Bytes(static_cast<std::size_t>(4 * kMiB));
    for (const Case& c :
         {Case{"sink_runtime_error", false, false, CopyEnd::WriteFailed, "the sink broke down"},
          Case{"sink_format_error", false, true, CopyEnd::WriteFailed, "bad response"},
          Case{"source_runtime_error", true, false, CopyEnd::FormatError, "the image library gave up"}}) {
        SCOPED_TRACE(c.name);
        platform::ScriptedInteraction answers;
        RecordedPosts posts;
        OperationContext context = Context();
        context.interaction = &answers;
        context.status = &posts;
        RaisingSource source(data, c.source_raises ? 2 * kMiB : 8 * kMiB);
        FakeSink sink;
        if (!c.source_raises) sink.raise_at_write = 2;
        sink.raised_text = c.text;
        struct FormatSink : FakeSink {
            void write(std::int64_t offset, std::span<const std::byte> data) override {
                if (writes == raise_at_write) throw CopyFormatError(raised_text);
                FakeSink::write(offset, data);
            }
        } format_sink;
        format_sink.raise_at_write = sink.raise_at_write;
        format_sink.raised_text = sink.raised_text;
        CopyLoopSettings settings;
        settings.block_size = kMiB;
        CopyOutcome outcome = RunCopyLoop(source, c.format_error ? format_sink : sink, settings, context);
        EXPECT_EQ(outcome.end, c.end);
        EXPECT_EQ(outcome.failure, c.text);
        EXPECT_EQ(outcome.position, 2 * kMiB);
        EXPECT_EQ(answers.texts(), std::vector<std::string>{c.text});
        EXPECT_EQ(posts.texts(OperationKind::Status).back(), "Aborted at " + std::to_string(2 * kMiB));
        EXPECT_EQ((c.format_error ? format_sink : sink).finishes, 0) << "a failed copy is never finished";
    }
}

TEST_F(CopyLoopSettingsTest, WithoutACancelFlagNothingStopsTheCopy) {
    const std::string data = Bytes(static_cast<std::size_t>(3 * kMiB));
    FakeSource source(data, {});
    FakeSink sink(&cancel_);
    sink.cancel_after = 1;
    OperationContext context = Context();
    context.cancel = nullptr;
    EXPECT_TRUE(RunCopyLoop(source, sink, CopyLoopSettings{}, context).completed());
    context.cancel = &cancel_;
    cancel_ = false;
    FakeSink stopped(&cancel_);
    stopped.cancel_after = 1;
    CopyOutcome outcome = RunCopyLoop(source, stopped, CopyLoopSettings{}, context);
    EXPECT_EQ(outcome.end, CopyEnd::Cancelled);
    EXPECT_EQ(outcome.position, static_cast<std::int64_t>(kCopyBlockSize));
}

}  // namespace
