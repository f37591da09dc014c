// The virtual-disk entry points over qemu-img, qemu-nbd/nbdfuse and our VHD
// code, checked against qemu-img itself.
#include "platform/virtdisk/virtdisk.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/device/host/attached_disks.h"
#include "platform/device/registry.h"
#include "platform/modules/module.h"
#include "platform/virtdisk/nbd.h"
#include "platform/virtdisk/server.h"
#include "platform/virtdisk/vhd/vhd_file.h"
#include "platform/base/wide_text.h"
#include "support/case_name.h"
#include "support/embedded_machine.h"
#include "support/loop_disk.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace {

using namespace platform;
using namespace platform::virtdisk;
using platform::device::Registry;
using test_support::Quote;

constexpr std::int64_t kMiB = 1 << 20;

VIRTUAL_STORAGE_TYPE TypeOf(ULONG device) { return {device, VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT}; }

DWORD Create(const std::string& path, ULONG device, bool fixed, std::uint64_t size, Handle* out) {
    VIRTUAL_STORAGE_TYPE type = TypeOf(device);
    CREATE_VIRTUAL_DISK_PARAMETERS parameters{};
    parameters.Version = 1;
    parameters.Version1.MaximumSize = size;
    std::u16string wide = Utf8ToUtf16(path);
    return CreateVirtualDisk(&type, wide.c_str(), VIRTUAL_DISK_ACCESS_ALL, nullptr,
                             fixed ? CREATE_VIRTUAL_DISK_FLAG_FULL_PHYSICAL_ALLOCATION : CREATE_VIRTUAL_DISK_FLAG_NONE, 0,
                             &parameters, nullptr, out);
}

DWORD Open(const std::string& path, ULONG device, Handle* out, DWORD access = VIRTUAL_DISK_ACCESS_ALL) {
    VIRTUAL_STORAGE_TYPE type = TypeOf(device);
    OPEN_VIRTUAL_DISK_PARAMETERS parameters{};
    parameters.Version = 1;
    parameters.Version1.RWDepth = 1;
    std::u16string wide = Utf8ToUtf16(path);
    return OpenVirtualDisk(&type, wide.c_str(), access, OPEN_VIRTUAL_DISK_FLAG_NONE, &parameters, out);
}

DWORD Attach(Handle& handle, DWORD flags) { return AttachVirtualDisk(&handle, nullptr, flags, 0, nullptr, nullptr); }

std::string PhysicalPath(Handle& handle) {
    char16_t buffer[128] = {};
    ULONG size = sizeof buffer;
    if (GetVirtualDiskPhysicalPath(&handle, &size, buffer) != 0) return "";
    return Utf16ToUtf8(buffer);
}

std::string Pattern(std::size_t length, char seed) { return test_support::PatternBytes(length, static_cast<unsigned char>(seed)); }

// The disk bytes of an image as qemu-img reads them.
std::string RawContent(const std::string& image, const char* format, const test_support::TempDir& dir) {
    std::string raw = dir.file("content.raw");
    auto result = test_support::Run("qemu-img convert -f " + std::string(format) + " -O raw " + Quote(image) + " " + Quote(raw));
    EXPECT_EQ(result.exit_code, 0) << result.output;
    std::string content = test_support::ReadWholeFile(raw);
    std::filesystem::remove(raw);
    return content;
}

std::int64_t JsonNumber(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return -1;
    return std::stoll(json.substr(json.find(':', at) + 1));
}

bool NeedsServer(ULONG device, bool fixed) { return !(device == VIRTUAL_STORAGE_TYPE_DEVICE_VHD && fixed); }

#define SKIP_WITHOUT_SERVER(needed)                                                       \
    do {                                                                                  \
        std::string why;                                                                  \
        if ((needed) && !CanServeImages(&why)) GTEST_SKIP() << "cannot serve images: " << why; \
    } while (0)

class VirtDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    }
};

// ---- the module -----------------------------------------------------------------

TEST_F(VirtDiskTest, ModuleLoadsWhereQemuImgIsAndExportsTheWindowsNames) {
    HMODULE module = LoadLibraryA("C:\\Windows\\System32\\VirtDisk.dll");
    ASSERT_NE(module, nullptr);
    std::string file = GetModuleFileNameA(module);
    EXPECT_EQ(file, test_support::Run("command -v qemu-img").output.substr(0, file.size()));
    EXPECT_EQ(file.front(), '/');
    for (const char* name : {"OpenVirtualDisk", "CreateVirtualDisk", "AttachVirtualDisk", "DetachVirtualDisk",
                             "GetVirtualDiskInformation", "GetVirtualDiskPhysicalPath", "GetStorageDependencyInformation",
                             "ExpandVirtualDisk", "MergeVirtualDisk", "CompactVirtualDisk", "ResizeVirtualDisk"})
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(GetProcAddress(module, "ApplySnapshotVhdSet"), nullptr);
    FreeLibrary(module);
}

TEST_F(VirtDiskTest, ModuleDoesNotLoadWithoutQemuImg) {
    test_support::TempDir empty;
    HMODULE module = nullptr;
    DWORD error = ERROR_SUCCESS;
    {
        test_support::ScopedEnvironment path("PATH", empty.path().c_str());
        module = LoadLibraryA("VirtDisk.dll");
        error = GetLastError();
    }
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error, ERROR_MOD_NOT_FOUND);
    if (module) FreeLibrary(module);
}

// ---- create, information, handle I/O --------------------------------------------

struct FormatCase {
    const char* name;
    ULONG device;
    bool fixed;
    const char* extension;
    const char* qemu_format;
};

const FormatCase kFormats[] = {
    {"FixedVhd", VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, ".vhd", "vpc"},
    {"DynamicVhd", VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, ".vhd", "vpc"},
    {"FixedVhdx", VIRTUAL_STORAGE_TYPE_DEVICE_VHDX, true, ".vhdx", "vhdx"},
    {"DynamicVhdx", VIRTUAL_STORAGE_TYPE_DEVICE_VHDX, false, ".vhdx", "vhdx"},
};

class VirtDiskFormatTest : public VirtDiskTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(VirtDiskFormatTest, CreatesWhatQemuImgRecognises) {
    const FormatCase& c = GetParam();
    test_support::TempDir dir;
    std::string path = dir.file(std::string("disk") + c.extension);
    Handle handle;
    ASSERT_EQ(Create(path, c.device, c.fixed, 12 * kMiB, &handle), ERROR_SUCCESS);
    EXPECT_EQ(handle.kind(), HandleKind::VirtualDisk);

    auto info = test_support::Run("qemu-img info --output=json -f " + std::string(c.qemu_format) + " " + Quote(path));
    ASSERT_EQ(info.exit_code, 0) << info.output;
    EXPECT_NE(info.output.find(std::string("\"format\": \"") + c.qemu_format + "\""), std::string::npos);
    EXPECT_EQ(JsonNumber(info.output, "virtual-size"), 12 * kMiB);
    // qemu's probe takes a fixed VHD for raw; a fixed VHDX holds all its blocks.
    auto probed = test_support::Run("qemu-img info --output=json " + Quote(path)).output;
    if (c.device == VIRTUAL_STORAGE_TYPE_DEVICE_VHD)
        EXPECT_NE(probed.find(c.fixed ? "\"format\": \"raw\"" : "\"format\": \"vpc\""), std::string::npos) << probed;
    else
        EXPECT_EQ(std::filesystem::file_size(path) >= static_cast<std::uintmax_t>(12 * kMiB), c.fixed);

