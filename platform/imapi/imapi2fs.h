// The image-mastering file-system service the ISO maker builds with, stood
// in for by libisofs (ISO 9660 levels 1 to 3, Joliet, El Torito with BIOS
// and EFI entries and every emulation) and, for images with UDF, by
// genisoimage. It keeps the service's shape: an image object that is given
// its options, boot options and a folder tree, and that hands out a result
// image, a stream of 2048-byte blocks the caller copies where it wants.
// Failures raise ImapiError with the service's result code.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/imapi/imapi2fs_codes.h"

namespace platform::imapi {

// An error of the service: its code, and what went wrong in words.
class ImapiError : public std::runtime_error {
public:
    ImapiError(HRESULT code, const std::string& detail) : std::runtime_error(detail), code_(code) {}
    HRESULT code() const { return code_; }

private:
    HRESULT code_;
};

enum FsiFileSystems : int {
    FsiFileSystemNone = 0,
    FsiFileSystemISO9660 = 1,
    FsiFileSystemJoliet = 2,
    FsiFileSystemUDF = 4,
};

enum EmulationType : int {
    EmulationNone = 0,
    Emulation12MFloppy = 1,
    Emulation144MFloppy = 2,
    Emulation288MFloppy = 3,
    EmulationHardDisk = 4,
};

enum PlatformId : int {
    PlatformX86 = 0,
    PlatformPowerPC = 1,
    PlatformMac = 2,
    PlatformEFI = 0xEF,
};

constexpr int IMAPI_MEDIA_TYPE_DISK = 12;

struct BootOptions {
    std::string Manufacturer;
    int PlatformId = PlatformX86;
    int Emulation = EmulationNone;
    // The boot image, read when the result is created.
    std::string BootImage;
    // 512-byte sectors the firmware loads (no emulation only); 0 loads the
    // whole image (as far as the catalog's 16-bit count reaches).
    std::uint32_t LoadSectors = 0;
};

// The image once made: its blocks, read in order.
class FileSystemImageResult {
public:
    virtual ~FileSystemImageResult() = default;
    virtual std::int64_t TotalBlocks() const = 0;
    virtual std::int32_t BlockSize() const { return 2048; }
    // Reads the next blocks into `buffer` (a multiple of BlockSize bytes);
    // returns the bytes read, 0 at the end. Raises ImapiError on failure.
    virtual std::size_t Read(void* buffer, std::size_t size) = 0;
};

// Why an image of `file_systems` (FsiFileSystems flags) cannot be made on
// this machine; "" when it can. UDF comes from genisoimage, which writes it
// only beside ISO 9660.
std::string UnbuildableFileSystems(int file_systems);

class FileSystemImage {
public:
    FileSystemImage();
    ~FileSystemImage();
    FileSystemImage(const FileSystemImage&) = delete;
    FileSystemImage& operator=(const FileSystemImage&) = delete;

    void ChooseImageDefaultsForMediaType(int media_type);
    void set_StrictFileSystemCompliance(bool strict) { strict_ = strict; }
    // Levels 1 to 3; any other raises IMAPI_E_ISO9660_LEVELS.
    void set_ISO9660InterchangeLevel(int level);
    int ISO9660InterchangeLevel() const { return level_; }
    void set_FileSystemsToCreate(int file_systems) { file_systems_ = file_systems; }
    void set_VolumeName(const std::string& name);
    // Where images that must be staged in a file (UDF) are made; the
    // temporary folder when unset.
    void set_WorkingDirectory(const std::string& folder) { working_directory_ = folder; }
    void set_BootImageOptions(const BootOptions& options) { boot_ = {options}; }
    void set_BootImageOptionsArray(const std::vector<BootOptions>& options) { boot_ = options; }

    // The root receives what `source_folder` holds (not the folder itself).
    void AddTree(const std::string& source_folder);

    std::unique_ptr<FileSystemImageResult> CreateResultImage();

private:
    std::unique_ptr<FileSystemImageResult> CreateWithLibisofs();
    std::unique_ptr<FileSystemImageResult> CreateWithGenisoimage();

    bool strict_ = true;
    int level_ = 2;
    int file_systems_ = FsiFileSystemISO9660 | FsiFileSystemJoliet;
    std::string volume_name_;
    std::string working_directory_;
    std::vector<BootOptions> boot_;
    std::vector<std::string> trees_;
};

}  // namespace platform::imapi
