#include "platform/virtdisk/vhd/vhd_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"

namespace platform::virtdisk {

namespace {

constexpr std::size_t kFooterSize = 512;
constexpr std::size_t kHeaderSize = 1024;
constexpr std::size_t kFooterChecksumAt = 64;
constexpr std::size_t kHeaderChecksumAt = 36;
constexpr std::uint32_t kUnusedBlock = 0xFFFFFFFFu;
// The largest virtual disk the format can describe.
constexpr std::uint64_t kMaxVhdSize = 2040ull << 30;
constexpr std::uint32_t kSmallestBlock = 512;
constexpr std::uint32_t kLargestBlock = 256u << 20;

std::uint64_t Be(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

void PutBe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

bool ReadExactly(int fd, void* buffer, std::size_t length, std::int64_t offset) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, out + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteExactly(int fd, const void* buffer, std::size_t length, std::int64_t offset) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, in + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t FileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : -1;
}

bool ValidFooter(const std::uint8_t* raw) {
    return std::memcmp(raw, "conectix", 8) == 0 &&
           Be(raw + kFooterChecksumAt, 4) == VhdChecksum(raw, kFooterSize, kFooterChecksumAt);
}

VhdFooter ParseFooter(const std::uint8_t* raw) {
    VhdFooter f;
    f.data_offset = Be(raw + 16, 8);
    f.original_size = Be(raw + 40, 8);
    f.current_size = Be(raw + 48, 8);
    f.disk_type = static_cast<std::uint32_t>(Be(raw + 60, 4));
    std::memcpy(f.unique_id.data(), raw + 68, 16);
    return f;
}

std::uint64_t GeometryBytes(std::uint32_t geometry) {
    return static_cast<std::uint64_t>(geometry >> 16) * ((geometry >> 8) & 0xFF) * (geometry & 0xFF) * 512;
}

// Whether readers that follow the format's creators (qemu among them) take
// the disk's size from the footer's size field rather than from its CHS
// geometry: images of the Windows tools, Disk2vhd, XenServer and qemu's
// own exact-size images.
bool CreatorSizesByFooter(const std::uint8_t* raw) {
    static const char* const kCreators[] = {"win ", "qem2", "d2v ", "CTXS", "tap\0"};
    for (const char* creator : kCreators)
        if (std::memcmp(raw + 28, creator, 4) == 0) return true;
    return false;
}

// Sets the size fields of a raw footer and seals it again. The geometry
// rarely spans the new size exactly; an image whose readers would go by the
// geometry, and so see a smaller disk, is marked as one the Windows tools
// made, whose size is the footer's.
void ResizeFooter(std::uint8_t* raw, std::uint64_t new_size) {
    const std::uint32_t geometry = VhdGeometry(new_size);
    PutBe(raw + 48, new_size, 8);
    PutBe(raw + 56, geometry, 4);
    if (GeometryBytes(geometry) != new_size && !CreatorSizesByFooter(raw)) std::memcpy(raw + 28, "win ", 4);
    PutBe(raw + kFooterChecksumAt, VhdChecksum(raw, kFooterSize, kFooterChecksumAt), 4);
}

DWORD Errno() { return ErrorFromErrno(errno); }

DWORD ExpandFixed(int fd, std::int64_t file_size, std::uint8_t* footer, std::uint64_t new_size) {
    // The old footer becomes data of the disk: it must read as zeros.
    std::vector<std::uint8_t> zeros(kFooterSize, 0);
    ResizeFooter(footer, new_size);
    if (::ftruncate(fd, static_cast<off_t>(new_size + kFooterSize)) != 0) return Errno();
    if (!WriteExactly(fd, zeros.data(), zeros.size(), file_size - static_cast<std::int64_t>(kFooterSize))) return Errno();
    if (!WriteExactly(fd, footer, kFooterSize, static_cast<std::int64_t>(new_size))) return Errno();
    return ::fdatasync(fd) == 0 ? ERROR_SUCCESS : Errno();
}

VhdDynamicHeader ParseDynamicHeader(const std::uint8_t* header) {
    VhdDynamicHeader h;
    h.table_offset = Be(header + 16, 8);
    h.max_table_entries = static_cast<std::uint32_t>(Be(header + 28, 4));
    h.block_size = static_cast<std::uint32_t>(Be(header + 32, 4));
    std::memcpy(h.parent_unique_id.data(), header + 40, 16);
    return h;
}

DWORD ExpandDynamic(int fd, std::int64_t file_size, std::uint8_t* footer, const VhdFooter& parsed, std::uint64_t new_size) {
    std::uint8_t header[kHeaderSize];
    if (!ReadExactly(fd, header, kHeaderSize, static_cast<std::int64_t>(parsed.data_offset))) return ERROR_READ_FAULT;
    if (std::memcmp(header, "cxsparse", 8) != 0) return ERROR_INVALID_PARAMETER;
    const VhdDynamicHeader parsed_header = ParseDynamicHeader(header);
    if (!VhdTableIsSound(parsed, parsed_header, file_size)) return ERROR_INVALID_DATA;
    const std::uint64_t table_offset = parsed_header.table_offset;
    const std::uint32_t entries = parsed_header.max_table_entries;
    const std::uint32_t block_size = parsed_header.block_size;
    const std::uint64_t wanted64 = (new_size + block_size - 1) / block_size;
    if (wanted64 > 0x7FFFFFFFu) return ERROR_INVALID_PARAMETER;
    const auto wanted = static_cast<std::uint32_t>(wanted64);

    std::vector<std::uint32_t> bat(std::max(entries, wanted), kUnusedBlock);
    {
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(entries) * 4);
        if (!raw.empty() && !ReadExactly(fd, raw.data(), raw.size(), static_cast<std::int64_t>(table_offset)))
            return ERROR_READ_FAULT;
        for (std::uint32_t i = 0; i < entries; ++i) bat[i] = static_cast<std::uint32_t>(Be(raw.data() + 4 * i, 4));
    }
    const std::uint64_t bitmap_bytes = ((block_size / 512 / 8) + 511) / 512 * 512;
    const std::uint64_t block_span = bitmap_bytes + block_size;
    const std::uint64_t table_end = table_offset + (static_cast<std::uint64_t>(bat.size()) * 4 + 511) / 512 * 512;

