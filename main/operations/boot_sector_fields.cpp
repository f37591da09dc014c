#include "main/operations/boot_sector_fields.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "disk/util/lib_helpers.h"
#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/device/filesystems/probe.h"

namespace tarnovell {

namespace {

using platform::LoadLe16;
using platform::LoadLe32;
using platform::LoadLe64;

constexpr std::size_t kOemAt = 3;
constexpr std::size_t kOemBytes = 8;
constexpr std::size_t kFatLabelBytes = 11;
constexpr std::size_t kNtfsSerialAt = 72;
constexpr std::size_t kExfatSerialAt = 100;

// Where a FAT layout keeps its serial number and label.
struct FatPlaces {
    std::size_t serial;
    std::size_t label;
};
FatPlaces PlacesOf(BootLayout layout) { return layout == BootLayout::Fat16 ? FatPlaces{39, 43} : FatPlaces{67, 71}; }

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string Printable(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    return text;
}

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// The serial of a FAT boot sector as its OEM name has it written out: at
// least four digits, eight for the names that pad a seven-digit serial,
// and all eight for every formatter that has no such habit.
std::string FatSerialText(std::uint32_t serial, const std::string& oem) {
    if (Has(oem, "MSWIN4.1")) return Hex(serial, 4);
    if (Has(oem, "MSDOS5.0") || Has(oem, "SYSLINUX")) {
        std::string text = Hex(serial, 4);
        return text.size() == 7 ? "0" + text : text;
    }
    return Hex(serial, 8);
}

std::uint64_t FieldMaximum(std::size_t width) { return width >= 8 ? UINT64_MAX : (std::uint64_t{1} << (8 * width)) - 1; }

// A little-endian field of 1, 2, 4 or 8 bytes; the value is cut to the
// field's width.
void StoreField(disk::SectorBuffer& sector, std::size_t offset, std::size_t width, std::uint64_t value) {
    std::uint8_t* at = sector.data() + offset;
    switch (width) {
    case 1: *at = static_cast<std::uint8_t>(value); break;
    case 2: platform::StoreLe16(at, static_cast<std::uint16_t>(value)); break;
    case 4: platform::StoreLe32(at, static_cast<std::uint32_t>(value)); break;
    case 8: platform::StoreLe64(at, value); break;
    default: throw std::logic_error("no boot sector field is " + std::to_string(width) + " bytes wide");
    }
}

// "$" and eight hexadecimal digits, as a number.
std::uint32_t SerialDigits(const std::string& text) {
    std::optional<std::int64_t> value =
        text.size() == 9 && text[0] == '$' ? disk::ParseUserNumber(text, 0, UINT32_MAX) : std::nullopt;
    if (!value) throw std::runtime_error("'" + text + "' is no hexadecimal serial number");
    return static_cast<std::uint32_t>(*value);
}

constexpr BootFieldEdit kFieldEdits[] = {
    {3, "Enter BytesPerSec", "512", 11, 2, "Change BytesPerSec on "},
    {4, "Enter SectorsPerClus", "8", 13, 1, "Change SectorsPerClus on "},
    {5, "Enter SecReserved", "0", 14, 2, "Change SecReserved on "},
    {9, "Enter Media Description", "", 21, 1, "Change Media Description on "},
    {11, "Enter SecPerTrack", "63", 24, 2, "Change SecPerTrack on "},
    {12, "Enter Heads", "16", 26, 2, "Change Heads on "},
    {13, "Enter Hidden Sectors", "", 28, 4, "Change Hidden Sectors on "},
};

}  // namespace

std::string OemIdOf(const disk::SectorBuffer& sector) {
    return platform::Trim(Printable(sector.data() + kOemAt, kOemBytes));
}

BootLayout BootLayoutOf(const disk::SectorBuffer& sector) {
    const std::string oem = OemIdOf(sector);
    if (Has(oem, "NTFS")) return BootLayout::Ntfs;
    if (Has(oem, "EXFAT")) return BootLayout::Exfat;
    // The parameter block is judged on its own, signature or not.
    std::vector<std::uint8_t> judged(sector.begin(), sector.end());
    judged[510] = 0x55;
    judged[511] = 0xAA;
    const std::string file_system = platform::device::BootSectorFileSystem(judged);
    if (file_system == "FAT") return BootLayout::Fat16;
    if (file_system == "FAT32") return BootLayout::Fat32;
    // Blocks that do not check out still show what their OEM name promises.
    if (Has(oem, "MSWIN4.1") || Has(oem, "MSDOS5.0")) return BootLayout::Fat32;
    if (Has(oem, "SYSLINUX")) return BootLayout::Fat16;
    return BootLayout::None;
}

BootSectorText BootSectorTextOf(const disk::SectorBuffer& sector) {
    BootSectorText text;
    auto& f = text.fields;
    const std::uint8_t* s = sector.data();
    const BootLayout layout = BootLayoutOf(sector);
    const std::string oem = OemIdOf(sector);

    f[0] = Hex(s[0], 2) + Hex(s[1], 2) + Hex(s[2], 2);
    f[1] = Printable(s + kOemAt, kOemBytes);
    f[2] = std::to_string(LoadLe16(s + 11));
    f[3] = std::to_string(s[13]);
    f[4] = std::to_string(LoadLe16(s + 14));
    f[5] = std::to_string(s[16]);
    f[6] = std::to_string(LoadLe16(s + 17));
    f[7] = std::to_string(LoadLe16(s + 19));
    f[8] = Hex(s[21], 1);
    // FAT12/16 count their FAT in 16 bits at 22; bytes 36..39 are their
    // drive number and serial.
    f[9] = std::to_string(layout == BootLayout::Fat16 ? LoadLe16(s + 22) : LoadLe32(s + 36));
    f[10] = std::to_string(LoadLe16(s + 24));
    f[11] = std::to_string(LoadLe16(s + 26));
    f[12] = std::to_string(LoadLe32(s + 28));
    f[13] = std::to_string(LoadLe32(s + 32));

    switch (layout) {
    case BootLayout::Ntfs: {
        f[14] = std::to_string(LoadLe32(s + 36));
        f[15] = std::to_string(LoadLe64(s + 40));
        f[16] = std::to_string(LoadLe64(s + 48));
        f[17] = std::to_string(LoadLe64(s + 56));
        f[18] = std::to_string(LoadLe32(s + 64));
        f[19] = std::to_string(LoadLe32(s + 68));
        const std::uint64_t serial = LoadLe64(s + kNtfsSerialAt);
        f[20] = Hex(serial & 0xFFFFFFFFu, 8);
        // All sixteen digits, however many of them lead with zeros.
        text.serial_hint = Hex(serial, 16);
        break;
    }
    case BootLayout::Fat16:
    case BootLayout::Fat32: {
        const FatPlaces places = PlacesOf(layout);
        f[20] = FatSerialText(LoadLe32(s + places.serial), oem);
        // All eleven characters of the label, without the blanks that pad it.
        std::string label = Printable(s + places.label, kFatLabelBytes);
        label.erase(label.find_last_not_of(' ') + 1);
        f[21] = label;
        break;
    }
    case BootLayout::Exfat: f[20] = Hex(LoadLe32(s + kExfatSerialAt), 8); break;
    case BootLayout::None: break;
    }
    return text;
}

const BootFieldEdit* BootFieldEditOf(int field) {
    for (const BootFieldEdit& edit : kFieldEdits)
        if (edit.field == field) return &edit;
    return nullptr;
}

void PatchBootField(disk::SectorBuffer& sector, const BootFieldEdit& edit, const std::string& answer) {
    const std::uint64_t most = FieldMaximum(edit.width);
    std::optional<std::int64_t> value = disk::ParseUserNumber(answer, 0, static_cast<std::int64_t>(most));
    if (!value)
        throw std::runtime_error("'" + answer + "' does not fit " + std::to_string(edit.width * 8) +
                                 " bits: a value from 0 to " + std::to_string(most) + " is needed");
    StoreField(sector, edit.offset, edit.width, static_cast<std::uint64_t>(*value));
}

std::optional<std::string> BootFieldEditRefusal(const disk::SectorBuffer& sector) {
    if (BootLayoutOf(sector) == BootLayout::Exfat)
        return std::string("exFAT keeps no BIOS parameter block in its checksummed boot sector: nothing is changed");
    return std::nullopt;
}

std::optional<std::string> SerialPromptOf(const disk::SectorBuffer& sector) {
    switch (BootLayoutOf(sector)) {
    case BootLayout::Ntfs: return std::string("Enter Serial Number (4 or 8 bytes)");
    case BootLayout::Fat16:
    case BootLayout::Fat32: return std::string("Enter Serial Number (4 bytes)");
    default: return std::nullopt;
    }
}

void PatchSerial(disk::SectorBuffer& sector, const std::string& answer) {
    const BootLayout layout = BootLayoutOf(sector);
    if (layout == BootLayout::Ntfs) {
        if (answer.size() == 9) {
            StoreField(sector, kNtfsSerialAt, 4, SerialDigits(answer));
            // The high half as Windows makes it up from the low one.
            const std::uint8_t high[4] = {0x0A, sector[kNtfsSerialAt + 2], sector[kNtfsSerialAt + 3], 0x0B};
            std::copy(std::begin(high), std::end(high), sector.begin() + kNtfsSerialAt + 4);
            return;
        }
        if (answer.size() == 17 && answer[0] == '$') {
            const std::uint32_t high = SerialDigits(answer.substr(0, 9));
            const std::uint32_t low = SerialDigits("$" + answer.substr(9));
            StoreField(sector, kNtfsSerialAt, 4, low);
            StoreField(sector, kNtfsSerialAt + 4, 4, high);
            return;
        }
        throw std::runtime_error("wrong size");
    }
    if (layout != BootLayout::Fat16 && layout != BootLayout::Fat32) throw std::runtime_error("Unknown OEMID");
    if (answer.size() != 9) throw std::runtime_error("wrong size");
    StoreField(sector, PlacesOf(layout).serial, 4, SerialDigits(answer));
}

std::string RandomSerialText(std::mt19937& random) {
    std::uniform_int_distribution<int> byte(0, 254);
    std::string text = "$";
    for (int i = 0; i < 4; ++i) text += Hex(static_cast<std::uint64_t>(byte(random)), 2);
    return text;
}

}  // namespace tarnovell
