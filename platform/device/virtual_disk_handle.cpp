#include "platform/device/virtual_disk_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device/handle_state.h"

namespace platform {

Handle MakeVirtualDiskHandle(const std::string& path, const std::string& image, std::uint32_t sector_size,
                             std::int64_t length, std::unique_ptr<VirtualDiskBinding> binding) {
    auto state = std::make_unique<Handle::State>();
    state->kind = HandleKind::VirtualDisk;
    state->path = path;
    state->backing_path = image;
    state->sector_size = sector_size;
    state->length = length;
    binding->owner_ = state.get();
    state->virtual_disk = std::move(binding);
    return Handle(std::move(state));
}

VirtualDiskBinding* VirtualDiskBindingOf(const Handle& handle) {
    if (!handle.valid() || handle.kind() != HandleKind::VirtualDisk) return nullptr;
    return handle.state()->virtual_disk.get();
}

DWORD VirtualDiskBinding::use_file(const std::string& file, bool read_only) {
    Handle::State& state = *owner_;
    state.io.reset();
    state.fd.reset(::open(file.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!state.fd) return ErrorFromErrno(errno);
    state.backing_path = file;
    state.base = 0;
    state.position = 0;
    state.can_read = true;
    state.can_write = true;  // a read-only attach answers writes with write-protect
    state.media_read_only = read_only;
    return ERROR_SUCCESS;
}

void VirtualDiskBinding::use_io(std::unique_ptr<DiskIo> io, bool read_only) {
    Handle::State& state = *owner_;
    state.fd.close();
    state.io = std::move(io);
    state.base = 0;
    state.position = 0;
    state.can_read = true;
    state.can_write = true;  // a read-only attach answers writes with write-protect
    state.media_read_only = read_only;
}

void VirtualDiskBinding::drop_bytes() {
    Handle::State& state = *owner_;
    if (state.io) {
        if (state.written) state.io->flush();
        state.io.reset();  // disconnects and stops its server
    }
    if (state.written && state.fd) ::fdatasync(state.fd.get());
    state.fd.close();
    state.written = false;
    state.can_read = state.can_write = false;
}

void VirtualDiskBinding::set_length(std::int64_t length) { owner_->length = length; }

}  // namespace platform