    // Blocks the longer table would cover move to the end of the file, where
    // the footer is now.
    std::uint64_t append_at = static_cast<std::uint64_t>(file_size) - kFooterSize;
    std::vector<std::uint8_t> block;
    for (auto& entry : bat) {
        if (entry == kUnusedBlock) continue;
        std::uint64_t at = static_cast<std::uint64_t>(entry) * 512;
        if (at + block_span <= table_offset || at >= table_end) continue;
        block.resize(static_cast<std::size_t>(block_span));
        if (!ReadExactly(fd, block.data(), block.size(), static_cast<std::int64_t>(at))) return ERROR_READ_FAULT;
        if (append_at < table_end) append_at = table_end;
        append_at = (append_at + 511) / 512 * 512;
        if (!WriteExactly(fd, block.data(), block.size(), static_cast<std::int64_t>(append_at))) return Errno();
        entry = static_cast<std::uint32_t>(append_at / 512);
        append_at += block_span;
    }
    if (append_at < table_end) append_at = table_end;
    if (::fdatasync(fd) != 0) return Errno();  // the moved blocks are safe before the table points at them

    std::vector<std::uint8_t> raw_table(static_cast<std::size_t>(table_end - table_offset), 0xFF);
    for (std::size_t i = 0; i < bat.size(); ++i) PutBe(raw_table.data() + 4 * i, bat[i], 4);
    if (!WriteExactly(fd, raw_table.data(), raw_table.size(), static_cast<std::int64_t>(table_offset))) return Errno();