    alignas(8) std::uint8_t buffer[2064] = {};
    auto* disk_info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(buffer);
    ULONG size = sizeof buffer;
    disk_info->Version = GET_VIRTUAL_DISK_INFO_SIZE;
    ASSERT_EQ(GetVirtualDiskInformation(&handle, &size, disk_info, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(disk_info->Size.VirtualSize, static_cast<ULONGLONG>(12 * kMiB));
    EXPECT_EQ(disk_info->Size.PhysicalSize, std::filesystem::file_size(path));
    EXPECT_EQ(disk_info->Size.SectorSize, 512u);
    disk_info->Version = GET_VIRTUAL_DISK_INFO_PROVIDER_SUBTYPE;
    ASSERT_EQ(GetVirtualDiskInformation(&handle, &size, disk_info, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(disk_info->ProviderSubtype, c.fixed ? 2u : 3u);
    disk_info->Version = GET_VIRTUAL_DISK_INFO_VIRTUAL_STORAGE_TYPE;
    ASSERT_EQ(GetVirtualDiskInformation(&handle, &size, disk_info, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(disk_info->VirtualStorageType.DeviceId, c.device);
    EXPECT_TRUE(disk_info->VirtualStorageType.VendorId == VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT);
    disk_info->Version = GET_VIRTUAL_DISK_INFO_PARENT_LOCATION;
    EXPECT_EQ(GetVirtualDiskInformation(&handle, &size, disk_info, nullptr), ERROR_VHD_INVALID_TYPE);
}

TEST_P(VirtDiskFormatTest, AttachedWithoutHostTheHandleReadsAndWritesTheDisk) {
    const FormatCase& c = GetParam();
    SKIP_WITHOUT_SERVER(NeedsServer(c.device, c.fixed));
    test_support::TempDir dir;
    std::string path = dir.file(std::string("disk") + c.extension);
    const std::string head = Pattern(3 * kMiB, 'a'), tail = Pattern(4096, 'z');
    {
        Handle handle;
        ASSERT_EQ(Create(path, c.device, c.fixed, 8 * kMiB, &handle), ERROR_SUCCESS);
        std::size_t done = 0;
        char sector[512];
        EXPECT_FALSE(ReadAt(handle, 0, sector, sizeof sector, &done)) << "not attached yet";
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
        EXPECT_EQ(PhysicalPath(handle), "") << "no disk of the machine";
        ASSERT_TRUE(WriteAt(handle, 0, head.data(), head.size(), &done));
        ASSERT_TRUE(WriteAt(handle, 8 * kMiB - 4096, tail.data(), tail.size(), &done));
        EXPECT_FALSE(WriteAt(handle, 8 * kMiB - 512, tail.data(), 1024, &done)) << "past the end";
        std::string back(4096, 0);
        ASSERT_TRUE(ReadAt(handle, 8 * kMiB - 4096, back.data(), back.size(), &done));
        EXPECT_EQ(back, tail);
        ASSERT_TRUE(ReadAt(handle, 8 * kMiB - 100, back.data(), back.size(), &done));
        EXPECT_EQ(done, 100u) << "reads stop at the virtual size";
        std::int64_t end = 0;
        ASSERT_TRUE(SetFilePointerEx(handle, 0, &end, FILE_END));
        EXPECT_EQ(end, 8 * kMiB);
    }  // closing detaches
    std::string content = RawContent(path, c.qemu_format, dir);
    ASSERT_EQ(content.size(), static_cast<std::size_t>(8 * kMiB));
    EXPECT_EQ(content.substr(0, head.size()), head);
    EXPECT_EQ(content.substr(8 * kMiB - 4096), tail);
    EXPECT_EQ(content.substr(head.size(), 4096), std::string(4096, 0));
}

INSTANTIATE_TEST_SUITE_P(Formats, VirtDiskFormatTest, ::testing::ValuesIn(kFormats),
                         test_support::CaseName());

// ---- attaching for this process alone -----------------------------------------

// Processes named `name` this process started and has not reaped. A FUSE
// server would be one of them: counting mounts instead would count those of
// every other test running beside this one.
int OurChildren(const std::string& name) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat = test_support::ReadWholeFile(entry.path().string() + "/stat");
        auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        if (stat.substr(open + 1, close - open - 1) != name) continue;
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == ::getpid()) ++count;
    }
    return count;
}

int OurQemuNbdChildren() { return OurChildren("qemu-nbd"); }

struct InProcessCase {
    const char* name;
    bool reopened;  // attached through a fresh open rather than the handle that created it
};

class VirtDiskInProcessTest : public VirtDiskTest, public ::testing::WithParamInterface<InProcessCase> {};

TEST_P(VirtDiskInProcessTest, DynamicVhdRoundTripsThroughTheHandleWithoutAFuseMount) {
    if (!test_support::HaveTool("qemu-nbd")) GTEST_SKIP() << "qemu-nbd is not installed";
    if (!CanServeInProcess()) GTEST_SKIP() << "libnbd.so.0 is not installed";
    test_support::TempDir dir;
    const std::string path = dir.file("disk.vhd");
    const std::int64_t size = 8 * kMiB;
    const std::string data = Pattern(3 * kMiB + 4096, 'q'), tail = Pattern(512, 't');
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, size, &handle), ERROR_SUCCESS);
        if (GetParam().reopened) {
            handle.close();
            ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
        }
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
        EXPECT_EQ(OurChildren("nbdfuse"), 0) << "served without FUSE";
        EXPECT_EQ(OurQemuNbdChildren(), 1);

        // Positioned and sequential calls; a request larger than the
        // server takes at once, at an odd sector.
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(handle, 512 * 3, data.data(), data.size(), &done));
        EXPECT_EQ(done, data.size());
        ASSERT_TRUE(SetFilePointerEx(handle, size - 512, nullptr, FILE_BEGIN));
        DWORD moved = 0;
        ASSERT_TRUE(WriteFile(handle, tail.data(), static_cast<DWORD>(tail.size()), &moved));
        EXPECT_EQ(moved, tail.size());
        EXPECT_FALSE(WriteAt(handle, size - 512, tail.data(), 1024, &done)) << "past the end";
        EXPECT_TRUE(FlushFileBuffers(handle));
        std::string back(data.size(), 0);
        ASSERT_TRUE(ReadAt(handle, 512 * 3, back.data(), back.size(), &done));
        EXPECT_EQ(back, data);
        ASSERT_TRUE(SetFilePointerEx(handle, size - 512, nullptr, FILE_BEGIN));
        std::string end(1024, 0);
        ASSERT_TRUE(ReadFile(handle, end.data(), static_cast<DWORD>(end.size()), &moved));
        EXPECT_EQ(moved, 512u) << "reads stop at the virtual size";
        EXPECT_EQ(end.substr(0, 512), tail);
        ASSERT_TRUE(handle.close());
    }
    EXPECT_EQ(OurQemuNbdChildren(), 0) << "closing stops the server";
    std::string content = RawContent(path, "vpc", dir);
    ASSERT_EQ(content.size(), static_cast<std::size_t>(size));
    EXPECT_EQ(content.substr(512 * 3, data.size()), data);
    EXPECT_EQ(content.substr(size - 512), tail);
    EXPECT_EQ(content.substr(0, 512 * 3), std::string(512 * 3, 0));

    // Read-only, and detached explicitly this time.
    Handle reader;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &reader), ERROR_SUCCESS);
    ASSERT_EQ(Attach(reader, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST | ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY),
              ERROR_SUCCESS);
    std::string back(data.size(), 0);
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(reader, 512 * 3, back.data(), back.size(), &done));
    EXPECT_EQ(back, data);
    EXPECT_FALSE(WriteAt(reader, 0, data.data(), 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    EXPECT_EQ(DetachVirtualDisk(&reader, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), ERROR_SUCCESS);
    EXPECT_EQ(OurQemuNbdChildren(), 0) << "detaching stops the server";
    EXPECT_FALSE(ReadAt(reader, 0, back.data(), 512, &done)) << "detached";
    EXPECT_EQ(OurChildren("nbdfuse"), 0);
}

INSTANTIATE_TEST_SUITE_P(Attaches, VirtDiskInProcessTest,
                         ::testing::Values(InProcessCase{"CreatingHandle", false}, InProcessCase{"Reopened", true}),
                         test_support::CaseName());

// ---- attaching into the embedded host --------------------------------------------

// Attaches `path` from a child process of its own, which then ends, having
// closed its handle or not. True when the child's attach succeeded.
bool AttachInAnotherProcess(const std::string& path, DWORD flags, bool close_handle) {
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        Registry::Reset();
        Handle handle;
        bool ok = Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle) == ERROR_SUCCESS &&
                  Attach(handle, flags) == ERROR_SUCCESS;
        if (close_handle) handle.close();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const device::DiskInfo* DiskNamed(const device::Snapshot& snap, const std::string& physical_path) {
    const std::string prefix = "\\\\.\\PhysicalDrive";
    if (physical_path.rfind(prefix, 0) != 0) return nullptr;
    return snap.disk(std::stoi(physical_path.substr(prefix.size())));
}

class VirtDiskHostTest : public VirtDiskTest {
protected:
    void SetUp() override {
        VirtDiskTest::SetUp();
        if (IsSkipped()) return;
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector<test_support::DiskSpec>{test_support::PartitionedExt4Disk()});
    }
    void TearDown() override { machine_.reset(); }
    std::string file(const std::string& name) const { return machine_->dir().file(name); }
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
};

