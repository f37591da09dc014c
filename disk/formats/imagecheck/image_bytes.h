// The bytes of an image file as the checks of the image formats read them:
// every read lies inside the file, and every refusal names the file and the
// field that is wrong. The image libraries we hand files to trust the
// offsets and sizes they find in them; these checks are what stands between
// a file from elsewhere and a library reading past its buffers.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "disk/copy/copy_endpoints.h"
#include "platform/base/byte_order.h"

namespace disk {

// `value` / `unit`, rounded up: how many units cover `value`.
inline std::uint64_t CeilDiv(std::uint64_t value, std::uint64_t unit) { return value / unit + (value % unit != 0); }

// How a refusal names entry `index` of table `table`.
inline std::string Entry(const char* table, std::uint64_t index) {
    return std::string(table) + " entry " + std::to_string(index);
}

// An image refused by our own check, with a text for the person.
class ImageCheckError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ImageBytes {
public:
    // `file` holds the image named `name` (the name refusals give).
    ImageBytes(CopySource& file, std::string name);

    std::uint64_t size() const { return size_; }
    const std::string& name() const { return name_; }

    // Raises ImageCheckError: name + ": " + field + " " + what.
    [[noreturn]] void refuse(const std::string& field, const std::string& what) const;
    // Refuses unless `length` bytes from `offset` on lie inside the file.
    void require_inside(std::uint64_t offset, std::uint64_t length, const std::string& field) const;
    // Fills `buffer` from `offset`; refuses (naming `field`) when the file
    // does not hold all of it or cannot be read.
    void read(std::uint64_t offset, std::span<std::byte> buffer, const std::string& field) const;
    // A record of the file's bytes at `offset`.
    template <typename Record>
    Record record(std::uint64_t offset, const std::string& field) const {
        Record value{};
        read(offset, platform::BytesOf(value), field);
        return value;
    }
    // Refuses unless `count` entries of `entry_size` bytes from `offset` on
    // lie inside the file. The count is measured against the file before
    // anything is multiplied: a count no file can hold never wraps round to
    // a small table.
    void require_entries(std::uint64_t offset, std::uint64_t count, std::uint64_t entry_size,
                         const std::string& field) const;
    // Hands `visit(index, entry)` each of `count` entries of `entry_size`
    // bytes from `offset` (after require_entries), read a piece at a time:
    // a table as large as the file says is never held whole.
    template <typename Visit>
    void for_each_entry(std::uint64_t offset, std::uint64_t count, std::uint64_t entry_size, const std::string& field,
                        Visit visit) const {
        require_entries(offset, count, entry_size, field);
        const std::uint64_t per_piece = std::max<std::uint64_t>(1, kEntryPiece / entry_size);
        std::vector<std::byte> piece;
        for (std::uint64_t first = 0; first < count; first += per_piece) {
            const std::uint64_t n = std::min(per_piece, count - first);
            piece.resize(static_cast<std::size_t>(n * entry_size));
            read(offset + first * entry_size, piece, field);
            for (std::uint64_t i = 0; i < n; ++i) visit(first + i, &piece[static_cast<std::size_t>(i * entry_size)]);
        }
    }

private:
    static constexpr std::uint64_t kEntryPiece = 64 << 10;

    CopySource& file_;
    std::string name_;
    std::uint64_t size_;
};

// The tables that the entries of a directory (a VMDK grain directory, a
// QCOW L1 table) point at, each `table_bytes` long, with the entry that
// names it, in the order of the file. Two entries that share a table, or
// tables that overlap, are refused: no image a tool made has them, and they
// would make a check's work grow with the entries rather than with the file.
class DirectoryTables {
public:
    // Refusals name entry N of `directory` ("L1", "grain directory").
    DirectoryTables(const ImageBytes& file, std::uint64_t table_bytes, std::string directory)
        : file_(file), table_bytes_(table_bytes), directory_(std::move(directory)) {}
    // Entry `entry` points at the table at `offset`.
    void add(std::uint64_t offset, std::uint64_t entry);
    auto begin() const { return tables_.begin(); }
    auto end() const { return tables_.end(); }

private:
    const ImageBytes& file_;
    std::uint64_t table_bytes_;
    std::string directory_;
    std::map<std::uint64_t, std::uint64_t> tables_;  // offset -> entry
};

// A number as the refusals show it: hexadecimal for an offset.
std::string Hex(std::uint64_t value);

// The files an image reads besides itself, as its check found them: the
// image's own extents (read with it) and the image it holds differences
// from (read with it, and checked as an image of its own).
struct NamedFiles {
    std::vector<std::string> extents;  // resolved paths, checked
    std::string parent;                // as stored ("" when none)
};

// Opens the file at `path` (a Linux path) and runs `check` over its bytes;
// raises ImageCheckError, naming the file and the system's text, when it
// cannot be opened.
NamedFiles CheckImageFile(const std::string& path, const std::function<NamedFiles(const ImageBytes&)>& check);

}  // namespace disk
