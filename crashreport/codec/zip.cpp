#include "crashreport/codec/zip.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <system_error>

#include "crashreport/os/file_access.h"
#include "crashreport/text/byte_order.h"

namespace crashreport {

namespace {

struct DosTime {
    std::uint16_t time = 0;
    std::uint16_t date = (1 << 5) | 1;  // 1980-01-01, the earliest DOS date
};

DosTime DosTimeOf(const std::filesystem::path& file) {
    DosTime dos;
    std::error_code error;
    const auto written = std::filesystem::last_write_time(file, error);
    if (error) return dos;
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr || local.tm_year < 80) return dos;
    dos.time = static_cast<std::uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
    dos.date = static_cast<std::uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    return dos;
}

// The Windows attributes a ZIP reader expects in a "made by MS-DOS" entry:
// archive, plus read-only when the owner may not write.
std::uint32_t WindowsAttributesOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto permissions = std::filesystem::status(file, error).permissions();
    std::uint32_t attributes = 0x20;
    if (!error && (permissions & std::filesystem::perms::owner_write) == std::filesystem::perms::none)
        attributes |= 0x01;
    return attributes;
}

bool ReadWholeFile(const std::filesystem::path& file, std::string& data) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > 0xFFFFFFFFu) return false;
    in.seekg(0);
    try {
        data.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.read(data.data(), size);
    return in.gcount() == size;
}

std::string Utf8FileName(const std::filesystem::path& file) {
    const std::u8string name = file.filename().u8string();
    return std::string(name.begin(), name.end());
}

struct CentralRecord {
    std::string header;  // the 46 bytes and the name
};

}  // namespace

std::size_t DeflateText(const void* source, void* destination, std::size_t source_length,
                        std::size_t destination_capacity) {
    z_stream stream{};
    if (deflateInit2(&stream, 2, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(source));
    stream.avail_in = static_cast<uInt>(source_length);
    stream.next_out = static_cast<Bytef*>(destination);
    stream.avail_out = static_cast<uInt>(destination_capacity);
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t written = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END || source_length > 0xFFFFFFFFu || destination_capacity > 0xFFFFFFFFu) return 0;
    return written;
}

std::size_t InflateText(const void* source, void* destination, std::size_t source_length,
                        std::size_t expected_length) {
    if (source_length > 0xFFFFFFFFu || expected_length > 0xFFFFFFFFu) return 0;
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return 0;
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(source));
    stream.avail_in = static_cast<uInt>(source_length);
    stream.next_out = static_cast<Bytef*>(destination);
    stream.avail_out = static_cast<uInt>(expected_length);
    int status = inflate(&stream, Z_FINISH);
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0 && stream.total_out == expected_length;
    inflateEnd(&stream);
    return whole ? expected_length : 0;
}

std::uint32_t Crc32Add(std::uint32_t crc, const void* buffer, std::size_t length) {
    // zlib's crc32 carries the value inverted between calls.
    uLong value = ~crc & 0xFFFFFFFFu;
    const auto* bytes = static_cast<const Bytef*>(buffer);
    while (length > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
        value = crc32(value, bytes, piece);
        bytes += piece;
        length -= piece;
    }
    return ~static_cast<std::uint32_t>(value);
}