TEST_F(VirtDiskHostTest, AttachAddsTheNextDiskAndClosingTakesItAway) {
    std::string path = file("data.vhd");
    std::string physical;
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 4 * kMiB, &handle), ERROR_SUCCESS);
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS);
        physical = PhysicalPath(handle);
        EXPECT_EQ(physical, "\\\\.\\PhysicalDrive1");
        auto snap = Registry::instance().snapshot();
        const device::DiskInfo* disk = DiskNamed(*snap, physical);
        ASSERT_NE(disk, nullptr);
        EXPECT_EQ(disk->size, 4 * kMiB);
        EXPECT_FALSE(disk->media_read_only);
        EXPECT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SHARING_VIOLATION) << "attached already";

        // The new disk is a disk like any other: its writes land in the image.
        Handle drive = CreateFile(physical, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, 0);
        ASSERT_TRUE(drive.valid());
        std::string data = Pattern(4096, 'q');
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(drive, kMiB, data.data(), data.size(), &done));
        drive.close();
        EXPECT_EQ(test_support::ReadWholeFile(path).substr(kMiB, 4096), data);

        // A second open of the same image cannot attach it twice.
        Handle again;
        ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &again), ERROR_SUCCESS);
        EXPECT_EQ(Attach(again, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(PhysicalPath(again), physical) << "the attached disk is found from any handle";
    }
    EXPECT_EQ(Registry::instance().snapshot()->disk(1), nullptr);
    Registry::Reset();
    EXPECT_EQ(Registry::instance().snapshot()->disk(1), nullptr);
}

TEST_F(VirtDiskHostTest, NoSecondWriterBesideAnAttachOnTheHostOrInThisProcess) {
    std::string path = file("shared.vhd");
    {
        Handle host;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 2 * kMiB, &host), ERROR_SUCCESS);
        ASSERT_EQ(Attach(host, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS);
        Handle again;
        ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &again), ERROR_SUCCESS);
        EXPECT_EQ(Attach(again, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(Attach(again, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST | ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY), ERROR_SUCCESS)
            << "a reader may look on";
    }
    // Two handles of this process, neither on the host.
    Handle first, second;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &first), ERROR_SUCCESS);
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &second), ERROR_SUCCESS);
    ASSERT_EQ(Attach(first, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
    EXPECT_EQ(Attach(second, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SHARING_VIOLATION);
    first.close();
    EXPECT_EQ(Attach(second, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS) << "free again once detached";
}

TEST_F(VirtDiskHostTest, PermanentAttachOutlivesTheHandleUntilDetached) {
    SKIP_WITHOUT_SERVER(true);
    std::string path = file("lasting.vhd");
    std::string physical;
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 6 * kMiB, &handle), ERROR_SUCCESS);
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME | ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER),
                  ERROR_SUCCESS);
        physical = PhysicalPath(handle);
        ASSERT_FALSE(physical.empty());
    }
    Registry::Reset();
    {
        auto snap = Registry::instance().snapshot();
        const device::DiskInfo* disk = DiskNamed(*snap, physical);
        ASSERT_NE(disk, nullptr) << "still attached after the handle closed";
        EXPECT_EQ(disk->size, 6 * kMiB);
        EXPECT_TRUE(disk->no_automatic_letters);
        Handle drive = CreateFile(physical, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, 0);
        ASSERT_TRUE(drive.valid());
        std::string data = Pattern(8192, 'p');
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(drive, 5 * kMiB, data.data(), data.size(), &done));
    }
    Handle reopened;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &reopened, VIRTUAL_DISK_ACCESS_DETACH), ERROR_SUCCESS);
    EXPECT_EQ(PhysicalPath(reopened), physical);
    ASSERT_EQ(DetachVirtualDisk(&reopened, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), ERROR_SUCCESS);
    EXPECT_EQ(DetachVirtualDisk(&reopened, DETACH_VIRTUAL_DISK_FLAG_NONE, 0), ERROR_NOT_FOUND);
    Registry::Reset();
    EXPECT_EQ(DiskNamed(*Registry::instance().snapshot(), physical), nullptr);
    EXPECT_EQ(RawContent(path, "vpc", machine_->dir()).substr(5 * kMiB, 8192), Pattern(8192, 'p'));
}

TEST_F(VirtDiskHostTest, APermanentAttachOfAnotherProcessIsSeenHere) {
    // A dynamic image goes on being served after the process that attached it has ended.
    const bool served = CanServeImages();
    std::string path = file("other.vhd");
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, !served, 2 * kMiB, &handle), ERROR_SUCCESS);
    }
    ASSERT_TRUE(AttachInAnotherProcess(path, ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME, true));
    Registry::Reset();
    const device::DiskInfo* disk = Registry::instance().snapshot()->disk(1);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->size, 2 * kMiB);
    {
        Handle drive = CreateFile("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        ASSERT_TRUE(drive.valid());
        std::string data = Pattern(4096, 'o');
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(drive, kMiB, data.data(), data.size(), &done));
    }
    Handle handle;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
    EXPECT_EQ(DetachVirtualDisk(&handle, 0, 0), ERROR_SUCCESS);
    EXPECT_EQ(Registry::instance().snapshot()->disk(1), nullptr);
    EXPECT_EQ(RawContent(path, "vpc", machine_->dir()).substr(kMiB, 4096), Pattern(4096, 'o'));
}

TEST_F(VirtDiskHostTest, ANonPermanentAttachOfAnEndedProcessIsIgnored) {
    std::string path = file("orphan.vhd");
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 2 * kMiB, &handle), ERROR_SUCCESS);
    }
    ASSERT_TRUE(AttachInAnotherProcess(path, ATTACH_VIRTUAL_DISK_FLAG_NONE, false));  // gone without closing
    EXPECT_EQ(device::LoadAttachmentRecords(Registry::instance().host().state_path()).size(), 1u);
    Registry::Reset();
    EXPECT_EQ(Registry::instance().snapshot()->disk(1), nullptr);
    Handle handle;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
    EXPECT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS) << "the stale record does not block";
}

