// rawvhd: copies between files and VHD/VHDX images, checked with qemu-img,
// its progress cadence and its failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "disk/copy/copy_loop.h"
#include "disk/engines/rawvhd.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/modules/module.h"
#include "platform/virtdisk/server.h"
#include "platform/virtdisk/vhd/vhd_records.h"
#include "support/case_name.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

namespace {

namespace vd = platform::virtdisk;
using test_support::Quote;

constexpr std::int64_t kMiB = 1 << 20;

class RecordingTarget : public platform::OperationTarget {
public:
    std::function<void()> on_post;
    void post(int channel, platform::OperationKind kind, std::int64_t percent, const std::string& text) override {
        {
            std::lock_guard guard(mutex_);
            EXPECT_EQ(channel, platform::WM_OPERATION);
            EXPECT_EQ(kind, platform::OperationKind::Percent);
            EXPECT_EQ(text, "");
            percents_.push_back(percent);
        }
        if (on_post) on_post();
    }
    std::vector<std::int64_t> percents() const {
        std::lock_guard guard(mutex_);
        return percents_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::int64_t> percents_;
};

// A file of `size` bytes with data at its start and end and a hole between.
void MakeSource(const std::string& path, std::int64_t size) {
    test_support::MakeSparseFile(path, size);
    platform::Handle handle = platform::CreateFile(path, platform::GENERIC_WRITE, 0, platform::OPEN_EXISTING, 0);
    std::string data(64 * 1024, 0);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 4093);
    std::size_t done = 0;
    ASSERT_TRUE(platform::WriteAt(handle, 0, data.data(), data.size(), &done));
    ASSERT_TRUE(platform::WriteAt(handle, size - 1000, data.data(), 1000, &done));
}

std::string RaisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing raised)";
}

class RawVhdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    test_support::TempDir dir_;
};

void SkipWithoutServer(bool needed) {
    std::string why;
    if (needed && !vd::CanServeImages(&why)) GTEST_SKIP() << "cannot serve images: " << why;
}

TEST_F(RawVhdTest, PostsAPercentAfterEvery64MiB) {
    MakeSource(file("big.raw"), 6400 * kMiB);
    RecordingTarget target;
    ASSERT_TRUE(disk::rawvhd(file("big.raw"), "/dev/null", disk::kRawVhdToFixedVhd, &target));
    std::vector<std::int64_t> expected;
    for (int percent = 1; percent <= 100; ++percent) expected.push_back(percent);
    EXPECT_EQ(target.percents(), expected);
    EXPECT_TRUE(std::filesystem::exists("/dev/null") && !std::filesystem::is_regular_file("/dev/null"));
}

TEST_F(RawVhdTest, RunsWithoutATarget) {
    MakeSource(file("small.raw"), 3 * kMiB);
    ASSERT_TRUE(disk::rawvhd(file("small.raw"), file("copy.raw"), disk::kRawVhdToDevice, nullptr));
    EXPECT_EQ(test_support::ReadWholeFile(file("copy.raw")), test_support::ReadWholeFile(file("small.raw")));
}

struct ToImageCase {
    const char* name;
    const char* destination;
    int mode;
    std::int64_t size;
    const char* qemu_format;
    bool served;
};

class RawVhdToImage : public RawVhdTest, public ::testing::WithParamInterface<ToImageCase> {};

