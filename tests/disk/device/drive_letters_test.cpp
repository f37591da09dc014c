// Drive letters are given back: a letter remembered for a volume that is no
// longer there is a preference, not a reservation. A machine whose state
// file remembers letters for 24 absent volumes still gives a new volume a
// letter, a row in the device list and a \\.\X: path, on both hosts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "platform/base/ini_file.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/device/volume_api.h"
#include "support/embedded_machine.h"
#include "support/loop_disk.h"

namespace {

namespace ts = test_support;
using platform::device::Registry;

// The GUID of the absent volume that remembered `letter`.
std::string AbsentOwner(char letter) {
    char guid[64];
    std::snprintf(guid, sizeof guid, "{0000AB5E-0000-4000-8000-0000000000%02X}", static_cast<unsigned>(letter));
    return guid;
}

// A state file that remembers C: to Z: for absent volumes, all but `spare`.
void RememberAbsentVolumes(const std::string& state_file, char spare) {
    std::string text = "[letters]\n";
    for (char c = 'C'; c <= 'Z'; ++c)
        if (c != spare) text += AbsentOwner(c) + "=" + std::string(1, c) + "\n";
    ts::WriteWholeFile(state_file, text);
}

struct LetterCase {
    const char* name;
    char spare;     // a letter nobody remembers (0: none)
    char expected;  // the letter the new volume gets
};

// What a volume the machine has never seen gets, with the state file as the
// case has it; the machine's one volume is volume 0 of the registry.
void ExpectTheNewVolumeGetsItsLetter(const LetterCase& c, const std::string& state_file) {
    auto snap = Registry::instance().refresh();
    ASSERT_EQ(snap->volumes.size(), 1u);
    const char letter = snap->volumes[0].letter;
    EXPECT_EQ(letter, c.expected) << c.name;
    if (!letter) return;

    // A row in the device list, and a path that opens.
    bool listed = false;
    for (const auto& row : disk::FillDiskList(0, "MB"))
        listed = listed || (row.device == "PART 0,1" && row.description.rfind(std::string(1, letter) + ":", 0) == 0);
    EXPECT_TRUE(listed) << c.name;
    platform::Handle volume = platform::CreateFile(platform::device::LetterVolumePath(letter), platform::GENERIC_READ,
                                                   platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                   platform::OPEN_EXISTING, 0);
    EXPECT_TRUE(volume) << c.name;

    // The letter is the volume's now; an absent volume that had it gets
    // another when it comes back, and the others keep theirs.
    const platform::IniFile state = platform::IniFile::Load(state_file);
    EXPECT_EQ(state.GetString("letters", platform::device::GuidToString(snap->volumes[0].guid)),
              std::string(1, letter));
    for (char other = 'C'; other <= 'Z'; ++other) {
        if (other == c.spare) continue;
        EXPECT_EQ(state.Get("letters", AbsentOwner(other)).has_value(), other != letter) << other;
    }
    EXPECT_EQ(Registry::instance().refresh()->volumes[0].letter, letter) << "remembered";

    // Asked for by name, a letter an absent volume remembers is given too.
    const std::string volume_name = snap->volumes[0].guid_path;
    ASSERT_TRUE(platform::DeleteVolumeMountPointA(std::string(1, letter) + ":\\"));
    ASSERT_TRUE(platform::SetVolumeMountPointA("E:\\", volume_name)) << platform::GetLastError();
    EXPECT_EQ(Registry::instance().snapshot()->volumes[0].letter, 'E');
    EXPECT_FALSE(platform::IniFile::Load(state_file).Get("letters", AbsentOwner('E')).has_value());
}

const LetterCase kCases[] = {
    {"every_letter_remembered_takes_the_first_whose_owner_is_absent", 0, 'C'},
    {"a_letter_nobody_remembers_goes_first", 'K', 'K'},
};

}  // namespace

TEST(DriveLettersAreGivenBack, OnTheEmbeddedHost) {
    for (const LetterCase& c : kCases) {
        ts::EmbeddedMachine machine({ts::PartitionedExt4Disk()});
        RememberAbsentVolumes(machine.manifest() + ".state", c.spare);
        Registry::Reset();
        ExpectTheNewVolumeGetsItsLetter(c, machine.manifest() + ".state");
    }
}

TEST(DriveLettersAreGivenBack, OnTheLinuxHost) {
    if (const std::string missing = ts::LoopDevicesMissing({"mkfs.ext4"}); !missing.empty()) GTEST_SKIP() << missing;
    for (const LetterCase& c : kCases) {
        ts::LoopMachine machine;
        ts::LoopDisk* disk = machine.make("disk", "label: dos\n2048,40960,83\n", {1}, 32 << 20);
        ASSERT_TRUE(disk);
        const std::string state_file = machine.work().file("state.ini");
        RememberAbsentVolumes(state_file, c.spare);
        machine.offer({disk});
        ExpectTheNewVolumeGetsItsLetter(c, state_file);
    }
}
