// The Speed Test tab's four tests on a volume of each host, chosen as the
// person chooses it, from the entries of its drive selector: an ext4 volume
// of the embedded host, which the write tests mount for themselves, and a
// mounted ext4 volume of the Linux host, which they write into where it is
// (on a machine whose every letter is remembered for a volume long gone).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "disk/device/device_lists.h"
#include "main/operations/speed_test.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/loop_disk.h"

using namespace tarnovell;
using platform::OperationKind;

namespace {

namespace ts = test_support;
constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kTestBytes = 4 * kMiB;

// Where a host keeps the volume's files for the test to look at.
struct VolumeFiles {
    // The size of `name` at the volume's root (-1 when it is not there).
    std::function<std::int64_t(const std::string& name)> size_of;
    // "" when the file system is sound, else what its checker said.
    std::function<std::string()> check;
};

class SpeedTestOnAVolume : public ::testing::Test {
protected:
    // Runs all four tests, with each buffering choice, on the selector's only entry.
    void RunEveryTest(const VolumeFiles& files) {
        const std::vector<std::string> entries = disk::FillDriveCombo(10);
        ASSERT_EQ(entries.size(), 1u) << "the volume has a letter in the selector";
        struct Test {
            const char* name;
            bool (*run)(const SpeedTestOptions&, const disk::OperationContext&);
            std::int64_t file_left;  // the size of the file a write test leaves at the root: -1 none
        };
        const Test tests[] = {{"sequential write", &SequentialWriteTest, kTestBytes},
                              {"sequential read", &SequentialReadTest, -1},
                              {"random write", &RandomWriteTest, -1},
                              {"random read", &RandomReadTest, -1}};
        for (int radio : {0, 2}) {  // None, No_Buffering
            for (const Test& test : tests) {
                SCOPED_TRACE(std::string(test.name) + " with flags " + std::to_string(SpeedFlags(radio)));
                ts::RecordedPosts posts;
                std::atomic<bool> cancel{false};
                disk::OperationContext context;
                context.status = &posts;
                context.cancel = &cancel;
                SpeedTestOptions options;
                options.drive = entries[0];
                options.flags = SpeedFlags(radio);
                options.test_bytes = kTestBytes;
                ASSERT_TRUE(test.run(options, context)) << (ui_.texts().empty() ? "" : ui_.texts().back());
                EXPECT_TRUE(ui_.texts().empty()) << ui_.texts().front();
                const auto statuses = posts.texts(OperationKind::Status);
                ASSERT_FALSE(statuses.empty());
                EXPECT_TRUE(std::regex_match(statuses.back(), std::regex("done in \\d+ ms, \\d+ KBytes/sec")))
                    << statuses.back();
                if (test.run == &SequentialWriteTest || test.run == &RandomWriteTest)
                    EXPECT_EQ(files.size_of(kSpeedTestFile), test.file_left);
            }
        }
        EXPECT_EQ(files.check(), "");
    }

    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

}  // namespace

TEST_F(SpeedTestOnAVolume, OfTheEmbeddedHostMountedForTheWriteTests) {
    if (!ts::IsRoot()) GTEST_SKIP() << "needs root: the write tests mount the volume through a loop device";
    ts::EmbeddedMachine machine({ts::DiskSpec{32 << 20,
                                              {"printf 'label: dos\\nstart=2048,size=32768,type=83\\n' | sfdisk -q %s",
                                               "mkfs.ext4 -q -F -L SPEED -E offset=1048576 %s 16384"},
                                              ""}});
    const std::string copy = machine.dir().file("volume.img");
    auto take_copy = [&] {
        ts::Run("dd if=" + machine.image(0) + " of=" + copy + " bs=1M skip=1 count=16 status=none");
    };
    VolumeFiles files;
    files.size_of = [&](const std::string& name) -> std::int64_t {
        take_copy();
        const auto stat = ts::Run("debugfs -R 'stat /" + name + "' " + copy + " 2>/dev/null");
        std::smatch m;
        if (!std::regex_search(stat.output, m, std::regex("Size: (\\d+)"))) return -1;
        return std::stoll(m[1]);
    };
    files.check = [&] {
        take_copy();
        const auto fsck = ts::Run("e2fsck -fn " + copy);
        return fsck.exit_code == 0 ? std::string() : fsck.output;
    };
    RunEveryTest(files);
    // Our mount went, and the loop device under it.
    EXPECT_EQ(ts::Run("losetup -j " + ts::Quote(machine.image(0))).output, "");
}

TEST_F(SpeedTestOnAVolume, OfTheLinuxHostWhereItIsMounted) {
    if (const std::string missing = ts::LoopDevicesMissing({"mkfs.ext4"}); !missing.empty()) GTEST_SKIP() << missing;
    ts::LoopMachine machine;
    ts::LoopDisk* disk = machine.make("disk", "label: dos\n2048,65536,83\n", {1}, 64 << 20);
    ASSERT_TRUE(disk);
    // A machine where many disks have come and gone: every letter is
    // remembered for a volume that is not there.
    std::string state = "[letters]\n";
    for (char c = 'C'; c <= 'Z'; ++c)
        state += "{0000AB5E-0000-4000-8000-0000000000" + std::to_string(10 + c - 'C') + "}=" + std::string(1, c) + "\n";
    ts::WriteWholeFile(machine.work().file("state.ini"), state);
    machine.offer({disk});
    const std::string folder = machine.mount_folder("disk", 1);
    VolumeFiles files;
    files.size_of = [&](const std::string& name) -> std::int64_t {
        std::error_code ec;
        const auto size = std::filesystem::file_size(folder + "/" + name, ec);
        return ec ? -1 : static_cast<std::int64_t>(size);
    };
    files.check = [] { return std::string(); };  // a mounted file system is not checked
    const std::vector<std::string> mounts = ts::MountsFrom(disk->part(1));
    RunEveryTest(files);
    EXPECT_EQ(ts::MountsFrom(disk->part(1)), mounts) << "the volume stays where it was, and only there";
}
