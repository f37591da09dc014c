#include "disk/formats/vmdk/vmdk_source.h"

#include <stdexcept>

#include "disk/bindings/libvmdk.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/named_file.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "disk/formats/library/library_image.h"
#include "platform/base/ascii.h"

namespace disk {

namespace {

constexpr std::uint64_t kSector = 512;

// The library's number for an extent line's type.
int LibraryTypeOf(const std::string& word) {
    const std::string type = platform::ToUpper(word);
    if (type == "FLAT") return static_cast<int>(VmdkExtentType::Flat);
    if (type == "SPARSE") return static_cast<int>(VmdkExtentType::Sparse);
    if (type == "VMFS") return static_cast<int>(VmdkExtentType::VmfsFlat);
    if (type == "VMFSSPARSE") return static_cast<int>(VmdkExtentType::VmfsSparse);
    if (type == "ZERO") return static_cast<int>(VmdkExtentType::Zero);
    return 0;
}

bool IsFlat(int type) {
    return type == static_cast<int>(VmdkExtentType::Flat) || type == static_cast<int>(VmdkExtentType::VmfsFlat);
}

// The library gives the offset of a flat extent as the line writes it.
bool ReadAlike(const VmdkExtentLine& ours, const VmdkLibraryExtent& theirs) {
    const int type = LibraryTypeOf(ours.type);
    return theirs.type == type && theirs.size == ours.sectors * kSector &&
           (type == static_cast<int>(VmdkExtentType::Zero) || theirs.file == ours.file) &&
           (!IsFlat(type) || static_cast<std::uint64_t>(theirs.offset) == ours.offset);
}

}  // namespace

void HandOverVmdkExtents(TLibVMDK& image, const std::string& path) {
    VmdkDescriptor ours;
    CheckImageFile(path, [&](const ImageBytes& file) {
        ours = ParseVmdkDescriptor(VmdkDescriptorText(file), path);
        return NamedFiles{};
    });
    const std::vector<VmdkLibraryExtent> theirs = image.Extents();
    if (theirs.size() != ours.extents.size())
        throw ImageCheckError(path + ": libvmdk finds " + std::to_string(theirs.size()) +
                              " extent lines where our check found " + std::to_string(ours.extents.size()));
    std::vector<platform::Handle> files;
    for (std::size_t i = 0; i < theirs.size(); ++i) {
        const VmdkExtentLine& extent = ours.extents[i];
        const std::string field = "extent " + std::to_string(i + 1);
        if (!ReadAlike(extent, theirs[i]))
            throw ImageCheckError(path + ": " + field + " is read by libvmdk otherwise than by our check (\"" +
                                  theirs[i].file + "\", " + std::to_string(theirs[i].size) + " bytes from " +
                                  std::to_string(theirs[i].offset) + ")");
        // libvmdk takes a flat extent's offset for bytes where it counts
        // sectors: it would read the disk from the wrong place.
        if (IsFlat(theirs[i].type) && extent.offset != 0)
            throw ImageCheckError(path + ": " + field + " starts " + std::to_string(extent.offset) +
                                  " sectors into \"" + extent.file + "\", which libvmdk does not read right");
        if (theirs[i].type == static_cast<int>(VmdkExtentType::Zero)) files.emplace_back();
        else files.push_back(OpenNamedFile(path, extent.file, field).handle);
    }
    if (image.OpenExtentDataFiles(std::move(files)) != 1) throw std::runtime_error("Unable to open extent data files");
}

const LibraryImageKind& VmdkImageKind() {
    static const LibraryImageKind kind{
        .load = [] { return std::make_unique<TLibVMDK>(); },
        .check_file =
            [](const std::string& path) {
                return CheckImageFile(path, [](const ImageBytes& file) { return CheckVmdkImage(file, file.name()); }).extents;
            },
        .check = [](ImageLibraryFile& image, const std::string& path) {
            HandOverVmdkExtents(static_cast<TLibVMDK&>(image), path);
        },
        .open_failed = "libvmdk_handle_open failed: ",
        .read_failed = "libvmdk_handle_read_buffer_at_offset failed: ",
        .media_size_failed = "libvmdk_get_media_size failed",
        .parent_missing = "parent VMDK not found: ",
        .name = "vmdk",
    };
    return kind;
}

std::unique_ptr<ParallelSource> OpenVmdkSource(const std::string& path, unsigned readers, const ReaderWait& waiting) {
    return OpenLibraryImage(VmdkImageKind(), path, readers, waiting);
}

}  // namespace disk
