#include "disk/formats/imagecheck/image_bytes.h"

#include <cstdio>

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

std::vector<std::byte> ImageBytes::table(std::uint64_t offset, std::uint64_t count, const std::string& field) const {
    require_inside(offset, count, field);
    std::vector<std::byte> bytes(static_cast<std::size_t>(count));
    read(offset, bytes, field);
    return bytes;
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
