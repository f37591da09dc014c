// The raw copy engine: the copy loop over fake endpoints, BackupRaw and
// RestoreRaw over files and embedded disks, LZ4 image files checked against
// the lz4 tool, read and write errors, cancel, locks and refused endpoints.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "disk/bindings/liblz4.h"
#include "disk/copy/destination_hold.h"
#include "disk/copy/destination_hold.h"
#include "disk/engines/copy_engine.h"
#include "disk/device/endpoint_overlap.h"
#include "disk/device/handle_ops.h"
#include "disk/formats/lz4/lz4_frame.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/lz4_image.h"

using namespace disk;
using namespace platform;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::Le32;
using test_support::PackSequentially;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::TempDir;
using test_support::WriteWholeFile;

namespace {

constexpr std::int64_t B = 524288;  // one copy block
const std::string kDisk0 = "\\\\.\\PhysicalDrive0";
const std::string kDisk1 = "\\\\.\\PhysicalDrive1";

// ---- reporting fakes ----------------------------------------------------------

class StatusLog : public OperationTarget {
public:
    void post(int channel, OperationKind kind, std::int64_t, const std::string& text) override {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(channel, WM_OPERATION);
        EXPECT_EQ(kind, OperationKind::Status);
        texts_.push_back(text);
        if (on_post) on_post(text);
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    std::string last() const {
        auto all = texts();
        return all.empty() ? "" : all.back();
    }
    bool any_starts_with(const std::string& prefix) const {
        for (const auto& t : texts())
            if (t.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::function<void(const std::string&)> on_post;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

class ProgressLog : public ProgressBar {
public:
    void set_max(std::int64_t value) override { max = value; }
    void set_position(std::int64_t position) override { positions.push_back(position); }
    std::int64_t max = -1;
    std::vector<std::int64_t> positions;
};

std::vector<std::string> Texts(const ScriptedInteraction& answers, ScriptedInteraction::Exchange::Kind kind) {
    std::vector<std::string> result;
    for (const auto& e : answers.log())
        if (e.kind == kind) {
            EXPECT_EQ(e.caption, "Tarnovell");
            result.push_back(e.text);
        }
    return result;
}
std::vector<std::string> Questions(const ScriptedInteraction& a) { return Texts(a, ScriptedInteraction::Exchange::Confirm); }
std::vector<std::string> Messages(const ScriptedInteraction& a) { return Texts(a, ScriptedInteraction::Exchange::Inform); }

// ---- data ----------------------------------------------------------------------


// Text with runs of zeros between, as a file system holds it.
std::string CompressibleBytes(std::size_t size) {
    std::string data;
    for (int line = 0; data.size() < size; ++line) {
        data += "sector " + std::to_string(line) + " of a file that packs well\n";
        if (line % 97 == 0) data.append(static_cast<std::size_t>(3000 + line % 5000), '\0');
    }
    data.resize(size);
    return data;
}

std::uint32_t ReadLe32(const std::string& data, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i])) << (8 * i);
    return value;
}

// The block lengths of an LZ4 image; fails the test on a broken frame.
std::vector<std::uint32_t> BlockLengths(const std::string& image) {
    std::vector<std::uint32_t> lengths;
    EXPECT_GE(image.size(), 4u);
    EXPECT_EQ(ReadLe32(image, 0), kLz4LegacyMagic);
    std::size_t at = 4;
    while (at + 4 <= image.size()) {
        std::uint32_t length = ReadLe32(image, at);
        lengths.push_back(length);
        at += 4 + length;
    }
    EXPECT_EQ(at, image.size());
    return lengths;
}

std::string Lz4Decode(const std::string& path, const std::string& out) {
    auto result = test_support::Run("lz4 -d -f -q " + Quote(path) + " " + Quote(out));
    EXPECT_EQ(result.exit_code, 0) << result.output;
    return ReadWholeFile(out);
}

std::string Slice(const std::string& path, std::int64_t offset, std::int64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string data(static_cast<std::size_t>(length), '\0');
    in.read(data.data(), length);
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

// The files a replacement left beside its target: none, once it is over.
std::vector<std::string> Temporaries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().find(".tarnovell-") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

void WriteAtOffset(const std::string& path, std::int64_t offset, const std::string& data) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(offset);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Every engine test runs inside an embedded machine, even one without disks,
// so no test ever reaches the real machine's devices.
class CopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadLZ4();
        answers.set_default_confirm(true);
        SetLockRetryDelay(std::chrono::milliseconds(1));
    }
    void TearDown() override {
        InjectReadFaultForTesting(0, 0, 0);
        EXPECT_EQ(LockedVolumeCount(), 0u) << "every copy lets go of what it locked";
        SetLockRetryDelay(std::chrono::milliseconds(1000));
    }
    std::string file(const std::string& name) const { return machine->dir().file(name); }
    void start_machine(const std::vector<DiskSpec>& disks) {
        machine.reset();
        machine = std::make_unique<EmbeddedMachine>(disks);
    }

    std::unique_ptr<EmbeddedMachine> machine = std::make_unique<EmbeddedMachine>(std::vector<DiskSpec>{});
    ScriptedInteraction answers;
    ScopedInteraction scoped{answers};
    StatusLog status;
    ProgressLog progress;
};

}  // namespace

// ---- the LZ4 binding -------------------------------------------------------------

TEST(Lz4Binding, BindsTheFourEntryPointsOrSaysLoadlibraryFailed) {
    LoadLZ4();
    LoadLZ4();  // a second load changes nothing
    EXPECT_NE(lz4().LZ4_compress_default.load(), nullptr);
    EXPECT_NE(lz4().LZ4_decompress_safe.load(), nullptr);
    EXPECT_NE(lz4().LZ4_compressBound.load(), nullptr);
    EXPECT_NE(lz4().LZ4_compress_HC.load(), nullptr);
    EXPECT_EQ(Lz4CompressBound(524288), 526360);
    try {
        LoadLZ4From("liblz4-not-installed.so.9");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "loadlibrary failed");
    }
    EXPECT_NE(lz4().LZ4_compress_default.load(), nullptr);  // the slots stay filled
}

// ---- the copy loop over fake endpoints -------------------------------------------------

