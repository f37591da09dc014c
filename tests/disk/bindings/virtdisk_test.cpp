// The virtual-disk wrappers: looked up at each call, paths by their
// extension, and a disk copied onto a freshly attached VHD that qemu-img
// then finds identical to the source.
#include "disk/bindings/virtdisk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "disk/engines/copy_engine.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
#include "platform/modules/module.h"
#include "platform/virtdisk/server.h"
#include "support/case_name.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

namespace {

namespace vd = platform::virtdisk;
using platform::Handle;
using test_support::Quote;

constexpr std::int64_t kMiB = 1 << 20;

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector<test_support::DiskSpec>{test_support::PartitionedExt4Disk()});
    }
    void TearDown() override { machine_.reset(); }
    std::string file(const std::string& name) const { return machine_->dir().file(name); }
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
};

TEST(StorageTypeOfPath, FollowsTheFileNamesExtension) {
    struct Case {
        const char* path;
        std::uint32_t device;
    } cases[] = {
        {"/images/disk.vhd", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
        {"/images/DISK.VHDX", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDX},
        {"/images/set.vhds", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET},
        {"/images/cd.ISO", vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO},
        {"/images/cd.iso.vhdx", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDX},
        {"/images/other.img", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
        // Folders do not count, nor does text after the extension.
        {"/data/old.vhdx.d/new.vhd", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
        {"/data/cd.iso/disk.vhdx", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDX},
        {"C:\\cds.iso\\disk", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
        {"D:\\images\\CD.Iso", vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO},
        {"/images/backup.vhdx.img", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
        {"/images/set.vhdset", vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD},
    };
    for (const auto& c : cases) {
        auto type = disk::StorageTypeOfPath(c.path);
        EXPECT_EQ(type.DeviceId, c.device) << c.path;
        EXPECT_TRUE(type.VendorId == vd::VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT) << c.path;
    }
}

TEST(LoweredExtension, IsTheLastDotOfTheFileName) {
    struct Case {
        const char* path;
        const char* extension;
    } cases[] = {
        {"/a/b.VHD", ".vhd"}, {"b.vhdx", ".vhdx"}, {"/a.vhd/b", ""}, {"C:\\a.vhd\\b", ""},
        {"/a/.vhd", ""},      {"/a/b.", "."},       {"", ""},         {"/a/x.tar.GZ", ".gz"},
    };
    for (const auto& c : cases) EXPECT_EQ(disk::LoweredExtension(c.path), c.extension) << c.path;
}

TEST_F(WrapperTest, PathsThatAreNotUtf8AreRefusedBeforeAnythingIsTouched) {
    const std::string bad = file("bad\xff\xfe.vhd");
    const std::string replaced = file("bad\xef\xbf\xbd\xef\xbf\xbd.vhd");  // what U+FFFD would have made of it
    Handle handle;
    EXPECT_EQ(disk::CreateVirtualDisk1(bad, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &handle, kMiB),
              platform::ERROR_INVALID_NAME);
    EXPECT_EQ(disk::CreateVirtualDisk0(file("good.vhd"), vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, bad,
                                       &handle, 0),
              platform::ERROR_INVALID_NAME);
    EXPECT_FALSE(handle.valid());
    EXPECT_FALSE(std::filesystem::exists(replaced));
    EXPECT_FALSE(std::filesystem::exists(file("good.vhd")));
    test_support::WriteWholeFile(replaced, "not an image");
    EXPECT_EQ(disk::OpenVirtualDisk(bad, &handle, 0, 2, 0), platform::ERROR_INVALID_NAME);
    EXPECT_EQ(test_support::ReadWholeFile(replaced), "not an image");
}

TEST(VirtDiskWrappers, RaiseTheirTextWhenTheLibraryIsMissing) {
    platform::HideModuleForTesting("VirtDisk.dll", true);
    Handle handle;
    disk::StorageDependency dependency;
    disk::GET_VIRTUAL_DISK_INFO info{};
    struct Case {
        std::function<void()> call;
        const char* text;
    } cases[] = {
        {[&] { disk::OpenVirtualDisk("/x.vhd", &handle, 0, 2, 0); }, "could not load Open from virtdisk.dll"},
        {[&] { disk::CreateVirtualDisk1("/x.vhd", 0, 0, 0, nullptr, nullptr, "", &handle, kMiB); },
         "could not load CreateVirtualDisk from virtdisk.dll"},
        {[&] { disk::CreateVirtualDisk0("/x.vhd", 0, 0, 0, nullptr, nullptr, "", &handle, kMiB); },
         "could not load CreateVirtualDisk from virtdisk.dll"},
        {[&] { disk::AttachVirtualDisk(handle, 0); }, "could not load Attach from virtdisk.dll"},
        {[&] { disk::DetachVirtualDisk(handle); }, "could not load Detach from virtdisk.dll"},
        {[&] { disk::ResizeVirtualDisk(handle); }, "could not load ResizeVirtualDisk from virtdisk.dll"},
        {[&] { disk::CompactVirtualDisk(handle); }, "could not load CompactVirtualDisk from virtdisk.dll"},
        {[&] { disk::ExpandVirtualDisk(handle, kMiB); }, "could not load ExpandVirtualDisk from virtdisk.dll"},
        {[&] { disk::MergeVirtualDisk(handle); }, "could not load MergeVirtualDisk from virtdisk.dll"},
        {[&] { disk::GetVirtualDiskInformation(handle, info); },
         "could not load GetVirtualDiskInformation from virtdisk.dll"},
        {[&] { disk::GetVirtualDiskPhysicalPath(handle); },
         "could not load GetVirtualDiskPhysicalPath from virtdisk.dll"},
        {[&] { disk::GetStorageDependencyInformation(0, dependency); },
         "could not load GetStorageDependencyInformation from virtdisk.dll"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
    platform::HideModuleForTesting("VirtDisk.dll", false);
}

// ---- a disk copied onto an attached VHD ------------------------------------------

struct CopyCase {
    const char* name;
    const char* extension;
    bool fixed;
    const char* qemu_format;
};

class CopyOntoVirtualDisk : public WrapperTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyOntoVirtualDisk, BackupRawOfTheDemoDiskMatchesIt) {
    const CopyCase& c = GetParam();
    std::string why;
    const bool served = !(c.fixed && std::string(c.extension) == ".vhd");
    if (served && !vd::CanServeImages(&why)) GTEST_SKIP() << "cannot serve images: " << why;
    std::string path = file(std::string("copy") + c.extension);
    Handle handle;
    auto create = c.fixed ? disk::CreateVirtualDisk1 : disk::CreateVirtualDisk0;
    ASSERT_EQ(create(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &handle, 8 * kMiB), 0u);
    ASSERT_EQ(disk::AttachVirtualDisk(handle, 0), 0u);
    std::string physical = disk::GetVirtualDiskPhysicalPath(handle);
    ASSERT_EQ(physical, "\\\\.\\PhysicalDrive1");
    ASSERT_NE(platform::device::Registry::instance().snapshot()->disk(1), nullptr);

    platform::ScriptedInteraction answers;
    answers.set_default_confirm(true);
    platform::ScopedInteraction scoped(answers);
    ASSERT_EQ(disk::BackupRaw("\\\\.\\PhysicalDrive0", physical, nullptr, 0, 0, false), disk::CopyResult::Completed)
        << ::testing::PrintToString(answers.texts());
    // The copied partition shows up as a volume of the new disk.
    auto snap = platform::device::Registry::instance().refresh();
    ASSERT_EQ(snap->volumes_of(1).size(), 1u);
    EXPECT_EQ(snap->volumes_of(1)[0]->filesystem, "ext4");

    disk::StorageDependency dependency;
    ASSERT_EQ(disk::GetStorageDependencyInformation(physical, dependency), 0);
    EXPECT_EQ(dependency.DependentVolumeRelativePath, std::filesystem::canonical(path).string());
    EXPECT_EQ(dependency.DependencyDeviceName, physical);
    EXPECT_EQ(dependency.HostVolumeName, "");
    disk::StorageDependency by_number;
    ASSERT_EQ(disk::GetStorageDependencyInformation(1, by_number), 0);
    EXPECT_EQ(by_number.DependentVolumeRelativePath, dependency.DependentVolumeRelativePath);
    EXPECT_EQ(disk::GetStorageDependencyInformation("\\\\.\\PhysicalDrive0", by_number), 255) << "no virtual disk";

    // Detaching as the main window does: through a handle opened from the dependency's path.
    Handle detach;
    ASSERT_EQ(disk::OpenVirtualDisk(dependency.DependentVolumeRelativePath, &detach, vd::VIRTUAL_DISK_ACCESS_DETACH, 1, 1), 0u);
    ASSERT_EQ(disk::DetachVirtualDisk(detach), 0u);
    EXPECT_EQ(platform::device::Registry::instance().snapshot()->disk(1), nullptr);
    handle.close();

    auto compare = test_support::Run("qemu-img compare -f " + std::string(c.qemu_format) + " -F raw " + Quote(path) + " " +
                                     Quote(machine_->image(0)));
    EXPECT_EQ(compare.exit_code, 0) << compare.output;
}

INSTANTIATE_TEST_SUITE_P(Formats, CopyOntoVirtualDisk,
                         ::testing::Values(CopyCase{"FixedVhd", ".vhd", true, "vpc"},
                                           CopyCase{"DynamicVhd", ".vhd", false, "vpc"},
                                           CopyCase{"FixedVhdx", ".vhdx", true, "vhdx"},
                                           CopyCase{"DynamicVhdx", ".vhdx", false, "vhdx"}),
                         test_support::CaseName());

TEST_F(WrapperTest, AnIsoIsOpenedForReadingWhateverTheCallerAsks) {
    if (!test_support::HaveTool("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    std::filesystem::create_directories(file("tree"));
    test_support::WriteWholeFile(file("tree/a.txt"), "a");
    auto made = test_support::Run("xorriso -as mkisofs -quiet -o " + Quote(file("cd.iso")) + " " + Quote(file("tree")));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    Handle handle;
    ASSERT_EQ(disk::OpenVirtualDisk(file("cd.iso"), &handle, vd::VIRTUAL_DISK_ACCESS_ALL, 1, 1), 0u);
    ASSERT_EQ(disk::AttachVirtualDisk(handle, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), 0u);
    std::string sector(2048, 0);
    std::size_t done = 0;
    EXPECT_TRUE(platform::ReadAt(handle, 0, sector.data(), sector.size(), &done));
    EXPECT_FALSE(platform::WriteAt(handle, 0, sector.data(), sector.size(), &done)) << "attached read-only";
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_WRITE_PROTECT);
    disk::GET_VIRTUAL_DISK_INFO info{};
    info.Version = vd::GET_VIRTUAL_DISK_INFO_VIRTUAL_STORAGE_TYPE;
    ASSERT_EQ(disk::GetVirtualDiskInformation(handle, info), 0u);
    EXPECT_EQ(info.VirtualStorageType.DeviceId, vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO);
}

TEST_F(WrapperTest, MetaOperationsReturnTheServiceResult) {
    std::string path = file("meta.vhd");
    Handle handle;
    ASSERT_EQ(disk::CreateVirtualDisk1(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &handle, 4 * kMiB),
              0u);
    handle.close();
    ASSERT_EQ(disk::OpenVirtualDisk(path, &handle, vd::VIRTUAL_DISK_ACCESS_METAOPS, 1, 1), 0u);
    EXPECT_EQ(disk::ExpandVirtualDisk(handle, 8 * kMiB), 0u);
    disk::GET_VIRTUAL_DISK_INFO info{};
    info.Version = vd::GET_VIRTUAL_DISK_INFO_SIZE;
    ASSERT_EQ(disk::GetVirtualDiskInformation(handle, info), 0u);
    EXPECT_EQ(info.Size.VirtualSize, static_cast<std::uint64_t>(8 * kMiB));
    EXPECT_EQ(disk::CompactVirtualDisk(handle), 0u);
    EXPECT_EQ(disk::MergeVirtualDisk(handle), vd::ERROR_VHD_INVALID_TYPE);
    EXPECT_EQ(disk::ResizeVirtualDisk(handle), platform::ERROR_NOT_SUPPORTED) << "a blank disk has no safe smaller size";
    EXPECT_EQ(disk::GetVirtualDiskPhysicalPath(handle), "") << "not attached";
    Handle missing;
    EXPECT_EQ(disk::OpenVirtualDisk(file("none.vhd"), &missing, vd::VIRTUAL_DISK_ACCESS_ALL, 1, 1),
              platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(disk::CreateVirtualDisk0(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &missing, kMiB),
              platform::ERROR_FILE_EXISTS);
    EXPECT_FALSE(missing.valid());
}

TEST_F(WrapperTest, DependencyOfADiskThatCannotBeOpenedRaises) {
    disk::StorageDependency dependency;
    try {
        disk::GetStorageDependencyInformation("\\\\.\\PhysicalDrive7", dependency);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "could not createfile");
    }
}

TEST_F(WrapperTest, HandleLengthOfDisksAndFiles) {
    Handle drive = platform::CreateFile("\\\\.\\PhysicalDrive0", platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                        platform::OPEN_EXISTING, 0);
    EXPECT_EQ(disk::GetHandleLength(drive), 8 * kMiB);
    Handle image = platform::CreateFile(machine_->image(0), platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                        platform::OPEN_EXISTING, 0);
    EXPECT_EQ(disk::GetHandleLength(image), 0) << "a file answers no disk requests";
}

}  // namespace