TEST_P(RawVhdToImage, MakesAnImageThatHoldsTheSource) {
    const ToImageCase& c = GetParam();
    SkipWithoutServer(c.served);
    MakeSource(file("source.raw"), c.size);
    // Whatever was there before is replaced.
    test_support::WriteWholeFile(file(c.destination), std::string(100000, 'j'));
    RecordingTarget target;
    ASSERT_TRUE(disk::rawvhd(file("source.raw"), file(c.destination), c.mode, &target));
    std::vector<std::int64_t> every_64_mib;  // 128 MiB: 50 and 100
    for (std::int64_t at = 64 * kMiB; at <= c.size; at += 64 * kMiB) every_64_mib.push_back(at * 100 / c.size);
    EXPECT_EQ(target.percents(), every_64_mib);

    auto info = test_support::Run("qemu-img info --output=json " + Quote(file(c.destination))).output;
    if (c.mode == disk::kRawVhdToFixedVhd && std::string(c.qemu_format) == "vpc")
        EXPECT_NE(info.find("\"format\": \"raw\""), std::string::npos) << "qemu takes a fixed VHD for raw: " << info;
    else
        EXPECT_NE(info.find(std::string("\"format\": \"") + c.qemu_format + "\""), std::string::npos) << info;
    auto compare = test_support::Run("qemu-img compare -f " + std::string(c.qemu_format) + " -F raw " +
                                     Quote(file(c.destination)) + " " + Quote(file("source.raw")));
    EXPECT_EQ(compare.exit_code, 0) << compare.output;
    if (c.mode == disk::kRawVhdToFixedVhd && std::string(c.qemu_format) == "vhdx") {
        // No larger than qemu-img's own fixed VHDX of that size: written
        // blocks take the room set aside for them, not more at the end.
        ASSERT_EQ(test_support::Run("qemu-img create -q -f vhdx -o subformat=fixed " + Quote(file("peer.vhdx")) + " " +
                                    std::to_string(c.size))
                      .exit_code,
                  0);
        EXPECT_LE(std::filesystem::file_size(file(c.destination)), std::filesystem::file_size(file("peer.vhdx")));
        EXPECT_EQ(test_support::Run("qemu-img check -q " + Quote(file(c.destination))).exit_code, 0);
    }
    if (c.mode == disk::kRawVhdToDynamicVhd && c.size >= 64 * kMiB) {  // room for many blocks, data in two
        EXPECT_LT(std::filesystem::file_size(file(c.destination)), static_cast<std::uintmax_t>(c.size / 2))
            << "the holes of the source take no room in a dynamic image";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RawVhdToImage,
    ::testing::Values(ToImageCase{"FixedVhd", "fixed.vhd", disk::kRawVhdToFixedVhd, 6 * kMiB, "vpc", false},
                      ToImageCase{"DynamicVhd", "dynamic.VHD", disk::kRawVhdToDynamicVhd, 128 * kMiB, "vpc", true},
                      ToImageCase{"FixedVhdx", "fixed.vhdx", disk::kRawVhdToFixedVhd, 6 * kMiB, "vhdx", true},
                      ToImageCase{"FixedVhdxOfManyBlocks", "many.vhdx", disk::kRawVhdToFixedVhd, 64 * kMiB, "vhdx", true},
                      ToImageCase{"DynamicVhdx", "dynamic.vhdx", disk::kRawVhdToDynamicVhd, 6 * kMiB, "vhdx", true},
                      // a source that is no whole number of sectors ends in zeros
                      ToImageCase{"OddSizedSource", "odd.vhd", disk::kRawVhdToDynamicVhd, 3 * kMiB + 100, "vpc", true}),
    test_support::CaseName());

struct FromImageCase {
    const char* name;
    const char* image;
    const char* options;
    bool served;
};

class RawVhdFromImage : public RawVhdTest, public ::testing::WithParamInterface<FromImageCase> {};

TEST_P(RawVhdFromImage, RestoresTheDiskOfAnImageToAFile) {
    const FromImageCase& c = GetParam();
    SkipWithoutServer(c.served);
    MakeSource(file("disk.raw"), 5 * kMiB);
    auto made = test_support::Run("qemu-img convert -f raw " + std::string(c.options) + " " + Quote(file("disk.raw")) +
                                  " " + Quote(file(c.image)));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    test_support::WriteWholeFile(file("restored.raw"), std::string(9 * kMiB, 'o'));  // replaced, not overwritten in place
    ASSERT_TRUE(disk::rawvhd(file(c.image), file("restored.raw"), disk::kRawVhdToDevice, nullptr));
    EXPECT_EQ(test_support::ReadWholeFile(file("restored.raw")), test_support::ReadWholeFile(file("disk.raw")));
    EXPECT_TRUE(std::filesystem::exists(file(c.image))) << "the source stays";
}

INSTANTIATE_TEST_SUITE_P(Images, RawVhdFromImage,
                         ::testing::Values(FromImageCase{"FixedVhd", "a.vhd", "-O vpc -o subformat=fixed,force_size=on", false},
                                           FromImageCase{"DynamicVhd", "b.vhd", "-O vpc -o subformat=dynamic,force_size=on", true},
                                           FromImageCase{"DynamicVhdx", "c.VHDX", "-O vhdx -o subformat=dynamic", true}),
                         test_support::CaseName());

TEST_F(RawVhdTest, TheExtensionDecidesWhatIsAVirtualDisk) {
    // Only ".vhd"/".vhdx" name an image: these plain files are copied as they are.
    for (const char* name : {"backup.vhd.raw", "my.vhdfile"}) {
        MakeSource(file(name), 2 * kMiB);
        ASSERT_TRUE(disk::rawvhd(file(name), file("out.raw"), disk::kRawVhdToDevice, nullptr)) << name;
        EXPECT_EQ(test_support::ReadWholeFile(file("out.raw")), test_support::ReadWholeFile(file(name))) << name;
    }
}

TEST_F(RawVhdTest, ACopyOntoItsOwnSourceIsRefusedAndTheSourceKept) {
    MakeSource(file("disk.raw"), 2 * kMiB);
    std::filesystem::create_hard_link(file("disk.raw"), file("alias.vhd"));
    auto made = test_support::Run("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " +
                                  test_support::Quote(file("disk.raw")) + " " + test_support::Quote(file("a.vhd")));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    const std::string raw = test_support::ReadWholeFile(file("disk.raw"));
    const std::string vhd = test_support::ReadWholeFile(file("a.vhd"));
    platform::ScriptedInteraction ui;
    platform::ScopedInteraction scope(ui);
    struct Case {
        std::string source, destination;
        int mode;
    };
    for (const Case& c : {Case{file("disk.raw"), file("disk.raw"), disk::kRawVhdToDevice},
                          Case{file("disk.raw"), file("alias.vhd"), disk::kRawVhdToFixedVhd},
                          Case{file("a.vhd"), file("a.vhd"), disk::kRawVhdToDevice},
                          Case{file("a.vhd"), file("./a.vhd"), disk::kRawVhdToDynamicVhd}})
        EXPECT_FALSE(disk::rawvhd(c.source, c.destination, c.mode, nullptr)) << c.destination;
    ASSERT_EQ(ui.texts().size(), 4u);
    EXPECT_NE(ui.texts()[0].find("are the same or one holds the other"), std::string::npos) << ui.texts()[0];
    EXPECT_TRUE(test_support::ReadWholeFile(file("disk.raw")) == raw);
    EXPECT_TRUE(test_support::ReadWholeFile(file("a.vhd")) == vhd);
}

TEST_F(RawVhdTest, ASourceThatEndsEarlyFailsInsteadOfHanging) {
    MakeSource(file("shrinking.raw"), 192 * kMiB);
    RecordingTarget target;
    // The source loses its tail while the copy runs.
    target.on_post = [this] { std::filesystem::resize_file(file("shrinking.raw"), 64 * kMiB); };
    EXPECT_EQ(RaisedBy([&] { disk::rawvhd(file("shrinking.raw"), file("out.raw"), disk::kRawVhdToDevice, &target); }),
              "ReadFile SRC ended early at 67108864");
    EXPECT_EQ(target.percents().size(), 1u);
}

TEST_F(RawVhdTest, ASourceThatEndsInsideABlockFailsWhereItEnds) {
    // The reading runs ahead of the writing; a short block must neither hang
    // the copy nor hide where the source really ended.
    struct Case {
        std::int64_t shrunk_to;
        std::string text;
    } cases[] = {
        {64 * kMiB + 512 * 1024, "ReadFile SRC ended early at " + std::to_string(64 * kMiB + 512 * 1024)},
        {64 * kMiB + 4096, "ReadFile SRC ended early at " + std::to_string(64 * kMiB + 4096)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shrunk_to);
        MakeSource(file("shrinking.raw"), 160 * kMiB);
        RecordingTarget target;
        target.on_post = [&] { std::filesystem::resize_file(file("shrinking.raw"), c.shrunk_to); };
        EXPECT_EQ(RaisedBy([&] { disk::rawvhd(file("shrinking.raw"), file("out.raw"), disk::kRawVhdToDevice, &target); }),
                  c.text);
        EXPECT_FALSE(std::filesystem::exists(file("out.raw"))) << "nothing takes the destination's name";
    }
}

TEST_F(RawVhdTest, FailuresCarryTheirStepAndCode) {
    MakeSource(file("source.raw"), kMiB);
    test_support::WriteWholeFile(file("plain.vhd"), std::string(4096, 'p'));
    const std::string not_virtual = std::to_string(platform::ERROR_VIRTDISK_NOT_VIRTUAL_DISK);
    struct Case {
        std::string source, destination;
        int mode;
        std::string text;
    } cases[] = {
        // A source's failure says which file and why, after its step and code.
        {file("missing.raw"), file("out.raw"), 0, platform::FailureLine("CreateFile SRC failed 2", file("missing.raw"), 2)},
        {file("missing.vhd"), file("out.raw"), 0, platform::FailureLine("OpenVHD SRC failed 2", file("missing.vhd"), 2)},
        {file("plain.vhd"), file("out.raw"), 0,
         platform::FailureLine("OpenVHD SRC failed " + not_virtual, file("plain.vhd"), platform::ERROR_VIRTDISK_NOT_VIRTUAL_DISK)},
        {file("source.raw"), file("no/folder/out.vhd"), 1, "CreateVHD DST failed 3"},
        {file("source.raw"), file("missing.vhd"), 0, "OpenVHD DST failed 2"},
        {file("source.raw"), file("no/folder/out.raw"), 0, "CreateFile DST failed 2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RaisedBy([&] { disk::rawvhd(c.source, c.destination, c.mode, nullptr); }), c.text) << c.source;

    platform::HideModuleForTesting("VirtDisk.dll", true);
    EXPECT_EQ(RaisedBy([&] { disk::rawvhd(file("source.raw"), file("x.vhd"), 2, nullptr); }),
              "could not load CreateVirtualDisk from virtdisk.dll");
    platform::HideModuleForTesting("VirtDisk.dll", false);
}

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(RawVhdTest, AFailedCopyLeavesTheOldDestinationAsItWas) {
    struct Case {
        const char* name;
        std::int64_t source_size;
        bool source_shrinks;  // loses its tail after the first 64 MiB
        const char* destination;
        int mode;
        std::string text;
    } cases[] = {
        {"empty source", 0, false, "old.vhd", disk::kRawVhdToFixedVhd, "CreateVHD DST failed 87"},
        {"source beyond a VHD", 2041ll << 30, false, "old.vhd", disk::kRawVhdToDynamicVhd, "CreateVHD DST failed 87"},
        {"copy into a new image breaks off", 192 * kMiB, true, "old.vhd", disk::kRawVhdToFixedVhd,
         "ReadFile SRC ended early at 67108864"},
        {"copy into a new file breaks off", 192 * kMiB, true, "old.raw", disk::kRawVhdToDevice,
         "ReadFile SRC ended early at 67108864"},
    };
    const std::string old_content(100000, 'j');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        const std::string source = dir.file("source.raw"), destination = dir.file(c.destination);
        if (c.source_size > 0) MakeSource(source, c.source_size);
        else test_support::WriteWholeFile(source, "");
        test_support::WriteWholeFile(destination, old_content);
        RecordingTarget target;
        if (c.source_shrinks) target.on_post = [&] { std::filesystem::resize_file(source, 64 * kMiB); };
        EXPECT_EQ(RaisedBy([&] { disk::rawvhd(source, destination, c.mode, &target); }), c.text);
        EXPECT_TRUE(test_support::ReadWholeFile(destination) == old_content) << "the old destination changed";
        EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{c.destination, "source.raw"})) << "nothing left behind";
    }
}

