// The LZ4 ends unpack and pack several blocks at once: what comes out is in
// order whatever finishes first, and a malformed block ends the copy exactly
// where it begins.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "disk/bindings/liblz4.h"
#include "disk/copy/copy_loop.h"
#include "disk/formats/lz4/lz4_frame.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/lz4_image.h"

namespace {

using namespace disk;
using test_support::FakeSink;
using test_support::FakeSource;
using test_support::Le32;
using test_support::PackSequentially;

constexpr std::size_t B = kLz4BlockInput;

// Blocks that take very different times to unpack: long runs of one byte,
// text, random bytes, zeros.
std::string MixedBlocks(std::size_t blocks) {
    std::mt19937 random(9);
    std::string data;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::string block(B, '\0');
        switch (i % 4) {
        case 0: block.assign(B, static_cast<char>('a' + i)); break;
        case 1:
            for (std::size_t at = 0; at < B; ++at) block[at] = "block of text "[at % 14] + static_cast<char>(at / 9000 % 3);
            break;
        case 2:
            for (auto& c : block) c = static_cast<char>(random());
            break;
        default: break;
        }
        block.replace(0, 8, "#" + std::to_string(1000000 + i).substr(1));  // each block tells its place
        data += block;
    }
    return data + "the short last block";
}

class Lz4FrameTest : public ::testing::Test {
protected:
    void SetUp() override { LoadLZ4(); }
    OperationContext Context() {
        OperationContext context;
        context.interaction = &answers_;
        return context;
    }
    platform::ScriptedInteraction answers_;
};

TEST_F(Lz4FrameTest, UnpackingOnSeveralCoresHandsTheBlocksOutInOrder) {
    const std::string data = MixedBlocks(23);
    const std::string image = PackSequentially(data);
    for (std::size_t loop_block : {std::size_t{100000}, B, 3 * B + 7}) {
        for (unsigned unpackers : {1u, 4u}) {
            SCOPED_TRACE(std::to_string(loop_block) + " " + std::to_string(unpackers));
            FakeSource stored(image, {});
            Lz4FrameSource unpacked(stored, static_cast<std::int64_t>(image.size()), unpackers);
            ASSERT_TRUE(unpacked.has_magic());
            FakeSink sink;
            CopyLoopSettings settings;
            settings.block_size = loop_block;
            ASSERT_TRUE(RunCopyLoop(unpacked, sink, settings, Context()).completed());
            EXPECT_TRUE(sink.bytes == data);
        }
    }
}

// A read of one whole unpacked block into a buffer of its size takes the
// buffer the block was unpacked into; any other read copies. Either way
// the bytes come out in order.
TEST_F(Lz4FrameTest, AWholeUnpackedBlockIsHandedOverInItsOwnBuffer) {
    const std::string data = MixedBlocks(5);
    const std::string image = PackSequentially(data);
    FakeSource stored(image, {});
    Lz4FrameSource unpacked(stored, static_cast<std::int64_t>(image.size()), 2);
    ASSERT_TRUE(unpacked.has_magic());
    std::string out;
    auto read_into = [&](std::size_t size, bool handed_over) {
        AlignedBuffer block(B);
        const std::byte* given = block.data();
        const std::size_t done = unpacked.read_into(static_cast<std::int64_t>(out.size()), block, size);
        EXPECT_EQ(block.data() != given, handed_over) << "at " << out.size();
        EXPECT_EQ(block.size(), B);
        out.append(reinterpret_cast<const char*>(block.data()), done);
        return done;
    };
    EXPECT_EQ(read_into(B, true), B);
    EXPECT_EQ(read_into(1000, false), 1000u) << "part of a block";
    EXPECT_EQ(read_into(B, false), B) << "the rest of one block and the start of the next";
    EXPECT_EQ(read_into(B - 1000, false), B - 1000);
    EXPECT_EQ(read_into(B, true), B);
    EXPECT_EQ(read_into(B, true), B);
    EXPECT_EQ(read_into(B, false), data.size() - 5 * B) << "the short last block";
    EXPECT_EQ(read_into(B, false), 0u);
    EXPECT_TRUE(out == data);
}