TEST_F(VirtDiskHostTest, DependencyInformationNamesTheImageOfAnAttachedDisk) {
    std::string path = file("dep.vhd");
    Handle handle;
    ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 2 * kMiB, &handle), ERROR_SUCCESS);
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY), ERROR_SUCCESS);
    std::string physical = PhysicalPath(handle);

    auto query = [](const std::string& disk_path, std::vector<std::uint64_t>& storage, ULONG* used) {
        Handle disk = CreateFile(disk_path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        EXPECT_TRUE(disk.valid());
        auto* info = reinterpret_cast<STORAGE_DEPENDENCY_INFO*>(storage.data());
        info->Version = 2;
        return GetStorageDependencyInformation(&disk, GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES |
                                                          GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE,
                                               static_cast<ULONG>(storage.size() * 8), info, used);
    };
    std::vector<std::uint64_t> small(4);
    ULONG used = 0;
    ASSERT_EQ(query(physical, small, &used), ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint64_t> storage((used + 7) / 8);
    ASSERT_EQ(query(physical, storage, &used), ERROR_SUCCESS);
    auto* info = reinterpret_cast<STORAGE_DEPENDENCY_INFO*>(storage.data());
    ASSERT_EQ(info->NumberOfEntries, 1u);
    const auto& entry = info->Version2Entries[0];
    EXPECT_EQ(Utf16ToUtf8(entry.DependentVolumeRelativePath), std::filesystem::canonical(path).string());
    EXPECT_EQ(Utf16ToUtf8(entry.HostVolumeName), "");
    EXPECT_EQ(Utf16ToUtf8(entry.DependencyDeviceName), physical);
    EXPECT_EQ(entry.VirtualStorageType.DeviceId, VIRTUAL_STORAGE_TYPE_DEVICE_VHD);
    EXPECT_TRUE(entry.DependencyTypeFlags & DEPENDENT_DISK_FLAG_READ_ONLY);

    EXPECT_EQ(query("\\\\.\\PhysicalDrive0", storage, &used), ERROR_VIRTDISK_NOT_VIRTUAL_DISK);
}

TEST_F(VirtDiskHostTest, AnIsoAttachesReadOnly) {
    if (!test_support::HaveTool("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    std::filesystem::create_directories(file("tree"));
    test_support::WriteWholeFile(file("tree/readme.txt"), "hello from the iso\n");
    auto made = test_support::Run("xorriso -as mkisofs -quiet -o " + Quote(file("disc.iso")) + " " + Quote(file("tree")));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    std::string iso = test_support::ReadWholeFile(file("disc.iso"));

    Handle handle;
    ASSERT_EQ(Open(file("disc.iso"), VIRTUAL_STORAGE_TYPE_DEVICE_ISO, &handle, VIRTUAL_DISK_ACCESS_READ), ERROR_SUCCESS);
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS);
    std::string sector(2048, 0);
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(handle, 16 * 2048, sector.data(), sector.size(), &done));
    EXPECT_EQ(sector, iso.substr(16 * 2048, 2048));
    EXPECT_FALSE(WriteAt(handle, 0, sector.data(), sector.size(), &done));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);

    std::string physical = PhysicalPath(handle);
    const device::DiskInfo* disk = DiskNamed(*Registry::instance().snapshot(), physical);
    ASSERT_NE(disk, nullptr);
    EXPECT_TRUE(disk->media_read_only);
    Handle drive = CreateFile(physical, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(drive.valid());
    EXPECT_FALSE(WriteAt(drive, 0, sector.data(), sector.size(), &done));
    EXPECT_TRUE(GetLastError() == ERROR_WRITE_PROTECT || GetLastError() == ERROR_ACCESS_DENIED) << GetLastError();
    drive.close();
    handle.close();
    EXPECT_EQ(test_support::ReadWholeFile(file("disc.iso")), iso);
}

// ---- attaching on the Linux host ------------------------------------------------------

// The Linux host offering none of the machine's own disks: only what is attached.
class VirtDiskLinuxHostTest : public VirtDiskTest {
protected:
    void SetUp() override {
        VirtDiskTest::SetUp();
        if (IsSkipped()) return;
        if (!test_support::IsRoot() || !test_support::HaveTool("losetup") || ::access("/dev/loop-control", W_OK) != 0)
            GTEST_SKIP() << "needs root, losetup and /dev/loop-control";
        scope_.emplace(dir_.file("state.ini"));
        scope_->offer({"tarnovell-no-such-disk"});
        Registry::Reset();
    }
    void TearDown() override {
        Registry::Reset();
        scope_.reset();
    }
    std::string LoopsOf(const std::string& image) {
        return test_support::Run("losetup -n -O NAME -j " + Quote(image)).output;
    }
    test_support::TempDir dir_;
    std::optional<test_support::LinuxHostScope> scope_;
};

TEST_F(VirtDiskLinuxHostTest, AttachSetsUpALoopDeviceThatTheHostOffers) {
    for (bool fixed : {true, false}) {
        SCOPED_TRACE(fixed ? "fixed" : "dynamic");
        SKIP_WITHOUT_SERVER(!fixed);
        std::string path = dir_.file(fixed ? "loop-fixed.vhd" : "loop-dynamic.vhd");
        {
            Handle handle;
            ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, fixed, 4 * kMiB, &handle), ERROR_SUCCESS);
            ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS);
            std::string physical = PhysicalPath(handle);
            ASSERT_EQ(physical, "\\\\.\\PhysicalDrive0");
            const device::DiskInfo* disk = Registry::instance().snapshot()->disk(0);
            ASSERT_NE(disk, nullptr);
            EXPECT_EQ(disk->size, 4 * kMiB) << "the footer is not part of the disk";
            EXPECT_EQ(disk->backing.rfind("/dev/loop", 0), 0u) << disk->backing;
            if (fixed) {
                EXPECT_NE(LoopsOf(path), "") << "a fixed image is looped directly";
            }

            Handle drive = CreateFile(physical, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      OPEN_EXISTING, 0);
            ASSERT_TRUE(drive.valid());
            std::string data = Pattern(8192, 'L');
            std::size_t done = 0;
            ASSERT_TRUE(WriteAt(drive, 2 * kMiB, data.data(), data.size(), &done));
        }
        EXPECT_EQ(Registry::instance().snapshot()->disk(0), nullptr);
        EXPECT_EQ(LoopsOf(path), "") << "the loop device is gone";
        EXPECT_EQ(RawContent(path, "vpc", dir_).substr(2 * kMiB, 8192), Pattern(8192, 'L'));
    }
}

TEST_F(VirtDiskLinuxHostTest, AReadOnlyAttachMakesAReadOnlyLoopDevice) {
    std::string path = dir_.file("ro.vhd");
    Handle handle;
    ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 2 * kMiB, &handle), ERROR_SUCCESS);
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY), ERROR_SUCCESS);
    const device::DiskInfo* disk = Registry::instance().snapshot()->disk(0);
    ASSERT_NE(disk, nullptr);
    EXPECT_TRUE(disk->media_read_only);
    EXPECT_EQ(test_support::Run("blockdev --getro " + Quote(disk->backing)).output, "1\n");
}

TEST_F(VirtDiskLinuxHostTest, ALoopNumberGivenToSomeoneElseIsNeitherOurDiskNorDetached) {
    std::string path = dir_.file("reused.vhd"), other = dir_.file("someone-else.img");
    test_support::MakeSparseFile(other, 3 * kMiB);
    Handle handle;
    ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 2 * kMiB, &handle), ERROR_SUCCESS);
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NONE), ERROR_SUCCESS);
    auto records = device::LoadAttachmentRecords(Registry::instance().host().state_path());
    ASSERT_EQ(records.size(), 1u);
    const std::string loop = records[0].attachment.device;
    ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
    struct Detacher {
        std::string loop;
        ~Detacher() { test_support::Run("losetup -d " + loop); }
    } cleanup{loop};

    // Our loop device goes away behind our back, and its number is given to another file.
    ASSERT_EQ(test_support::Run("losetup -d " + loop).exit_code, 0);
    auto reused = test_support::Run("losetup " + loop + " " + Quote(other));
    if (reused.exit_code != 0) GTEST_SKIP() << "the loop number was taken meanwhile: " << reused.output;
    Registry::Reset();
    EXPECT_EQ(Registry::instance().snapshot()->disk(0), nullptr) << "someone else's loop device is no disk of ours";
    EXPECT_EQ(PhysicalPath(handle), "");
    handle.close();  // detaches what it attached, if it is still there
    EXPECT_NE(LoopsOf(other), "") << "someone else's loop device stays";
    EXPECT_TRUE(device::LoadAttachmentRecords(Registry::instance().host().state_path()).empty());
}

