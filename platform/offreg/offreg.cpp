// offreg.dll over hivex. libhivex is opened at run time when the module is
// loaded; nothing links against it, so the program starts without it and only
// the offline registry tools fail, as they would without offreg.dll.
#include "platform/offreg/offreg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/offreg/hive_check.h"
#include "platform/os/shared_library.h"
#include "platform/os/stand_in_module.h"
#include "platform/base/wide_text.h"

namespace platform {

namespace offreg {

namespace {

// ---- The part of libhivex we call, declared from what we need of it. ----

struct hive_h;
using hive_node_h = std::size_t;
using hive_value_h = std::size_t;
using hive_type = int;  // a C enum: int-sized, its values are the Windows value types

struct hive_set_value {
    char* key;
    hive_type t;
    std::size_t len;
    char* value;
};

constexpr int kHivexOpenWrite = 4;

struct HivexApi {
    hive_h* (*hivex_open)(const char* filename, int flags);
    int (*hivex_close)(hive_h* h);
    hive_node_h (*hivex_root)(hive_h* h);
    char* (*hivex_node_name)(hive_h* h, hive_node_h node);
    std::int64_t (*hivex_node_timestamp)(hive_h* h, hive_node_h node);
    hive_node_h* (*hivex_node_children)(hive_h* h, hive_node_h node);
    hive_node_h (*hivex_node_get_child)(hive_h* h, hive_node_h node, const char* name);
    std::size_t (*hivex_node_nr_children)(hive_h* h, hive_node_h node);
    hive_value_h* (*hivex_node_values)(hive_h* h, hive_node_h node);
    hive_value_h (*hivex_node_get_value)(hive_h* h, hive_node_h node, const char* key);
    char* (*hivex_value_key)(hive_h* h, hive_value_h value);
    char* (*hivex_value_value)(hive_h* h, hive_value_h value, hive_type* t, std::size_t* len);
    int (*hivex_commit)(hive_h* h, const char* filename, int flags);
    hive_node_h (*hivex_node_add_child)(hive_h* h, hive_node_h parent, const char* name);
    int (*hivex_node_delete_child)(hive_h* h, hive_node_h node);
    int (*hivex_node_set_values)(hive_h* h, hive_node_h node, std::size_t nr_values, const hive_set_value* values,
                                 int flags);
    int (*hivex_node_set_value)(hive_h* h, hive_node_h node, const hive_set_value* value, int flags);
};

// Everything below runs under this one lock: hivex handles are not safe to
// share between threads, and the key table is process-wide.
std::mutex offreg_mutex;
// Never destroyed: hives still open at exit are not closed after it.
SharedLibrary& hivex_library = *new SharedLibrary;
HivexApi hivex{};

// hivex hands out malloc'd names, lists and data.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

// ---- Open hives and the key handles into them. ----

class OpenHive {
public:
    OpenHive(hive_h* h, bool changeable) : h_(h), changeable_(changeable) {}
    ~OpenHive() {
        if (h_ && hivex.hivex_close) hivex.hivex_close(h_);
    }
    OpenHive(const OpenHive&) = delete;
    OpenHive& operator=(const OpenHive&) = delete;
    hive_h* get() const { return h_; }
    // A damaged hive is read, never changed: hivex could end the process
    // freeing its cells (platform/offreg/hive_check.h).
    bool changeable() const { return changeable_; }

private:
    hive_h* h_;
    bool changeable_;
};

struct KeyEntry {
    std::shared_ptr<OpenHive> hive;
    hive_node_h node = 0;
    bool is_hive = false;   // the handle OROpenHive gave, closed by ORCloseHive
    bool deleted = false;   // its key was deleted through another handle
};

// Handles are numbers counted up from a start that looks nothing like a
// small integer or a pointer, and never given out twice.
class KeyTable {
public:
    ORHKEY Add(std::shared_ptr<OpenHive> hive, hive_node_h node, bool is_hive) {
        const std::uintptr_t id = next_id_++;
        entries_[id] = KeyEntry{std::move(hive), node, is_hive, false};
        return reinterpret_cast<ORHKEY>(id);
    }

    KeyEntry* Find(ORHKEY key) {
        auto it = entries_.find(reinterpret_cast<std::uintptr_t>(key));
        return it == entries_.end() ? nullptr : &it->second;
    }

    void Erase(ORHKEY key) { entries_.erase(reinterpret_cast<std::uintptr_t>(key)); }

    void EraseHive(const OpenHive* hive) {
        std::erase_if(entries_, [hive](const auto& item) { return item.second.hive.get() == hive; });
    }