    PutBe(header + 28, bat.size(), 4);
    PutBe(header + kHeaderChecksumAt, VhdChecksum(header, kHeaderSize, kHeaderChecksumAt), 4);
    if (!WriteExactly(fd, header, kHeaderSize, static_cast<std::int64_t>(parsed.data_offset))) return Errno();

    ResizeFooter(footer, new_size);
    if (!WriteExactly(fd, footer, kFooterSize, 0)) return Errno();
    if (!WriteExactly(fd, footer, kFooterSize, static_cast<std::int64_t>(append_at))) return Errno();
    if (::ftruncate(fd, static_cast<off_t>(append_at + kFooterSize)) != 0) return Errno();
    return ::fdatasync(fd) == 0 ? ERROR_SUCCESS : Errno();
}

}  // namespace

std::uint32_t VhdChecksum(const std::uint8_t* record, std::size_t size, std::size_t checksum_at) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        if (i < checksum_at || i >= checksum_at + 4) sum += record[i];
    return ~sum;
}

std::uint32_t VhdGeometry(std::uint64_t size) {
    std::uint64_t total = size / 512;
    std::uint64_t sectors_per_track, heads, cylinder_times_heads;
    if (total > 65535ull * 16 * 255) total = 65535ull * 16 * 255;
    if (total >= 65535ull * 16 * 63) {
        sectors_per_track = 255;
        heads = 16;
        cylinder_times_heads = total / sectors_per_track;
    } else {
        sectors_per_track = 17;
        cylinder_times_heads = total / sectors_per_track;
        heads = (cylinder_times_heads + 1023) / 1024;
        if (heads < 4) heads = 4;
        if (cylinder_times_heads >= heads * 1024 || heads > 16) {
            sectors_per_track = 31;
            heads = 16;
            cylinder_times_heads = total / sectors_per_track;
        }
        if (cylinder_times_heads >= heads * 1024) {
            sectors_per_track = 63;
            heads = 16;
            cylinder_times_heads = total / sectors_per_track;
        }
    }
    std::uint64_t cylinders = cylinder_times_heads / heads;
    return static_cast<std::uint32_t>((cylinders << 16) | (heads << 8) | sectors_per_track);
}

std::optional<VhdFooter> ReadVhdFooter(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::int64_t size = FileSize(fd.get());
    if (size < static_cast<std::int64_t>(kFooterSize)) return std::nullopt;
    std::uint8_t raw[kFooterSize];
    if (!ReadExactly(fd.get(), raw, kFooterSize, size - static_cast<std::int64_t>(kFooterSize))) return std::nullopt;
    if (!ValidFooter(raw)) {
        // Some writers leave only the copy at the start valid (a torn update).
        if (!ReadExactly(fd.get(), raw, kFooterSize, 0) || !ValidFooter(raw)) return std::nullopt;
        if (Be(raw + 60, 4) == kVhdFixed) return std::nullopt;
    }
    return ParseFooter(raw);
}

std::optional<VhdDynamicHeader> ReadVhdDynamicHeader(const std::string& path, const VhdFooter& footer) {
    if (footer.disk_type == kVhdFixed) return std::nullopt;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::uint8_t header[kHeaderSize];
    if (!fd || !ReadExactly(fd.get(), header, kHeaderSize, static_cast<std::int64_t>(footer.data_offset)))
        return std::nullopt;
    if (std::memcmp(header, "cxsparse", 8) != 0) return std::nullopt;
    return ParseDynamicHeader(header);
}

bool VhdTableIsSound(const VhdFooter& footer, const VhdDynamicHeader& header, std::int64_t file_size) {
    const std::uint32_t block = header.block_size;
    if (block < kSmallestBlock || block > kLargestBlock || (block & (block - 1)) != 0) return false;
    const std::uint64_t needed = footer.current_size / block + (footer.current_size % block != 0);
    const std::uint64_t most = (kMaxVhdSize + block - 1) / block;
    if (header.max_table_entries < needed || header.max_table_entries > most) return false;
    const std::uint64_t table_bytes = static_cast<std::uint64_t>(header.max_table_entries) * 4;
    return file_size >= 0 && header.table_offset <= static_cast<std::uint64_t>(file_size) &&
           table_bytes <= static_cast<std::uint64_t>(file_size) - header.table_offset;
}

