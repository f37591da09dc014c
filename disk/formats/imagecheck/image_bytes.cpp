#include "disk/formats/imagecheck/image_bytes.h"

#include <cstdio>
#include <iterator>

#include "platform/base/win_error.h"

namespace disk {

ImageBytes::ImageBytes(CopySource& file, std::string name)
    : file_(file), name_(std::move(name)), size_(static_cast<std::uint64_t>(std::max<std::int64_t>(0, file.size()))) {}

void ImageBytes::refuse(const std::string& field, const std::string& what) const {
    throw ImageCheckError(name_ + ": " + field + " " + what);
}

void ImageBytes::require_inside(std::uint64_t offset, std::uint64_t length, const std::string& field) const {
    if (offset > size_ || length > size_ - offset)
        refuse(field, "(" + Hex(offset) + ", " + std::to_string(length) + " bytes) lies past the end of the file (" +
                          std::to_string(size_) + " bytes)");
}

void ImageBytes::read(std::uint64_t offset, std::span<std::byte> buffer, const std::string& field) const {
    require_inside(offset, buffer.size(), field);
    while (!buffer.empty()) {
        std::size_t done = 0;
        try {
            done = file_.read(static_cast<std::int64_t>(offset), buffer);
        } catch (const MediumError& e) {
            refuse(field, std::string("cannot be read: ") + e.what());
        }
        if (done == 0) refuse(field, "lies past the end of the file");
        buffer = buffer.subspan(std::min(done, buffer.size()));
        offset += done;
    }
}

void ImageBytes::require_entries(std::uint64_t offset, std::uint64_t count, std::uint64_t entry_size,
                                 const std::string& field) const {
    if (offset > size_ || count > (size_ - offset) / entry_size)
        refuse(field, "(" + Hex(offset) + ", " + std::to_string(count) + " entries of " + std::to_string(entry_size) +
                          " bytes) lies past the end of the file (" + std::to_string(size_) + " bytes)");
}

void DirectoryTables::add(std::uint64_t offset, std::uint64_t entry) {
    const auto after = tables_.lower_bound(offset);
    if (after != tables_.end() && after->first == offset)
        file_.refuse(Entry(directory_.c_str(), entry), "points at the table of entry " + std::to_string(after->second) +
                                                           " (" + Hex(offset) + ")");
    const auto overlapping = [&](std::uint64_t other, std::uint64_t other_entry) {
        file_.refuse(Entry(directory_.c_str(), entry), "points at a table (" + Hex(offset) +
                                                           ") that overlaps that of entry " +
                                                           std::to_string(other_entry) + " (" + Hex(other) + ")");
    };
    if (after != tables_.end() && after->first - offset < table_bytes_) overlapping(after->first, after->second);
    if (after != tables_.begin()) {
        const auto before = std::prev(after);
        if (offset - before->first < table_bytes_) overlapping(before->first, before->second);
    }
    tables_.emplace_hint(after, offset, entry);
}

NamedFiles CheckImageFile(const std::string& path, const std::function<NamedFiles(const ImageBytes&)>& check) {
    auto file = OpenFileSource(path);
    if (!file)
        throw ImageCheckError(path + ": cannot be opened: " + platform::SysErrorMessage(platform::GetLastError()));
    return check(ImageBytes(*file, path));
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace disk