    void MarkDeleted(const OpenHive* hive, hive_node_h node) {
        for (auto& [id, entry] : entries_)
            if (entry.hive.get() == hive && entry.node == node) entry.deleted = true;
    }

    void Clear() { entries_.clear(); }

private:
    std::uintptr_t next_id_ = 0x4F520000;
    std::map<std::uintptr_t, KeyEntry> entries_;
};

KeyTable& Keys() {
    static KeyTable table;
    return table;
}

// ---- Error codes. ----

// hivex reports through errno; what is not about the file system means the
// hive's contents are not what they should be.
DWORD ErrorFromHivex(int err) {
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EFBIG: return ERROR_DISK_FULL;
    case EIO: return ERROR_IO_DEVICE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_BADDB;
    }
}

DWORD LookUp(ORHKEY key, KeyEntry*& entry) {
    entry = key ? Keys().Find(key) : nullptr;
    if (!entry) return ERROR_INVALID_HANDLE;
    if (entry->deleted) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// LookUp for a change of the key's hive.
DWORD LookUpToChange(ORHKEY key, KeyEntry*& entry) {
    if (DWORD error = LookUp(key, entry)) return error;
    return entry->hive->changeable() ? ERROR_SUCCESS : ERROR_BADDB;
}

bool SoundHiveFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return !in.bad() && HiveDamage(bytes).empty();
}

// ---- Names and key paths. ----

std::vector<std::string> PathParts(const char16_t* path) {
    std::vector<std::string> parts;
    if (!path) return parts;
    std::u16string_view rest(path);
    while (!rest.empty()) {
        auto cut = rest.find(u'\\');
        std::u16string_view part = rest.substr(0, cut);
        if (!part.empty()) parts.push_back(Utf16ToUtf8(part));
        if (cut == std::u16string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return parts;
}

// The child called `name`, 0 when there is none; `error` tells the two
// kinds of 0 apart.
hive_node_h ChildNamed(hive_h* h, hive_node_h node, const std::string& name, DWORD& error) {
    errno = 0;
    hive_node_h child = hivex.hivex_node_get_child(h, node, name.c_str());
    error = child ? ERROR_SUCCESS : (errno ? ErrorFromHivex(errno) : ERROR_FILE_NOT_FOUND);
    return child;
}

DWORD WalkPath(hive_h* h, hive_node_h from, const char16_t* path, hive_node_h& found) {
    found = from;
    for (const std::string& part : PathParts(path)) {
        DWORD error;
        found = ChildNamed(h, found, part, error);
        if (error != ERROR_SUCCESS) return error;
    }
    return ERROR_SUCCESS;
}

DWORD ValueNamed(hive_h* h, hive_node_h node, const char16_t* value_name, hive_value_h& value) {
    errno = 0;
    value = hivex.hivex_node_get_value(h, node, Utf16ToUtf8(value_name).c_str());
    if (value) return ERROR_SUCCESS;
    return errno ? ErrorFromHivex(errno) : ERROR_FILE_NOT_FOUND;
}

struct RawValue {
    DWORD type = REG_NONE;
    std::string bytes;
};

DWORD ReadValue(hive_h* h, hive_value_h value, RawValue& out) {
    hive_type t = 0;
    std::size_t len = 0;
    errno = 0;
    Malloced<char> data(hivex.hivex_value_value(h, value, &t, &len));
    if (!data && (len != 0 || errno != 0)) return ErrorFromHivex(errno);
    out.type = static_cast<DWORD>(t);
    out.bytes.assign(data ? data.get() : "", data ? len : 0);
    return ERROR_SUCCESS;
}

// Hands a name out the Windows way: *size is the buffer in characters and
// comes back as the length written, or as what is needed with ERROR_MORE_DATA.
DWORD CopyName(const std::string& name, char16_t* buffer, DWORD* size) {
    const std::u16string wide = Utf8ToUtf16(name);
    const DWORD needed = static_cast<DWORD>(wide.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(char16_t));
    buffer[wide.size()] = u'\0';
    *size = needed - 1;
    return ERROR_SUCCESS;
}

// The same for value data, sized in bytes; a null buffer only asks the size.
DWORD CopyData(const std::string& bytes, void* buffer, DWORD* size) {
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (!size) return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    if (!buffer) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(buffer, bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

// ---- The entry points. ----

void AdaptGetVersion(DWORD* major, DWORD* minor) {
    if (major) *major = 1;
    if (minor) *minor = 0;
}

DWORD AdaptOpenHive(const char16_t* file_path, ORHKEY* hive) {
    if (!file_path || !hive) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    if (!hivex_library) return ERROR_MOD_NOT_FOUND;
    errno = 0;
    const std::string path = Utf16ToUtf8(file_path);
    hive_h* h = hivex.hivex_open(path.c_str(), kHivexOpenWrite);
    if (!h) return ErrorFromHivex(errno);
    auto opened = std::make_shared<OpenHive>(h, SoundHiveFile(path));
    *hive = Keys().Add(opened, hivex.hivex_root(h), true);
    return ERROR_SUCCESS;
}

DWORD AdaptCloseHive(ORHKEY hive) {
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry = hive ? Keys().Find(hive) : nullptr;
    if (!entry || !entry->is_hive) return ERROR_INVALID_HANDLE;
    Keys().EraseHive(entry->hive.get());
    return ERROR_SUCCESS;
}

DWORD AdaptSaveHive(ORHKEY hive, const char16_t* file_path, DWORD /*os_major_version*/,
                    DWORD /*os_minor_version*/) {
    if (!file_path) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry = hive ? Keys().Find(hive) : nullptr;
    if (!entry || !entry->is_hive) return ERROR_INVALID_HANDLE;
    const std::string path = Utf16ToUtf8(file_path);
    // Claiming the name first makes "never replace a file" hold even against
    // a file that appears while we write.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return ERROR_FILE_EXISTS;
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    }
    ::close(fd);
    errno = 0;
    if (hivex.hivex_commit(entry->hive->get(), path.c_str(), 0) != 0) {
        DWORD error = errno ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
        ::unlink(path.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD AdaptOpenKey(ORHKEY key, const char16_t* sub_key, ORHKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUp(key, entry)) return error;
    hive_node_h node;
    if (DWORD error = WalkPath(entry->hive->get(), entry->node, sub_key, node)) return error;
    *result = Keys().Add(entry->hive, node, false);
    return ERROR_SUCCESS;
}

DWORD AdaptCloseKey(ORHKEY key) {
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry = key ? Keys().Find(key) : nullptr;
    if (!entry || entry->is_hive) return ERROR_INVALID_HANDLE;
    Keys().Erase(key);
    return ERROR_SUCCESS;
}

DWORD AdaptGetValue(ORHKEY key, const char16_t* sub_key, const char16_t* value_name, DWORD* type, void* data,
                    DWORD* data_size) {
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUp(key, entry)) return error;
    hive_h* h = entry->hive->get();
    hive_node_h node;
    if (DWORD error = WalkPath(h, entry->node, sub_key, node)) return error;
    hive_value_h value;
    if (DWORD error = ValueNamed(h, node, value_name, value)) return error;
    RawValue raw;
    if (DWORD error = ReadValue(h, value, raw)) return error;
    if (type) *type = raw.type;
    return CopyData(raw.bytes, data, data_size);
}

DWORD AdaptSetValue(ORHKEY key, const char16_t* value_name, DWORD type, const void* data, DWORD data_size) {
    if (!data && data_size) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUpToChange(key, entry)) return error;
    std::string name = Utf16ToUtf8(value_name);
    std::string bytes(data_size ? static_cast<const char*>(data) : "", data_size);
    hive_set_value value{name.data(), static_cast<hive_type>(type), bytes.size(), bytes.data()};
    errno = 0;
    if (hivex.hivex_node_set_value(entry->hive->get(), entry->node, &value, 0) != 0) return ErrorFromHivex(errno);
    return ERROR_SUCCESS;
}

DWORD AdaptDeleteValue(ORHKEY key, const char16_t* value_name) {
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUpToChange(key, entry)) return error;
    hive_h* h = entry->hive->get();
    hive_value_h doomed;
    if (DWORD error = ValueNamed(h, entry->node, value_name, doomed)) return error;

    // hivex has no call that removes one value: write back all the others.
    errno = 0;
    Malloced<hive_value_h> values(hivex.hivex_node_values(h, entry->node));
    if (!values) return ErrorFromHivex(errno);
    std::vector<std::string> names, contents;
    std::vector<DWORD> types;
    for (std::size_t i = 0; values.get()[i] != 0; ++i) {
        if (values.get()[i] == doomed) continue;
        errno = 0;
        Malloced<char> name(hivex.hivex_value_key(h, values.get()[i]));
        if (!name) return ErrorFromHivex(errno);
        RawValue raw;
        if (DWORD error = ReadValue(h, values.get()[i], raw)) return error;
        names.emplace_back(name.get());
        contents.push_back(std::move(raw.bytes));
        types.push_back(raw.type);
    }
    std::vector<hive_set_value> kept;
    for (std::size_t i = 0; i < names.size(); ++i)
        kept.push_back({names[i].data(), static_cast<hive_type>(types[i]), contents[i].size(), contents[i].data()});
    errno = 0;
    if (hivex.hivex_node_set_values(h, entry->node, kept.size(), kept.data(), 0) != 0) return ErrorFromHivex(errno);
    return ERROR_SUCCESS;
}

DWORD AdaptDeleteKey(ORHKEY key, const char16_t* sub_key) {
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUpToChange(key, entry)) return error;
    hive_h* h = entry->hive->get();
    hive_node_h node;
    if (DWORD error = WalkPath(h, entry->node, sub_key, node)) return error;
    if (node == hivex.hivex_root(h)) return ERROR_ACCESS_DENIED;
    errno = 0;
    std::size_t subkeys = hivex.hivex_node_nr_children(h, node);
    if (subkeys == 0 && errno != 0) return ErrorFromHivex(errno);
    if (subkeys != 0) return ERROR_ACCESS_DENIED;
    errno = 0;
    if (hivex.hivex_node_delete_child(h, node) != 0) return ErrorFromHivex(errno);
    Keys().MarkDeleted(entry->hive.get(), node);
    return ERROR_SUCCESS;
}

DWORD AdaptCreateKey(ORHKEY key, const char16_t* sub_key, char16_t* /*class_name*/, DWORD /*options*/,
                     void* /*security_descriptor*/, ORHKEY* result, DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    KeyEntry* entry;
    if (DWORD error = LookUpToChange(key, entry)) return error;
    hive_h* h = entry->hive->get();
    hive_node_h node = entry->node;
    bool created = false;
    for (const std::string& part : PathParts(sub_key)) {
        DWORD error;
        hive_node_h child = ChildNamed(h, node, part, error);
        if (error == ERROR_FILE_NOT_FOUND) {
            errno = 0;
            child = hivex.hivex_node_add_child(h, node, part.c_str());
            if (!child) return ErrorFromHivex(errno);
            created = true;
        } else if (error != ERROR_SUCCESS) {
            return error;
        } else {
            created = false;
        }
        node = child;
    }
    *result = Keys().Add(entry->hive, node, false);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// The `index`-th of the subkeys or values of a key, as `list_of` (a hivex
// list call) gives them; ERROR_NO_MORE_ITEMS past the end. The lock is held.
template <typename Item, typename ListOf>
DWORD EntryAt(ORHKEY key, DWORD index, ListOf list_of, hive_h*& h, Item& item) {
    KeyEntry* entry;
    if (DWORD error = LookUp(key, entry)) return error;
    h = entry->hive->get();
    errno = 0;
    Malloced<Item> items(list_of(h, entry->node));
    if (!items) return ErrorFromHivex(errno);
    std::size_t count = 0;
    while (items.get()[count] != 0) ++count;
    if (index >= count) return ERROR_NO_MORE_ITEMS;
    item = items.get()[index];
    return ERROR_SUCCESS;
}

DWORD AdaptEnumKey(ORHKEY key, DWORD index, char16_t* name, DWORD* name_size, char16_t* class_name,
                   DWORD* class_size, FILETIME* last_write_time) {
    if (!name_size) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    hive_h* h = nullptr;
    hive_node_h child = 0;
    if (DWORD error = EntryAt(key, index, hivex.hivex_node_children, h, child)) return error;

    errno = 0;
    Malloced<char> child_name(hivex.hivex_node_name(h, child));
    if (!child_name) return ErrorFromHivex(errno);
    if (DWORD error = CopyName(child_name.get(), name, name_size)) return error;
    if (class_size) {
        if (class_name && *class_size > 0) class_name[0] = u'\0';
        *class_size = 0;
    }
    if (last_write_time) {
        const std::int64_t stamp = hivex.hivex_node_timestamp(h, child);
        const std::uint64_t ticks = stamp < 0 ? 0 : static_cast<std::uint64_t>(stamp);
        last_write_time->dwLowDateTime = static_cast<DWORD>(ticks);
        last_write_time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    }
    return ERROR_SUCCESS;
}

DWORD AdaptEnumValue(ORHKEY key, DWORD index, char16_t* value_name, DWORD* value_name_size, DWORD* type,
                     void* data, DWORD* data_size) {
    if (!value_name_size) return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(offreg_mutex);
    hive_h* h = nullptr;
    hive_value_h value = 0;
    if (DWORD error = EntryAt(key, index, hivex.hivex_node_values, h, value)) return error;

    errno = 0;
    Malloced<char> name(hivex.hivex_value_key(h, value));
    if (!name) return ErrorFromHivex(errno);
    RawValue raw;
    if (DWORD error = ReadValue(h, value, raw)) return error;
    if (type) *type = raw.type;
    const DWORD name_result = CopyName(name.get(), value_name, value_name_size);
    const DWORD data_result = CopyData(raw.bytes, data, data_size);
    if (name_result == ERROR_INVALID_PARAMETER || data_result == ERROR_INVALID_PARAMETER)
        return ERROR_INVALID_PARAMETER;
    return name_result != ERROR_SUCCESS ? name_result : data_result;
}

// ---- The module. ----

const char* BindHivex(const SharedLibrary& library) {
    HivexApi& h = hivex;
    return library.bind({
        {h.hivex_open, "hivex_open"},
        {h.hivex_close, "hivex_close"},
        {h.hivex_root, "hivex_root"},
        {h.hivex_node_name, "hivex_node_name"},
        {h.hivex_node_timestamp, "hivex_node_timestamp"},
        {h.hivex_node_children, "hivex_node_children"},
        {h.hivex_node_get_child, "hivex_node_get_child"},
        {h.hivex_node_nr_children, "hivex_node_nr_children"},
        {h.hivex_node_values, "hivex_node_values"},
        {h.hivex_node_get_value, "hivex_node_get_value"},
        {h.hivex_value_key, "hivex_value_key"},
        {h.hivex_value_value, "hivex_value_value"},
        {h.hivex_commit, "hivex_commit"},
        {h.hivex_node_add_child, "hivex_node_add_child"},
        {h.hivex_node_delete_child, "hivex_node_delete_child"},
        {h.hivex_node_set_values, "hivex_node_set_values"},
        {h.hivex_node_set_value, "hivex_node_set_value"},
    });
}

}  // namespace

}  // namespace offreg

namespace {

std::string OpenOffreg() {
    std::lock_guard guard(offreg::offreg_mutex);
    using namespace offreg;
    SharedLibrary library("libhivex.so.0");
    if (!library || BindHivex(library)) return {};  // ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND
    hivex_library = std::move(library);
    return hivex_library.file();
}

void CloseOffreg() {
    std::lock_guard guard(offreg::offreg_mutex);
    using namespace offreg;
    // Hives still open are dropped while hivex is there to close them.
    Keys().Clear();
    hivex_library = SharedLibrary();
    hivex = HivexApi{};
}

std::vector<ModuleExport> ExportsOffreg() {
    using namespace offreg;
    return {
        {"ORGetVersion", reinterpret_cast<void*>(static_cast<ORGetVersion_fn>(&AdaptGetVersion))},
        {"OROpenHive", reinterpret_cast<void*>(static_cast<OROpenHive_fn>(&AdaptOpenHive))},
        {"ORCloseHive", reinterpret_cast<void*>(static_cast<ORCloseHive_fn>(&AdaptCloseHive))},
        {"ORSaveHive", reinterpret_cast<void*>(static_cast<ORSaveHive_fn>(&AdaptSaveHive))},
        {"OROpenKey", reinterpret_cast<void*>(static_cast<OROpenKey_fn>(&AdaptOpenKey))},
        {"ORCloseKey", reinterpret_cast<void*>(static_cast<ORCloseKey_fn>(&AdaptCloseKey))},
        {"ORGetValue", reinterpret_cast<void*>(static_cast<ORGetValue_fn>(&AdaptGetValue))},
        {"ORSetValue", reinterpret_cast<void*>(static_cast<ORSetValue_fn>(&AdaptSetValue))},
        {"ORDeleteValue", reinterpret_cast<void*>(static_cast<ORDeleteValue_fn>(&AdaptDeleteValue))},
        {"ORDeleteKey", reinterpret_cast<void*>(static_cast<ORDeleteKey_fn>(&AdaptDeleteKey))},
        {"ORCreateKey", reinterpret_cast<void*>(static_cast<ORCreateKey_fn>(&AdaptCreateKey))},
        {"OREnumKey", reinterpret_cast<void*>(static_cast<OREnumKey_fn>(&AdaptEnumKey))},
        {"OREnumValue", reinterpret_cast<void*>(static_cast<OREnumValue_fn>(&AdaptEnumValue))},
    };
}

}  // namespace

const StandInModule& OffregModule() {
    static const StandInModule module{"offreg.dll", &OpenOffreg, &CloseOffreg, &ExportsOffreg};
    return module;
}

}  // namespace platform
