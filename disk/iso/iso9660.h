// Reading and mending ISO 9660 images in place: the look-up of a file's
// extent, the path table and directory walks beneath it, the El Torito boot
// catalog, and the renames of directory records. Everything here reads
// bytes of an image someone else may have made: every count, length and
// sector number is checked against the image before it is used, and each
// walk has a bound.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class Handle;
}

namespace disk {

constexpr std::int64_t kIsoSectorSize = 2048;
constexpr std::uint32_t kPrimaryVolumeDescriptorSector = 16;

// What an image is read and written through.
class IsoImage {
public:
    virtual ~IsoImage() = default;
    virtual std::int64_t size() const = 0;
    // Reads all of `length` bytes at `offset`; false when they are not all there.
    virtual bool read(std::int64_t offset, void* buffer, std::size_t length) = 0;
    virtual bool write(std::int64_t offset, const void* buffer, std::size_t length) = 0;
};

// An image in memory (tests, fuzzing).
class MemoryIsoImage : public IsoImage {
public:
    explicit MemoryIsoImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }
    bool read(std::int64_t offset, void* buffer, std::size_t length) override;
    bool write(std::int64_t offset, const void* buffer, std::size_t length) override;
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// An image file opened for reading, or for reading and writing.
class FileIsoImage : public IsoImage {
public:
    // Raises std::runtime_error when the file cannot be opened.
    FileIsoImage(const std::string& path, bool writable);
    ~FileIsoImage() override;
    std::int64_t size() const override { return size_; }
    bool read(std::int64_t offset, void* buffer, std::size_t length) override;
    bool write(std::int64_t offset, const void* buffer, std::size_t length) override;

private:
    std::unique_ptr<platform::Handle> handle_;
    std::int64_t size_ = 0;
};

// An image whose structures do not hold together. The text says what.
class IsoFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The parts of the primary volume descriptor the walks need.
struct PrimaryVolume {
    std::uint32_t path_table_size = 0;
    std::uint32_t path_table_sector = 0;  // the type-L table
    std::uint32_t root_sector = 0;
    std::uint32_t root_length = 0;
};

// A directory record as found: where it lives in the image and its fields.
struct DirectoryRecord {
    std::int64_t offset = 0;  // of the record's first byte
    std::uint32_t extent = 0;
    std::uint32_t length = 0;
    bool is_directory = false;
    std::string identifier;  // as stored
};

// The primary volume descriptor, found by walking the descriptors from
// sector 16 to the terminator. Raises IsoFormatError when there is none.
PrimaryVolume ReadPrimaryVolume(IsoImage& image);

// Each directory of the type-L path table in table order: its identifier
// (the root's is a single 0x00) and extent. The callback returns false to
// stop. The whole table is walked, not only its first sector.
void ForEachPathTableDirectory(IsoImage& image, const PrimaryVolume& volume,
                               const std::function<bool(std::string_view identifier, std::uint32_t extent)>& visit);

// Each record of the directory at `extent`, over the directory's full
// length (from its own "." record), skipping the unused end of each sector;
// "." and ".." are not handed out. The callback returns false to stop.
void ForEachDirectoryRecord(IsoImage& image, std::uint32_t extent,
                            const std::function<bool(const DirectoryRecord& record)>& visit);

// The identifier a file name has in a directory: "BOOTMGR" is
// "BOOTMGR.;1", "isolinux.bin" is "ISOLINUX.BIN;1".
std::string IsoFileIdentifier(const std::string& file_name);

// The first sector of the extent of the file named `file_name` (compared
// without regard to case) in any directory of the image; 0 when there is
// none or the image is no ISO 9660 image.
std::uint32_t IsoFindFile(IsoImage& image, const std::string& file_name);
// The same for an image file. Raises std::runtime_error when it cannot be opened.
std::uint32_t IsoFindFile(const std::string& image_path, const std::string& file_name);

// The El Torito boot catalog: the boot record's catalog sector, checked to
// be inside the image and to start with a valid validation entry.
struct BootCatalog {
    std::uint32_t sector = 0;
    std::uint8_t bytes[kIsoSectorSize] = {};
};
// Raises IsoFormatError when the image has no boot record or its catalog is
// not valid.
BootCatalog ReadBootCatalog(IsoImage& image);

// Overwrites, in the directory record whose identifier is `old_identifier`
// (compared without regard to case), the length byte and identifier with
// `replacement`: a length byte and the new identifier, padded so that it
// takes exactly the room of the old one. `directory_extent` is the
// directory searched. True when a record was changed.
bool RenameDirectoryRecord(IsoImage& image, std::uint32_t directory_extent, std::string_view old_identifier,
                           std::string_view replacement);

// The extent of the directory named `name` (whole identifier, any case) in
// the path table; nothing when there is none.
std::optional<std::uint32_t> FindPathTableDirectory(IsoImage& image, const PrimaryVolume& volume,
                                                    std::string_view name);

}  // namespace disk
