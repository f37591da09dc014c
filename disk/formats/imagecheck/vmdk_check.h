// Our own check of a VMDK image before libvmdk opens it: a descriptor (a
// text file, or the one a sparse extent carries) and every extent it
// names, each a regular file inside the descriptor's folder, and of each
// sparse extent (hosted "KDMV" or ESX "COWD") the header, the grain
// directory and tables inside the file, and every grain they point at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/formats/imagecheck/image_bytes.h"
#include "platform/base/byte_order.h"

namespace disk {

#pragma pack(push, 1)
// A hosted sparse extent; fields little-endian, sizes and offsets in sectors.
struct VmdkSparseHeader {
    platform::le32 magicNumber;
    platform::le32 version;
    platform::le32 flags;
    platform::le64 capacity;
    platform::le64 grainSize;
    platform::le64 descriptorOffset;
    platform::le64 descriptorSize;
    platform::le32 numGTEsPerGT;
    platform::le64 rgdOffset;
    platform::le64 gdOffset;
    platform::le64 overHead;
    std::uint8_t uncleanShutdown;
    char singleEndLineChar;
    char nonEndLineChar;
    char doubleEndLineChar1;
    char doubleEndLineChar2;
    platform::le16 compressAlgorithm;
    std::uint8_t pad[433];
};
// An ESX sparse extent (the "COWD" format); sizes and offsets in sectors.
struct VmdkCowdHeader {
    platform::le32 magicNumber;
    platform::le32 version;
    platform::le32 flags;
    platform::le32 numSectors;
    platform::le32 grainSize;
    platform::le32 gdOffset;
    platform::le32 numGDEntries;
    platform::le32 freeSector;
};
// What stands before each grain of a compressed extent.
struct VmdkGrainMarker {
    platform::le64 lba;
    platform::le32 size;
};
#pragma pack(pop)
static_assert(sizeof(VmdkSparseHeader) == 512);
static_assert(offsetof(VmdkSparseHeader, gdOffset) == 56);
static_assert(offsetof(VmdkSparseHeader, compressAlgorithm) == 77);
static_assert(sizeof(VmdkCowdHeader) == 32);
static_assert(sizeof(VmdkGrainMarker) == 12);

constexpr std::uint32_t kVmdkSparseMagic = 0x564D444B;  // "KDMV"
constexpr std::uint32_t kVmdkCowdMagic = 0x44574F43;    // "COWD"

// One extent line of a descriptor: access, size in sectors, type, file
// name (none for ZERO) and the offset in the file (FLAT), in sectors.
struct VmdkExtentLine {
    std::uint64_t sectors = 0;
    std::string type;
    std::string file;
    std::uint64_t offset = 0;
};

struct VmdkDescriptor {
    std::vector<VmdkExtentLine> extents;
    std::string parent;  // parentFileNameHint ("" for none)
};

// Reads a descriptor's text; raises ImageCheckError (naming `name`) for
// an extent line that cannot be read, or that holds more than a file name
// and an offset (libvmdk reads such a line otherwise than we would).
VmdkDescriptor ParseVmdkDescriptor(const std::string& text, const std::string& name);

// Checks a sparse extent (KDMV or COWD) of at least `sectors` sectors
// (0: as its header says): of its tables, only what those sectors need is
// followed.
void CheckVmdkSparseExtent(const ImageBytes& file, std::uint64_t sectors);

// The descriptor's text: the file's own, or the one a sparse extent carries
// ("" when it carries none).
std::string VmdkDescriptorText(const ImageBytes& file);

// Checks the image whose descriptor (or sparse extent with a descriptor)
// is `file`, stored at `path`, and every extent it names. Gives the
// extents' paths and the parent's name as stored.
NamedFiles CheckVmdkImage(const ImageBytes& file, const std::string& path);

}  // namespace disk
