// Wipe, clean volume and the speed tests on disks of the embedded
// host. Clean Volume runs on an NTFS made by mkntfs over bytes of 0xFF, so
// that every free cluster it zeroes shows, and ntfsfix and ntfscat say the
// file system and its files came through.
#include <gtest/gtest.h>

#include <regex>

#include "disk/device/handle_ops.h"
#include "main/operations/speed_test.h"
#include "main/operations/wipe.h"
#include "platform/base/interaction.h"
#include "platform/device/filesystems/ntfs.h"
#include "platform/device/handle.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/image_reader.h"

using namespace tarnovell;
using platform::OperationKind;
using platform::ScopedInteraction;
using platform::ScriptedInteraction;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kNtfsStart = kMiB;
constexpr std::int64_t kNtfsSize = 40 * kMiB;
constexpr std::int64_t kFatStart = 42 * kMiB;
constexpr std::int64_t kDiskSize = 64 * kMiB;

std::string Slice(const std::string& bytes, std::int64_t at, std::int64_t length) {
    return bytes.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
}

// C: an NTFS over 0xFF bytes with two files, D: a FAT volume.
DiskSpec CleanableDisk(const std::string& ntfs, const std::string& data) {
    DiskSpec spec{kDiskSize, {}, ""};
    spec.prepare = {
        "printf 'label: dos\\nstart=2048,size=81920,type=7\\nstart=86016,size=40960,type=6\\n' | sfdisk -q %s",
        "head -c " + std::to_string(kNtfsSize) + " /dev/zero | tr '\\000' '\\377' > " + ntfs + " && mkntfs -Q -F -q -L Clean " +
            ntfs + " 2>/dev/null && head -c 3000000 /dev/urandom > " + data + " && ntfscp -q " + ntfs + " " + data +
            " one.bin && ntfscp -q " + ntfs + " " + data + " two.bin",
        "dd if=" + ntfs + " of=%s bs=1M seek=1 conv=notrunc status=none",
        "mkfs.fat -F 16 -n OTHER --offset 86016 %s 20480 >/dev/null",
    };
    return spec;
}

class WipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("mkntfs")) GTEST_SKIP() << "mkntfs not installed (package ntfs-3g)";
        machine_ = std::make_unique<EmbeddedMachine>(
            std::vector<DiskSpec>{CleanableDisk(dir_.file("ntfs.img"), dir_.file("data.bin"))});
        context_.status = &posts_;
        context_.cancel = &cancel_;
    }

    std::string Disk() const { return test_support::ReadWholeFile(machine_->image(0)); }
    std::string Status() const {
        auto texts = posts_.texts(OperationKind::Status);
        return texts.empty() ? "" : texts.back();
    }

    test_support::TempDir dir_;
    std::unique_ptr<EmbeddedMachine> machine_;
    ScriptedInteraction ui_;
    ScopedInteraction scoped_{ui_};
    test_support::RecordedPosts posts_;
    std::atomic<bool> cancel_{false};
    disk::OperationContext context_;
};

}  // namespace

TEST_F(WipeTest, CleanVolumeZeroesEveryFreeClusterAndNothingElse) {
    const std::string before = Disk();
    // The free clusters as the volume's own bitmap has them, before the clean.
    test_support::ImageReader reader(machine_->image(0));
    auto volume = platform::device::ntfs::Volume::Open(reader.reader(), kNtfsStart, kNtfsSize);
    ASSERT_TRUE(volume);
    const std::uint64_t cluster = volume->boot().cluster_size;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> free;
    ASSERT_TRUE(volume->for_each_free_run([&](std::uint64_t first, std::uint64_t count) {
        free.emplace_back(first, count);
        return true;
    }));
    std::uint64_t free_clusters = 0;
    for (const auto& run : free) free_clusters += run.second;
    const std::string info = test_support::Run("ntfsinfo -m " + dir_.file("ntfs.img")).output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(info, m, std::regex("Free Clusters: (\\d+)")));
    ASSERT_EQ(free_clusters, std::stoull(m[1]));

    ui_.answer_confirm(true);
    ASSERT_EQ(ZeroFreeClusters("\\\\.\\C:", context_), WipeResult::Completed);
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"zero all unused clusters for \\\\.\\C:?"});
    EXPECT_EQ(Status().rfind("zeroed clusters : " + std::to_string(free_clusters) + " (", 0), 0u) << Status();

    const std::string after = Disk();
    std::string expected = before;
    for (const auto& [first, count] : free)
        expected.replace(static_cast<std::size_t>(kNtfsStart + first * cluster), static_cast<std::size_t>(count * cluster),
                         std::string(static_cast<std::size_t>(count * cluster), '\0'));
    // Used clusters, the space past the last cluster and the other volume are as they were.
    EXPECT_TRUE(after == expected);
    EXPECT_NE(after, before);

    const std::string cleaned = dir_.file("cleaned.img");
    test_support::RunOn("dd if=%s of=" + cleaned + " bs=1M skip=1 count=40 status=none", machine_->image(0));
    test_support::CommandResult fix = test_support::Run("ntfsfix -n " + cleaned);
    EXPECT_EQ(fix.exit_code, 0) << fix.output;
    for (const char* name : {"one.bin", "two.bin"})
        EXPECT_EQ(test_support::Run("ntfscat " + cleaned + " " + name + " | cmp - " + dir_.file("data.bin")).exit_code, 0)
            << name;
}

