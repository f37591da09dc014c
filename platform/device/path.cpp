#include "platform/device/path.h"

#include <cctype>
#include <string_view>

#include "platform/base/ascii.h"

namespace platform::device {

namespace {

constexpr std::string_view kPhysicalDrive = "PhysicalDrive";

// Parses a whole decimal number; -1 when the text is not one.
int ParseNumber(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return -1;
    int value = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

void ParseDeviceName(const std::string& name, DevicePath& result) {
    // name is what follows "\\.\" or "\\?\", trailing backslash removed
    if (StartsWithNoCase(name, std::string(kPhysicalDrive))) {
        int n = ParseNumber(name.substr(kPhysicalDrive.size()));
        if (n >= 0) {
            result.kind = PathKind::Disk;
            result.disk = n;
        }
        return;
    }
    if (name.size() == 2 && IsLetter(name[0]) && name[1] == ':') {
        result.kind = PathKind::LetterVolume;
        result.letter = Upper(name[0]);
        return;
    }
    if (StartsWithNoCase(name, "Volume{") && name.back() == '}') {
        result.kind = PathKind::GuidVolume;
        result.guid = name.substr(6);
        for (char& c : result.guid) c = Upper(c);
        return;
    }
    std::string device = name;
    if (StartsWithNoCase(device, "GLOBALROOT\\Device\\")) device = device.substr(18);
    if (StartsWithNoCase(device, "HarddiskVolume") && !StartsWithNoCase(device, "HarddiskVolumeShadowCopy")) {
        int k = ParseNumber(device.substr(14));
        if (k >= 0) {
            result.kind = PathKind::HarddiskVolume;
            result.volume_index = k;
        }
    }
}

}  // namespace

std::string LocalDeviceName(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

bool IsDevicePath(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0;
}

DevicePath ParseDevicePath(const std::string& path) {
    DevicePath result;
    result.text = path;
    if (IsDevicePath(path)) {
        result.kind = PathKind::UnknownDevice;
        std::string name = path.substr(4);
        if (!name.empty() && name.back() == '\\') name.pop_back();
        ParseDeviceName(name, result);
        return result;
    }
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        result.kind = PathKind::DriveFile;
        result.letter = Upper(path[0]);
        result.rest = path.substr(3);
        for (char& c : result.rest)
            if (c == '\\') c = '/';
    }
    return result;
}

bool IsWholeDiskPath(const std::string& path) { return ParseDevicePath(path).kind == PathKind::Disk; }

int DiskNumberOf(const std::string& path) {
    const DevicePath parsed = ParseDevicePath(path);
    return parsed.kind == PathKind::Disk ? parsed.disk : -1;
}

int DiskNumberOfArgument(const std::string& text) {
    const int bare = ParseNumber(text);
    return bare >= 0 ? bare : DiskNumberOf(text);
}

std::string PhysicalDriveName(int disk) { return std::string(kPhysicalDrive) + std::to_string(disk); }

std::string PhysicalDrivePath(int disk) { return "\\\\.\\" + PhysicalDriveName(disk); }

std::string LetterVolumePath(char letter) { return std::string("\\\\.\\") + Upper(letter) + ":"; }

}  // namespace platform::device
