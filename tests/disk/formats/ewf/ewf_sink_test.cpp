// The EWF sink on its own: chunks packed on one or several threads and
// written in order, whatever the sizes of the writes it is given; the last
// sector padded; no more than the media size taken.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "disk/bindings/libewf.h"
#include "disk/copy/copy_loop.h"
#include "disk/formats/ewf/ewf_sink.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/test_support.h"

using namespace disk;
using test_support::TempDir;

namespace {

// Half compressible text, half noise, so that chunks go both ways.
std::string Data(std::size_t size) {
    std::string data(size, '\0');
    std::mt19937 random(7);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = (i / 100000) % 2 ? static_cast<char>(random()) : static_cast<char>('a' + i % 23);
    return data;
}

void Begin(TLibEWF& image, const std::string& first, std::int64_t media_size) {
    ASSERT_EQ(image.Open(first, TLibEWF::kWrite), 0) << image.error();
    ASSERT_EQ(image.SetCompressionValues(1, 0), 1);
    ASSERT_EQ(image.SetMediaSize(media_size), 1);
    ASSERT_EQ(image.SetFormat(1), 1);
}

// Where two byte strings first differ ("" when they do not), so that a
// failure says where instead of printing megabytes.
std::string FirstDifference(const std::string& a, const std::string& b) {
    if (a == b) return "";
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at " +
           std::to_string(at);
}

std::string ReadBack(const std::string& first) {
    TLibEWF image;
    EXPECT_EQ(image.Open(first, TLibEWF::kRead), 0) << image.error();
    std::string back(static_cast<std::size_t>(image.GetMediaSize()), '\0');
    EXPECT_EQ(image.ReadBufferAtOffset(back.data(), back.size(), 0), static_cast<std::int64_t>(back.size()));
    EXPECT_TRUE(image.ChecksumErrors().empty());
    return back;
}

TEST(EwfSink, WritesOfAnySizeMakeTheSameDataWithOneOrManyPackers) {
    TempDir dir;
    const std::string data = Data(512 * 9767);  // whole sectors, not whole chunks
    for (unsigned packers : {1u, 3u})
        for (std::size_t piece : {std::size_t{1000}, std::size_t{65536 + 7}, std::size_t{3} << 20}) {
            const std::string first = dir.file("set" + std::to_string(packers) + "-" + std::to_string(piece) + ".E01");
            {
                TLibEWF image;
                Begin(image, first, static_cast<std::int64_t>(data.size()));
                EwfSink sink(image, static_cast<std::int64_t>(data.size()), packers);
                for (std::size_t at = 0; at < data.size(); at += piece) {
                    auto part = std::as_bytes(std::span(data)).subspan(at, std::min(piece, data.size() - at));
                    ASSERT_NO_THROW(sink.write(static_cast<std::int64_t>(at), part));
                }
                ASSERT_NO_THROW(sink.finish());
                ASSERT_TRUE(image.Close()) << image.error();
            }
            EXPECT_EQ(FirstDifference(ReadBack(first), data), "") << packers << " " << piece;
            if (test_support::HaveTool("ewfverify")) {
                EXPECT_EQ(test_support::Run("ewfverify -q " + test_support::Quote(first)).exit_code, 0);
            }
        }
}

TEST(EwfSink, PadsTheLastSectorAndTakesNoMoreThanTheMediaSize) {
    TempDir dir;
    const std::string data = Data(100'001);
    const std::int64_t media = (100'001 + 511) / 512 * 512;
    const std::string first = dir.file("odd.E01");
    {
        TLibEWF image;
        Begin(image, first, media);
        EwfSink sink(image, media);
        ASSERT_NO_THROW(sink.write(0, std::as_bytes(std::span(data))));
        const std::string more(media - static_cast<std::int64_t>(data.size()) + 1, 'x');
        EXPECT_THROW(sink.write(static_cast<std::int64_t>(data.size()), std::as_bytes(std::span(more))),
                     std::runtime_error);
        ASSERT_NO_THROW(sink.finish());
        ASSERT_TRUE(image.Close());
    }
    EXPECT_EQ(FirstDifference(ReadBack(first), data + std::string(static_cast<std::size_t>(media) - data.size(), '\0')), "");
}

TEST(EwfSink, ASourceThatStopsShortOfTheMediaSizeIsAnError) {
    TempDir dir;
    TLibEWF image;
    Begin(image, dir.file("short.E01"), 1 << 20);
    EwfSink sink(image, 1 << 20);
    const std::string data = Data(4096);
    ASSERT_NO_THROW(sink.write(0, std::as_bytes(std::span(data))));
    EXPECT_THROW(sink.finish(), std::runtime_error);
}

// A copy of more than the set was made for: the sink raises at the write
// that passes the media size, and the copy ends there with its text and its
// closing line.
TEST(EwfSink, MoreDataThanTheMediaSizeEndsTheCopyWithTheSinksText) {
    TempDir dir;
    const std::string data = Data(3 << 20);
    const std::int64_t media = 2 << 20;
    TLibEWF image;
    Begin(image, dir.file("small.E01"), media);
    EwfSink sink(image, media, 2);
    test_support::FakeSource source(data, {});
    platform::ScriptedInteraction answers;
    test_support::RecordedPosts posts;
    OperationContext context;
    context.interaction = &answers;
    context.status = &posts;
    CopyLoopSettings settings;
    settings.block_size = 1 << 20;
    const CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    const std::string text = "more data than the EWF image's media size of " + std::to_string(media);
    EXPECT_EQ(outcome.end, CopyEnd::WriteFailed);
    EXPECT_EQ(outcome.position, media);
    EXPECT_EQ(outcome.failure, text);
    EXPECT_EQ(answers.texts(), std::vector<std::string>{text});
    EXPECT_EQ(posts.texts(platform::OperationKind::Status).back(), "Aborted at " + std::to_string(media));
}

}  // namespace
