// The boot-code writers' checks and templates on a disk of the embedded
// host: the table stays as sfdisk dumped it, the signature stays 55 AA,
// and what would overwrite a table or a partition is refused unwritten.
#include "main/operations/boot_code.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "main/operations/boot_record_targets.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"

using namespace tarnovell;
using test_support::DiskSpec;

namespace {

const std::string kDisk0 = "\\\\.\\PhysicalDrive0";
const std::string kDisk1 = "\\\\.\\PhysicalDrive1";
const std::string kDisk2 = "\\\\.\\PhysicalDrive2";

DiskSpec MbrDisk(const char* table) {
    return DiskSpec{8 << 20, {"head -c 8388608 /dev/urandom | dd of=%s conv=notrunc status=none",
                              std::string("printf '") + table + "' | sfdisk -q %s"}, ""};
}

class BootCode : public ::testing::Test {
protected:
    std::string Dump(int disk) { return test_support::Run("sfdisk --dump " + machine_.image(disk)).output; }
    std::string Bytes(int disk, std::size_t offset, std::size_t length) {
        return test_support::ReadWholeFile(machine_.image(disk)).substr(offset, length);
    }
    std::string Folder() { return machine_.dir().path().string() + "/"; }

    test_support::EmbeddedMachine machine_{
        {MbrDisk("label: dos\\nstart=2048,size=4096,type=83\\n"),
         DiskSpec{8 << 20, {"sgdisk -n 1:2048:+2M %s >/dev/null"}, ""},
         MbrDisk("label: dos\\nstart=2,size=4096,type=83\\n")}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

}  // namespace

TEST_F(BootCode, TheStandardMbrBecomesTheTemplateAndChangesOnlyTheBootCode) {
    const std::string made = MbrTemplate(Folder());
    EXPECT_EQ(made, Folder() + "nt62.mbr");
    const std::string code = test_support::ReadWholeFile(kStandardMbr);
    const std::string sector = test_support::ReadWholeFile(made);
    ASSERT_EQ(sector.size(), 512u);
    EXPECT_EQ(sector.substr(0, 440), code.substr(0, 440));
    EXPECT_EQ(sector.substr(510), "\x55\xAA");
    // Written beside its name and renamed: nothing else is left in the folder.
    for (const auto& entry : std::filesystem::directory_iterator(Folder()))
        EXPECT_EQ(entry.path().filename().string().find("nt62.mbr."), std::string::npos) << entry.path();

    const std::string table = Dump(0);
    const std::string signature_and_table = Bytes(0, 440, 72);
    ASSERT_TRUE(ChangeMbrBootCode(kDisk0, made, {}));
    EXPECT_EQ(Bytes(0, 0, 440), code.substr(0, 440));
    EXPECT_EQ(Bytes(0, 440, 72), signature_and_table);
    EXPECT_EQ(Bytes(0, 510, 2), "\x55\xAA");
    EXPECT_EQ(Dump(0), table);
    EXPECT_TRUE(ui_.texts().empty());
}

TEST_F(BootCode, ATemplateInTheProgramFolderIsUsedAsItStands) {
    test_support::WriteWholeFile(Folder() + "nt62.mbr", std::string(512, 'M'));
    EXPECT_EQ(test_support::ReadWholeFile(MbrTemplate(Folder(), "/nonexistent/mbr.bin")), std::string(512, 'M'));
    std::filesystem::remove(Folder() + "nt62.mbr");
    try {
        MbrTemplate(Folder(), "/nonexistent/mbr.bin");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("syslinux-common"), std::string::npos) << e.what();
    }
    for (const char* name : {"grldr.mbr", "nt62.bs"}) {
        try {
            SuppliedTemplate(Folder(), name);
            ADD_FAILURE() << name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(std::string(name) + " is not in " + Folder(), 0), 0u) << e.what();
        }
        test_support::WriteWholeFile(Folder() + name, std::string(8192, 'G'));
        EXPECT_EQ(SuppliedTemplate(Folder(), name), Folder() + name);
    }
}

