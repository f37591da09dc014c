#include "platform/virtdisk/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/base/replace_file.h"
#include "platform/base/unique_fd.h"
#include "platform/virtdisk/virtdisk.h"
#include "platform/os/child_process.h"
#include "platform/virtdisk/vhd/vhd_file.h"

namespace platform::virtdisk {

namespace {

// The number after "key": in qemu-img's JSON, or -1.
std::int64_t JsonNumber(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return -1;
    at = json.find(':', at);
    if (at == std::string::npos) return -1;
    ++at;
    while (at < json.size() && (json[at] == ' ' || json[at] == '\n' || json[at] == '\t')) ++at;
    std::int64_t value = 0;
    bool any = false;
    while (at < json.size() && json[at] >= '0' && json[at] <= '9') {
        value = value * 10 + (json[at++] - '0');
        any = true;
    }
    return any ? value : -1;
}

bool HasVhdxSignature(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char signature[8];
    return fd && ::pread(fd.get(), signature, 8, 0) == 8 && std::memcmp(signature, "vhdxfile", 8) == 0;
}

DWORD ProbeVhd(const std::string& path, ImageFacts& facts) {
    auto footer = ReadVhdFooter(path);
    if (!footer) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    facts.subtype = footer->disk_type.value();
    std::memcpy(&facts.identifier, footer->unique_id.data(), sizeof facts.identifier);
    if (footer->disk_type.value() == kVhdFixed) {
        facts.virtual_size = facts.physical_size - 512;
        facts.direct = true;
        return ERROR_SUCCESS;
    }
    if (footer->disk_type.value() != kVhdDynamic && footer->disk_type.value() != kVhdDifferencing)
        return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    auto header = ReadVhdDynamicHeader(path, *footer);
    if (!header) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    if (!VhdTableIsSound(*footer, *header, facts.physical_size)) return ERROR_INVALID_DATA;
    if (footer->disk_type.value() == kVhdDifferencing) {
        facts.parent_path = VhdParentPath(path);
        std::memcpy(&facts.parent_identifier, header->parent_unique_id.data(), sizeof facts.parent_identifier);
    }
    facts.virtual_size = static_cast<std::int64_t>(footer->current_size.value());
    facts.block_size = header->block_size.value();
    return ERROR_SUCCESS;
}

DWORD ProbeVhdx(const std::string& path, ImageFacts& facts) {
    if (!HasVhdxSignature(path)) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    ChildResult info = RunChild({"qemu-img", "info", "-U", "--output=json", "-f", "vhdx", path});
    if (info.exit_code != 0) return info.exit_code < 0 ? ERROR_MOD_NOT_FOUND : ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    facts.virtual_size = JsonNumber(info.output, "virtual-size");
    if (facts.virtual_size < 0) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    std::int64_t cluster = JsonNumber(info.output, "cluster-size");
    // qemu does not say which kind a VHDX is; a fixed one holds all its
    // blocks, so its file is at least as large as the disk.
    facts.subtype = facts.physical_size >= facts.virtual_size ? kVhdFixed : kVhdDynamic;
    facts.block_size = facts.subtype == kVhdFixed || cluster < 0 ? 0 : static_cast<std::uint32_t>(cluster);
    return ERROR_SUCCESS;
}

}  // namespace

std::uint32_t DeviceIdOf(ImageFormat format) {
    switch (format) {
    case ImageFormat::Iso: return VIRTUAL_STORAGE_TYPE_DEVICE_ISO;
    case ImageFormat::Vhd: return VIRTUAL_STORAGE_TYPE_DEVICE_VHD;
    case ImageFormat::Vhdx: return VIRTUAL_STORAGE_TYPE_DEVICE_VHDX;
    }
    return VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN;
}

bool DetectImageFormat(const std::string& path, ImageFormat& format) {
    if (HasVhdxSignature(path)) {
        format = ImageFormat::Vhdx;
        return true;
    }
    if (ReadVhdFooter(path)) {
        format = ImageFormat::Vhd;
        return true;
    }
    return false;
}

DWORD ProbeImage(const std::string& path, ImageFormat format, ImageFacts& facts) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return ErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    facts = ImageFacts{};
    facts.format = format;
    facts.physical_size = st.st_size;
    switch (format) {
    case ImageFormat::Iso:
        facts.virtual_size = st.st_size;
        facts.sector_size = 2048;
        facts.direct = true;
        return ERROR_SUCCESS;
    case ImageFormat::Vhd: return ProbeVhd(path, facts);
    case ImageFormat::Vhdx: return ProbeVhdx(path, facts);
    }
    return ERROR_INVALID_PARAMETER;
}

namespace {

// What qemu-img is told to make a VHD or VHDX of the kind asked.
std::string CreationOptions(ImageFormat format, bool fixed) {
    std::string options = std::string("subformat=") + (fixed ? "fixed" : "dynamic");
    if (format == ImageFormat::Vhd) options += ",force_size=on";  // the size asked, not one rounded to a CHS geometry
    // A fixed VHDX whose blocks are marked zero gets each written block
    // anew at the end of the file, beside the room already set aside for
    // it: its blocks are the room itself, holes reading as zeros.
    if (format == ImageFormat::Vhdx && fixed) options += ",block_state_zero=off";
    return options;
}

}  // namespace

DWORD CreateImage(const std::string& path, ImageFormat format, bool fixed, std::uint64_t size) {
    const std::string options = CreationOptions(format, fixed);
    const char* qemu_format = format == ImageFormat::Vhdx ? "vhdx" : "vpc";
    ChildResult result = RunChild({"qemu-img", "create", "-q", "-f", qemu_format, "-o", options, path, std::to_string(size)});
    if (result.exit_code == 0) return ERROR_SUCCESS;
    ::unlink(path.c_str());
    if (result.exit_code < 0) return ERROR_MOD_NOT_FOUND;
    return result.error.find("Permission denied") != std::string::npos ? ERROR_ACCESS_DENIED : ERROR_CANNOT_MAKE;
}

DWORD RewriteImage(const std::string& path, const ImageFacts& facts, std::uint64_t new_size) {
    if (facts.format == ImageFormat::Iso) return ERROR_NOT_SUPPORTED;
    // qemu-img makes the new image itself; until it is complete and renamed
    // over the old one, the old image is all there is.
    FileReplacement replacement(path, FileReplacement::Start::NameOnly);
    if (!replacement) return GetLastError();
    const std::string& temporary = replacement.path();
    const bool fixed = facts.subtype == kVhdFixed;
    std::vector<std::string> argv = {"qemu-img", "convert", "-q", "-f", facts.qemu_format(), "-O", facts.qemu_format()};
    if (new_size > 0) {
        if (DWORD created = CreateImage(temporary, facts.format, fixed, new_size); created != ERROR_SUCCESS) return created;
        argv.push_back("-n");  // fill the larger image made above
    } else {
        argv.insert(argv.end(), {"-o", CreationOptions(facts.format, fixed)});
    }
    argv.insert(argv.end(), {path, temporary});
    ChildResult result = RunChild(argv);
    if (result.exit_code != 0) return result.exit_code < 0 ? ERROR_MOD_NOT_FOUND : ERROR_WRITE_FAULT;
    // The rebuilt image is the same disk: children made on it must still know it.
    if (facts.format == ImageFormat::Vhd) {
        if (DWORD kept = KeepVhdIdentity(path, temporary); kept != ERROR_SUCCESS) return kept;
    }
    return replacement.commit() ? ERROR_SUCCESS : GetLastError();
}

}  // namespace platform::virtdisk
