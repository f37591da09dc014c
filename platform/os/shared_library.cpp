#include "platform/os/shared_library.h"

#include <dlfcn.h>
#include <link.h>

#include <utility>
#include <vector>

#include "platform/base/win_error.h"
#include "platform/os/file_facts.h"

namespace platform {

namespace {

// The path the loader opened the library by, with every link resolved.
std::string RealFileOf(void* handle, const std::string& name) {
    link_map* map = nullptr;
    std::string opened = name;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) opened = map->l_name;
    return RealPathOf(opened).value_or(opened);
}

}  // namespace

const char* BindEntryPoints(const SymbolLookup& lookup, std::span<const EntryPoint> table, MissingEntryPoint missing) {
    std::vector<void*> addresses;
    addresses.reserve(table.size());
    const char* first_missing = nullptr;
    for (const EntryPoint& entry : table) {
        void* address = lookup(entry.name());
        if (!address && !first_missing) first_missing = entry.name();
        addresses.push_back(address);
    }
    if (first_missing && missing == MissingEntryPoint::Fails) return first_missing;
    for (std::size_t i = 0; i < table.size(); ++i) table[i].fill(addresses[i]);
    return first_missing;
}

SharedLibrary::SharedLibrary(const std::string& name) {
    ::dlerror();
    handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* text = ::dlerror();
        error_ = text ? text : name + ": cannot be loaded";
        SetLastError(ERROR_MOD_NOT_FOUND);
        return;
    }
    file_ = RealFileOf(handle_, name);
}

SharedLibrary::~SharedLibrary() { close(); }

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      file_(std::move(other.file_)),
      error_(std::move(other.error_)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        file_ = std::move(other.file_);
        error_ = std::move(other.error_);
    }
    return *this;
}

void SharedLibrary::close() {
    if (handle_) ::dlclose(std::exchange(handle_, nullptr));
    file_.clear();
}

void* SharedLibrary::symbol(const char* name) const {
    void* address = handle_ && name ? ::dlsym(handle_, name) : nullptr;
    if (!address) SetLastError(ERROR_PROC_NOT_FOUND);
    return address;
}

}  // namespace platform
