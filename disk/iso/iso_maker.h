// The ISO maker's work without its window: building an image from a folder
// through the image-mastering service, and the patches applied to the
// finished image so that boot loaders the service serves badly can start.
// Questions and messages go through the operation context; each step of the
// patching is written to the maker's log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "disk/copy/operation_context.h"

namespace disk {

// log.txt of the ISO maker: lines of "hh:nn:ss:zzz , " + message.
class IsoMakerLog {
public:
    explicit IsoMakerLog(std::string path) : path_(std::move(path)) {}
    void Clear();
    void Line(const std::string& message);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The service's file-system flags for the maker's file-system box:
// "ISO9660" 1, "ISO9660 + Joliet" 3, "ISO9660 + Joliet + UDF" 7,
// "ISO9660 + UDF" 5, "UDF" 4; nothing chosen 0.
int FileSystemFlagsOfChoice(int index);

struct IsoBuildRequest {
    std::string source;       // the folder whose contents become the root
    std::string bios_boot;    // optional
    std::string efi_boot;     // optional
    std::uint32_t load_sectors = 0;  // of the BIOS boot image; 0 for the whole of it
    int file_systems = 0;
    int bios_emulation = 0;
    int efi_emulation = 0;
    std::string destination;
    std::string caption;  // of the size question
    // The boot-information table goes into the image's copy of the BIOS
    // boot file before the build, after asking (an image without ISO 9660,
    // which gets no patches afterwards).
    bool patch_boot_table_first = false;
};

// Builds the image and writes it to the destination, which is replaced only
// once the image is complete. True when the image was written; false when
// the user declined, it was cancelled or it failed, which has then been
// said. What cannot be built here is refused before anything is asked or
// written; the source folder is only read.
bool BuildIsoImage(const IsoBuildRequest& request, const OperationContext& context, IsoMakerLog& log);

// Asks whether to patch the boot table in `boot_file`, and writes the
// boot-information table made from it (volume descriptor sector, 0, its
// size, its checksum from byte 64) into `copy`, the image's copy of it: the
// boot file itself is never changed. True when written.
bool PatchBootTable(const std::string& boot_file, const std::string& copy, const OperationContext& context);

// Points the image's default El Torito entry at 4 sectors and writes the
// boot-information table (volume descriptor sector, boot file sector, boot
// file size, checksum) into its boot image. Raises std::runtime_error
// (IsoFormatError for an image whose boot catalog cannot be trusted).
void PatchIsoBootFile(const std::string& image, std::uint32_t volume_descriptor_sector, std::uint32_t checksum,
                      std::uint32_t boot_file_size, std::uint32_t boot_file_sector);

// Renames a record of the root directory / of the directory named
// `directory`: `old_identifier` becomes `replacement` (a length byte and
// the new identifier, as long as the old record's). True when renamed.
bool PatchIsoRootDirectory(const std::string& image, const std::string& old_identifier,
                           const std::string& replacement);
bool PatchIsoDirectory(const std::string& image, const std::string& directory, const std::string& old_identifier,
                       const std::string& replacement);

struct IsoMakerRequest {
    std::string source;
    std::string destination;
    std::string bios_boot;
    std::string efi_boot;
    int file_system_choice = -1;   // index in the file-system box
    bool udf_only = false;         // the box reads "UDF"
    int bios_emulation = 0;
    int efi_emulation = 0;
    bool patch_boot_table = false;
    std::string caption;
};

// "Make Disc": the build and, for images with ISO 9660, the patches. True
// when the image was made.
bool MakeIsoDisc(const IsoMakerRequest& request, const OperationContext& context, IsoMakerLog& log);

}  // namespace disk
