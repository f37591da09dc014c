// An ISO 9660 image as the ISO maker's look-ups and patches read it: the
// file look-up, the boot catalog, and a directory rename through the path
// table, all on the image in memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/iso/iso9660.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    disk::MemoryIsoImage image(std::vector<std::uint8_t>(data, data + size));
    disk::IsoFindFile(image, "isolinux.bin");
    disk::IsoFindFile(image, "BOOTMGR");
    try {
        disk::ReadBootCatalog(image);
    } catch (const std::exception&) {
    }
    try {
        const disk::PrimaryVolume volume = disk::ReadPrimaryVolume(image);
        if (auto grub = disk::FindPathTableDirectory(image, volume, "GRUB"))
            disk::RenameDirectoryRecord(image, *grub, "I386_PC_1", std::string("\x07I386-PC\0\0", 10));
        disk::RenameDirectoryRecord(image, volume.root_sector, "BOOTMGR.;1", std::string("\x09" "BOOTMGR;1\0", 11));
    } catch (const std::exception&) {
    }
    return 0;
}
