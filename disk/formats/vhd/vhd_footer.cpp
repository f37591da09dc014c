#include "disk/formats/vhd/vhd_footer.h"

#include <algorithm>
#include <cstring>

#include "disk/util/lib_helpers.h"
#include "platform/base/interaction.h"
#include "platform/base/random_id.h"
#include "platform/base/replace_file.h"
#include "platform/device/handle.h"
#include "platform/os/file_facts.h"

namespace disk {

namespace {

using platform::virtdisk::VhdFooter;

constexpr std::int64_t kSector = platform::virtdisk::kVhdSector;

void Complain(const std::string& text) { platform::interaction().inform(text, platform::kLibraryErrorCaption); }

// True when the last sector of the file carries a footer cookie.
bool EndsInFooter(const std::string& image, std::int64_t size) {
    if (size < kSector) return false;
    platform::Handle file = platform::CreateFile(image, platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    char cookie[8] = {};
    std::size_t done = 0;
    return file && platform::ReadAt(file, size - kSector, cookie, sizeof cookie, &done) && done == sizeof cookie &&
           std::memcmp(cookie, "conectix", sizeof cookie) == 0;
}

}  // namespace

FooterGeometry FooterGeometryOf(std::int64_t sectors) {
    FooterGeometry g{0, 16, 63};
    if (sectors >= 66059280) g = {0, 64, 32};
    if (sectors > 134215679) g = {0, 128, 63};
    if (sectors > 528474239) g = {0, 255, 63};
    g.cylinders = sectors / g.heads / g.sectors_per_track + 1;
    return g;
}

VhdFooter MakeFixedVhdFooter(std::int64_t size, const std::array<std::uint8_t, 16>& unique_id) {
    VhdFooter footer{};
    std::memcpy(footer.cookie.data(), "conectix", 8);
    footer.features.set(2);
    footer.file_format_version.set(0x00010000u);
    footer.data_offset.set(platform::virtdisk::kVhdNoDataOffset);
    footer.time_stamp.set(0);
    std::memcpy(footer.creator_application.data(), "hack", 4);
    footer.creator_version.set(0x00010000u);
    footer.creator_host_os.set(0x5769326Bu);  // "Wi2k"
    footer.original_size.set(static_cast<std::uint64_t>(size));
    footer.current_size.set(static_cast<std::uint64_t>(size));
    const FooterGeometry g = FooterGeometryOf(size / kSector);
    // Beyond 65,535 cylinders the field cannot say it; the largest value is
    // the nearest truth, where a cut-off one would describe a tiny disk.
    const auto cylinders = static_cast<std::uint32_t>(std::min<std::int64_t>(g.cylinders, 0xFFFF));
    footer.disk_geometry.set((cylinders << 16) | (std::uint32_t{g.heads} << 8) | g.sectors_per_track);
    footer.disk_type.set(platform::virtdisk::kVhdFixed);
    footer.unique_id = unique_id;
    footer.saved_state = 0;
    platform::virtdisk::Seal(footer);
    return footer;
}

std::array<std::uint8_t, 16> NewGuidBytes() {
    // The program's random id comes in RFC 4122 order; a GUID in memory
    // keeps its first three fields little-endian (Data3, bytes 6-7, then
    // carries the version in the top nibble of byte 7).
    std::array<std::uint8_t, 16> bytes = platform::RandomUuidBytes();
    std::reverse(bytes.begin(), bytes.begin() + 4);
    std::reverse(bytes.begin() + 4, bytes.begin() + 6);
    std::reverse(bytes.begin() + 6, bytes.begin() + 8);
    return bytes;
}

bool AppendVhdFooter(const std::string& image, const std::string& new_name, int ask) {
    if (image.empty()) return false;
    const std::int64_t size = FileSize64(image);
    if (size % kSector != 0) {
        Complain("the image size is not a multiple of 512 bytes");
        return false;
    }
    if (EndsInFooter(image, size)) {
        Complain("the image file already ends in a vhd footer");
        return false;
    }
    const bool rename = !new_name.empty() && new_name != image;
    if (rename && platform::LinkFactsOf(new_name).has_value()) {
        Complain(new_name + " already exists");
        return false;
    }
    const VhdFooter footer = MakeFixedVhdFooter(size, NewGuidBytes());

    if (ask == 1 &&
        !platform::interaction().confirm("append vhd footer to image file and rename it to " + new_name + "?",
                                         platform::kProgramCaption))
        return false;

    platform::Handle file = platform::CreateFile(image, platform::GENERIC_WRITE,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    if (!file) {
        Complain("could not createfile");
        return false;
    }
    std::int64_t end = 0;
    if (!platform::SetFilePointerEx(file, 0, &end, platform::FILE_END)) {
        Complain("SetFilePointer failed," + platform::SysErrorMessage(platform::GetLastError()));
        return false;
    }
    if (end != size) {  // someone changed the file since it was measured
        Complain("the image size is not a multiple of 512 bytes");
        return false;
    }
    platform::DWORD written = 0;
    if (!platform::WriteFile(file, &footer, sizeof footer, &written) || written != sizeof footer ||
        !platform::FlushFileBuffers(file)) {
        // Whatever part of the footer made it goes again: the image stays a raw image.
        platform::SetFilePointerEx(file, size, nullptr, platform::FILE_BEGIN);
        platform::SetEndOfFile(file);
        Complain("WriteFile failed");
        return false;
    }
    if (!file.close()) {
        Complain("WriteFile failed");
        return false;
    }
    if (rename && !platform::RenameWithoutReplacing(image, new_name)) {
        Complain("could not rename the image to " + new_name + "\r\n" +
                 platform::SysErrorMessage(platform::GetLastError()));
        return false;
    }
    return true;
}

}  // namespace disk