// ---- differencing disks ----------------------------------------------------------

std::uint64_t BigEndian(const std::string& bytes, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

void PutBigEndian(std::string& bytes, std::size_t at, std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i, v >>= 8) bytes[at + i] = static_cast<char>(v & 0xff);
}

// Gives a differencing VHD a block of its own holding `data` in the sectors
// [first, first + count) of block `block`, as a writer of the format would.
void GiveChildSectors(const std::string& child, std::uint32_t block, std::uint32_t first, const std::string& data) {
    std::string image = test_support::ReadWholeFile(child);
    const std::string footer = image.substr(image.size() - 512);
    const std::size_t table = BigEndian(image, 512 + 16, 8);
    const std::uint32_t block_size = static_cast<std::uint32_t>(BigEndian(image, 512 + 32, 4));
    const std::size_t at = image.size() - 512;
    std::string bitmap(512, 0), content(block_size, 0);
    for (std::uint32_t sector = first; sector < first + data.size() / 512; ++sector)
        bitmap[sector / 8] = static_cast<char>(bitmap[sector / 8] | (0x80 >> (sector % 8)));
    content.replace(first * 512, data.size(), data);
    image.resize(at);
    image += bitmap + content + footer;
    PutBigEndian(image, table + 4 * block, at / 512, 4);
    test_support::WriteWholeFile(child, image);
}

DWORD CreateChild(const std::string& child, const std::string& parent, std::uint64_t size, ULONG device, Handle* out) {
    VIRTUAL_STORAGE_TYPE type = TypeOf(device);
    CREATE_VIRTUAL_DISK_PARAMETERS parameters{};
    parameters.Version = 1;
    parameters.Version1.MaximumSize = size;
    std::u16string wide_parent = Utf8ToUtf16(parent), wide_child = Utf8ToUtf16(child);
    parameters.Version1.ParentPath = wide_parent.c_str();
    return CreateVirtualDisk(&type, wide_child.c_str(), VIRTUAL_DISK_ACCESS_ALL, nullptr, 0, 0, &parameters, nullptr, out);
}

class VirtDiskDifferencingTest : public VirtDiskTest {
protected:
    void SetUp() override {
        VirtDiskTest::SetUp();
        if (IsSkipped()) return;
        parent_ = dir_.file("parent.vhd");
        child_ = dir_.file("child.vhd");
        std::string raw = dir_.file("parent.raw");
        test_support::MakeSparseFile(raw, 8 * kMiB);
        Handle data = CreateFile(raw, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(data, 0, parent_data_.data(), parent_data_.size(), &done));
        data.close();
        auto made = test_support::Run("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(raw) +
                                      " " + Quote(parent_));
        ASSERT_EQ(made.exit_code, 0) << made.output;
    }
    DWORD Info(Handle& handle, ULONG version, std::vector<std::uint64_t>& storage) {
        storage.assign(2064 / 8, 0);
        auto* info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
        info->Version = version;
        ULONG size = 2064;
        return GetVirtualDiskInformation(&handle, &size, info, nullptr);
    }
    test_support::TempDir dir_;
    std::string parent_, child_;
    const std::string parent_data_ = Pattern(3 * kMiB, 'P');
};