TEST_F(RawVhdTest, NamesThatAreNotUtf8AreRefusedBeforeAnythingIsTouched) {
    MakeSource(file("source.raw"), kMiB);
    // What the name would become with its invalid bytes replaced by U+FFFD.
    const std::string replaced = file("x\xef\xbf\xbd.vhd");
    test_support::WriteWholeFile(replaced, "keep me");
    struct Case {
        std::string source, destination;
        int mode;
        std::string text;
    } cases[] = {
        {file("source.raw"), file("x\xff.vhd"), disk::kRawVhdToDynamicVhd, "CreateVHD DST failed 123"},
        {file("source.raw"), file("x\xff.raw"), disk::kRawVhdToDevice, "CreateFile DST failed 123"},
        {file("x\xff.vhd"), file("out.raw"), disk::kRawVhdToDevice,
         platform::FailureLine("OpenVHD SRC failed 123", file("x\xff.vhd"), platform::ERROR_INVALID_NAME)},
        {file("s\xc3.raw"), file("out.raw"), disk::kRawVhdToDevice,
         platform::FailureLine("CreateFile SRC failed 123", file("s\xc3.raw"), platform::ERROR_INVALID_NAME)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RaisedBy([&] { disk::rawvhd(c.source, c.destination, c.mode, nullptr); }), c.text) << c.destination;
    EXPECT_EQ(test_support::ReadWholeFile(replaced), "keep me");
    EXPECT_EQ(NamesIn(dir_.path()), (std::vector<std::string>{"source.raw", "x\xef\xbf\xbd.vhd"}));
}

test_support::DiskSpec PlainDisk() {
    test_support::DiskSpec disk;
    disk.size = 4 * kMiB;
    return disk;
}

TEST_F(RawVhdTest, AnImageAttachedToTheHostIsNeitherReplacedNorWrittenBesideIt) {
    test_support::EmbeddedMachine machine({PlainDisk()});
    const std::string image = machine.dir().file("attached.vhd");
    MakeSource(file("source.raw"), 2 * kMiB);
    platform::Handle attached;
    ASSERT_EQ(disk::CreateVirtualDisk1(image, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &attached, 2 * kMiB),
              0u);
    ASSERT_EQ(disk::AttachVirtualDisk(attached, 0), 0u);
    ASSERT_NE(disk::GetVirtualDiskPhysicalPath(attached), "");
    const std::string before = test_support::ReadWholeFile(image);
    struct Case {
        std::string destination;
        int mode;
        std::string text;
    } cases[] = {
        {image, disk::kRawVhdToFixedVhd, "CreateVHD DST failed 32"},
        {machine.dir().file("./sub/../attached.vhd"), disk::kRawVhdToDynamicVhd, "CreateVHD DST failed 32"},
        {image, disk::kRawVhdToDevice, "AttachVHD DST failed 32"},  // a second writer beside the host disk
    };
    for (const auto& c : cases)
        EXPECT_EQ(RaisedBy([&] { disk::rawvhd(file("source.raw"), c.destination, c.mode, nullptr); }), c.text)
            << c.destination << " " << c.mode;
    EXPECT_TRUE(test_support::ReadWholeFile(image) == before) << "the attached image changed";
    attached.close();
    // Detached, the image may be replaced again.
    ASSERT_TRUE(disk::rawvhd(file("source.raw"), image, disk::kRawVhdToFixedVhd, nullptr));
    EXPECT_TRUE(test_support::ReadWholeFile(image).substr(0, 2 * kMiB) == test_support::ReadWholeFile(file("source.raw")));
}

TEST_F(RawVhdTest, ACancelledCopyLeavesNoHalfDestinationAndSaysSo) {
    struct Case {
        const char* destination;
        int mode;
    } cases[] = {
        {"old.vhd", disk::kRawVhdToFixedVhd},
        {"old.vhd", disk::kRawVhdToDynamicVhd},
        {"old.raw", disk::kRawVhdToDevice},
    };
    const std::string old_content(100000, 'j');
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.destination) + " " + std::to_string(c.mode));
        test_support::TempDir dir;
        const std::string source = dir.file("source.raw"), destination = dir.file(c.destination);
        MakeSource(source, 192 * kMiB);
        test_support::WriteWholeFile(destination, old_content);
        // The window's Cancel arrives while the copy runs: after its first report.
        std::atomic<bool> cancel{false};
        test_support::RecordedPosts posts;
        posts.on_post = [&](platform::OperationKind, std::int64_t) { cancel = true; };
        disk::OperationContext context;
        context.status = &posts;
        context.cancel = &cancel;
        EXPECT_FALSE(disk::rawvhd(context, source, destination, c.mode));
        EXPECT_EQ(posts.percents(), std::vector<std::int64_t>{33});
        EXPECT_EQ(posts.texts(platform::OperationKind::Status), std::vector<std::string>{"Aborted at 67108864"});
        EXPECT_TRUE(test_support::ReadWholeFile(destination) == old_content) << "the old destination changed";
        EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{c.destination, "source.raw"})) << "nothing left behind";
    }
}

