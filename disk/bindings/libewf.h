// libewf, the library we write and read Expert Witness (EWF, .E01 ...)
// images with, bound at run time by name.
//
// Debian's libewf names its positioned calls read_random and write_random
// (the same signatures as read/write at offset), and builds the list of a
// set's segment files itself (libewf_glob), so both .E01 and .e01 sets and
// sets longer than 99 segments (.EAA on) are found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/bindings/image_library.h"

namespace disk {

class TLibEWF : public ImageLibraryFile {
public:
    enum : int { kRead = 1, kWrite = 2 };

    // Loads the library; raises "could not find libewf.dll" when it (or one
    // of the entry points we call) is missing.
    explicit TLibEWF(const std::string& library = "libewf.so.2");

    // A name without its segment extension (a dot and three characters:
    // "image.e01" -> "image"), as the library names a set it writes: the
    // base plus .E01, .E02 ... Any other name stays as it is.
    static std::string WithoutSegmentExtension(const std::string& name);

    // 1 when `name` is an EWF segment file, 0 when not, -1 when it cannot be
    // read.
    int CheckFileSignature(const std::string& name);
    // The segment files of the set `name` belongs to, in order, as the
    // library finds them; empty when there is none (error() says why).
    std::vector<std::string> SegmentFiles(const std::string& name);

    // Opens a set. Reading (kRead) opens every segment file of the set whose
    // first segment is `name`; writing (kWrite) starts a new set whose
    // segments are `name` without its extension plus .E01, .E02 ... 0 when
    // open, -1 otherwise (error() says why).
    int Open(const std::string& name, int access_flags);

    // Writes at a 64-bit offset. Raises std::runtime_error with the
    // library's text when it fails; -1 when nothing is open.
    std::int64_t WriteBufferAtOffset(const void* buffer, std::size_t size, std::int64_t offset);

    // The settings of a new set, made before its first data. Each returns
    // the library's result (1 on success), -1 when nothing is open.
    int SetCompressionValues(int level, int flags);
    int SetHeaderValue(const std::string& identifier, const std::string& value);
    int SetFormat(int format);
    int SetMediaSize(std::int64_t size);
    // 0: the library's own size.
    int SetMaximumSegmentSize(std::int64_t size);

    // The chunk interface: chunks of ChunkSize() bytes are packed
    // (compressed and given their checksum as the settings say) apart from
    // writing them, and written in order. PrepareWriteChunk reads nothing of
    // the handle but its settings, so several threads may pack at once while
    // one thread writes.
    struct PreparedChunk {
        std::size_t size = 0;  // of what WriteChunk stores: packed or the data itself
        bool compressed = false;
        std::uint32_t checksum = 0;
        bool write_checksum = false;
    };
    std::uint32_t ChunkSize();
    // `data` must have 4 bytes of room after its `size` bytes: an
    // uncompressed chunk stores its checksum there. False with the library's
    // text in `failure`.
    bool PrepareWriteChunk(std::byte* data, std::size_t size, std::byte* packed, std::size_t packed_room,
                           PreparedChunk& chunk, std::string& failure) const;
    // Writes a prepared chunk of `data_size` bytes of data (the one `data`
    // and `packed` were prepared from). False with error().
    bool WriteChunk(std::byte* data, std::size_t data_size, const std::byte* packed, const PreparedChunk& chunk);
    // Completes the set after its last chunk. False with error().
    bool WriteFinalize();

    // After an open for reading: whether a segment file of the set is
    // missing or cut short. Raises with the library's text when it cannot tell.
    bool SegmentFilesCorrupted();
    // The runs of sectors whose stored checksum did not match what was read
    // so far: start sector and count.
    struct SectorRun {
        std::uint64_t start = 0;
        std::uint64_t count = 0;
    };
    std::vector<SectorRun> ChecksumErrors();
    // After an open for reading: the MD5 (16 bytes) or SHA1 (20 bytes) hash
    // of the whole disk that the set stores, empty when it stores none.
    // Raises with the library's text when it cannot tell.
    std::vector<std::uint8_t> StoredMd5();
    std::vector<std::uint8_t> StoredSha1();

private:
    using GlobFn = int (*)(const char* name, std::size_t length, std::uint8_t format, char*** names, int* count,
                           void** error);
    using GlobFreeFn = int (*)(char** names, int count, void** error);
    using SignatureFn = int (*)(const char* name, void** error);
    using HandleOpenFn = int (*)(void* handle, char* const names[], int count, int access_flags, void** error);
    using WriteRandomFn = std::int64_t (*)(void* handle, const void* buffer, std::size_t size, std::int64_t offset,
                                           void** error);
    using SetCompressionFn = int (*)(void* handle, std::int8_t level, std::uint8_t flags, void** error);
    using SetHeaderValueFn = int (*)(void* handle, const std::uint8_t* identifier, std::size_t identifier_length,
                                     const std::uint8_t* value, std::size_t value_length, void** error);
    using SetFormatFn = int (*)(void* handle, std::uint8_t format, void** error);
    using SetSize64Fn = int (*)(void* handle, std::uint64_t size, void** error);
    using GetChunkSizeFn = int (*)(void* handle, std::uint32_t* size, void** error);
    using PrepareWriteChunkFn = std::int64_t (*)(void* handle, void* buffer, std::size_t buffer_size, void* packed,
                                                 std::size_t* packed_size, std::int8_t* is_compressed,
                                                 std::uint32_t* checksum, std::int8_t* write_checksum, void** error);
    using WriteChunkFn = std::int64_t (*)(void* handle, const void* chunk, std::size_t chunk_size,
                                          std::size_t data_size, std::int8_t is_compressed, void* checksum_buffer,
                                          std::uint32_t checksum, std::int8_t write_checksum, void** error);
    using WriteFinalizeFn = std::int64_t (*)(void* handle, void** error);
    using CorruptedFn = int (*)(void* handle, void** error);
    using ErrorCountFn = int (*)(void* handle, std::uint32_t* count, void** error);
    using ErrorRunFn = int (*)(void* handle, std::uint32_t index, std::uint64_t* start, std::uint64_t* count,
                               void** error);

    GlobFn glob_ = nullptr;
    GlobFreeFn glob_free_ = nullptr;
    SignatureFn check_file_signature_ = nullptr;
    HandleOpenFn handle_open_ = nullptr;
    WriteRandomFn write_random_ = nullptr;
    SetCompressionFn set_compression_values_ = nullptr;
    SetHeaderValueFn set_header_value_ = nullptr;
    SetFormatFn set_format_ = nullptr;
    SetSize64Fn set_media_size_ = nullptr;
    SetSize64Fn set_maximum_segment_size_ = nullptr;
    GetChunkSizeFn get_chunk_size_ = nullptr;
    PrepareWriteChunkFn prepare_write_chunk_ = nullptr;
    WriteChunkFn write_chunk_ = nullptr;
    WriteFinalizeFn write_finalize_ = nullptr;
    CorruptedFn segment_files_corrupted_ = nullptr;
    ErrorCountFn checksum_error_count_ = nullptr;
    ErrorRunFn checksum_error_ = nullptr;
    using HashFn = int (*)(void* handle, std::uint8_t* hash, std::size_t size, void** error);
    HashFn md5_hash_ = nullptr;
    HashFn sha1_hash_ = nullptr;
    std::vector<std::uint8_t> StoredHash(HashFn get, std::size_t size);
};

}  // namespace disk