TEST_F(VirtDiskDifferencingTest, AChildKnowsItsParentButCannotBeAttached) {
    Handle child;
    ASSERT_EQ(CreateChild(child_, parent_, 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    std::vector<std::uint64_t> storage;
    auto* info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    ASSERT_EQ(Info(child, GET_VIRTUAL_DISK_INFO_PROVIDER_SUBTYPE, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_EQ(info->ProviderSubtype, 4u);
    ASSERT_EQ(Info(child, GET_VIRTUAL_DISK_INFO_SIZE, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_EQ(info->Size.VirtualSize, static_cast<ULONGLONG>(8 * kMiB)) << "the parent's size";
    ASSERT_EQ(Info(child, GET_VIRTUAL_DISK_INFO_PARENT_LOCATION, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_TRUE(info->ParentLocation.ParentResolved);
    EXPECT_EQ(std::filesystem::canonical(Utf16ToUtf8(info->ParentLocation.ParentLocationBuffer)),
              std::filesystem::canonical(parent_));
    ASSERT_EQ(Info(child, GET_VIRTUAL_DISK_INFO_PARENT_IDENTIFIER, storage), ERROR_SUCCESS);
    GUID parent_id = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data())->ParentIdentifier;
    Handle parent;
    ASSERT_EQ(Open(parent_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &parent), ERROR_SUCCESS);
    ASSERT_EQ(Info(parent, GET_VIRTUAL_DISK_INFO_IDENTIFIER, storage), ERROR_SUCCESS);
    EXPECT_TRUE(reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data())->Identifier == parent_id);

    EXPECT_EQ(Attach(child, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_NOT_SUPPORTED);

    // Moved together, the pair still finds itself through the relative locator.
    std::filesystem::create_directories(dir_.file("moved"));
    std::filesystem::rename(parent_, dir_.file("moved/parent.vhd"));
    std::filesystem::rename(child_, dir_.file("moved/child.vhd"));
    Handle moved;
    ASSERT_EQ(Open(dir_.file("moved/child.vhd"), VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &moved), ERROR_SUCCESS);
    ASSERT_EQ(Info(moved, GET_VIRTUAL_DISK_INFO_PARENT_LOCATION, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_EQ(Utf16ToUtf8(info->ParentLocation.ParentLocationBuffer), dir_.file("moved/parent.vhd"));
}

TEST_F(VirtDiskDifferencingTest, RefusesChildrenItCannotMake) {
    Handle child;
    EXPECT_EQ(CreateChild(child_, parent_, 8 * kMiB, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateChild(child_, dir_.file("gone.vhd"), 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child),
              ERROR_VHD_PARENT_VHD_NOT_FOUND);
    EXPECT_EQ(CreateChild(dir_.file("child.vhdx"), parent_, 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHDX, &child),
              ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(std::filesystem::exists(child_));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("child.vhdx")));
}

TEST_F(VirtDiskDifferencingTest, MergeWritesTheChildsOwnSectorsIntoTheParent) {
    SKIP_WITHOUT_SERVER(true);  // the dynamic parent is written through the server
    {
        Handle child;
        ASSERT_EQ(CreateChild(child_, parent_, 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    }
    // Sectors 8..15 of block 0 (inside the parent's data) and 100..103 of block 2.
    const std::string over = Pattern(8 * 512, 'C'), late = Pattern(4 * 512, 'D');
    GiveChildSectors(child_, 0, 8, over);
    GiveChildSectors(child_, 2, 100, late);

    Handle child;
    ASSERT_EQ(Open(child_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child, VIRTUAL_DISK_ACCESS_METAOPS), ERROR_SUCCESS);
    MERGE_VIRTUAL_DISK_PARAMETERS deeper{1, 2};
    EXPECT_EQ(MergeVirtualDisk(&child, 0, &deeper, nullptr), ERROR_NOT_SUPPORTED);
    MERGE_VIRTUAL_DISK_PARAMETERS merge{1, 1};
    ASSERT_EQ(MergeVirtualDisk(&child, 0, &merge, nullptr), ERROR_SUCCESS);

    std::string expected = parent_data_ + std::string(8 * kMiB - parent_data_.size(), 0);
    expected.replace(8 * 512, over.size(), over);
    expected.replace(2 * 2 * kMiB + 100 * 512, late.size(), late);
    EXPECT_TRUE(RawContent(parent_, "vpc", dir_) == expected) << "the parent holds the merged sectors and nothing else";
}

TEST_F(VirtDiskDifferencingTest, MergeRefusesALostOrForeignParent) {
    {
        Handle child;
        ASSERT_EQ(CreateChild(child_, parent_, 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    }
    const std::string before = test_support::ReadWholeFile(parent_);
    MERGE_VIRTUAL_DISK_PARAMETERS merge{1, 1};
    // Another disk of the same name is not the parent the child was made on.
    std::filesystem::rename(parent_, dir_.file("real.vhd"));
    Handle other;
    ASSERT_EQ(Create(parent_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 8 * kMiB, &other), ERROR_SUCCESS);
    other.close();
    Handle child;
    ASSERT_EQ(Open(child_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    EXPECT_EQ(MergeVirtualDisk(&child, 0, &merge, nullptr), ERROR_VHD_CHILD_PARENT_ID_MISMATCH);
    std::filesystem::remove(parent_);
    child.close();
    ASSERT_EQ(Open(child_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    EXPECT_EQ(MergeVirtualDisk(&child, 0, &merge, nullptr), ERROR_VHD_PARENT_VHD_NOT_FOUND);
    EXPECT_EQ(test_support::ReadWholeFile(dir_.file("real.vhd")), before);
}

TEST_F(VirtDiskDifferencingTest, CompactRefusesAChildAndKeepsTheParentsIdentity) {
    {
        Handle child;
        ASSERT_EQ(CreateChild(child_, parent_, 0, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    }
    GiveChildSectors(child_, 0, 8, Pattern(8 * 512, 'C'));
    const std::string child_before = test_support::ReadWholeFile(child_);
    {
        // A rewrite of the child alone would lose what it takes from its parent.
        Handle child;
        ASSERT_EQ(Open(child_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
        EXPECT_EQ(CompactVirtualDisk(&child, 0, nullptr, nullptr), ERROR_NOT_SUPPORTED);
    }
    EXPECT_TRUE(test_support::ReadWholeFile(child_) == child_before) << "the child was changed";

    std::vector<std::uint64_t> storage;
    auto* info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    const std::string content = RawContent(parent_, "vpc", dir_);
    Handle parent;
    ASSERT_EQ(Open(parent_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &parent), ERROR_SUCCESS);
    ASSERT_EQ(Info(parent, GET_VIRTUAL_DISK_INFO_IDENTIFIER, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    const GUID identity = info->Identifier;
    ASSERT_EQ(CompactVirtualDisk(&parent, 0, nullptr, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(Info(parent, GET_VIRTUAL_DISK_INFO_IDENTIFIER, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_TRUE(info->Identifier == identity) << "the compacted parent is the same disk";
    EXPECT_TRUE(RawContent(parent_, "vpc", dir_) == content);
    const std::string image = test_support::ReadWholeFile(parent_);
    EXPECT_EQ(image.substr(0, 512), image.substr(image.size() - 512)) << "both footer copies agree";
    auto check = test_support::Run("qemu-img check -f vpc " + Quote(parent_));
    EXPECT_TRUE(check.exit_code == 0 || check.output.find("not support") != std::string::npos) << check.output;

    Handle child;
    ASSERT_EQ(Open(child_, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &child), ERROR_SUCCESS);
    ASSERT_EQ(Info(child, GET_VIRTUAL_DISK_INFO_PARENT_IDENTIFIER, storage), ERROR_SUCCESS);
    info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(storage.data());
    EXPECT_TRUE(info->ParentIdentifier == identity) << "the child still knows its parent";
}

// ---- unsound headers --------------------------------------------------------------

void SealHeader(std::string& image) {
    std::uint32_t sum = 0;
    for (std::size_t i = 512; i < 512 + 1024; ++i)
        if (i < 512 + 36 || i >= 512 + 40) sum += static_cast<unsigned char>(image[i]);
    PutBigEndian(image, 512 + 36, ~sum, 4);
}

TEST_F(VirtDiskTest, BlockTablesThatCannotBeBelievedAreRefused) {
    struct Case {
        const char* name;
        std::size_t field;  // in the dynamic header
        int width;
        std::uint64_t value;
    } cases[] = {
        {"block size no power of two", 32, 4, 3u << 20},
        {"block size below a sector", 32, 4, 256},
        {"block size beyond 256 MiB", 32, 4, 512u << 20},
        {"fewer entries than the disk needs", 28, 4, 3},
        {"table past the end of the file", 28, 4, 0x7FFFFFFF},
        {"more entries than the largest disk has", 28, 4, 0x3FFFFFFF},
        {"table offset past the end of the file", 16, 8, 1ull << 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        const std::string path = dir.file("bad.vhd"), child = dir.file("child.vhd");
        auto made = test_support::Run("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(path) + " 8M");
        ASSERT_EQ(made.exit_code, 0) << made.output;
        ASSERT_EQ(CreateDifferencingVhd(child, path), ERROR_SUCCESS);
        for (const std::string& image_path : {path, child}) {
            std::string image = test_support::ReadWholeFile(image_path);
            PutBigEndian(image, 512 + c.field, c.value, c.width);
            SealHeader(image);
            test_support::WriteWholeFile(image_path, image);
        }
        Handle handle;
        EXPECT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_INVALID_DATA);
        EXPECT_EQ(ExpandVhd(path, 16 * kMiB), ERROR_INVALID_DATA);
        EXPECT_EQ(ForEachOwnRun(child, [](std::int64_t, const void*, std::size_t) { return true; }), ERROR_INVALID_DATA);
    }
}

// ---- refusals ---------------------------------------------------------------------

TEST_F(VirtDiskTest, RefusesWhatItCannotDo) {
    test_support::TempDir dir;
    std::string vhd = dir.file("a.vhd");
    Handle handle;
    ASSERT_EQ(Create(vhd, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 2 * kMiB, &handle), ERROR_SUCCESS);
    test_support::WriteWholeFile(dir.file("plain.vhd"), std::string(4096, 'x'));

    Handle other;
    EXPECT_EQ(Create(vhd, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 2 * kMiB, &other), ERROR_FILE_EXISTS);
    EXPECT_FALSE(other.valid());
    EXPECT_EQ(Create(dir.file("odd.vhd"), VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 1000, &other), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Create(dir.file("no/such/folder.vhd"), VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, kMiB, &other),
              ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Create(dir.file("x.iso"), VIRTUAL_STORAGE_TYPE_DEVICE_ISO, false, kMiB, &other), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(dir.file("missing.vhd"), VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir.file("plain.vhd"), VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &other), ERROR_VIRTDISK_NOT_VIRTUAL_DISK);
    EXPECT_EQ(Open(vhd, VIRTUAL_STORAGE_TYPE_DEVICE_VHDX, &other), ERROR_VIRTDISK_NOT_VIRTUAL_DISK);
    EXPECT_EQ(Open(vhd, VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET, &other), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Open(vhd, VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN, &other), ERROR_SUCCESS) << "detected from the content";
    other.close();

    // A disk made from a source is beyond what we can make.
    VIRTUAL_STORAGE_TYPE type = TypeOf(VIRTUAL_STORAGE_TYPE_DEVICE_VHD);
    CREATE_VIRTUAL_DISK_PARAMETERS parameters{};
    parameters.Version = 1;
    parameters.Version1.MaximumSize = kMiB;
    std::u16string source = Utf8ToUtf16(vhd), copy = Utf8ToUtf16(dir.file("copy.vhd"));
    parameters.Version1.SourcePath = source.c_str();
    EXPECT_EQ(CreateVirtualDisk(&type, copy.c_str(), VIRTUAL_DISK_ACCESS_ALL, nullptr, 0, 0, &parameters, nullptr, &other),
              ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(std::filesystem::exists(dir.file("copy.vhd")));

    MERGE_VIRTUAL_DISK_PARAMETERS merge{1, 1};
    EXPECT_EQ(MergeVirtualDisk(&handle, 0, &merge, nullptr), ERROR_VHD_INVALID_TYPE);
    Handle file = CreateFile(vhd, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_EQ(Attach(file, 0), ERROR_INVALID_HANDLE) << "a plain file handle is no virtual disk";
    EXPECT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME | ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST),
              ERROR_INVALID_PARAMETER);
}

// ---- expand and compact --------------------------------------------------------------

struct ExpandCase {
    const char* name;
    ULONG device;
    bool fixed;
    std::int64_t from, to;
};

class VirtDiskExpandTest : public VirtDiskTest, public ::testing::WithParamInterface<ExpandCase> {};

TEST_P(VirtDiskExpandTest, GrowsTheDiskAndKeepsItsContent) {
    const ExpandCase& c = GetParam();
    SKIP_WITHOUT_SERVER(NeedsServer(c.device, c.fixed));
    test_support::TempDir dir;
    const bool vhdx = c.device == VIRTUAL_STORAGE_TYPE_DEVICE_VHDX;
    const char* format = vhdx ? "vhdx" : "vpc";
    std::string path = dir.file(vhdx ? "grow.vhdx" : "grow.vhd");
    const std::string first = Pattern(kMiB, 'f'), last = Pattern(kMiB, 'l');
    {
        Handle handle;
        ASSERT_EQ(Create(path, c.device, c.fixed, static_cast<std::uint64_t>(c.from), &handle), ERROR_SUCCESS);
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(handle, 0, first.data(), first.size(), &done));
        ASSERT_TRUE(WriteAt(handle, c.from - kMiB, last.data(), last.size(), &done));
    }
    Handle handle;
    ASSERT_EQ(Open(path, c.device, &handle, VIRTUAL_DISK_ACCESS_METAOPS), ERROR_SUCCESS);
    EXPAND_VIRTUAL_DISK_PARAMETERS smaller{1, static_cast<ULONGLONG>(c.from)};
    EXPECT_EQ(ExpandVirtualDisk(&handle, 0, &smaller, nullptr), ERROR_INVALID_PARAMETER);
    EXPAND_VIRTUAL_DISK_PARAMETERS expand{1, static_cast<ULONGLONG>(c.to)};
    ASSERT_EQ(ExpandVirtualDisk(&handle, 0, &expand, nullptr), ERROR_SUCCESS);

    auto info = test_support::Run("qemu-img info --output=json -f " + std::string(format) + " " + Quote(path));
    ASSERT_EQ(info.exit_code, 0) << info.output;
    EXPECT_EQ(JsonNumber(info.output, "virtual-size"), c.to);
    // What the disk must hold: the old content, then zeros.
    std::string reference = dir.file("reference.raw");
    test_support::MakeSparseFile(reference, c.to);
    {
        Handle ref = CreateFile(reference, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(ref, 0, first.data(), first.size(), &done));
        ASSERT_TRUE(WriteAt(ref, c.from - kMiB, last.data(), last.size(), &done));
    }
    auto compare = test_support::Run("qemu-img compare -f " + std::string(format) + " -F raw " + Quote(path) + " " +
                                     Quote(reference));
    EXPECT_EQ(compare.exit_code, 0) << compare.output;
    if (!vhdx && !c.fixed) {
        auto check = test_support::Run("qemu-img check -f vpc " + Quote(path));
        EXPECT_TRUE(check.exit_code == 0 || check.output.find("not support") != std::string::npos) << check.output;
    }
    // The grown disk still attaches and shows its new end.
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
    std::string tail(512, 1);
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(handle, c.to - 512, tail.data(), tail.size(), &done));
    EXPECT_EQ(done, 512u);
    EXPECT_EQ(tail, std::string(512, 0));
}

INSTANTIATE_TEST_SUITE_P(Sizes, VirtDiskExpandTest,
                         ::testing::Values(ExpandCase{"FixedVhd", VIRTUAL_STORAGE_TYPE_DEVICE_VHD, true, 4 * kMiB, 7 * kMiB},
                                           ExpandCase{"DynamicVhdWithinItsTable", VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false,
                                                      4 * kMiB, 64 * kMiB},
                                           // 136 blocks need a second sector of table: the first data block moves
                                           ExpandCase{"DynamicVhdPastItsTable", VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false,
                                                      4 * kMiB, 272 * kMiB},
                                           ExpandCase{"DynamicVhdx", VIRTUAL_STORAGE_TYPE_DEVICE_VHDX, false, 4 * kMiB,
                                                      16 * kMiB}),
                         test_support::CaseName());

struct ResizeCase {
    const char* name;
    const char* table;      // sfdisk script, "" for none
    const char* options;    // qemu-img convert output options
    const char* extension;
    DWORD result;
    std::int64_t size_after;
};

class VirtDiskResizeTest : public VirtDiskTest, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(VirtDiskResizeTest, ShrinksToTheEndOfTheLastPartition) {
    const ResizeCase& c = GetParam();
    const bool fixed_vhd = std::string(c.options).find("fixed") != std::string::npos &&
                           std::string(c.extension) == ".vhd";
    SKIP_WITHOUT_SERVER(!fixed_vhd);
    test_support::TempDir dir;
    std::string raw = dir.file("disk.raw"), path = dir.file(std::string("disk") + c.extension);
    test_support::MakeSparseFile(raw, 8 * kMiB);
    if (*c.table) test_support::RunOn(std::string("printf '") + c.table + "' | sfdisk -q %s", raw);
    {
        Handle data = CreateFile(raw, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
        std::string marker = Pattern(4096, 'r');
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(data, 3 * kMiB, marker.data(), marker.size(), &done));
    }
    auto made = test_support::Run("qemu-img convert -f raw " + std::string(c.options) + " " + Quote(raw) + " " + Quote(path));
    ASSERT_EQ(made.exit_code, 0) << made.output;

    Handle handle;
    ULONG device = std::string(c.extension) == ".vhdx" ? VIRTUAL_STORAGE_TYPE_DEVICE_VHDX : VIRTUAL_STORAGE_TYPE_DEVICE_VHD;
    ASSERT_EQ(Open(path, device, &handle), ERROR_SUCCESS);
    RESIZE_VIRTUAL_DISK_PARAMETERS parameters{1, 0};
    EXPECT_EQ(ResizeVirtualDisk(&handle, RESIZE_VIRTUAL_DISK_FLAG_RESIZE_TO_SMALLEST_SAFE_VIRTUAL_SIZE, &parameters, nullptr),
              c.result);
    const char* format = device == VIRTUAL_STORAGE_TYPE_DEVICE_VHDX ? "vhdx" : "vpc";
    auto info = test_support::Run("qemu-img info --output=json -f " + std::string(format) + " " + Quote(path));
    EXPECT_EQ(JsonNumber(info.output, "virtual-size"), c.size_after) << info.output;
    // What the disk keeps is what it held (qemu-img compares the shorter one against zeros past its end).
    auto compare = test_support::Run("qemu-img compare -f " + std::string(format) + " -F raw " + Quote(path) + " " +
                                     Quote(raw));
    EXPECT_EQ(compare.exit_code, 0) << compare.output;
}

INSTANTIATE_TEST_SUITE_P(
    ResizeLayouts, VirtDiskResizeTest,
    ::testing::Values(
        ResizeCase{"FixedVhdWithMbr", "label: dos\\nstart=2048,size=6144,type=83\\n",
                   "-O vpc -o subformat=fixed,force_size=on", ".vhd", ERROR_SUCCESS, 4 * kMiB},
        ResizeCase{"DynamicVhdWithMbr", "label: dos\\nstart=2048,size=6144,type=83\\n",
                   "-O vpc -o subformat=dynamic,force_size=on", ".vhd", ERROR_SUCCESS, 4 * kMiB},
        ResizeCase{"MbrFillingTheDisk", "label: dos\\nstart=2048,type=83\\n", "-O vpc -o subformat=fixed,force_size=on",
                   ".vhd", ERROR_SUCCESS, 8 * kMiB},
        // A GPT disk keeps its second table at the end, a bare disk tells nothing: both stay as they are.
        ResizeCase{"Gpt", "label: gpt\\nstart=2048,size=4096\\n", "-O vpc -o subformat=fixed,force_size=on", ".vhd",
                   ERROR_NOT_SUPPORTED, 8 * kMiB},
        ResizeCase{"NoTable", "", "-O vpc -o subformat=fixed,force_size=on", ".vhd", ERROR_NOT_SUPPORTED, 8 * kMiB},
        ResizeCase{"Vhdx", "label: dos\\nstart=2048,size=6144,type=83\\n", "-O vhdx -o subformat=dynamic", ".vhdx",
                   ERROR_NOT_SUPPORTED, 8 * kMiB}),
    test_support::CaseName());

TEST_F(VirtDiskTest, CompactKeepsTheContentOfADynamicImage) {
    SKIP_WITHOUT_SERVER(true);
    test_support::TempDir dir;
    std::string path = dir.file("compact.vhd");
    const std::string data = Pattern(kMiB, 'c');
    {
        Handle handle;
        ASSERT_EQ(Create(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, false, 16 * kMiB, &handle), ERROR_SUCCESS);
        ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
        std::string zeros(4 * kMiB, 0);
        std::size_t done = 0;
        ASSERT_TRUE(WriteAt(handle, 8 * kMiB, zeros.data(), zeros.size(), &done));  // blocks that hold only zeros
        ASSERT_TRUE(WriteAt(handle, 2 * kMiB, data.data(), data.size(), &done));
    }
    const auto before = std::filesystem::file_size(path);
    Handle handle;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
    ASSERT_EQ(CompactVirtualDisk(&handle, 0, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_LT(std::filesystem::file_size(path), before);
    std::string content = RawContent(path, "vpc", dir);
    ASSERT_EQ(content.size(), static_cast<std::size_t>(16 * kMiB));
    EXPECT_EQ(content.substr(2 * kMiB, kMiB), data);
    EXPECT_FALSE(std::filesystem::exists(path + ".tarnovell-" + std::to_string(::getpid()) + ".tmp"));

    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
    EXPECT_EQ(CompactVirtualDisk(&handle, 0, nullptr, nullptr), ERROR_SHARING_VIOLATION) << "not while attached";
}

// An image whose size its creator gives by the CHS geometry (older qemu,
// Virtual PC) is as large after an expand as asked, for qemu as for us.
class VirtDiskGeometryTest : public VirtDiskTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VirtDiskGeometryTest, AnImageSizedByItsGeometryHasItsNewSizeAfterExpand) {
    const bool fixed = GetParam();
    SKIP_WITHOUT_SERVER(!fixed);
    test_support::TempDir dir;
    const std::string path = dir.file("chs.vhd");
    auto made = test_support::Run(std::string("qemu-img create -q -f vpc -o subformat=") + (fixed ? "fixed " : "dynamic ") +
                                  Quote(path) + " 10M");
    ASSERT_EQ(made.exit_code, 0) << made.output;
    ASSERT_EQ(test_support::ReadWholeFile(path).substr(std::filesystem::file_size(path) - 512 + 28, 4), "qemu");
    const std::int64_t new_size = 16 * kMiB + 512 * 7;  // no CHS geometry spans it
    Handle handle;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
    EXPAND_VIRTUAL_DISK_PARAMETERS expand{1, static_cast<ULONGLONG>(new_size)};
    ASSERT_EQ(ExpandVirtualDisk(&handle, 0, &expand, nullptr), ERROR_SUCCESS);

    auto info = test_support::Run("qemu-img info --output=json -f vpc " + Quote(path));
    ASSERT_EQ(info.exit_code, 0) << info.output;
    EXPECT_EQ(JsonNumber(info.output, "virtual-size"), new_size);
    alignas(8) std::uint8_t buffer[2064] = {};
    auto* disk_info = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(buffer);
    ULONG size = sizeof buffer;
    disk_info->Version = GET_VIRTUAL_DISK_INFO_SIZE;
    ASSERT_EQ(GetVirtualDiskInformation(&handle, &size, disk_info, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(disk_info->Size.VirtualSize, static_cast<ULONGLONG>(new_size));
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST), ERROR_SUCCESS);
    std::string tail(512, 1);
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(handle, new_size - 512, tail.data(), tail.size(), &done));
    EXPECT_EQ(done, 512u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VirtDiskGeometryTest, ::testing::Bool(),
                         [](const auto& param_info) { return std::string(param_info.param ? "Fixed" : "Dynamic"); });

TEST_F(VirtDiskTest, AServedImageIsAsLargeAsItsFooterSaysWhoeverMadeIt) {
    SKIP_WITHOUT_SERVER(true);
    test_support::TempDir dir;
    const std::string path = dir.file("vpc.vhd");
    auto made = test_support::Run("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(path) + " 10M");
    ASSERT_EQ(made.exit_code, 0) << made.output;
    // Marked as made by Virtual PC, whose readers go by the geometry, which
    // spans a little less than the size.
    std::string image = test_support::ReadWholeFile(path);
    for (std::size_t at : {std::size_t{0}, image.size() - 512}) {
        image.replace(at + 28, 4, "vpc ");
        PutBigEndian(image, at + 56, VhdGeometry(10 * kMiB), 4);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < 512; ++i)
            if (i < 64 || i >= 68) sum += static_cast<unsigned char>(image[at + i]);
        PutBigEndian(image, at + 64, ~sum, 4);
    }
    test_support::WriteWholeFile(path, image);
    Handle handle;
    ASSERT_EQ(Open(path, VIRTUAL_STORAGE_TYPE_DEVICE_VHD, &handle), ERROR_SUCCESS);
    ASSERT_EQ(Attach(handle, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST | ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY), ERROR_SUCCESS);
    std::int64_t end = 0;
    ASSERT_TRUE(SetFilePointerEx(handle, 0, &end, FILE_END));
    EXPECT_EQ(end, 10 * kMiB);
    std::string tail(512, 1);
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(handle, 10 * kMiB - 512, tail.data(), tail.size(), &done));
    EXPECT_EQ(done, 512u) << "the server offers the whole disk";
    EXPECT_EQ(tail, std::string(512, 0));
}

// ---- the server ---------------------------------------------------------------------

TEST_F(VirtDiskTest, AServerThatNeverComesUpLeavesNothingBehind) {
    SKIP_WITHOUT_SERVER(true);
    test_support::TempDir bin, tmp, images;
    // An nbdfuse that starts its "qemu-nbd" and then never offers the file.
    const std::string script = bin.file("nbdfuse");
    test_support::WriteWholeFile(script, "#!/bin/sh\n"
                                         "dir=$(dirname \"$0\")\n"
                                         "sleep 300 &\n"
                                         "echo $! > \"$dir/qemu-nbd.pid\"\n"
                                         "echo $$ > \"$dir/nbdfuse.pid\"\n"
                                         "exec sleep 300\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const std::string image = images.file("any.vhd");
    test_support::WriteWholeFile(image, std::string(4096, 0));

    ServedImage served;
    DWORD started = ERROR_SUCCESS;
    {
        test_support::ScopedEnvironment path("PATH", test_support::PathWithFirst(bin.path().string()));
        test_support::ScopedEnvironment tmpdir("TMPDIR", tmp.path().c_str());
        SetServerStartTimeoutForTesting(std::chrono::milliseconds(1500));
        started = StartServing(image, "vpc", true, served);
        SetServerStartTimeoutForTesting(std::chrono::seconds(20));
    }

    EXPECT_EQ(started, ERROR_OPEN_FAILED);
    for (const char* name : {"nbdfuse.pid", "qemu-nbd.pid"}) {
        const std::string text = test_support::ReadWholeFile(bin.file(name));
        ASSERT_FALSE(text.empty()) << name;
        const int pid = std::stoi(text);
        // Its reaper may be slow on a loaded machine: waited for, up to a minute.
        for (int i = 0; i < 6000 && device::ProcessRunning(pid); ++i) ::usleep(10000);
        EXPECT_FALSE(device::ProcessRunning(pid)) << name << " still runs";
        if (device::ProcessRunning(pid)) ::kill(pid, SIGKILL);
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the mount folder is gone";
}

}  // namespace
