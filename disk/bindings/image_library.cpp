#include "disk/bindings/image_library.h"

#include <stdexcept>

namespace disk {

ImageLibraryFile::ImageLibraryFile(const ImageLibraryNames& names, const std::string& library)
    : missing_(names.missing), library_(library) {
    if (!library_) throw std::runtime_error(missing_);
    BindMore({
        {initialize_, names.initialize},
        {free_, names.free},
        {close_, names.close},
        {read_at_, names.read_at},
        {media_size_, names.media_size},
        {error_sprint_, names.error_sprint},
        {error_free_, names.error_free},
    });
    if (names.open) BindMore({{open_, names.open}});
    if (names.set_parent)
        BindMore({{parent_name_size_, names.parent_name_size},
                  {parent_name_, names.parent_name},
                  {set_parent_, names.set_parent}});
}

ImageLibraryFile::~ImageLibraryFile() { Close(); }

void ImageLibraryFile::BindMore(std::initializer_list<platform::EntryPoint> table) {
    if (library_.bind(table)) throw std::runtime_error(missing_);
}

bool ImageLibraryFile::Check(bool success) { return Check(success, pending_error_, error_); }

bool ImageLibraryFile::Check(bool success, void*& error, std::string& text) const {
    if (!success) {
        text.clear();
        if (error) {
            char printed[512] = {};
            if (error_sprint_(error, printed, sizeof printed) > 0) text = printed;
        }
    }
    if (error) error_free_(&error);
    error = nullptr;
    return success;
}

bool ImageLibraryFile::Initialize() {
    if (handle_) return true;
    return Check(initialize_(&handle_, error_slot()) == 1);
}

int ImageLibraryFile::Open(const std::string& name, int access_flags) {
    Close();
    if (!open_ || !Initialize()) return -1;
    if (!Check(open_(handle_, name.c_str(), access_flags, error_slot()) == 1)) {
        const std::string why = error_;
        Close();
        set_error(why);
        return -1;
    }
    return 0;
}

std::int64_t ImageLibraryFile::ReadBufferAtOffset(void* buffer, std::size_t size, std::int64_t offset) {
    if (!handle_) return -1;
    const std::int64_t done = read_at_(handle_, buffer, size, offset, error_slot());
    Check(done >= 0);
    return done;
}

std::int64_t ImageLibraryFile::GetMediaSize() {
    if (!handle_) return -1;
    std::uint64_t size = 0;
    if (!Check(media_size_(handle_, &size, error_slot()) == 1)) return -1;
    return static_cast<std::int64_t>(size);
}

bool ImageLibraryFile::Close() {
    if (!handle_) return true;
    // A close that fails still leaves an object to free; the text says why.
    const bool closed = Check(close_(handle_, error_slot()) == 0);
    free_(&handle_, error_slot());
    Check(true);
    handle_ = nullptr;
    return closed;
}

std::string ImageLibraryFile::ParentFileName() {
    if (!handle_ || !parent_name_size_) return "";
    std::size_t size = 0;
    const int known = parent_name_size_(handle_, &size, error_slot());
    if (!Check(known >= 0)) throw std::runtime_error(error_);
    if (known == 0 || size <= 1) return "";
    std::string name(size, '\0');
    if (!Check(parent_name_(handle_, reinterpret_cast<std::uint8_t*>(name.data()), size, error_slot()) == 1))
        throw std::runtime_error(error_);
    name.resize(name.find('\0') == std::string::npos ? size : name.find('\0'));
    return name;
}

bool ImageLibraryFile::SetParent(ImageLibraryFile& parent) {
    if (!handle_ || !set_parent_ || !parent.handle_) return false;
    return Check(set_parent_(handle_, parent.handle_, error_slot()) == 1);
}

}  // namespace disk