namespace {

// A VHD opened for a change of its size: the file, its length and its
// checked footer.
struct OpenedVhd {
    UniqueFd fd;
    std::int64_t file_size = 0;
    std::uint8_t footer[kFooterSize]{};
    VhdFooter parsed;
};

std::uint32_t OpenVhdForResize(const std::string& path, OpenedVhd& vhd) {
    vhd.fd.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!vhd.fd) return ErrorFromErrno(errno);
    vhd.file_size = FileSize(vhd.fd.get());
    if (vhd.file_size < static_cast<std::int64_t>(kFooterSize)) return ERROR_INVALID_PARAMETER;
    if (!ReadExactly(vhd.fd.get(), vhd.footer, kFooterSize, vhd.file_size - static_cast<std::int64_t>(kFooterSize)) ||
        !ValidFooter(vhd.footer))
        return ERROR_INVALID_PARAMETER;
    vhd.parsed = ParseFooter(vhd.footer);
    return ERROR_SUCCESS;
}

}  // namespace

std::uint32_t ExpandVhd(const std::string& path, std::uint64_t new_size) {
    OpenedVhd vhd;
    if (std::uint32_t error = OpenVhdForResize(path, vhd)) return error;
    if (new_size % 512 != 0 || new_size <= vhd.parsed.current_size || new_size > kMaxVhdSize)
        return ERROR_INVALID_PARAMETER;
    switch (vhd.parsed.disk_type) {
    case kVhdFixed: return ExpandFixed(vhd.fd.get(), vhd.file_size, vhd.footer, new_size);
    case kVhdDynamic: return ExpandDynamic(vhd.fd.get(), vhd.file_size, vhd.footer, vhd.parsed, new_size);
    default: return ERROR_NOT_SUPPORTED;  // a differencing disk grows with its parent
    }
}

std::uint32_t ShrinkVhd(const std::string& path, std::uint64_t new_size) {
    OpenedVhd vhd;
    if (std::uint32_t error = OpenVhdForResize(path, vhd)) return error;
    if (new_size == 0 || new_size % 512 != 0 || new_size >= vhd.parsed.current_size) return ERROR_INVALID_PARAMETER;
    int fd = vhd.fd.get();
    const std::int64_t file_size = vhd.file_size;
    std::uint8_t* footer = vhd.footer;
    ResizeFooter(footer, new_size);
    switch (vhd.parsed.disk_type) {
    case kVhdFixed:
        // The footer goes first, at the new end, so that a cut short here still leaves a valid image.
        if (!WriteExactly(fd, footer, kFooterSize, static_cast<std::int64_t>(new_size))) return Errno();
        if (::ftruncate(fd, static_cast<off_t>(new_size + kFooterSize)) != 0) return Errno();
        break;
    case kVhdDynamic:
        if (!WriteExactly(fd, footer, kFooterSize, 0)) return Errno();
        if (!WriteExactly(fd, footer, kFooterSize, file_size - static_cast<std::int64_t>(kFooterSize))) return Errno();
        break;
    default: return ERROR_NOT_SUPPORTED;
    }
    return ::fdatasync(fd) == 0 ? ERROR_SUCCESS : Errno();
}

std::uint32_t KeepVhdIdentity(const std::string& original, const std::string& copy) {
    OpenedVhd source;
    if (std::uint32_t error = OpenVhdForResize(original, source)) return error;
    source.fd.close();
    OpenedVhd target;
    if (std::uint32_t error = OpenVhdForResize(copy, target)) return error;
    std::uint8_t* footer = target.footer;
    std::memcpy(footer + 24, source.footer + 24, 4);   // time stamp
    std::memcpy(footer + 68, source.footer + 68, 16);  // unique id
    PutBe(footer + kFooterChecksumAt, VhdChecksum(footer, kFooterSize, kFooterChecksumAt), 4);
    const int fd = target.fd.get();
    // A dynamic disk keeps a copy of its footer at its start.
    if (target.parsed.disk_type != kVhdFixed && !WriteExactly(fd, footer, kFooterSize, 0)) return Errno();
    if (!WriteExactly(fd, footer, kFooterSize, target.file_size - static_cast<std::int64_t>(kFooterSize))) return Errno();
    return ::fdatasync(fd) == 0 ? ERROR_SUCCESS : Errno();
}

