#include "disk/bindings/libewf.h"

#include <stdexcept>

namespace disk {

namespace {

const ImageLibraryNames kEwfNames{
    .missing = "could not find libewf.dll",
    .initialize = "libewf_handle_initialize",
    .free = "libewf_handle_free",
    .open = nullptr,  // a set of names, not one
    .close = "libewf_handle_close",
    .read_at = "libewf_handle_read_random",
    .media_size = "libewf_handle_get_media_size",
    .error_sprint = "libewf_error_sprint",
    .error_free = "libewf_error_free",
};

}  // namespace

TLibEWF::TLibEWF(const std::string& library) : ImageLibraryFile(kEwfNames, library) {
    BindMore({
        {glob_, "libewf_glob"},
        {glob_free_, "libewf_glob_free"},
        {check_file_signature_, "libewf_check_file_signature"},
        {handle_open_, "libewf_handle_open"},
        {write_random_, "libewf_handle_write_random"},
        {set_compression_values_, "libewf_handle_set_compression_values"},
        {set_header_value_, "libewf_handle_set_utf8_header_value"},
        {set_format_, "libewf_handle_set_format"},
        {set_media_size_, "libewf_handle_set_media_size"},
        {set_maximum_segment_size_, "libewf_handle_set_maximum_segment_size"},
        {get_chunk_size_, "libewf_handle_get_chunk_size"},
        {prepare_write_chunk_, "libewf_handle_prepare_write_chunk"},
        {write_chunk_, "libewf_handle_write_chunk"},
        {write_finalize_, "libewf_handle_write_finalize"},
        {segment_files_corrupted_, "libewf_handle_segment_files_corrupted"},
        {checksum_error_count_, "libewf_handle_get_number_of_checksum_errors"},
        {checksum_error_, "libewf_handle_get_checksum_error"},
        {md5_hash_, "libewf_handle_get_md5_hash"},
        {sha1_hash_, "libewf_handle_get_sha1_hash"},
    });
}

std::string TLibEWF::WithoutSegmentExtension(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (name.size() < start + 5 || name[name.size() - 4] != '.') return name;
    return name.substr(0, name.size() - 4);
}

int TLibEWF::CheckFileSignature(const std::string& name) {
    const int result = check_file_signature_(name.c_str(), error_slot());
    Check(result >= 0);
    return result;
}

std::vector<std::string> TLibEWF::SegmentFiles(const std::string& name) {
    std::vector<std::string> files;
    char** names = nullptr;
    int count = 0;
    // The format 0 lets the library tell the naming from the extension.
    if (!Check(glob_(name.c_str(), name.size(), 0, &names, &count, error_slot()) == 1)) return files;
    for (int i = 0; i < count; ++i) files.emplace_back(names[i]);
    glob_free_(names, count, error_slot());
    Check(true);
    return files;
}

int TLibEWF::Open(const std::string& name, int access_flags) {
    Close();
    std::vector<std::string> files;
    if (access_flags & kWrite) {
        files.push_back(TLibEWF::WithoutSegmentExtension(name));
    } else {
        files = SegmentFiles(name);
        // A name given without the first segment's extension.
        if (files.empty()) files = SegmentFiles(TLibEWF::WithoutSegmentExtension(name) + ".E01");
        if (files.empty()) {
            if (error().empty()) set_error("no segment files of " + name);
            return -1;
        }
    }
    std::vector<char*> list;
    for (auto& file : files) list.push_back(file.data());
    if (!Initialize()) return -1;
    if (!Check(handle_open_(handle_, list.data(), static_cast<int>(list.size()), access_flags, error_slot()) == 1)) {
        const std::string why = error();
        Close();
        set_error(why);
        return -1;
    }
    return 0;
}

std::int64_t TLibEWF::WriteBufferAtOffset(const void* buffer, std::size_t size, std::int64_t offset) {
    if (!handle_) return -1;
    const std::int64_t written = write_random_(handle_, buffer, size, offset, error_slot());
    if (!Check(written >= 0)) throw std::runtime_error(error());
    return written;
}

int TLibEWF::SetCompressionValues(int level, int flags) {
    if (!handle_) return -1;
    const int result = set_compression_values_(handle_, static_cast<std::int8_t>(level),
                                               static_cast<std::uint8_t>(flags), error_slot());
    Check(result == 1);
    return result;
}

int TLibEWF::SetHeaderValue(const std::string& identifier, const std::string& value) {
    if (!handle_) return -1;
    const int result = set_header_value_(handle_, reinterpret_cast<const std::uint8_t*>(identifier.data()),
                                         identifier.size(), reinterpret_cast<const std::uint8_t*>(value.data()),
                                         value.size(), error_slot());
    Check(result == 1);
    return result;
}

int TLibEWF::SetFormat(int format) {
    if (!handle_) return -1;
    const int result = set_format_(handle_, static_cast<std::uint8_t>(format), error_slot());
    Check(result == 1);
    return result;
}

int TLibEWF::SetMediaSize(std::int64_t size) {
    if (!handle_ || size < 0) return -1;
    const int result = set_media_size_(handle_, static_cast<std::uint64_t>(size), error_slot());
    Check(result == 1);
    return result;
}

int TLibEWF::SetMaximumSegmentSize(std::int64_t size) {
    if (!handle_ || size < 0) return -1;
    const int result = set_maximum_segment_size_(handle_, static_cast<std::uint64_t>(size), error_slot());
    Check(result == 1);
    return result;
}

std::uint32_t TLibEWF::ChunkSize() {
    std::uint32_t size = 0;
    if (!handle_ || !Check(get_chunk_size_(handle_, &size, error_slot()) == 1)) return 0;
    return size;
}

bool TLibEWF::PrepareWriteChunk(std::byte* data, std::size_t size, std::byte* packed, std::size_t packed_room,
                                PreparedChunk& chunk, std::string& failure) const {
    void* error = nullptr;
    std::size_t packed_size = packed_room;
    std::int8_t compressed = 0;
    std::int8_t write_checksum = 0;
    std::uint32_t checksum = 0;
    const std::int64_t stored = prepare_write_chunk_(handle_, data, size, packed, &packed_size, &compressed,
                                                     &checksum, &write_checksum, &error);
    if (!Check(stored > 0, error, failure)) return false;
    chunk.size = static_cast<std::size_t>(stored);
    chunk.compressed = compressed != 0;
    chunk.checksum = checksum;
    chunk.write_checksum = write_checksum != 0;
    return true;
}

bool TLibEWF::WriteChunk(std::byte* data, std::size_t data_size, const std::byte* packed, const PreparedChunk& chunk) {
    if (!handle_) return false;
    const void* stored = chunk.compressed ? static_cast<const void*>(packed) : data;
    const std::int64_t written =
        write_chunk_(handle_, stored, chunk.size, data_size, chunk.compressed ? 1 : 0, data + data_size,
                     chunk.checksum, chunk.write_checksum ? 1 : 0, error_slot());
    return Check(written > 0);
}

bool TLibEWF::WriteFinalize() {
    if (!handle_) return false;
    return Check(write_finalize_(handle_, error_slot()) >= 0);
}

bool TLibEWF::SegmentFilesCorrupted() {
    if (!handle_) return false;
    const int result = segment_files_corrupted_(handle_, error_slot());
    if (!Check(result >= 0)) throw std::runtime_error(error());
    return result == 1;
}

std::vector<TLibEWF::SectorRun> TLibEWF::ChecksumErrors() {
    std::vector<SectorRun> runs;
    std::uint32_t count = 0;
    if (!handle_ || !Check(checksum_error_count_(handle_, &count, error_slot()) == 1)) return runs;
    for (std::uint32_t i = 0; i < count; ++i) {
        SectorRun run;
        if (Check(checksum_error_(handle_, i, &run.start, &run.count, error_slot()) == 1)) runs.push_back(run);
    }
    return runs;
}

std::vector<std::uint8_t> TLibEWF::StoredHash(HashFn get, std::size_t size) {
    std::vector<std::uint8_t> hash(size);
    if (!handle_) return {};
    const int result = get(handle_, hash.data(), hash.size(), error_slot());
    if (!Check(result >= 0)) throw std::runtime_error(error());
    if (result == 0) return {};
    return hash;
}

std::vector<std::uint8_t> TLibEWF::StoredMd5() { return StoredHash(md5_hash_, 16); }
std::vector<std::uint8_t> TLibEWF::StoredSha1() { return StoredHash(sha1_hash_, 20); }

}  // namespace disk