TEST_F(RawVhdTest, TheCopyCancelFlagStopsTheRoutineAndIsClearedAsItStarts) {
    MakeSource(file("source.raw"), 192 * kMiB);
    test_support::RecordedPosts posts;
    posts.on_post = [](platform::OperationKind, std::int64_t) { disk::copy_cancel = true; };
    disk::copy_cancel = true;  // left over from an earlier copy
    EXPECT_FALSE(disk::rawvhd(file("source.raw"), file("out.raw"), disk::kRawVhdToDevice, &posts));
    EXPECT_EQ(posts.texts(platform::OperationKind::Status), std::vector<std::string>{"Aborted at 67108864"});
    EXPECT_FALSE(std::filesystem::exists(file("out.raw")));
    disk::copy_cancel = false;
}

// Writes the record at `at` of the file.
template <typename Record>
void Patch(const std::string& path, std::size_t at, const Record& record) {
    std::string image = test_support::ReadWholeFile(path);
    std::memcpy(image.data() + at, &record, sizeof record);
    test_support::WriteWholeFile(path, image);
}

TEST_F(RawVhdTest, ABrokenVhdSourceIsRefusedAndNothingIsTouched) {
    namespace vhd = platform::virtdisk;
    const std::string not_virtual = std::to_string(platform::ERROR_VIRTDISK_NOT_VIRTUAL_DISK);
    struct Case {
        const char* name;
        const char* subformat;
        std::function<void(const std::string& image)> spoil;
        std::string text;
    } cases[] = {
        {"footer checksum", "fixed",
         [](const std::string& image) {
             std::string bytes = test_support::ReadWholeFile(image);
             bytes[bytes.size() - 512 + 50] ^= 1;
             test_support::WriteWholeFile(image, bytes);
         },
         "OpenVHD SRC failed " + not_virtual},
        {"table beyond the end", "dynamic",
         [](const std::string& image) {
             vhd::VhdDynamicHeader header{};
             std::string bytes = test_support::ReadWholeFile(image);
             std::memcpy(&header, bytes.data() + 512, sizeof header);
             header.table_offset.set(bytes.size() + 512);
             vhd::Seal(header);
             Patch(image, 512, header);
         },
         "OpenVHD SRC failed 13"},
        {"block beyond the end", "dynamic",
         [](const std::string& image) {
             vhd::VhdDynamicHeader header{};
             std::string bytes = test_support::ReadWholeFile(image);
             std::memcpy(&header, bytes.data() + 512, sizeof header);
             Patch(image, header.table_offset.value(),
                   vhd::VhdTableEntry::of(static_cast<std::uint32_t>(bytes.size() / 512 + 8)));
         },
         "AttachVHD SRC failed 13"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        MakeSource(dir.file("disk.raw"), 5 * kMiB);
        const std::string image = dir.file("broken.vhd"), destination = dir.file("old.raw");
        auto made = test_support::Run("qemu-img convert -f raw -O vpc -o subformat=" + std::string(c.subformat) +
                                      ",force_size=on " + Quote(dir.file("disk.raw")) + " " + Quote(image));
        ASSERT_EQ(made.exit_code, 0) << made.output;
        c.spoil(image);
        const std::string spoiled = test_support::ReadWholeFile(image);
        test_support::WriteWholeFile(destination, "the old contents");
        // The step and its code, then the image and the system's text.
        const std::string raised = RaisedBy([&] { disk::rawvhd(image, destination, disk::kRawVhdToDevice, nullptr); });
        EXPECT_EQ(raised.rfind(c.text + " - " + image + ": ", 0), 0u) << raised;
        EXPECT_EQ(test_support::ReadWholeFile(destination), "the old contents");
        EXPECT_TRUE(test_support::ReadWholeFile(image) == spoiled);
        EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{"broken.vhd", "disk.raw", "old.raw"}));
    }
}

TEST_F(RawVhdTest, ARestoreIntoAnExistingVhdWritesItInPlace) {
    for (const char* subformat : {"fixed", "dynamic"}) {
        SCOPED_TRACE(subformat);
        MakeSource(file("old.raw"), 6 * kMiB);
        const std::string image = file("existing.vhd");
        std::filesystem::remove(image);
        auto made = test_support::Run("qemu-img convert -f raw -O vpc -o subformat=" + std::string(subformat) +
                                      ",force_size=on " + Quote(file("old.raw")) + " " + Quote(image));
        ASSERT_EQ(made.exit_code, 0) << made.output;
        std::string data(6 * kMiB, '\0');
        for (std::size_t i = 3 * kMiB; i < 3 * kMiB + 5000; ++i) data[i] = static_cast<char>(i % 251 + 1);
        test_support::WriteWholeFile(file("new.raw"), data);
        ASSERT_TRUE(disk::rawvhd(file("new.raw"), image, disk::kRawVhdToDevice, nullptr));
        auto compare = test_support::Run("qemu-img compare -f vpc -F raw " + Quote(image) + " " + Quote(file("new.raw")));
        EXPECT_EQ(compare.exit_code, 0) << compare.output;
    }
}

}  // namespace