TEST_F(Lz4FrameTest, AMalformedBlockEndsTheCopyWhereItBegins) {
    const std::string data = MixedBlocks(16);
    const std::string good = PackSequentially(data.substr(0, 16 * B));
    // Block 9 of 16 replaced by bytes that do not unpack; the blocks after it are sound.
    std::size_t at = 4;
    std::string image = good.substr(0, 4);
    for (std::size_t block = 0; block < 16; ++block) {
        std::uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(static_cast<unsigned char>(good[at + i])) << (8 * i);
        image += block == 9 ? Le32(300) + std::string(300, '\xff') : good.substr(at, 4 + length);
        at += 4 + length;
    }
    for (unsigned unpackers : {1u, 4u}) {
        SCOPED_TRACE(unpackers);
        platform::ScriptedInteraction answers;
        OperationContext context = Context();
        context.interaction = &answers;
        FakeSource stored(image, {});
        Lz4FrameSource unpacked(stored, static_cast<std::int64_t>(image.size()), unpackers);
        ASSERT_TRUE(unpacked.has_magic());
        FakeSink sink;
        CopyOutcome outcome = RunCopyLoop(unpacked, sink, CopyLoopSettings{}, context);
        EXPECT_EQ(outcome.end, CopyEnd::FormatError);
        EXPECT_EQ(outcome.position, static_cast<std::int64_t>(9 * B));
        EXPECT_EQ(answers.texts(), std::vector<std::string>{"LZ4_uncompress1 error"});
        EXPECT_TRUE(sink.bytes == data.substr(0, 9 * B));
    }
}