// ---- differencing disks -------------------------------------------------------

namespace {

constexpr std::uint32_t kDifferencingBlockSize = 2u << 20;
constexpr std::size_t kParentNameAt = 64;
constexpr std::size_t kParentNameBytes = 512;
constexpr std::size_t kLocatorsAt = 576;
constexpr std::size_t kLocatorSize = 24;
constexpr std::uint32_t kLocatorRelative = 0x57327275;  // "W2ru"
constexpr std::uint32_t kLocatorAbsolute = 0x57326B75;  // "W2ku"
// The format counts time in seconds from 2000-01-01 00:00 UTC.
constexpr std::int64_t kVhdEpoch = 946684800;

std::array<std::uint8_t, 16> RandomId() {
    std::array<std::uint8_t, 16> id{};
    UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!fd || !ReadExactly(fd.get(), id.data(), id.size(), 0)) {
        std::uint64_t seed = static_cast<std::uint64_t>(::time(nullptr)) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
        for (auto& b : id) b = static_cast<std::uint8_t>((seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 56);
    }
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0f) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3f) | 0x80);
    return id;
}

std::vector<std::uint8_t> Utf16LeBytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : Utf8ToUtf16(text)) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

std::uint64_t RoundToSector(std::uint64_t bytes) { return (bytes + 511) / 512 * 512; }

std::string FolderOf(const std::string& path) {
    auto cut = path.find_last_of('/');
    return cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
}

std::string BaseNameOf(const std::string& path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A locator's text as a path of this machine: Windows separators become
// ours, and a drive-letter path keeps only its name (looked for beside the child).
std::string LocatorPath(std::string text, const std::string& child_folder) {
    for (auto& c : text)
        if (c == '\\') c = '/';
    if (text.size() >= 2 && text[1] == ':') return child_folder + "/" + BaseNameOf(text);
    if (!text.empty() && text[0] == '/') return text;
    if (text.rfind("./", 0) == 0) text = text.substr(2);
    return child_folder + "/" + text;
}

}  // namespace

