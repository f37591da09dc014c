// The bytes of an image file as the checks of the image formats read them:
// every read lies inside the file, and every refusal names the file and the
// field that is wrong. The image libraries we hand files to trust the
// offsets and sizes they find in them; these checks are what stands between
// a file from elsewhere and a library reading past its buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // `count` bytes from `offset`, read as a table (after require_inside).
    std::vector<std::byte> table(std::uint64_t offset, std::uint64_t count, const std::string& field) const;

private:
    CopySource& file_;
    std::string name_;
    std::uint64_t size_;
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