TEST_F(Lz4FrameTest, EveryBlockReadInFullIsHandedOnBeforeTheDamageAfterIt) {
    // Blocks that end inside one read of the copy: a damaged block (or a
    // length cut short) after them must not take them along.
    const std::string data = MixedBlocks(3).substr(0, 2 * B + 999);
    const std::string good = PackSequentially(data);
    struct Case {
        const char* what;
        std::string image;
        const char* message;
    } cases[] = {
        {"a length cut short", good + Le32(1000).substr(0, 2), "improper LZ4 file"},
        {"a block cut short", good + Le32(1000) + std::string(10, 'x'), "improper LZ4 file"},
        {"a block of garbage", good + Le32(100) + std::string(100, '\xff'), "LZ4_uncompress1 error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::ScriptedInteraction answers;
        OperationContext context = Context();
        context.interaction = &answers;
        FakeSource stored(c.image, {});
        Lz4FrameSource unpacked(stored, static_cast<std::int64_t>(c.image.size()));
        ASSERT_TRUE(unpacked.has_magic());
        FakeSink sink;
        CopyOutcome outcome = RunCopyLoop(unpacked, sink, CopyLoopSettings{}, context);
        EXPECT_EQ(outcome.end, CopyEnd::FormatError);
        EXPECT_EQ(outcome.position, static_cast<std::int64_t>(data.size()));
        EXPECT_EQ(answers.texts(), std::vector<std::string>{c.message});
        EXPECT_TRUE(sink.bytes == data) << sink.bytes.size() << " bytes of " << data.size();
    }
}

TEST_F(Lz4FrameTest, MeasuringReadsTheImageThroughAndFindsTheDamageFirst) {
    const std::string data = MixedBlocks(5);
    const std::string good = PackSequentially(data);
    auto measure = [](const std::string& image, int stop_after = -1) {
        FakeSource stored(image, {});
        int asked = 0;
        return Lz4UnpackedSize(stored, static_cast<std::int64_t>(image.size()),
                               [&] { return stop_after < 0 || asked++ < stop_after; });
    };
    EXPECT_EQ(measure(good), static_cast<std::int64_t>(data.size()));
    FakeSource whole(good, {});
    std::size_t largest = 0;
    EXPECT_EQ(Lz4UnpackedSize(whole, static_cast<std::int64_t>(good.size()), [] { return true; }, &largest),
              static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(largest, B);
    EXPECT_EQ(measure(PackSequentially("")), 0);
    EXPECT_EQ(measure(good, 0), std::nullopt) << "told to stop";
    for (const std::string& broken : {good + Le32(100) + std::string(100, '\xff'), good.substr(0, good.size() - 7),
                                      std::string("\x03") + good.substr(1)}) {
        EXPECT_THROW(measure(broken), CopyFormatError);
    }
    // A read that fails leaves the size unknown: the copy meets it and asks.
    std::size_t third = 4;  // where the length of the third stored block is
    for (int block = 0; block < 2; ++block) {
        std::uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(static_cast<unsigned char>(good[third + i])) << (8 * i);
        third += 4 + length;
    }
    FakeSource unreadable(good, {static_cast<std::int64_t>(third)}, 1);
    EXPECT_EQ(Lz4UnpackedSize(unreadable, static_cast<std::int64_t>(good.size()), [] { return true; }), std::nullopt);
}

// The packer writes the stored file in order as blocks are packed: a
// stored file that raises part way (a library, a full medium) ends the copy
// with what it raised, and the closing line is still written.
TEST_F(Lz4FrameTest, AStoredFileThatRaisesPartWayEndsTheCopyWithItsText) {
    const std::string data = MixedBlocks(12);
    for (bool medium : {false, true}) {
        SCOPED_TRACE(medium);
        platform::ScriptedInteraction answers;
        test_support::RecordedPosts posts;
        OperationContext context = Context();
        context.interaction = &answers;
        context.status = &posts;
        FakeSource source(data, {});
        FakeSink stored;
        if (medium) stored.fail_write = 4;  // the magic, then three blocks
        else stored.raise_at_write = 4;
        Lz4FrameSink packer(stored, 3);
        CopyOutcome outcome = RunCopyLoop(source, packer, CopyLoopSettings{}, context);
        EXPECT_EQ(outcome.end, CopyEnd::WriteFailed);
        EXPECT_GT(outcome.position, 0);
        EXPECT_LT(outcome.position, static_cast<std::int64_t>(data.size()));
        const std::string text = medium ? outcome.failure : stored.raised_text;
        if (medium) {
            EXPECT_EQ(outcome.error, platform::ERROR_DISK_FULL);
            EXPECT_TRUE(text.ends_with(platform::SysErrorMessage(platform::ERROR_DISK_FULL))) << text;
        }
        EXPECT_EQ(outcome.failure, text);
        EXPECT_EQ(answers.texts(), std::vector<std::string>{text});
        EXPECT_EQ(posts.texts(platform::OperationKind::Status).back(),
                  "Aborted at " + std::to_string(outcome.position));
        EXPECT_EQ(stored.finishes, 0);
    }
}

TEST_F(Lz4FrameTest, PackingIsTheSameWhateverSizeTheWritesHave) {
    const std::string data = MixedBlocks(7);
    for (std::size_t loop_block : {std::size_t{4096}, std::size_t{300000}, B, 2 * B + 1}) {
        for (unsigned readers : {1u, 4u}) {
            SCOPED_TRACE(std::to_string(loop_block) + ", readers " + std::to_string(readers));
            FakeSource source(data, {});
            source.by_offset = true;
            FakeSink stored;
            Lz4FrameSink packer(stored, 3);
            CopyLoopSettings settings;
            settings.block_size = loop_block;
            settings.readers = readers;
            ASSERT_TRUE(RunCopyLoop(source, packer, settings, Context()).completed());
            EXPECT_TRUE(stored.bytes == PackSequentially(data));
            EXPECT_EQ(stored.starts, 1);
        }
    }
}

// A whole block handed over where no block is being filled is packed in
// the buffer it came in (the copy gets a buffer of the packer's in its
// place); anything else is copied, and the image is the same either way.
TEST_F(Lz4FrameTest, AWholeBlockIsTakenOverAndAnythingElseIsCopied) {
    const std::string data = MixedBlocks(3);
    auto bytes = [&](std::size_t at, std::size_t size) {
        return std::span<const std::byte>(reinterpret_cast<const std::byte*>(data.data()) + at, size);
    };
    auto block = [&](std::size_t at) {
        AlignedBuffer buffer(B);
        std::memcpy(buffer.data(), data.data() + at, B);
        return buffer;
    };
    FakeSink stored;
    Lz4FrameSink packer(stored, 2);
    packer.start();
    AlignedBuffer first = block(0);
    const std::byte* given = first.data();
    EXPECT_TRUE(packer.take(0, first, B));
    EXPECT_NE(first.data(), given);
    EXPECT_EQ(first.size(), B);
    packer.write(B, bytes(B, 100));
    AlignedBuffer second = block(B + 100);
    EXPECT_FALSE(packer.take(B + 100, second, B)) << "a block is being filled";
    packer.write(B + 100, bytes(B + 100, B));
    AlignedBuffer third = block(2 * B + 100);
    EXPECT_FALSE(packer.take(2 * B + 100, third, B - 100)) << "not a whole block";
    packer.write(2 * B + 100, bytes(2 * B + 100, data.size() - (2 * B + 100)));
    packer.finish();
    EXPECT_TRUE(stored.bytes == PackSequentially(data));
}

}  // namespace
