// The LZ4 ends unpack and pack several blocks at once: what comes out is in
// order whatever finishes first, and a malformed block ends the copy exactly
// where it begins.
#include <gtest/gtest.h>

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

TEST_F(Lz4FrameTest, PackingIsTheSameWhateverSizeTheWritesHave) {
    const std::string data = MixedBlocks(7);
    for (std::size_t loop_block : {std::size_t{4096}, std::size_t{300000}, 2 * B + 1}) {
        SCOPED_TRACE(loop_block);
        FakeSource source(data, {});
        FakeSink stored;
        Lz4FrameSink packer(stored, 3);
        CopyLoopSettings settings;
        settings.block_size = loop_block;
        ASSERT_TRUE(RunCopyLoop(source, packer, settings, Context()).completed());
        EXPECT_TRUE(stored.bytes == PackSequentially(data));
        EXPECT_EQ(stored.starts, 1);
    }
}

}  // namespace
