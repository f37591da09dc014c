// The image libraries we read virtual disks with (libvhdi, libvmdk, libqcow)
// and write and read EWF images with (libewf) come from one family and share
// one C shape: an opaque object made by <object>_initialize and released by
// <object>_free; calls that return 1 (or a byte count) on success and -1 on
// failure, leaving an error object behind that <library>_error_sprint turns
// into text and <library>_error_free releases. ImageLibraryFile is that
// shape once: it loads the library through the one binder, binds the common
// entry points by name, owns the object and keeps the text of the last
// failure. TLibvhdi, TLibVMDK, TLibqcow and TLibEWF add what their format
// needs.
//
// Debian's builds of these libraries have no wide-character open: names go
// to them as UTF-8 in the narrow open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/os/shared_library.h"

namespace disk {

// The names one library gives its common entry points.
struct ImageLibraryNames {
    const char* missing;  // the text raised when it (or an entry point) is missing
    const char* initialize;
    const char* free;
    const char* open;  // null: the subclass opens in its own way
    const char* close;
    const char* read_at;
    const char* media_size;
    const char* error_sprint;
    const char* error_free;
    // Of an image that holds only its differences from another (a qcow
    // overlay, a differencing VHD, a VMDK delta); null for EWF.
    const char* parent_name_size = nullptr;
    const char* parent_name = nullptr;
    const char* set_parent = nullptr;
};

class ImageLibraryFile {
public:
    // Closes what is open; the library stays loaded as long as the object.
    virtual ~ImageLibraryFile();
    ImageLibraryFile(const ImageLibraryFile&) = delete;
    ImageLibraryFile& operator=(const ImageLibraryFile&) = delete;

    // Opens `name` (1: read). 0 when the image is open; -1 otherwise, with
    // the library's text in error(): a file the library cannot open is a
    // failure, not an object to read -1 sizes from.
    int Open(const std::string& name, int access_flags = 1);
    // Reads at a 64-bit offset: the bytes read, or -1 (error() says why).
    std::int64_t ReadBufferAtOffset(void* buffer, std::size_t size, std::int64_t offset);
    // The size of the disk the image holds; -1 when nothing is open or the
    // library cannot tell.
    std::int64_t GetMediaSize();
    // Closes and frees the object; nothing when none is open. False (with
    // error()) when the library reported a failure while closing, which for
    // a written image means its last data may not be stored.
    bool Close();
    bool is_open() const { return handle_ != nullptr; }

    // The name of the image this one holds the differences from, as the
    // image stores it; "" for an image that stands alone. Raises
    // std::runtime_error with the library's text when it cannot tell.
    std::string ParentFileName();
    // Reads what this image does not hold from `parent`, which must stay
    // open as long as this one. False with error().
    bool SetParent(ImageLibraryFile& parent);

    // The library's text of the last failure ("" when it gave none).
    const std::string& error() const { return error_; }
    // The library file the loader opened.
    const std::string& library_file() const { return library_.file(); }

protected:
    // Loads the library and binds the common entry points; raises
    // std::runtime_error(names.missing) when either is missing.
    ImageLibraryFile(const ImageLibraryNames& names, const std::string& library);

    // Binds a subclass's own entry points; raises the missing text when one
    // of them is not there.
    void BindMore(std::initializer_list<platform::EntryPoint> table);

    // What every call gives: the last argument of each entry point.
    void** error_slot() { return &pending_error_; }
    // After a call: true when it returned `success`; otherwise the error
    // object's text becomes error(). The error object is released either way.
    bool Check(bool success);
    // The same for a call that had an error slot of its own (calls made on
    // several threads at once), with the text going to `text`.
    bool Check(bool success, void*& error, std::string& text) const;
    // Makes the object (initialize) when there is none; false with error().
    bool Initialize();
    void set_error(std::string text) { error_ = std::move(text); }

    void* handle_ = nullptr;

private:
    using InitializeFn = int (*)(void** handle, void** error);
    using FreeFn = int (*)(void** handle, void** error);
    using OpenFn = int (*)(void* handle, const char* name, int access_flags, void** error);
    using CloseFn = int (*)(void* handle, void** error);
    using ReadAtFn = std::int64_t (*)(void* handle, void* buffer, std::size_t size, std::int64_t offset, void** error);
    using MediaSizeFn = int (*)(void* handle, std::uint64_t* size, void** error);
    using ErrorSprintFn = int (*)(void* error, char* text, std::size_t size);
    using ErrorFreeFn = void (*)(void** error);
    using ParentNameSizeFn = int (*)(void* handle, std::size_t* size, void** error);
    using ParentNameFn = int (*)(void* handle, std::uint8_t* name, std::size_t size, void** error);
    using SetParentFn = int (*)(void* handle, void* parent, void** error);

    const char* missing_;
    platform::SharedLibrary library_;
    InitializeFn initialize_ = nullptr;
    FreeFn free_ = nullptr;
    OpenFn open_ = nullptr;
    CloseFn close_ = nullptr;
    ReadAtFn read_at_ = nullptr;
    MediaSizeFn media_size_ = nullptr;
    ErrorSprintFn error_sprint_ = nullptr;
    ErrorFreeFn error_free_ = nullptr;
    ParentNameSizeFn parent_name_size_ = nullptr;
    ParentNameFn parent_name_ = nullptr;
    SetParentFn set_parent_ = nullptr;
    void* pending_error_ = nullptr;
    std::string error_;
};

}  // namespace disk
