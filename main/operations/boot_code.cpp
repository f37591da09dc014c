#include "main/operations/boot_code.h"

#include <map>
#include <optional>
#include <stdexcept>

#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "disk/sectors/sectors.h"
#include "disk/util/lib_helpers.h"
#include "main/operations/boot_record_targets.h"
#include "main/operations/main_state.h"
#include "platform/base/byte_order.h"
#include "platform/base/replace_file.h"
#include "platform/base/win_error.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/records/mbr.h"

namespace tarnovell {

namespace {

// Boot code and loaders are small; anything larger is no such file.
constexpr std::int64_t kMostTemplateBytes = 1 << 20;

std::optional<std::string> ReadSmallFile(const std::string& path) {
    platform::Handle file = platform::CreateFile(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                 platform::OPEN_EXISTING, 0);
    std::int64_t size = 0;
    if (!file || !platform::GetFileSizeEx(file, &size) || size < 0 || size > kMostTemplateBytes) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::size_t got = 0;
    if (!platform::ReadAt(file, 0, bytes.data(), bytes.size(), &got) || got != bytes.size()) return std::nullopt;
    return bytes;
}

bool Exists(const std::string& path) { return disk::FileSize64(path) > 0; }

}  // namespace

std::string MbrTemplate(const std::string& program_folder, const std::string& standard_mbr) {
    const std::string path = FindInProgramFolder(program_folder, "nt62.mbr");
    if (Exists(path)) return path;
    std::optional<std::string> code = ReadSmallFile(standard_mbr);
    if (!code || code->size() < kMbrCodeBytes)
        throw std::runtime_error("No MBR boot code: " + standard_mbr +
                                 " (the standard MBR of syslinux, Debian package syslinux-common) is not there, and "
                                 "neither is nt62.mbr in " + program_folder);
    std::string sector = code->substr(0, kMbrCodeBytes);
    sector.resize(disk::kSectorBytes, '\0');
    sector[510] = '\x55';
    sector[511] = '\xAA';
    if (!platform::ReplaceFileContents(path, sector))
        throw std::runtime_error("Cannot create file \"" + path + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    return path;
}

std::string SuppliedTemplate(const std::string& program_folder, const std::string& name) {
    static const std::map<std::string, std::string> what = {
        {"grldr.mbr", "the GRUB4DOS MBR (grldr.mbr, 8,192 bytes; grldr and menu.lst beside it are copied to the "
                      "first partition)"},
        {"nt62.bs", "a Windows NTFS boot sector with its boot code (nt62.bs: the first 8,192 bytes of an NTFS volume "
                    "formatted by Windows)"},
    };
    const std::string path = FindInProgramFolder(program_folder, name);
    if (Exists(path)) return path;
    auto found = what.find(name);
    throw std::runtime_error(name + " is not in " + program_folder +
                             ": this program carries no third party's boot code. Put " +
                             (found == what.end() ? name : found->second) + " there.");
}

bool ChangeMbrBootCode(const std::string& disk, const std::string& file, const disk::OperationContext& context) {
    RefuseDynamicVhd(disk);
    const std::int64_t size = disk::FileSize64(file);
    if (size < static_cast<std::int64_t>(kMbrCodeBytes))
        throw std::runtime_error(file + " holds " + std::to_string(size) + " bytes: MBR boot code takes " +
                                 std::to_string(kMbrCodeBytes));
    const std::int64_t sector_size = SectorSizeOf(disk);
    if (size > sector_size) {
        // Code past sector 0 lands in the sectors after it: they must be free.
        disk::SectorBuffer sector0{};
        if (!disk::ReadFirstSector(disk, sector0, context)) return false;
        platform::device::MasterBootRecord mbr{};
        std::copy(sector0.begin(), sector0.end(), reinterpret_cast<std::uint8_t*>(&mbr));
        for (std::size_t n = 0; n < platform::device::kMbrPartitionRecordCount; ++n) {
            const auto& entry = mbr.PartitionRecord[n];
            if (entry.OSType == platform::device::kMbrTypeGptProtective)
                throw std::runtime_error(disk + " has a GUID partition table right after sector 0: boot code of " +
                                         std::to_string(size) + " bytes would overwrite it");
            const std::int64_t start = entry.StartingLBA.value();
            if (entry.OSType != 0 && entry.SizeInLBA.value() != 0 && start * sector_size < size)
                throw std::runtime_error("Partition " + std::to_string(n + 1) + " of " + disk + " starts at sector " +
                                         std::to_string(start) + ", inside the " + std::to_string(size) +
                                         " bytes of boot code");
        }
    }
    disk::TMbrParts parts;
    parts.BootCode = true;
    return disk::RestoreMbr(disk, file, true, parts, context);
}

std::string FirstPartitionMountPath(const std::string& disk_path) {
    const int number = platform::device::DiskNumberOf(disk_path);
    if (number < 0) return "";
    for (std::string volume : disk::list_volumes()) {
        if (!volume.empty() && volume.back() == '\\') volume.pop_back();
        int disk_number = -1, partition = -1;
        if (disk::GetDeviceNumber(volume, disk_number, partition) && disk_number == number && partition == 1)
            return disk::GetVolumeMountPaths(volume + "\\");
    }
    return "";
}

bool CopyGrubLoader(const std::string& program_folder, const std::string& mount_path) {
    bool loader_copied = false;
    for (const char* name : {"grldr", "menu.lst"}) {
        std::optional<std::string> bytes = ReadSmallFile(FindInProgramFolder(program_folder, name));
        if (!bytes) continue;
        const std::string target = platform::ResolveFilePath(mount_path + name);
        const bool copied = !target.empty() && platform::ReplaceFileContents(target, *bytes);
        if (std::string(name) == "grldr") loader_copied = copied;
    }
    return loader_copied;
}

}  // namespace tarnovell
