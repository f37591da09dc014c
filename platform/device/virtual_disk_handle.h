// Handles over a backend of someone else's: the virtual-disk service makes
// its handles here. Such a handle is of kind VirtualDisk, is made over a
// binding (the opened image and what an attach set up), and reads and
// writes nothing until its binding gives it bytes: a file or device node
// (an attach's loop device or served file), or a reader/writer object (an
// image served to this process alone). Everything else about a Handle stays
// the device layer's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/win_error.h"
#include "platform/device/handle.h"

namespace platform {

// Bytes that no descriptor carries. Each call reports a failure through the
// thread's last error.
class DiskIo {
public:
    virtual ~DiskIo() = default;
    virtual bool read(std::int64_t offset, void* buffer, std::size_t length) = 0;
    virtual bool write(std::int64_t offset, const void* buffer, std::size_t length) = 0;
    virtual bool flush() = 0;
};

// What a virtual-disk handle is made over. The handle owns it, and drops it
// after its bytes when it closes (a served file must be let go of before its
// server is stopped), so dropping it is the place to undo an attach.
class VirtualDiskBinding {
public:
    virtual ~VirtualDiskBinding() = default;

protected:
    VirtualDiskBinding() = default;

    // Gives the handle its bytes: `file` opened here, or `io`. A read-only
    // set of bytes answers writes with ERROR_WRITE_PROTECT.
    DWORD use_file(const std::string& file, bool read_only);
    void use_io(std::unique_ptr<DiskIo> io, bool read_only);
    // Puts what was written through the bytes on the medium and lets them go.
    void drop_bytes();
    // The size the handle reads and writes within.
    void set_length(std::int64_t length);

private:
    friend Handle MakeVirtualDiskHandle(const std::string&, const std::string&, std::uint32_t, std::int64_t,
                                        std::unique_ptr<VirtualDiskBinding>);
    Handle::State* owner_ = nullptr;
};

// A handle named `path` over the image file `image` (a full Linux path),
// with the disk's sector size and length, owning `binding`.
Handle MakeVirtualDiskHandle(const std::string& path, const std::string& image, std::uint32_t sector_size,
                             std::int64_t length, std::unique_ptr<VirtualDiskBinding> binding);

// The binding a virtual-disk handle was made over; nullptr for any other.
VirtualDiskBinding* VirtualDiskBindingOf(const Handle& handle);

}  // namespace platform