std::string UnpackBlob(std::string_view blob) {
    if (blob.size() <= kBlobHeaderSize) return {};
    const std::uint32_t length = GetLe32(blob, 0);
    const std::uint32_t stored_crc = GetLe32(blob, 8);
    // Deflate packs at most 1032 bytes into one: a header that claims more
    // than that is damaged, and must not make us reserve gigabytes.
    if (length / 1032 > blob.size() - kBlobHeaderSize) return {};
    std::string data;
    try {
        data.resize(length);
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (InflateText(blob.data() + kBlobHeaderSize, data.data(), blob.size() - kBlobHeaderSize, length) != length)
        return {};
    if ((Crc32Add(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu) != stored_crc) return {};
    return data;
}

std::string PackBlob(std::string_view data) {
    std::string blob;
    PutLe32(blob, static_cast<std::uint32_t>(data.size()));
    PutLe32(blob, 0);
    PutLe32(blob, Crc32Add(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu);
    blob.resize(kBlobHeaderSize + DeflateBound(data.size()));
    const std::size_t packed =
        DeflateText(data.data(), blob.data() + kBlobHeaderSize, data.size(), blob.size() - kBlobHeaderSize);
    blob.resize(packed == 0 ? 0 : kBlobHeaderSize + packed);
    return blob;
}

bool WriteZipArchive(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& sources,
                     const std::vector<std::string>& entry_names) {
    OwnFileWriter out(archive);
    if (!out.is_open()) return false;
    auto abandon = [&] {
        out.Close();
        std::error_code ignored;
        std::filesystem::remove(archive, ignored);
        return false;
    };
    std::vector<CentralRecord> central;
    std::uint64_t offset = 0;
    for (std::size_t index = 0; index < sources.size(); ++index) {
        const std::filesystem::path& source = sources[index];
        std::string data;
        if (!ReadWholeFile(source, data)) continue;
        const std::string name =
            index < entry_names.size() && !entry_names[index].empty() ? entry_names[index] : Utf8FileName(source);
        std::string packed(DeflateBound(data.size()), '\0');
        const std::size_t packed_size = DeflateText(data.data(), packed.data(), data.size(), packed.size());
        if (packed_size == 0 || offset > 0xFFFFFFFFu) continue;
        packed.resize(packed_size);
        const std::uint32_t crc = Crc32Add(0xFFFFFFFFu, data.data(), data.size()) ^ 0xFFFFFFFFu;
        const DosTime when = DosTimeOf(source);

        // The fields the local and the central header share, from "version
        // needed" to the name length.
        std::string common;
        PutLe16(common, 20);
        PutLe16(common, 0x0800);
        PutLe16(common, 8);
        PutLe16(common, when.time);
        PutLe16(common, when.date);
        PutLe32(common, crc);
        PutLe32(common, static_cast<std::uint32_t>(packed.size()));
        PutLe32(common, static_cast<std::uint32_t>(data.size()));
        PutLe16(common, static_cast<std::uint32_t>(name.size()));

        std::string local;
        PutLe32(local, 0x04034B50);
        local += common;
        PutLe16(local, 0);
        local += name;
        out.Write(local);
        if (!out.Write(packed)) return abandon();

        CentralRecord record;
        PutLe32(record.header, 0x02014B50);
        PutLe16(record.header, 20);
        record.header += common;
        PutLe16(record.header, 0);
        PutLe16(record.header, 0);
        PutLe16(record.header, 0);
        PutLe16(record.header, 0);
        PutLe32(record.header, WindowsAttributesOf(source));
        PutLe32(record.header, static_cast<std::uint32_t>(offset));
        record.header += name;
        central.push_back(std::move(record));
        offset += local.size() + packed.size();
    }
    if (central.empty()) return abandon();
    std::uint64_t directory_size = 0;
    for (const CentralRecord& record : central) {
        out.Write(record.header);
        directory_size += record.header.size();
    }
    std::string end;
    PutLe32(end, 0x06054B50);
    PutLe16(end, 0);
    PutLe16(end, 0);
    PutLe16(end, static_cast<std::uint32_t>(central.size()));
    PutLe16(end, static_cast<std::uint32_t>(central.size()));
    PutLe32(end, static_cast<std::uint32_t>(directory_size));
    PutLe32(end, static_cast<std::uint32_t>(offset));
    PutLe16(end, 0);
    if (!out.Write(end) || offset > 0xFFFFFFFFu || central.size() > 0xFFFF) return abandon();
    return out.Close() || abandon();
}

}  // namespace crashreport