namespace {

using test_support::FakeSource;
using test_support::RandomBytes;

// Stores what it is given; raises the copy cancel flag when the case says.
class FakeSink : public test_support::FakeSink {
public:
    FakeSink() : test_support::FakeSink(&copy_cancel) {}
};

struct LoopCase {
    const char* name;
    std::set<std::int64_t> bad_blocks;
    std::vector<bool> answers;  // to the read-error questions
    int fail_write = -1;
    int cancel_after = -1;
    bool fail_sync = false;
    CopyEnd end;
    std::int64_t position;      // where the copy stopped
    int questions;
    const char* message;        // the one message shown, "" for none...
    DWORD message_error;        // ...followed by the text of this error, when not 0
};

class CopyLoop : public ::testing::TestWithParam<LoopCase> {};

}  // namespace

TEST_P(CopyLoop, StopsAndReportsAsTheCaseSays) {
    const LoopCase& c = GetParam();
    const std::int64_t size = 6 * B + 1000;
    std::string data = RandomBytes(static_cast<std::size_t>(size), 7);
    FakeSource source(data, c.bad_blocks);
    FakeSink sink;
    sink.fail_write = c.fail_write;
    sink.cancel_after = c.cancel_after;
    sink.fail_sync = c.fail_sync;
    ScriptedInteraction answers;
    for (bool a : c.answers) answers.answer_confirm(a);
    ScopedInteraction scoped(answers);
    StatusLog status;
    copy_cancel = false;

    CopyLoopSettings settings;
    settings.limit = size;
    OperationContext context;
    context.status = &status;
    context.cancel = &copy_cancel;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    copy_cancel = false;

    EXPECT_EQ(outcome.end, c.end);
    EXPECT_EQ(outcome.position, c.position);
    auto questions = Questions(answers);
    ASSERT_EQ(static_cast<int>(questions.size()), c.questions);
    if (!questions.empty()) {
        std::int64_t first_bad = *c.bad_blocks.begin() * B;
        EXPECT_EQ(questions[0], "readfile error @" + std::to_string(first_bad) + ":" + SysErrorMessage(ERROR_CRC) +
                                    ", Continue and ignore next errors?");
    }
    auto messages = Messages(answers);
    if (*c.message) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.message + (c.message_error ? SysErrorMessage(c.message_error) : std::string()));
    } else {
        EXPECT_TRUE(messages.empty());
    }

    // What was stored is the source, zeros in the bad blocks, each block in its place.
    std::string expected = data.substr(0, static_cast<std::size_t>(c.position));
    for (std::int64_t bad : c.bad_blocks)
        if (bad * B < c.position) std::fill_n(expected.begin() + bad * B, std::min(B, c.position - bad * B), '\0');
    EXPECT_EQ(sink.bytes.substr(0, static_cast<std::size_t>(c.position)), expected);
    if (c.end == CopyEnd::Cancelled) {
        EXPECT_EQ(sink.bytes.size(), static_cast<std::size_t>(c.position));
    }

    if (c.end == CopyEnd::Completed) {
        EXPECT_EQ(sink.finishes, 1);
        EXPECT_EQ(status.last().rfind("Done in ", 0), 0u) << status.last();
        EXPECT_NE(status.last().find(" ms, "), std::string::npos);
        EXPECT_NE(status.last().find(" KBytes/sec"), std::string::npos);
        std::int64_t zeros = 0;
        for (std::int64_t bad : c.bad_blocks) zeros += std::min(B, size - bad * B);
        EXPECT_EQ(outcome.unreadable_bytes, zeros);
        // The closing line says how much is zeros; the message said where.
        if (zeros > 0) EXPECT_TRUE(status.last().ends_with(UnreadableTail(zeros))) << status.last();
        else EXPECT_EQ(status.last().find("unreadable"), std::string::npos) << status.last();
    } else {
        EXPECT_FALSE(status.any_starts_with("Done in "));
        EXPECT_EQ(status.last(), "Aborted at " + std::to_string(c.position));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyLoop,
    ::testing::Values(
        LoopCase{"clean", {}, {}, -1, -1, false, CopyEnd::Completed, 6 * B + 1000, 0, "", 0},
        // A source that cannot be read again in pieces loses the whole bad
        // block, and says so.
        LoopCase{"one_bad_block_continue", {2}, {true}, -1, -1, false, CopyEnd::Completed, 6 * B + 1000, 1,
                 "524288 unreadable bytes replaced by zeros at 1048576-1572863", 0},
        LoopCase{"later_errors_are_not_asked", {1, 4, 6}, {true}, -1, -1, false, CopyEnd::Completed, 6 * B + 1000, 1,
                 "1049576 unreadable bytes replaced by zeros at 524288-1048575, 2097152-2621439, 3145728-3146727", 0},
        LoopCase{"no_stops_at_the_bad_block", {3}, {false}, -1, -1, false, CopyEnd::ReadDeclined, 3 * B, 1, "", 0},
        LoopCase{"write_error", {}, {}, 4, -1, false, CopyEnd::WriteFailed, 4 * B, 0,
                 "pos:2097152 - buffersize:524288 ,writefile error:", ERROR_DISK_FULL},
        LoopCase{"sync_error", {}, {}, -1, -1, true, CopyEnd::WriteFailed, 6 * B + 1000, 0,
                 "pos:3146728 - buffersize:0 ,writefile error:", ERROR_IO_DEVICE},
        LoopCase{"cancel_after_the_current_block", {}, {}, -1, 3, false, CopyEnd::Cancelled, 3 * B, 0, "", 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CopyLoopProgress, BarToMaximumAndNullReportersAreFine) {
    std::string data = RandomBytes(static_cast<std::size_t>(3 * B), 3);
    FakeSource source(data, {});
    FakeSink sink;
    ProgressLog progress;
    copy_cancel = false;
    OperationContext with_bar;
    with_bar.progress = &progress;
    EXPECT_TRUE(RunCopyLoop(source, sink, CopyLoopSettings{}, with_bar).completed());
    EXPECT_EQ(progress.max, 100);
    ASSERT_FALSE(progress.positions.empty());
    EXPECT_EQ(progress.positions.back(), 100);
    FakeSink quiet;
    EXPECT_TRUE(RunCopyLoop(source, quiet, CopyLoopSettings{}, OperationContext{}).completed());
    EXPECT_EQ(quiet.bytes, data);
    EXPECT_EQ(KBytesPerSecond(10 * 1024 * 1000, 1000), "10000 KBytes/sec");
    EXPECT_EQ(KBytesPerSecond(4096, 0), "4000 KBytes/sec");  // within one tick counts as 1 ms
}

// ---- BackupRaw and RestoreRaw over files ---------------------------------------------

namespace {

struct SizeCase {
    const char* name;
    std::int64_t size;
    bool compressible;
    bool lz4;
    bool reporting;  // with a bar and a status target, or neither
};

class RawAndLz4Sizes : public CopyTest, public ::testing::WithParamInterface<SizeCase> {};

}  // namespace

TEST_P(RawAndLz4Sizes, BackupThenRestoreGivesTheInputBack) {
    const SizeCase& c = GetParam();
    std::string data = c.compressible ? CompressibleBytes(static_cast<std::size_t>(c.size))
                                      : RandomBytes(static_cast<std::size_t>(c.size), 11);
    std::string input = file("input.bin"), image = file("image.out"), restored = file("restored.bin");
    WriteWholeFile(input, data);
    ProgressBar* bar = c.reporting ? &progress : nullptr;
    OperationTarget* target = c.reporting ? &status : nullptr;

    ASSERT_EQ(BackupRaw(input, image, bar, 0, 0, c.lz4, target), CopyResult::Completed) << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(Questions(answers), std::vector<std::string>{"Overwrite " + image + "?"});
    EXPECT_TRUE(Messages(answers).empty());
    if (c.reporting) {
        EXPECT_EQ(status.texts().front(), "Source total_size:" + std::to_string(c.size) + ", backuping...");
        EXPECT_EQ(status.last().rfind("Done in ", 0), 0u) << status.last();
        EXPECT_EQ(progress.positions.back(), 100);
    }

    std::string stored = ReadWholeFile(image);
    if (c.lz4) {
        // k full blocks and one of r bytes, each packed alone, in order.
        EXPECT_EQ(BlockLengths(stored).size(), static_cast<std::size_t>((c.size + B - 1) / B));
        EXPECT_EQ(stored, PackSequentially(data));
        EXPECT_EQ(Lz4Decode(image, file("peer-decoded.bin")), data);
    } else {
        EXPECT_EQ(stored, data);
    }

    ASSERT_EQ(RestoreRaw(image, restored, bar, 0, 0, c.lz4, target), CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(ReadWholeFile(restored), data);
    if (c.reporting) {
        EXPECT_EQ(status.last().rfind("restore done in ", 0), 0u) << status.last();
    }

    // A restore over an existing file replaces it without asking about it.
    WriteWholeFile(restored, std::string(3 * B, 'x'));
    ASSERT_EQ(RestoreRaw(image, restored, nullptr, 0, 0, c.lz4, nullptr), CopyResult::Completed);
    EXPECT_EQ(ReadWholeFile(restored), data);
    for (const auto& q : Questions(answers)) EXPECT_NE(q, "File exists! Delete?");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RawAndLz4Sizes,
    ::testing::Values(SizeCase{"raw_1", 1, false, false, true}, SizeCase{"raw_block_less_1", B - 1, false, false, false},
                      SizeCase{"raw_block", B, true, false, true}, SizeCase{"raw_k_blocks_and_r", 5 * B + 777, false, false, true},
                      SizeCase{"raw_zeros_and_text", 7 * B + 3, true, false, false},
                      SizeCase{"lz4_1", 1, false, true, true}, SizeCase{"lz4_block_less_1", B - 1, true, true, true},
                      SizeCase{"lz4_block", B, false, true, false}, SizeCase{"lz4_random_k_blocks_and_r", 5 * B + 777, false, true, true},
                      SizeCase{"lz4_text_k_blocks_and_r", 19 * B + 12345, true, true, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(CopyTest, EmptySourceHasNoSize) {
    std::string input = file("empty.bin");
    WriteWholeFile(input, "");
    for (bool lz4 : {false, true}) {
        EXPECT_EQ(BackupRaw(input, file("out.bin"), nullptr, 0, 0, lz4, &status), CopyResult::Failed);
        EXPECT_EQ(RestoreRaw(input, file("out2.bin"), nullptr, 0, 0, lz4, &status), CopyResult::Failed);
    }
    EXPECT_EQ(Messages(answers), std::vector<std::string>(4, "could not retrieve source size"));
    EXPECT_FALSE(status.any_starts_with("Done in "));
    EXPECT_FALSE(std::filesystem::exists(file("out2.bin")));
}

TEST_F(CopyTest, DeclinedOverwriteTouchesNothing) {
    std::string input = file("input.bin"), output = file("output.bin");
    WriteWholeFile(input, RandomBytes(1000, 1));
    WriteWholeFile(output, "keep me");
    answers.answer_confirm(false);
    EXPECT_EQ(BackupRaw(input, output, nullptr, 0, 0, false), CopyResult::Declined);
    answers.answer_confirm(true);
    answers.answer_confirm(false);  // File exists! Delete?
    EXPECT_EQ(BackupRaw(input, output, nullptr, 0, 0, false), CopyResult::Declined);
    answers.answer_confirm(false);
    EXPECT_EQ(RestoreRaw(input, output, nullptr, 0, 0, false), CopyResult::Declined);
    EXPECT_EQ(ReadWholeFile(output), "keep me");
    EXPECT_EQ(Questions(answers), (std::vector<std::string>{"Overwrite " + output + "?", "Overwrite " + output + "?",
                                                            "File exists! Delete?", "Overwrite " + output + "?"}));
}

TEST_F(CopyTest, RawLengthPastTheEndOfAFileStopsAtItsEnd) {
    std::string data = RandomBytes(static_cast<std::size_t>(2 * B + 5), 4);
    WriteWholeFile(file("input.bin"), data);
    EXPECT_EQ(BackupRaw(file("input.bin"), file("out.bin"), nullptr, 10 * B, 0, false), CopyResult::Completed);
    EXPECT_EQ(ReadWholeFile(file("out.bin")), data);
    EXPECT_EQ(BackupRaw(file("input.bin"), file("part.bin"), nullptr, B + 3, 100, false), CopyResult::Completed);
    EXPECT_EQ(ReadWholeFile(file("part.bin")), data.substr(100, B + 3));
}

// ---- LZ4 files from elsewhere, and broken ones ---------------------------------------------

TEST_F(CopyTest, Lz4FileWrittenByTheLz4ToolWithItsEightMegabyteBlocks) {
    ASSERT_TRUE(test_support::HaveTool("lz4")) << "the lz4 tool (Debian package lz4) is needed";
    std::string data = CompressibleBytes(20 * (1 << 20) + 4321);
    std::memcpy(data.data() + (9 << 20), RandomBytes(1 << 20, 5).data(), 1 << 20);
    WriteWholeFile(file("input.bin"), data);
    auto packed = test_support::Run("lz4 -1 -l -f -q " + Quote(file("input.bin")) + " " + Quote(file("peer.lz4")));
    ASSERT_EQ(packed.exit_code, 0) << packed.output;
    auto lengths = BlockLengths(ReadWholeFile(file("peer.lz4")));
    EXPECT_EQ(lengths.size(), 3u);  // 8 MiB, 8 MiB and the rest
    ASSERT_EQ(RestoreRaw(file("peer.lz4"), file("restored.bin"), &progress, 0, 0, true, &status), CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(ReadWholeFile(file("restored.bin")), data);
    EXPECT_EQ(progress.positions.back(), 100);
}

TEST_F(CopyTest, Lz4ReadErrorInsideAnEightMegabyteBlockZeroFillsThatBlockOnly) {
    ASSERT_TRUE(test_support::HaveTool("lz4")) << "the lz4 tool (Debian package lz4) is needed";
    std::string data = RandomBytes(20 * (1 << 20) + 99, 8);
    WriteWholeFile(file("input.bin"), data);
    auto packed = test_support::Run("lz4 -1 -l -f -q " + Quote(file("input.bin")) + " " + Quote(file("peer.lz4")));
    ASSERT_EQ(packed.exit_code, 0) << packed.output;
    auto lengths = BlockLengths(ReadWholeFile(file("peer.lz4")));
    ASSERT_EQ(lengths.size(), 3u);
    // A bad sector inside the packed bytes of the second block.
    InjectReadFaultForTesting(4 + 4 + lengths[0] + 4 + 1000, 1, ERROR_CRC);
    ASSERT_EQ(RestoreRaw(file("peer.lz4"), file("restored.bin"), nullptr, 0, 0, true, &status),
              CopyResult::CompletedWithUnreadableSectors)
        << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(Questions(answers).back(),
              "readfile error @8388608:" + SysErrorMessage(ERROR_CRC) + ", Continue and ignore next errors?");
    EXPECT_EQ(Questions(answers).size(), 2u);
    // A packed block is lost whole: all of its 8 MiB are told as zeros.
    EXPECT_EQ(Messages(answers), std::vector<std::string>{"8388608 unreadable bytes replaced by zeros at 8388608-16777215"});
    EXPECT_TRUE(status.last().ends_with(UnreadableTail(8 << 20))) << status.last();
    std::string expected = data;
    std::fill_n(expected.begin() + (8 << 20), 8 << 20, '\0');
    EXPECT_EQ(ReadWholeFile(file("restored.bin")), expected);
}

namespace {

struct BrokenCase {
    const char* name;
    std::function<std::string(const std::string& good)> make;  // from a good image of three blocks
    const char* message;
};

class Lz4Broken : public CopyTest, public ::testing::WithParamInterface<BrokenCase> {};

}  // namespace

TEST_P(Lz4Broken, IsReportedAndNeverDone) {
    const BrokenCase& c = GetParam();
    std::string data = CompressibleBytes(static_cast<std::size_t>(2 * B + 999));
    std::string image = c.make(PackSequentially(data));
    WriteWholeFile(file("broken.lz4"), image);
    std::string output = file("output.bin");
    WriteWholeFile(output, "the old contents");

    EXPECT_EQ(RestoreRaw(file("broken.lz4"), output, nullptr, 0, 0, true, &status), CopyResult::Failed);
    EXPECT_EQ(Messages(answers), std::vector<std::string>{c.message});
    // The image is read through before the destination is touched: damage
    // anywhere in it costs the destination nothing.
    EXPECT_EQ(ReadWholeFile(output), "the old contents");
    EXPECT_TRUE(status.texts().empty()) << ::testing::PrintToString(status.texts());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lz4Broken,
    ::testing::Values(
        BrokenCase{"bad_magic", [](const std::string& good) { return "\x03" + good.substr(1); }, "improper LZ4 file"},
        BrokenCase{"truncated_inside_a_block", [](const std::string& good) { return good.substr(0, good.size() - 10); },
                   "improper LZ4 file"},
        BrokenCase{"truncated_inside_a_length",
                   [](const std::string& good) { return good + Le32(1000).substr(0, 2); }, "improper LZ4 file"},
        BrokenCase{"block_longer_than_any_8MiB_packs_to",
                   [](const std::string& good) { return good + Le32(9 << 20) + std::string(9 << 20, 'x'); },
                   "improper LZ4 file"},
        BrokenCase{"block_of_garbage", [](const std::string& good) { return good + Le32(100) + std::string(100, '\xff'); },
                   "LZ4_uncompress1 error"},
        BrokenCase{"block_unpacking_past_8MiB",
                   [](const std::string& good) {
                       std::string big(16 << 20, 'a');
                       std::vector<char> packed(static_cast<std::size_t>(Lz4CompressBound(16 << 20)));
                       int n = Lz4CompressDefault(big.data(), packed.data(), 16 << 20, static_cast<int>(packed.size()));
                       return good + Le32(static_cast<std::uint32_t>(n)) + std::string(packed.data(), n);
                   },
                   "LZ4_uncompress1 error"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- embedded disks -----------------------------------------------------------------------

TEST_F(CopyTest, RawRangeLandsAtTheSameOffsetOnADiskAndAtZeroInAFile) {
    const std::int64_t disk_size = 6LL << 30;
    start_machine({DiskSpec{disk_size, {}, ""}, DiskSpec{disk_size, {}, ""}});
    const std::int64_t start = (4LL << 30) + 7 * 512 + 3;  // above 4 GiB, not on a block boundary
    const std::int64_t length = 3 * B + 1234;
    std::string data = RandomBytes(static_cast<std::size_t>(length), 21);
    WriteAtOffset(machine->image(0), start, data);

    ASSERT_EQ(BackupRaw(kDisk0, kDisk1, nullptr, length, start, false, &status), CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(Slice(machine->image(1), start, length), data);
    EXPECT_EQ(Slice(machine->image(1), start - 4096, 4096), std::string(4096, '\0'));
    EXPECT_EQ(Slice(machine->image(1), start + length, 4096), std::string(4096, '\0'));
    EXPECT_EQ(std::filesystem::file_size(machine->image(1)), static_cast<std::uintmax_t>(disk_size));  // never grown

    ASSERT_EQ(BackupRaw(kDisk0, file("range.bin"), nullptr, length, start, false), CopyResult::Completed);
    EXPECT_EQ(ReadWholeFile(file("range.bin")), data);
    ASSERT_EQ(BackupRaw(kDisk0, file("range.lz4"), nullptr, length, start, true), CopyResult::Completed);
    EXPECT_EQ(Lz4Decode(file("range.lz4"), file("range.decoded")), data);
}

TEST_F(CopyTest, ARangeRestoredIntoAnImageFileLandsInPlaceAndKeepsTheRest) {
    const std::string image = file("disk.img"), part = file("part.bin");
    const std::string disk = RandomBytes(1 << 20, 5), data = RandomBytes(64 * 1024, 6);
    WriteWholeFile(image, disk);
    WriteWholeFile(part, data);
    const std::int64_t start = 4096;
    ASSERT_EQ(RestoreRaw(part, image, nullptr, static_cast<std::int64_t>(data.size()), start, false),
              CopyResult::Completed);
    std::string expected = disk;
    expected.replace(static_cast<std::size_t>(start), data.size(), data);
    EXPECT_EQ(ReadWholeFile(image), expected);
    // From its start, a file is made anew as it always was.
    ASSERT_EQ(RestoreRaw(part, image, nullptr, 0, 0, false), CopyResult::Completed);
    EXPECT_EQ(ReadWholeFile(image), data);
}

// Yes to the size question fills the disk to its last byte, and the copy
// ends there: nothing is written, nor tried, past the disk's end.
TEST_F(CopyTest, RawRestoreOntoASmallerDiskFillsItWhenTheAnswerIsYes) {
    start_machine({DiskSpec{2 * B, {}, ""}});
    WriteWholeFile(file("input.bin"), RandomBytes(static_cast<std::size_t>(3 * B), 9));
    EXPECT_EQ(RestoreRaw(file("input.bin"), kDisk0, nullptr, 0, 0, false, &status), CopyResult::Completed);
    auto questions = Questions(answers);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[1], "Source (1572864) bigger than destination (1048576)!, Continue?");
    EXPECT_EQ(Messages(answers), std::vector<std::string>{});
    EXPECT_EQ(status.last().rfind("restore done in ", 0), 0u) << status.last();
    EXPECT_EQ(ReadWholeFile(machine->image(0)), ReadWholeFile(file("input.bin")).substr(0, 2 * B));
}

TEST_F(CopyTest, RawInjectedReadErrorAsksOnceAndZeroFillsOnlyTheBadSectors) {
    std::string data = RandomBytes(static_cast<std::size_t>(6 * B + 17), 13);
    WriteWholeFile(file("input.bin"), data);
    // Ten bad bytes inside block 2 cost the one sector that holds them.
    std::string once = data;
    std::fill_n(once.begin() + 2 * B, 512, '\0');
    for (bool lz4 : {false, true}) {
        SCOPED_TRACE(lz4 ? "lz4" : "raw");
        ScriptedInteraction local;
        local.set_default_confirm(true);
        ScopedInteraction scoped_local(local);
        StatusLog log;
        InjectReadFaultForTesting(2 * B + 100, 10, ERROR_CRC);
        std::string out = file(lz4 ? "out.lz4" : "out.bin");
        ASSERT_EQ(BackupRaw(file("input.bin"), out, nullptr, 0, 0, lz4, &log),
                  CopyResult::CompletedWithUnreadableSectors);
        EXPECT_EQ(Questions(local), (std::vector<std::string>{"Overwrite " + out + "?",
                                                              "readfile error @1048576:" + SysErrorMessage(ERROR_CRC) +
                                                                  ", Continue and ignore next errors?"}));
        EXPECT_EQ(Messages(local), std::vector<std::string>{"512 unreadable bytes replaced by zeros at 1048576-1049087"});
        EXPECT_EQ(log.last().rfind("Done in ", 0), 0u) << log.last();
        EXPECT_TRUE(log.last().ends_with(", 512 unreadable bytes replaced by zeros")) << log.last();
        std::string stored = lz4 ? Lz4Decode(out, file("decoded.bin")) : ReadWholeFile(out);
        EXPECT_EQ(stored, once);
    }

    // Bad sectors across two blocks, at neither end of a block: one
    // question, only they are zeros, the rest is in place.
    ScriptedInteraction two;
    two.set_default_confirm(true);
    ScopedInteraction scoped_two(two);
    InjectReadFaultForTesting(2 * B + 4096, B + 8192 + 1, ERROR_CRC);
    ASSERT_EQ(BackupRaw(file("input.bin"), file("two.bin"), nullptr, 0, 0, false),
              CopyResult::CompletedWithUnreadableSectors);
    EXPECT_EQ(Questions(two).size(), 2u);  // Overwrite, and the one read error
    std::string three = data;
    const std::int64_t first = 2 * B + 4096, last = 3 * B + 12288 + 512;  // whole sectors
    std::fill(three.begin() + first, three.begin() + last, '\0');
    EXPECT_EQ(ReadWholeFile(file("two.bin")), three);
    EXPECT_EQ(Messages(two), std::vector<std::string>{std::to_string(last - first) +
                                                      " unreadable bytes replaced by zeros at " + std::to_string(first) +
                                                      "-" + std::to_string(last - 1)});

    // No ends the copy at the bad block, and it is not done.
    ScriptedInteraction no;
    no.answer_confirm(true);
    no.answer_confirm(false);
    ScopedInteraction scoped_no(no);
    StatusLog log;
    InjectReadFaultForTesting(3 * B, 1, ERROR_CRC);
    EXPECT_EQ(BackupRaw(file("input.bin"), file("no.bin"), nullptr, 0, 0, false, &log), CopyResult::Failed);
    EXPECT_EQ(log.last(), "Aborted at " + std::to_string(3 * B));
    EXPECT_FALSE(log.any_starts_with("Done in "));
    // An image that is not complete never takes its name.
    EXPECT_FALSE(std::filesystem::exists(file("no.bin")));
    EXPECT_EQ(Temporaries(machine->dir().path()), std::vector<std::string>{});
}

namespace {

struct KeptBackupCase {
    const char* what;
    std::function<std::string(const std::string& folder)> source;  // makes it, gives its path
    std::vector<bool> answers;  // after "Overwrite" and "File exists! Delete?"
    int fault_block;            // a read error in this block, -1 for none
    bool cancel;                // the copy cancel flag raised as the copy starts
    CopyResult result;
};

class KeptBackup : public CopyTest, public ::testing::WithParamInterface<KeptBackupCase> {};

}  // namespace

TEST_P(KeptBackup, TheOldImageStaysAndNoPartOfANewOneIsLeft) {
    const KeptBackupCase& c = GetParam();
    const std::string image = file("backup.img");
    WriteWholeFile(image, "the backup of yesterday");
    std::string source = c.source(machine->dir().path().string());
    answers.answer_confirm(true);  // "Overwrite ...?"
    answers.answer_confirm(true);  // "File exists! Delete?"
    for (bool a : c.answers) answers.answer_confirm(a);
    if (c.fault_block >= 0) InjectReadFaultForTesting(c.fault_block * B, 1, ERROR_CRC);
    status.on_post = [&](const std::string& text) {
        if (c.cancel && text.rfind("Source total_size:", 0) == 0) copy_cancel = true;
    };
    EXPECT_EQ(BackupRaw(source, image, nullptr, 0, 0, false, &status), c.result)
        << ::testing::PrintToString(answers.texts());
    copy_cancel = false;
    EXPECT_EQ(ReadWholeFile(image), "the backup of yesterday");
    EXPECT_EQ(Temporaries(machine->dir().path()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeptBackup,
    ::testing::Values(
        KeptBackupCase{"missing_source", [](const std::string& dir) { return dir + "/no-such-disk.img"; }, {}, -1, false,
                       CopyResult::Failed},
        KeptBackupCase{"empty_source",
                       [](const std::string& dir) {
                           WriteWholeFile(dir + "/empty.img", "");
                           return dir + "/empty.img";
                       },
                       {}, -1, false, CopyResult::Failed},
        KeptBackupCase{"unreadable_source_and_No",
                       [](const std::string& dir) {
                           WriteWholeFile(dir + "/source.img", RandomBytes(4 * B, 3));
                           return dir + "/source.img";
                       },
                       {false}, 2, false, CopyResult::Failed},
        KeptBackupCase{"cancelled",
                       [](const std::string& dir) {
                           WriteWholeFile(dir + "/source.img", RandomBytes(4 * B, 3));
                           return dir + "/source.img";
                       },
                       {}, -1, true, CopyResult::Cancelled}),
    [](const auto& p) { return std::string(p.param.what); });

TEST_F(CopyTest, ANewImageTakesTheNameOnlyWhenCompleteAndKeepsTheOldOnesPermissions) {
    const std::string data = RandomBytes(static_cast<std::size_t>(3 * B + 7), 6);
    WriteWholeFile(file("source.img"), data);
    const std::string image = file("backup.img");
    WriteWholeFile(image, "old");
    std::filesystem::permissions(image, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // While the copy runs, the old image is still there under its name.
    std::string seen_meanwhile;
    status.on_post = [&](const std::string& text) {
        if (text.rfind("Source total_size:", 0) == 0) seen_meanwhile = ReadWholeFile(image);
    };
    ASSERT_EQ(BackupRaw(file("source.img"), image, nullptr, 0, 0, false, &status), CopyResult::Completed);
    EXPECT_EQ(seen_meanwhile, "old");
    EXPECT_TRUE(ReadWholeFile(image) == data);
    EXPECT_EQ(std::filesystem::status(image).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(Temporaries(machine->dir().path()), std::vector<std::string>{});
}

TEST_F(CopyTest, ReadingPastTheEndOfADeviceIsAReadErrorNotTheEndOfTheCopy) {
    start_machine({DiskSpec{2 << 20, {"head -c 2097152 /dev/urandom | dd of=%s conv=notrunc status=none"}, ""}});
    const std::string disk = ReadWholeFile(machine->image(0));
    const std::string question = "readfile error @2097152:" + SysErrorMessage(ERROR_SECTOR_NOT_FOUND) +
                                 ", Continue and ignore next errors?";
    // No: stopped there, and no image.
    answers.answer_confirm(true);   // Overwrite
    answers.answer_confirm(false);  // the read error
    EXPECT_EQ(BackupRaw(kDisk0, file("short.img"), nullptr, 3 << 20, 0, false, &status), CopyResult::Failed);
    EXPECT_EQ(Questions(answers).back(), question);
    EXPECT_EQ(status.last(), "Aborted at 2097152");
    EXPECT_FALSE(std::filesystem::exists(file("short.img")));
    // Yes: what is not there is zeros, and said to be.
    ScriptedInteraction yes;
    yes.set_default_confirm(true);
    ScopedInteraction scoped_yes(yes);
    EXPECT_EQ(BackupRaw(kDisk0, file("padded.img"), nullptr, 3 << 20, 0, false, &status),
              CopyResult::CompletedWithUnreadableSectors);
    EXPECT_EQ(Questions(yes).back(), question);
    EXPECT_EQ(Messages(yes), std::vector<std::string>{"1048576 unreadable bytes replaced by zeros at 2097152-3145727"});
    EXPECT_TRUE(ReadWholeFile(file("padded.img")) == disk + std::string(1 << 20, '\0'));
}

TEST_F(CopyTest, AVolumeThatCannotBeLockedIsStillDismountedWhenThePersonGoesOn) {
    start_machine({test_support::PartitionedExt4Disk()});
    const std::string data = RandomBytes(4 << 20, 12);
    WriteWholeFile(file("volume.img"), data);
    // Another handle keeps the volume from being locked.
    Handle other = CreateFile("\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(other);
    answers.answer_confirm(true);   // Overwrite
    answers.answer_confirm(false);  // "Lock and/or Dismount failed! Abort?" No: go on
    EXPECT_EQ(RestoreRaw(file("volume.img"), "\\\\.\\C:", nullptr, 0, 0, false, &status), CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(Questions(answers).back(), "Lock and/or Dismount failed! Abort?");
    EXPECT_TRUE(Messages(answers).empty()) << ::testing::PrintToString(Messages(answers));
    EXPECT_TRUE(Slice(machine->image(0), 1 << 20, 4 << 20) == data);
}

// A restore chosen as raw reads what the file is: an LZ4 image is unpacked,
// not written packed onto the disk, and an image in the LZ4 frame format
// (which images are never stored in) is refused before anything is written.
TEST_F(CopyTest, ARawRestoreOfAnLz4ImageUnpacksItAndAFrameFormatFileIsRefused) {
    start_machine({DiskSpec{2 << 20, {"head -c 2097152 /dev/urandom | dd of=%s conv=notrunc status=none"}, ""}});
    const std::string before = ReadWholeFile(machine->image(0));
    answers.set_default_confirm(true);

    std::string frame = Le32(0x184D2204) + std::string(4096, '\x5a');
    WriteWholeFile(file("frame.lz4"), frame);
    EXPECT_EQ(RestoreRaw(file("frame.lz4"), kDisk0, nullptr, 0, 0, false, &status), CopyResult::Failed);
    // Said before anything is asked, with the format an image must have.
    EXPECT_TRUE(Questions(answers).empty()) << ::testing::PrintToString(answers.texts());
    EXPECT_EQ(Messages(answers).back(), "improper LZ4 file - " + file("frame.lz4") +
                                            ": it is in the LZ4 frame format, which lz4 writes by default; an image "
                                            "is in the legacy format that lz4 -l writes (lz4 -d, then lz4 -l, makes "
                                            "one of it)");
    EXPECT_TRUE(ReadWholeFile(machine->image(0)) == before);

    const std::string data = CompressibleBytes(1 << 20);
    WriteWholeFile(file("packed.lz4"), PackSequentially(data));
    EXPECT_EQ(RestoreRaw(file("packed.lz4"), kDisk0, nullptr, 0, 0, false, &status), CopyResult::Completed);
    EXPECT_TRUE(Slice(machine->image(0), 0, 1 << 20) == data);
}

TEST_F(CopyTest, Lz4RestoreMeasuresTheUnpackedSizeAndTouchesNothingOfADamagedImage) {
    start_machine({DiskSpec{2 << 20, {"head -c 2097152 /dev/urandom | dd of=%s conv=notrunc status=none"}, ""}});
    const std::string before = ReadWholeFile(machine->image(0));
    const std::string data = CompressibleBytes(3 << 20);
    const std::string image = PackSequentially(data);
    ASSERT_LT(image.size(), 2u << 20) << "packed it fits, unpacked it does not";
    WriteWholeFile(file("big.lz4"), image);
    // The question is about what will be written: 3 MiB, not the packed size.
    answers.answer_confirm(true);   // Overwrite
    answers.answer_confirm(false);  // bigger than destination
    EXPECT_EQ(RestoreRaw(file("big.lz4"), kDisk0, nullptr, 0, 0, true, &status), CopyResult::Declined);
    EXPECT_EQ(Questions(answers).back(), "Source (3145728) bigger than destination (2097152)!, Continue?");
    EXPECT_TRUE(ReadWholeFile(machine->image(0)) == before);

    // A block at the end that does not unpack: found before the first write.
    const std::string fits = CompressibleBytes(1 << 20);
    WriteWholeFile(file("damaged.lz4"), PackSequentially(fits) + Le32(100) + std::string(100, '\xff'));
    ScriptedInteraction again;
    again.set_default_confirm(true);
    ScopedInteraction scoped_again(again);
    StatusLog log;
    EXPECT_EQ(RestoreRaw(file("damaged.lz4"), kDisk0, nullptr, 0, 0, true, &log), CopyResult::Failed);
    EXPECT_EQ(Messages(again), std::vector<std::string>{"LZ4_uncompress1 error"});
    EXPECT_TRUE(log.texts().empty()) << ::testing::PrintToString(log.texts());
    EXPECT_TRUE(ReadWholeFile(machine->image(0)) == before);

    // A sound one: the status line gives the size it unpacks to, not the
    // destination's, which the text would otherwise pass off as the source's.
    WriteWholeFile(file("fits.lz4"), PackSequentially(fits));
    EXPECT_EQ(RestoreRaw(file("fits.lz4"), kDisk0, nullptr, 0, 0, true, &log), CopyResult::Completed);
    EXPECT_EQ(log.texts().front(), "Source total_size:1048576, restoring...");
    EXPECT_TRUE(Slice(machine->image(0), 0, 1 << 20) == fits);
}

TEST_F(CopyTest, CancelDuringTheCopyIsNotDone) {
    WriteWholeFile(file("input.bin"), RandomBytes(static_cast<std::size_t>(4 * B), 2));
    // The status target raises the flag as the copy starts, as a window's
    // stop key would while the copy pumps its messages.
    status.on_post = [](const std::string& text) {
        if (text.rfind("Source total_size:", 0) == 0) copy_cancel = true;
    };
    EXPECT_EQ(BackupRaw(file("input.bin"), file("out.bin"), nullptr, 0, 0, false, &status), CopyResult::Cancelled);
    EXPECT_EQ(status.last(), "Aborted at 0");
    EXPECT_FALSE(status.any_starts_with("Done in "));
    copy_cancel = false;
    // Each copy clears the flag as it starts.
    copy_cancel = true;
    StatusLog quiet;
    EXPECT_EQ(BackupRaw(file("input.bin"), file("out.bin"), nullptr, 0, 0, false, &quiet), CopyResult::Completed);
}

TEST_F(CopyTest, RestoreToADiskLocksItsVolumesWhileItWritesAndUnlocksAfter) {
    DiskSpec formatted;
    formatted.size = 16 << 20;
    formatted.prepare = {"printf 'label: dos\\nstart=2048,size=16384,type=83\\n' | sfdisk -q %s",
                         "mkfs.ext4 -q -F -E offset=1048576 %s 8192"};
    start_machine({formatted});
    auto snap = device::Registry::instance().snapshot();
    ASSERT_EQ(snap->volumes.size(), 1u);
    const std::string guid = device::GuidToString(snap->volumes[0].guid);
    ASSERT_FALSE(snap->volumes[0].filesystem.empty());

    // Unlocked, the file system's range cannot be written.
    {
        Handle disk = CreateFile(kDisk0, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        char block[512] = {};
        std::size_t done = 0;
        EXPECT_FALSE(WriteAt(disk, 2 << 20, block, sizeof block, &done));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }

    std::string data = RandomBytes(16 << 20, 17);
    WriteWholeFile(file("disk.img"), data);
    bool locked_while_copying = false;
    std::size_t held = 0;
    status.on_post = [&](const std::string& text) {
        if (text.rfind("Source total_size:", 0) != 0) return;
        locked_while_copying = device::Registry::instance().held_by_us(guid);
        held = LockedVolumeCount();
    };
    ASSERT_EQ(RestoreRaw(file("disk.img"), kDisk0, nullptr, 0, 0, false, &status), CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    EXPECT_TRUE(locked_while_copying);
    EXPECT_EQ(held, 1u);
    EXPECT_EQ(LockedVolumeCount(), 0u);
    EXPECT_FALSE(device::Registry::instance().held_by_us(guid));
    EXPECT_EQ(ReadWholeFile(machine->image(0)), data);
    EXPECT_EQ(status.last().rfind("restore done in ", 0), 0u);
}

TEST_F(CopyTest, ADestinationHoldLocksEveryVolumeOfItsDiskAndLetsGoWhenItEnds) {
    DiskSpec two_volumes;
    two_volumes.size = 16 << 20;
    two_volumes.prepare = {"printf 'label: dos\\nstart=2048,size=8192,type=83\\nstart=10240,size=8192,type=83\\n' | sfdisk -q %s",
                           "mkfs.ext4 -q -F -E offset=1048576 %s 4096", "mkfs.ext4 -q -F -E offset=5242880 %s 4096"};
    start_machine({two_volumes, DiskSpec{}});
    OperationContext context;
    {
        std::unique_ptr<DestinationHold> hold = PrepareDestination(context, kDisk0);
        ASSERT_TRUE(hold) << ::testing::PrintToString(answers.texts());
        EXPECT_EQ(LockedVolumeCount(), 2u);
        EXPECT_TRUE(hold->is_disk());
        EXPECT_EQ(hold->size(), 16 << 20);
        {
            // A copy inside the operation holds the disk once more, as it is.
            std::unique_ptr<DestinationHold> inner = PrepareDestination(context, kDisk0);
            ASSERT_TRUE(inner);
            EXPECT_EQ(LockedVolumeCount(), 2u);
        }
        EXPECT_EQ(LockedVolumeCount(), 2u) << "the inner hold leaves the outer one's locks";
        // Another disk is held on its own, without volumes to lock.
        std::unique_ptr<DestinationHold> other = PrepareDestination(context, kDisk1);
        ASSERT_TRUE(other);
        EXPECT_EQ(LockedVolumeCount(), 2u);
    }
    EXPECT_EQ(LockedVolumeCount(), 0u);
    for (const auto* v : device::Registry::instance().snapshot()->volumes_of(0))
        EXPECT_FALSE(device::Registry::instance().held_by_us(device::GuidToString(v->guid)));
    EXPECT_TRUE(answers.texts().empty()) << ::testing::PrintToString(answers.texts());
    EXPECT_FALSE(EndpointsOverlap("\\\\.\\C:", "\\\\.\\D:"));  // two volumes of one disk share nothing
}

// ---- endpoints that must not be copied onto each other ---------------------------------------

namespace {

struct OverlapCase {
    const char* name;
    const char* src;  // "image0" is the file behind disk 0, "file" a plain file
    const char* dst;
};

class CopyOverlap : public CopyTest, public ::testing::WithParamInterface<OverlapCase> {};

std::string Endpoint(const std::string& name, const EmbeddedMachine& machine, const std::string& plain) {
    if (name == "image0") return machine.image(0);
    if (name == "file") return plain;
    return name;
}

}  // namespace

TEST_P(CopyOverlap, IsRefusedBeforeAnythingIsWritten) {
    DiskSpec formatted;
    formatted.prepare = {"printf 'label: dos\\nstart=2048,size=4096,type=83\\n' | sfdisk -q %s",
                         "mkfs.ext4 -q -F -E offset=1048576 %s 2048"};
    start_machine({formatted, DiskSpec{}});
    std::string plain = file("plain.bin");
    WriteWholeFile(plain, RandomBytes(8 << 20, 3));
    std::string src = Endpoint(GetParam().src, *machine, plain);
    std::string dst = Endpoint(GetParam().dst, *machine, plain);
    std::string disk_before = ReadWholeFile(machine->image(0));

    EXPECT_TRUE(EndpointsOverlap(src, dst));
    EXPECT_EQ(BackupRaw(src, dst, nullptr, 0, 0, false, &status), CopyResult::Failed);
    EXPECT_EQ(RestoreRaw(src, dst, nullptr, 0, 0, false, &status), CopyResult::Failed);
    std::string refusal = "Source " + src + " and destination " + dst + " are the same or one holds the other";
    EXPECT_EQ(Messages(answers), (std::vector<std::string>{refusal, refusal}));
    EXPECT_TRUE(Questions(answers).empty());
    EXPECT_TRUE(status.texts().empty());
    EXPECT_EQ(ReadWholeFile(machine->image(0)), disk_before);
    EXPECT_EQ(std::filesystem::file_size(plain), 8u << 20);
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyOverlap,
                         ::testing::Values(OverlapCase{"same_disk", "\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"},
                                           OverlapCase{"disk_and_its_volume", "\\\\.\\PhysicalDrive0", "\\\\.\\C:"},
                                           OverlapCase{"volume_and_its_disk", "\\\\.\\C:", "\\\\.\\PhysicalDrive0"},
                                           OverlapCase{"same_volume", "\\\\.\\C:", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"},
                                           OverlapCase{"same_file", "file", "file"},
                                           OverlapCase{"disk_and_its_image_file", "\\\\.\\PhysicalDrive0", "image0"},
                                           OverlapCase{"image_file_and_its_disk", "image0", "\\\\.\\PhysicalDrive0"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(CopyTest, DistinctEndpointsAreNotRefused) {
    start_machine({DiskSpec{}, DiskSpec{}});
    WriteWholeFile(file("a.bin"), "a");
    EXPECT_FALSE(EndpointsOverlap(kDisk0, kDisk1));
    EXPECT_FALSE(EndpointsOverlap(file("a.bin"), file("b.bin")));
    EXPECT_FALSE(EndpointsOverlap(kDisk0, file("a.bin")));
    EXPECT_FALSE(EndpointsOverlap(machine->image(1), kDisk0));
}
