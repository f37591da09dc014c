#include "main/operations/boot_record_targets.h"

#include <cstring>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/util/lib_helpers.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/virtdisk/vhd/vhd_file.h"

namespace tarnovell {

std::int64_t SectorSizeOf(const std::string& path) {
    const int number = platform::device::DiskNumberOf(path);
    disk::TDriveGeometry geometry{};
    if (number < 0 || !disk::GetDriveGeometry(number, geometry) || geometry.BytesPerSector == 0) return 512;
    return geometry.BytesPerSector;
}

bool IsDynamicVhdFile(const std::string& path) {
    if (platform::device::IsDevicePath(path)) return false;
    if (auto footer = platform::virtdisk::ReadVhdFooter(path))
        return footer->disk_type.value() != platform::virtdisk::kVhdFixed;
    // A footer gone bad at the end still leaves its copy at the start.
    platform::Handle file = platform::CreateFile(path, platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    char cookie[8] = {};
    std::size_t got = 0;
    return file && platform::ReadAt(file, 0, cookie, sizeof cookie, &got) && got == sizeof cookie &&
           std::memcmp(cookie, "conectix", sizeof cookie) == 0;
}

void RefuseDynamicVhd(const std::string& path) {
    if (IsDynamicVhdFile(path))
        throw std::runtime_error(path + " is a dynamic VHD: its first sector is the VHD's own, not the disk's. "
                                        "Attach it and choose its disk.");
}

ByteRange PartitionRowRange(const std::string& sectors_before, const std::string& sectors, std::int64_t sector_size) {
    auto value = [](const std::string& text) {
        std::optional<std::int64_t> number = disk::ParseUserNumber(text, 0, UINT32_MAX);
        if (!number) throw std::runtime_error("'" + text + "' is not a valid integer value");
        return *number;
    };
    return ByteRange{value(sectors_before) * sector_size, value(sectors) * sector_size};
}

std::optional<std::string> RowRestoreRefusal(const std::string& image, std::int64_t row_length) {
    const std::int64_t size = disk::FileSize64(image);
    if (size <= row_length) return std::nullopt;
    return image + " (" + std::to_string(size) + " bytes) is larger than the partition (" +
           std::to_string(row_length) + " bytes): nothing was restored";
}

}  // namespace tarnovell
