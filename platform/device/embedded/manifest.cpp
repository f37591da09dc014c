#include "platform/device/embedded/manifest.h"

#include <filesystem>
#include <map>
#include <set>

#include "platform/base/ascii.h"
#include "platform/base/ini_file.h"
#include "platform/device/records/winioctl.h"

namespace platform::device {

namespace {

[[noreturn]] void Fail(int line, const std::string& what) {
    throw ManifestError("line " + std::to_string(line) + ": " + what);
}

// The machine's disks are \\.\PhysicalDrive0 to 15: a section for any
// other number would be accepted and never shown.
constexpr int kMostDisks = 16;

// N of "diskN" (N from 0 to 15, written without leading zeros); -1 for any other name.
int DiskNumberOf(const std::string& section) {
    if (section.size() < 5 || section.size() > 6 || !StartsWithNoCase(section, "disk")) return -1;
    const std::string digits = section.substr(4);
    if (digits.size() > 1 && digits[0] == '0') return -1;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number < kMostDisks ? number : -1;
}

bool FlagOf(const std::string& value, bool& flag) {
    const std::string v = ToLower(value);
    if (v == "1" || v == "true" || v == "yes" || v == "on") flag = true;
    else if (v == "0" || v == "false" || v == "no" || v == "off") flag = false;
    else return false;
    return true;
}

bool SectorSizeOf(const std::string& value, std::uint32_t& size) {
    for (std::uint32_t candidate : {512u, 1024u, 2048u, 4096u})
        if (value == std::to_string(candidate)) {
            size = candidate;
            return true;
        }
    return false;
}

void SetKey(ManifestDisk& disk, const std::string& key, const std::string& value, int line) {
    const std::string name = ToLower(key);
    if (name == "image") {
        if (value.empty()) Fail(line, "image= names no file");
        disk.image = value;
    } else if (name == "vendor") {
        disk.vendor = value;
    } else if (name == "product") {
        disk.product = value;
    } else if (name == "revision") {
        disk.revision = value;
    } else if (name == "serial") {
        disk.serial = value;
    } else if (name == "bus") {
        if (!BusTypeOfName(value, disk.bus_type))
            Fail(line, "bus=" + value + " is none of Scsi, Atapi, Ata, 1394, Ssa, Fibre, Usb, RAID, iSCSI, Sas, Sata, Unknown");
    } else if (name == "removable" || name == "readonly") {
        if (!FlagOf(value, name == "removable" ? disk.removable : disk.read_only))
            Fail(line, key + "=" + value + " is neither 0 nor 1");
    } else if (name == "sector_size") {
        if (!SectorSizeOf(value, disk.sector_size))
            Fail(line, "sector_size=" + value + " is not a power of two from 512 to 4096");
    } else {
        Fail(line, "unknown key " + key);
    }
}

}  // namespace

bool BusTypeOfName(const std::string& name, std::uint32_t& bus_type) {
    static const std::map<std::string, std::uint32_t> names = {
        {"scsi", BusTypeScsi}, {"atapi", BusTypeAtapi}, {"ata", BusTypeAta},   {"1394", BusType1394},
        {"ssa", BusTypeSsa},   {"fibre", BusTypeFibre}, {"usb", BusTypeUsb},   {"raid", BusTypeRAID},
        {"iscsi", BusTypeiScsi}, {"sas", BusTypeSas},   {"sata", BusTypeSata}, {"unknown", BusTypeUnknown},
    };
    auto it = names.find(ToLower(Trim(name)));
    if (it == names.end()) return false;
    bus_type = it->second;
    return true;
}

std::vector<ManifestDisk> ParseMachineManifest(const std::string& text) {
    std::vector<ManifestDisk> disks;
    std::set<int> numbers;
    std::set<std::string> keys;  // of the current section, lower-cased
    std::map<std::string, int> images;  // normalised image path -> its disk number
    auto finish_section = [&] {
        if (disks.empty()) return;
        const ManifestDisk& disk = disks.back();
        if (disk.image.empty()) Fail(disk.line, "[disk" + std::to_string(disk.number) + "] names no image");
        const std::string image = std::filesystem::path(disk.image).lexically_normal().string();
        if (auto [at, added] = images.emplace(image, disk.number); !added)
            Fail(disk.line, "[disk" + std::to_string(disk.number) + "] names the image of [disk" +
                                std::to_string(at->second) + "]: " + disk.image);
    };

    for (const IniLine& line : ReadIniLines(text)) {
        if (!line.fault.empty()) Fail(line.number, line.fault);
        if (line.kind == IniLine::Kind::Heading) {
            const int number = DiskNumberOf(line.name);
            if (number < 0) Fail(line.number, "[" + line.name + "] is no disk section (disk0 to disk15)");
            if (!numbers.insert(number).second) Fail(line.number, "[" + line.name + "] is given twice");
            finish_section();
            ManifestDisk disk;
            disk.number = number;
            disk.line = line.number;
            disk.bus_type = BusTypeSata;
            disks.push_back(disk);
            keys.clear();
            continue;
        }
        if (disks.empty()) Fail(line.number, line.name + "= stands before any [diskN] section");
        if (!keys.insert(ToLower(line.name)).second) Fail(line.number, line.name + "= is given twice in its section");
        SetKey(disks.back(), line.name, line.value, line.number);
    }
    finish_section();
    return disks;
}

}  // namespace platform::device