TEST_F(WipeTest, CleanVolumeOnFatSaysItIsNoNtfsAndWritesNothing) {
    const std::string before = Disk();
    ui_.answer_confirm(true);
    EXPECT_EQ(ZeroFreeClusters("\\\\.\\D:", context_), WipeResult::Failed);
    ASSERT_EQ(ui_.texts().size(), 2u);
    EXPECT_EQ(ui_.texts()[1].rfind("could not get ntfs data, not a NTFS volume?\r\n", 0), 0u) << ui_.texts()[1];
    EXPECT_TRUE(Disk() == before);
}

TEST_F(WipeTest, CleanVolumeLeavesAVolumeItCannotLockAlone) {
    const std::string before = Disk();
    disk::SetLockRetryDelay(std::chrono::milliseconds(1));
    {
        // Someone else has the volume open: its file system could allocate
        // any cluster the bitmap calls free.
        platform::Handle other = platform::CreateFile("\\\\.\\C:", platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                      platform::OPEN_EXISTING, 0);
        ASSERT_TRUE(other);
        ui_.answer_confirm(true);
        EXPECT_EQ(ZeroFreeClusters("\\\\.\\C:", context_), WipeResult::Failed);
    }
    disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
    ASSERT_EQ(ui_.texts().size(), 2u);
    EXPECT_EQ(ui_.texts()[1].rfind("lock failed,", 0), 0u) << ui_.texts()[1];
    EXPECT_TRUE(Disk() == before);
}

TEST_F(WipeTest, WipeOfAVolumeZeroesItsWindowOnly) {
    const std::string before = Disk();
    ui_.answer_confirm(false);
    EXPECT_EQ(WipeDevice("\\\\.\\D:", context_), WipeResult::Declined);
    EXPECT_TRUE(Disk() == before);

    ui_.answer_confirm(true);
    ASSERT_EQ(WipeDevice("\\\\.\\D:", context_), WipeResult::Completed);
    const std::string after = Disk();
    EXPECT_TRUE(Slice(after, kFatStart, 20 * kMiB) == std::string(20 * kMiB, '\0'));
    EXPECT_TRUE(Slice(after, 0, kFatStart) == Slice(before, 0, kFatStart));
    EXPECT_TRUE(std::regex_match(Status(), std::regex("done in \\d+ ms, \\d+ KBytes/sec"))) << Status();
    EXPECT_EQ(posts_.texts(OperationKind::Status).front(), "in progress...you may press cancel during operation...");
}

TEST_F(WipeTest, ACancelledWipeStopsAndSaysSo) {
    ui_.answer_confirm(true);
    cancel_ = true;
    EXPECT_EQ(WipeDevice("\\\\.\\PhysicalDrive0", context_), WipeResult::Cancelled);
    EXPECT_EQ(Status().rfind("Aborted at ", 0), 0u) << Status();
}

TEST_F(WipeTest, SpeedTestsReportTheirRateOnWhatTheyMoved) {
    SpeedTestOptions options;
    options.drive = "C: [Clean]";
    options.buffer_size = SpeedBufferSize(2);
    options.test_bytes = 16 * kMiB;
    for (auto test : {&SequentialReadTest, &RandomReadTest}) {
        ASSERT_TRUE(test(options, context_));
        EXPECT_TRUE(std::regex_match(Status(), std::regex("done in \\d+ ms, \\d+ KBytes/sec"))) << Status();
    }
    // The write tests mount the volume for themselves, which takes root.
    if (!test_support::IsRoot()) return;
    ASSERT_TRUE(SequentialWriteTest(options, context_)) << ui_.texts().back();
    EXPECT_TRUE(std::regex_match(Status(), std::regex("done in \\d+ ms, \\d+ KBytes/sec"))) << Status();
    EXPECT_TRUE(ui_.texts().empty()) << ui_.texts().front();
}

TEST(SpeedTestChoices, BufferSizesAndFlags) {
    EXPECT_EQ(SpeedBufferSize(0), 4096u);
    EXPECT_EQ(SpeedBufferSize(1), 65536u);
    EXPECT_EQ(SpeedBufferSize(-1), 65536u);  // nothing selected
    EXPECT_EQ(SpeedBufferSize(3), 1048576u);
    EXPECT_EQ(SpeedFlags(0), 0u);
    EXPECT_EQ(SpeedFlags(1), 2147483776u);
    EXPECT_EQ(SpeedFlags(2), 536871040u);
    EXPECT_EQ(SpeedFlags(3), 134217856u);
    EXPECT_EQ(SpeedFlags(-1), 128u);
}