std::uint32_t CreateDifferencingVhd(const std::string& child, const std::string& parent) {
    auto parent_footer = ReadVhdFooter(parent);
    if (!parent_footer) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    std::uint8_t parent_raw[kFooterSize];
    {
        UniqueFd fd(::open(parent.c_str(), O_RDONLY | O_CLOEXEC));
        std::int64_t size = fd ? FileSize(fd.get()) : -1;
        if (size < static_cast<std::int64_t>(kFooterSize) ||
            !ReadExactly(fd.get(), parent_raw, kFooterSize, size - static_cast<std::int64_t>(kFooterSize)))
            return ERROR_READ_FAULT;
    }
    const std::uint64_t size = parent_footer->current_size;
    const std::uint64_t entries = (size + kDifferencingBlockSize - 1) / kDifferencingBlockSize;
    const std::uint64_t table_offset = kFooterSize + kHeaderSize;
    const std::uint64_t table_bytes = RoundToSector(entries * 4);

    const std::string relative = ".\\" + BaseNameOf(parent);
    const std::vector<std::uint8_t> relative_bytes = Utf16LeBytes(relative), absolute_bytes = Utf16LeBytes(parent);
    const std::uint64_t relative_at = table_offset + table_bytes;
    const std::uint64_t absolute_at = relative_at + RoundToSector(relative_bytes.size());
    const std::uint64_t footer_at = absolute_at + RoundToSector(absolute_bytes.size());

    std::uint8_t footer[kFooterSize] = {};
    std::memcpy(footer, "conectix", 8);
    PutBe(footer + 8, 2, 4);
    PutBe(footer + 12, 0x00010000, 4);
    PutBe(footer + 16, kFooterSize, 8);
    PutBe(footer + 24, static_cast<std::uint64_t>(::time(nullptr) - kVhdEpoch), 4);
    std::memcpy(footer + 28, "tnvl", 4);
    PutBe(footer + 32, 0x00010000, 4);
    std::memcpy(footer + 36, "Wi2k", 4);
    PutBe(footer + 40, size, 8);
    PutBe(footer + 60, kVhdDifferencing, 4);
    auto id = RandomId();
    std::memcpy(footer + 68, id.data(), id.size());
    ResizeFooter(footer, size);

    std::uint8_t header[kHeaderSize] = {};
    std::memcpy(header, "cxsparse", 8);
    PutBe(header + 8, ~0ull, 8);
    PutBe(header + 16, table_offset, 8);
    PutBe(header + 24, 0x00010000, 4);
    PutBe(header + 28, entries, 4);
    PutBe(header + 32, kDifferencingBlockSize, 4);
    std::memcpy(header + 40, parent_raw + 68, 16);  // the parent's unique id
    std::memcpy(header + 56, parent_raw + 24, 4);   // and its time stamp
    std::u16string name = Utf8ToUtf16(BaseNameOf(parent));
    for (std::size_t i = 0; i < name.size() && 2 * i + 1 < kParentNameBytes; ++i) PutBe(header + kParentNameAt + 2 * i, name[i], 2);
    auto locator = [&](int slot, std::uint32_t code, std::uint64_t at, std::size_t length) {
        std::uint8_t* entry = header + kLocatorsAt + slot * kLocatorSize;
        PutBe(entry, code, 4);
        PutBe(entry + 4, RoundToSector(length), 4);
        PutBe(entry + 8, length, 4);
        PutBe(entry + 16, at, 8);
    };
    locator(0, kLocatorRelative, relative_at, relative_bytes.size());
    locator(1, kLocatorAbsolute, absolute_at, absolute_bytes.size());
    PutBe(header + kHeaderChecksumAt, VhdChecksum(header, kHeaderSize, kHeaderChecksumAt), 4);

    UniqueFd fd(::open(child.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno);
    std::vector<std::uint8_t> table(static_cast<std::size_t>(table_bytes), 0xFF);
    bool ok = WriteExactly(fd.get(), footer, kFooterSize, 0) && WriteExactly(fd.get(), header, kHeaderSize, kFooterSize) &&
              WriteExactly(fd.get(), table.data(), table.size(), static_cast<std::int64_t>(table_offset)) &&
              WriteExactly(fd.get(), relative_bytes.data(), relative_bytes.size(), static_cast<std::int64_t>(relative_at)) &&
              WriteExactly(fd.get(), absolute_bytes.data(), absolute_bytes.size(), static_cast<std::int64_t>(absolute_at)) &&
              WriteExactly(fd.get(), footer, kFooterSize, static_cast<std::int64_t>(footer_at)) && ::fdatasync(fd.get()) == 0;
    if (!ok) {
        DWORD error = Errno();
        ::unlink(child.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

std::string VhdParentPath(const std::string& child) {
    auto footer = ReadVhdFooter(child);
    if (!footer || footer->disk_type != kVhdDifferencing) return "";
    UniqueFd fd(::open(child.c_str(), O_RDONLY | O_CLOEXEC));
    std::uint8_t header[kHeaderSize];
    if (!fd || !ReadExactly(fd.get(), header, kHeaderSize, static_cast<std::int64_t>(footer->data_offset))) return "";
    const std::string folder = FolderOf(child);
    const std::int64_t file_size = FileSize(fd.get());
    for (std::uint32_t wanted : {kLocatorRelative, kLocatorAbsolute}) {
        for (int slot = 0; slot < 8; ++slot) {
            const std::uint8_t* entry = header + kLocatorsAt + slot * kLocatorSize;
            if (Be(entry, 4) != wanted) continue;
            const std::uint64_t length = Be(entry + 8, 4), at = Be(entry + 16, 8);
            if (length == 0 || length > 4096 || length % 2 != 0 || at + length > static_cast<std::uint64_t>(file_size)) continue;
            std::vector<std::uint8_t> raw(static_cast<std::size_t>(length));
            if (!ReadExactly(fd.get(), raw.data(), raw.size(), static_cast<std::int64_t>(at))) continue;
            std::u16string text;
            for (std::size_t i = 0; i + 1 < raw.size(); i += 2) text.push_back(static_cast<char16_t>(raw[i] | (raw[i + 1] << 8)));
            std::string candidate = LocatorPath(Utf16ToUtf8(text), folder);
            if (Exists(candidate)) return candidate;
        }
    }
    std::u16string name;
    for (std::size_t i = 0; i + 1 < kParentNameBytes; i += 2) {
        char16_t c = static_cast<char16_t>(Be(header + kParentNameAt + i, 2));
        if (c == 0) break;
        name.push_back(c);
    }
    std::string beside = folder + "/" + BaseNameOf(Utf16ToUtf8(name));
    return !name.empty() && Exists(beside) ? beside : "";
}

std::uint32_t ForEachOwnRun(const std::string& child, const VhdRunSink& take) {
    auto footer = ReadVhdFooter(child);
    if (!footer || footer->disk_type != kVhdDifferencing) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    auto header = ReadVhdDynamicHeader(child, *footer);
    if (!header) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    UniqueFd fd(::open(child.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return ErrorFromErrno(errno);
    if (!VhdTableIsSound(*footer, *header, FileSize(fd.get()))) return ERROR_INVALID_DATA;
    const std::uint32_t entries = header->max_table_entries;
    std::vector<std::uint8_t> table(static_cast<std::size_t>(entries) * 4);
    if (!table.empty() && !ReadExactly(fd.get(), table.data(), table.size(), static_cast<std::int64_t>(header->table_offset)))
        return ERROR_READ_FAULT;
    const std::uint64_t sectors_per_block = header->block_size / 512;
    const std::uint64_t bitmap_bytes = RoundToSector((sectors_per_block + 7) / 8);
    const std::uint64_t disk_size = footer->current_size;
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(bitmap_bytes)), data;
    for (std::uint32_t block = 0; block < entries; ++block) {
        const std::uint32_t entry = static_cast<std::uint32_t>(Be(table.data() + 4 * block, 4));
        if (entry == kUnusedBlock) continue;
        const std::uint64_t at = static_cast<std::uint64_t>(entry) * 512;
        if (!ReadExactly(fd.get(), bitmap.data(), bitmap.size(), static_cast<std::int64_t>(at))) return ERROR_READ_FAULT;
        auto own = [&](std::uint64_t sector) { return (bitmap[sector / 8] >> (7 - sector % 8)) & 1; };
        for (std::uint64_t sector = 0; sector < sectors_per_block;) {
            if (!own(sector)) {
                ++sector;
                continue;
            }
            std::uint64_t end = sector;
            while (end < sectors_per_block && own(end)) ++end;
            std::uint64_t offset = static_cast<std::uint64_t>(block) * header->block_size + sector * 512;
            std::uint64_t length = (end - sector) * 512;
            if (offset < disk_size) {
                length = std::min(length, disk_size - offset);
                data.resize(static_cast<std::size_t>(length));
                if (!ReadExactly(fd.get(), data.data(), data.size(), static_cast<std::int64_t>(at + bitmap_bytes + sector * 512)))
                    return ERROR_READ_FAULT;
                if (!take(static_cast<std::int64_t>(offset), data.data(), data.size())) return ERROR_CANCELLED;
            }
            sector = end;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace platform::virtdisk
