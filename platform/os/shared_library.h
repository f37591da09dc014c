// Libraries loaded at run time, and the tables of entry points bound from
// them: the one way the program binds a library it can live without. A
// SharedLibrary holds one reference to the library (RTLD_NOW | RTLD_LOCAL,
// so a missing symbol fails the load rather than a later call) and closes
// it when it goes; it knows the real file the loader opened, for the
// program's "loaded from" texts.
//
// A table is a list of slots and the names they are bound by. Binding fills
// all of them or none, so a table is never half usable. How a slot is
// filled is the slot's own type's business:
//  - a plain function pointer is assigned; the table belongs to whoever
//    keeps the library open, and is only read while it is;
//  - a std::atomic function pointer is read by other threads at any time:
//    it is filled once, while it is empty, and never changed after, so the
//    library behind it must stay loaded for the life of the process.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace platform {

class EntryPoint {
public:
    template <typename Fn, typename = std::enable_if_t<std::is_pointer_v<Fn>>>
    EntryPoint(Fn& slot, const char* name)
        : name_(name), slot_(&slot), fill_([](void* slot_address, void* address) {
              *static_cast<Fn*>(slot_address) = reinterpret_cast<Fn>(address);
          }) {}

    template <typename Fn>
    EntryPoint(std::atomic<Fn>& slot, const char* name)
        : name_(name), slot_(&slot), fill_([](void* slot_address, void* address) {
              Fn empty = nullptr;
              auto* atomic_slot = static_cast<std::atomic<Fn>*>(slot_address);
              atomic_slot->compare_exchange_strong(empty, reinterpret_cast<Fn>(address));
          }) {}

    const char* name() const { return name_; }
    void fill(void* address) const { fill_(slot_, address); }

private:
    const char* name_;
    void* slot_;
    void (*fill_)(void* slot, void* address);
};

enum class MissingEntryPoint {
    Fails,            // the table is left as it was
    LeavesSlotEmpty,  // the slot is set to null and the rest is bound
};

// The address of an entry point by name, or null.
using SymbolLookup = std::function<void*(const char* name)>;

// Looks every entry point of `table` up and fills the slots. Returns the
// name of the first one missing (no slot filled, unless missing ones are
// allowed), or nullptr when all are there.
const char* BindEntryPoints(const SymbolLookup& lookup, std::span<const EntryPoint> table,
                            MissingEntryPoint missing = MissingEntryPoint::Fails);

// The same from anything with symbol(name): a SharedLibrary, or a module
// the program loads by its Windows name (platform/modules).
template <typename Library>
const char* BindEntryPoints(const Library& library, std::initializer_list<EntryPoint> table,
                            MissingEntryPoint missing = MissingEntryPoint::Fails) {
    return BindEntryPoints([&library](const char* name) { return library.symbol(name); },
                           std::span<const EntryPoint>(table.begin(), table.size()), missing);
}

// Loads `name` as a Library and binds `table` from it; raises
// std::runtime_error with `failure` as its text when the library or one of
// the entry points is missing (the slots are then left as they were).
template <typename Library>
Library LoadBound(const std::string& name, std::initializer_list<EntryPoint> table, const std::string& failure) {
    Library library(name);
    if (!library || BindEntryPoints(library, table)) throw std::runtime_error(failure);
    return library;
}

class SharedLibrary {
public:
    SharedLibrary() = default;
    // Loads `name`, a soname ("libwim.so.15") or a path. When it cannot be
    // loaded the object is not loaded(), error() has the loader's text and
    // the last error is ERROR_MOD_NOT_FOUND.
    explicit SharedLibrary(const std::string& name);
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    explicit operator bool() const { return loaded(); }

    // An entry point by name; null (and ERROR_PROC_NOT_FOUND) when missing.
    void* symbol(const char* name) const;
    const char* bind(std::initializer_list<EntryPoint> table,
                     MissingEntryPoint missing = MissingEntryPoint::Fails) const {
        return BindEntryPoints(*this, table, missing);
    }

    // The file the loader opened, symbolic links resolved
    // ("/usr/lib/x86_64-linux-gnu/libwim.so.15.21.0"); "" when not loaded.
    const std::string& file() const { return file_; }
    const std::string& error() const { return error_; }

private:
    void close();

    void* handle_ = nullptr;
    std::string file_;
    std::string error_;
};

inline SharedLibrary LoadSharedLibrary(const std::string& name, std::initializer_list<EntryPoint> table,
                                       const std::string& failure) {
    return LoadBound<SharedLibrary>(name, table, failure);
}

}  // namespace platform
