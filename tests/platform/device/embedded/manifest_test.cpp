// The machine manifest as the embedded host reads it: what a hand-written
// manifest may say, and the line and words of each thing it may get wrong.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/device/embedded/manifest.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"

using platform::device::ManifestDisk;
using platform::device::ManifestError;
using platform::device::ParseMachineManifest;

TEST(MachineManifest, AByteOrderMarkBeforeTheFirstSectionIsSkipped) {
    const auto disks = ParseMachineManifest("\xEF\xBB\xBF[disk3]\r\nimage=three.img\r\n");
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].number, 3);
    EXPECT_EQ(disks[0].image, "three.img");
}

TEST(MachineManifest, ReadsEveryKeyWithCommentsAndAnyCase) {
    const auto disks = ParseMachineManifest(
        "; a machine\r\n"
        "[disk2]   ; the second\r\n"
        "image = two.img ; beside the manifest\r\n"
        "Vendor=ACME\r\nproduct=Big Disk\r\nrevision=1.0\r\nserial=0002\r\nBUS=usb\r\nremovable=yes\r\n"
        "sector_size=4096\r\nreadonly=1\r\n"
        "\r\n# another\r\n[Disk0]\r\nimage=/images/zero.img\r\n");
    ASSERT_EQ(disks.size(), 2u);
    const ManifestDisk& two = disks[0];
    EXPECT_EQ(two.number, 2);
    EXPECT_EQ(two.line, 2);
    EXPECT_EQ(two.image, "two.img");
    EXPECT_EQ(two.vendor, "ACME");
    EXPECT_EQ(two.product, "Big Disk");
    EXPECT_EQ(two.revision, "1.0");
    EXPECT_EQ(two.serial, "0002");
    EXPECT_EQ(two.bus_type, static_cast<std::uint32_t>(platform::BusTypeUsb));
    EXPECT_TRUE(two.removable);
    EXPECT_TRUE(two.read_only);
    EXPECT_EQ(two.sector_size, 4096u);
    const ManifestDisk& zero = disks[1];
    EXPECT_EQ(zero.number, 0);
    EXPECT_EQ(zero.image, "/images/zero.img");
    EXPECT_EQ(zero.product, "");  // the host names it
    EXPECT_EQ(zero.bus_type, static_cast<std::uint32_t>(platform::BusTypeSata));
    EXPECT_FALSE(zero.removable);
    EXPECT_EQ(zero.sector_size, 512u);
    EXPECT_TRUE(ParseMachineManifest("").empty());
    EXPECT_TRUE(ParseMachineManifest("; nothing yet\n").empty());
}

TEST(MachineManifest, SaysWhereAndWhatIsWrong) {
    struct Case {
        const char* text;
        const char* error;
    };
    for (const Case& c : {
             Case{"image=a.img\n", "line 1: image= stands before any [diskN] section"},
             Case{"[disk0\nimage=a.img\n", "line 1: a section heading without its ']': [disk0"},
             Case{"[disk0] x\nimage=a.img\n", "line 1: text after the section heading: [disk0] x"},
             Case{"[options]\n", "line 1: [options] is no disk section (disk0 to disk15)"},
             Case{"[disk16]\nimage=a\n", "line 1: [disk16] is no disk section (disk0 to disk15)"},
             Case{"[disk1000]\nimage=a\n", "line 1: [disk1000] is no disk section (disk0 to disk15)"},
             Case{"[disk01]\nimage=a\n", "line 1: [disk01] is no disk section (disk0 to disk15)"},
             Case{"[disk0]\nimage=a\n\n[DISK0]\nimage=b\n", "line 4: [DISK0] is given twice"},
             Case{"[disk0]\nimage a.img\n", "line 2: neither a section heading nor key=value: image a.img"},
             Case{"[disk0]\n=a.img\n", "line 2: a value without its key: =a.img"},
             Case{"[disk0]\nimage=a\nIMAGE=b\n", "line 3: IMAGE= is given twice in its section"},
             Case{"[disk0]\nimgae=a.img\n", "line 2: unknown key imgae"},
             Case{"[disk0]\nimage=\n", "line 2: image= names no file"},
             Case{"[disk0]\nvendor=ACME\n[disk1]\nimage=b\n", "line 1: [disk0] names no image"},
             Case{"[disk0]\nimage=a\n[disk1]\nimage=dir/../a\n", "line 3: [disk1] names the image of [disk0]: dir/../a"},
             Case{"[disk0]\nimage=a\nbus=Firewire\n",
                  "line 3: bus=Firewire is none of Scsi, Atapi, Ata, 1394, Ssa, Fibre, Usb, RAID, iSCSI, Sas, Sata, Unknown"},
             Case{"[disk0]\nimage=a\nremovable=maybe\n", "line 3: removable=maybe is neither 0 nor 1"},
             Case{"[disk0]\nimage=a\nsector_size=1000\n", "line 3: sector_size=1000 is not a power of two from 512 to 4096"},
             Case{"[disk0]\nimage=a\nsector_size=256\n", "line 3: sector_size=256 is not a power of two from 512 to 4096"},
             Case{"[disk0]\nimage=a\nsector_size=8192\n", "line 3: sector_size=8192 is not a power of two from 512 to 4096"},
             Case{"[disk0]\nimage=a\nsector_size=0x200\n", "line 3: sector_size=0x200 is not a power of two from 512 to 4096"},
         }) {
        SCOPED_TRACE(c.text);
        try {
            ParseMachineManifest(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ManifestError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
}

// The registry over a manifest that cannot be read: no disks, the reason
// named, and nothing written beside it.
TEST(MachineManifest, TheRegistrySaysWhyTheMachineIsEmpty) {
    test_support::EmbeddedMachine machine({test_support::DiskSpec{}});
    auto& registry = platform::device::Registry::instance();
    EXPECT_EQ(registry.problem(), "");
    ASSERT_EQ(registry.snapshot()->disks.size(), 1u);

    const std::string missing = machine.dir().file("elsewhere/machine.ini");
    setenv("TARNOVELL_HOST", missing.c_str(), 1);
    platform::device::Registry::Reset();
    auto& other = platform::device::Registry::instance();
    EXPECT_TRUE(other.snapshot()->disks.empty());
    EXPECT_EQ(other.problem(),
              "TARNOVELL_HOST manifest " + missing + ": cannot be read: The system cannot find the file specified");
    EXPECT_FALSE(std::filesystem::exists(machine.dir().file("elsewhere")));

    // Mended, the next refresh finds the disks again.
    std::filesystem::create_directories(machine.dir().file("elsewhere"));
    test_support::WriteWholeFile(missing, "[disk0]\nimage=../disk0.img\n");
    EXPECT_EQ(other.refresh()->disks.size(), 1u);
    EXPECT_EQ(other.problem(), "");
}