TEST_F(BootCode, CodeLongerThanASectorMustFindTheSectorsAfterTheFirstFree) {
    const std::string long_code = machine_.dir().file("grldr.mbr");
    test_support::RunOn("head -c 8192 /dev/urandom > %s", long_code);
    const std::string short_code = machine_.dir().file("short.mbr");
    test_support::WriteWholeFile(short_code, std::string(439, 'S'));

    struct Refused {
        std::string disk;
        int image;
        std::string file;
        const char* said;
    };
    for (const Refused& c : {Refused{kDisk1, 1, long_code, "has a GUID partition table"},
                             Refused{kDisk2, 2, long_code, "Partition 1 of \\\\.\\PhysicalDrive2 starts at sector 2"},
                             Refused{kDisk0, 0, short_code, "holds 439 bytes"}}) {
        const std::string before = test_support::ReadWholeFile(machine_.image(c.image));
        try {
            ChangeMbrBootCode(c.disk, c.file, {});
            ADD_FAILURE() << c.said;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
        }
        EXPECT_EQ(test_support::ReadWholeFile(machine_.image(c.image)), before) << c.said;
    }

    // With the first partition at 1 MiB the sixteen sectors are free.
    const std::string table = Dump(0);
    ASSERT_TRUE(ChangeMbrBootCode(kDisk0, long_code, {}));
    const std::string code = test_support::ReadWholeFile(long_code);
    EXPECT_EQ(Bytes(0, 0, 440), code.substr(0, 440));
    EXPECT_EQ(Bytes(0, 512, 8192 - 512), code.substr(512));
    EXPECT_EQ(Dump(0), table);
}

TEST_F(BootCode, TheLoaderIsCopiedWhereTheFirstPartitionIsMounted) {
    const std::string mount = machine_.dir().file("mounted") + "/";
    std::filesystem::create_directories(mount);
    test_support::WriteWholeFile(Folder() + "menu.lst", "title boot\n");
    EXPECT_FALSE(CopyGrubLoader(Folder(), mount));  // no grldr to copy
    EXPECT_EQ(test_support::ReadWholeFile(mount + "menu.lst"), "title boot\n");
    test_support::WriteWholeFile(Folder() + "grldr", "LOADER");
    EXPECT_TRUE(CopyGrubLoader(Folder(), mount));
    EXPECT_EQ(test_support::ReadWholeFile(mount + "grldr"), "LOADER");
    // An image file is no disk: no partition of it is mounted anywhere.
    EXPECT_EQ(FirstPartitionMountPath(machine_.image(0)), "");
}

TEST(BootRecordTargets, DynamicVhdsAreToldFromFixedOnesAndRawImages) {
    test_support::TempDir dir;
    const std::string dynamic = dir.file("dynamic.vhd"), fixed = dir.file("fixed.vhd"), raw = dir.file("raw.img");
    test_support::RunOn("qemu-img create -q -f vpc -o subformat=dynamic %s 8M", dynamic);
    test_support::RunOn("qemu-img create -q -f vpc -o subformat=fixed %s 8M", fixed);
    test_support::RunOn("truncate -s 8M %s", raw);
    EXPECT_TRUE(IsDynamicVhdFile(dynamic));
    EXPECT_FALSE(IsDynamicVhdFile(fixed));
    EXPECT_FALSE(IsDynamicVhdFile(raw));
    EXPECT_THROW(RefuseDynamicVhd(dynamic), std::runtime_error);
    EXPECT_NO_THROW(RefuseDynamicVhd(fixed));
    // The footer's copy at the start is enough to tell.
    test_support::RunOn("truncate -s -512 %s", dynamic);
    EXPECT_TRUE(IsDynamicVhdFile(dynamic));

    const ByteRange range = PartitionRowRange("4294967295", "$10", 4096);
    EXPECT_EQ(range.offset, 4294967295LL * 4096);
    EXPECT_EQ(range.length, 16 * 4096);
    EXPECT_THROW(PartitionRowRange("4294967296", "1", 512), std::runtime_error);
    EXPECT_THROW(PartitionRowRange("1", "x", 512), std::runtime_error);

    EXPECT_FALSE(RowRestoreRefusal(raw, 8 << 20));
    ASSERT_TRUE(RowRestoreRefusal(raw, (8 << 20) - 512));
    EXPECT_NE(RowRestoreRefusal(raw, 512)->find("is larger than the partition (512 bytes)"), std::string::npos);
}
