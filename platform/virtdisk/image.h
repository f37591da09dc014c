// What the virtual-disk stand-in knows about one image file, and the qemu-img
// runs that create, inspect and rewrite images.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device/records/winioctl.h"
#include "platform/base/win_error.h"

namespace platform::virtdisk {

enum class ImageFormat { Iso, Vhd, Vhdx };

struct ImageFacts {
    ImageFormat format = ImageFormat::Vhd;
    std::uint32_t subtype = 0;       // 2 fixed, 3 dynamic, 4 differencing (VHD/VHDX); 0 for an ISO
    std::int64_t virtual_size = 0;
    std::int64_t physical_size = 0;  // bytes of the file
    std::uint32_t block_size = 0;    // 0 for a fixed image
    std::uint32_t sector_size = 512;
    GUID identifier{};
    // The disk's bytes lie in the file as they are (ISO, fixed VHD): the
    // file itself can be attached, without a server.
    bool direct = false;
    // A differencing VHD: its parent as found on this machine ("" when lost)
    // and the parent's id it was made against.
    std::string parent_path;
    GUID parent_identifier{};
    const char* qemu_format() const { return format == ImageFormat::Vhdx ? "vhdx" : format == ImageFormat::Vhd ? "vpc" : "raw"; }
};

// The storage device id (1 ISO, 2 VHD, 3 VHDX) of a format.
std::uint32_t DeviceIdOf(ImageFormat format);

// Reads the facts of `path` taken as `format`; a Windows error code when the
// file is not an image of that kind (ERROR_VIRTDISK_NOT_VIRTUAL_DISK) or
// cannot be read. A differencing VHD is recognised (subtype 4) although it
// cannot be attached.
DWORD ProbeImage(const std::string& path, ImageFormat format, ImageFacts& facts);

// The format the file's content shows (VHDX signature, VHD footer), used
// when the caller leaves the storage type unknown. False when neither.
bool DetectImageFormat(const std::string& path, ImageFormat& format);

// qemu-img create of a new VHD or VHDX; removes what a failed run left.
DWORD CreateImage(const std::string& path, ImageFormat format, bool fixed, std::uint64_t size);

// Rewrites the image through qemu-img convert into a temporary file in the
// same folder and puts it in place: `new_size` > 0 makes the copy that big
// (a larger, blank image is created first and filled).
DWORD RewriteImage(const std::string& path, const ImageFacts& facts, std::uint64_t new_size);

}  // namespace platform::virtdisk
