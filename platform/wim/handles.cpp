#include "platform/wim/handles.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <variant>

#include "platform/base/replace_file.h"

namespace platform::wim {

namespace {

using HandleObject = std::variant<std::shared_ptr<WimFile>, std::shared_ptr<WimImage>>;

struct HandleTable {
    std::mutex mutex;
    std::map<WimHandle, HandleObject> live;
    std::vector<RegisteredCallback> global_callbacks;
    std::string log_file;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

bool SameCallback(const RegisteredCallback& a, const RegisteredCallback& b) {
    return a.callback == b.callback && a.user_data == b.user_data;
}

void AddUnique(std::vector<RegisteredCallback>& into, const std::vector<RegisteredCallback>& from) {
    for (const RegisteredCallback& entry : from) {
        bool known = false;
        for (const RegisteredCallback& have : into) known = known || SameCallback(have, entry);
        if (!known) into.push_back(entry);
    }
}

int WriteFlags(const WimFile& file) {
    int flags = 0;
    if (file.solid) flags |= WIMLIB_WRITE_FLAG_SOLID;
    if (file.flags & WIM_FLAG_VERIFY) flags |= WIMLIB_WRITE_FLAG_CHECK_INTEGRITY;
    return flags;
}

bool ReferenceAll(WimFile& file) {
    const WimlibCalls& lib = *Wimlib();
    for (const std::string& reference : file.references) {
        const char* name = reference.c_str();
        if (int error = lib.reference_resource_files(file.wim, &name, 1, WIMLIB_REF_FLAG_GLOB_ENABLE, 0))
            return FailWimlib(error);
    }
    return true;
}

// A new file: written whole under a temporary name, renamed into place, then
// opened again so that later captures append to it.
bool WriteNewFile(WimFile& file, MessageRelay& relay) {
    const WimlibCalls& lib = *Wimlib();
    FileReplacement replacement(file.path, FileReplacement::Start::NameOnly);
    if (!replacement) return false;
    lib.register_progress_function(file.wim, &MessageRelay::Progress, &relay);
    int error = lib.write(file.wim, replacement.path().c_str(), WIMLIB_ALL_IMAGES, WriteFlags(file), 0);
    lib.register_progress_function(file.wim, nullptr, nullptr);
    if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error, &relay);
    if (!replacement.commit()) return false;
    WIMStruct* reopened = nullptr;
    error = lib.open_wim(file.path.c_str(), WIMLIB_OPEN_FLAG_WRITE_ACCESS, &reopened);
    if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error);
    lib.free(file.wim);
    file.wim = reopened;
    file.is_new = false;
    return ReferenceAll(file);
}

}  // namespace

WimFile::~WimFile() {
    if (wim)
        if (const WimlibCalls* lib = Wimlib()) lib->free(wim);
}

int WimFile::image_count() const {
    wimlib_wim_info info{};
    if (!wim || Wimlib()->get_wim_info(wim, &info) != WIMLIB_ERR_SUCCESS) return 0;
    return static_cast<int>(info.image_count);
}

namespace {

// The object's address is its handle.
template <typename Object>
WimHandle AddHandle(std::shared_ptr<Object> object) {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    WimHandle handle = object.get();
    table.live[handle] = std::move(object);
    return handle;
}

}  // namespace

WimHandle AddFileHandle(std::shared_ptr<WimFile> file) { return AddHandle(std::move(file)); }

WimHandle AddImageHandle(std::shared_ptr<WimImage> image) { return AddHandle(std::move(image)); }

template <typename T>
static std::shared_ptr<T> Lookup(WimHandle handle, bool take) {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    auto it = table.live.find(handle);
    if (it == table.live.end() || !std::holds_alternative<std::shared_ptr<T>>(it->second)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::shared_ptr<T> object = std::get<std::shared_ptr<T>>(it->second);
    if (take) table.live.erase(it);
    return object;
}

std::shared_ptr<WimFile> FileOf(WimHandle handle) { return Lookup<WimFile>(handle, false); }
std::shared_ptr<WimImage> ImageOf(WimHandle handle) { return Lookup<WimImage>(handle, false); }
std::shared_ptr<WimFile> TakeFileHandle(WimHandle handle) { return Lookup<WimFile>(handle, true); }
std::shared_ptr<WimImage> TakeImageHandle(WimHandle handle) { return Lookup<WimImage>(handle, true); }

std::vector<std::shared_ptr<WimImage>> ImagesOf(const WimFile& file) {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    std::vector<std::shared_ptr<WimImage>> images;
    for (const auto& [handle, object] : table.live)
        if (const auto* image = std::get_if<std::shared_ptr<WimImage>>(&object); image && (*image)->file.get() == &file)
            images.push_back(*image);
    return images;
}

DWORD RegisterCallback(WimHandle wim, WIMMessageCallback callback, void* user_data) {
    if (!callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_CALLBACK_VALUE;
    }
    std::shared_ptr<WimFile> file;
    if (wim && !(file = FileOf(wim))) return INVALID_CALLBACK_VALUE;
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    std::vector<RegisteredCallback>& list = file ? file->callbacks : table.global_callbacks;
    list.push_back({callback, user_data});
    return static_cast<DWORD>(list.size() - 1);
}

bool UnregisterCallback(WimHandle wim, WIMMessageCallback callback) {
    std::shared_ptr<WimFile> file;
    if (wim && !(file = FileOf(wim))) return false;
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    std::vector<RegisteredCallback>& list = file ? file->callbacks : table.global_callbacks;
    const std::size_t before = list.size();
    // A null callback unregisters every callback of the handle.
    std::erase_if(list, [&](const RegisteredCallback& entry) { return !callback || entry.callback == callback; });
    if (list.size() == before && callback) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    return true;
}

DWORD CallbackCount(WimHandle wim) {
    std::shared_ptr<WimFile> file;
    if (wim && !(file = FileOf(wim))) return 0;
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    return static_cast<DWORD>(file ? file->callbacks.size() : table.global_callbacks.size());
}

std::vector<RegisteredCallback> CallbacksFor(const WimFile* first, const WimFile* second) {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    std::vector<RegisteredCallback> callbacks;
    AddUnique(callbacks, table.global_callbacks);
    if (first) AddUnique(callbacks, first->callbacks);
    if (second) AddUnique(callbacks, second->callbacks);
    return callbacks;
}

bool CommitWimFile(WimFile& file, MessageRelay& relay) {
    if (file.is_new) {
        // A new file that never received an image is not written at all.
        if (file.image_count() == 0) return true;
        if (!WriteNewFile(file, relay)) return false;
    } else if (file.dirty) {
        const WimlibCalls& lib = *Wimlib();
        lib.register_progress_function(file.wim, &MessageRelay::Progress, &relay);
        const int error = lib.overwrite(file.wim, WriteFlags(file), 0);
        lib.register_progress_function(file.wim, nullptr, nullptr);
        if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error, &relay);
    }
    file.dirty = false;
    return true;
}

bool FailWimlib(int error, const MessageRelay* relay) {
    DWORD code = WindowsErrorOf(error);
    if (relay && relay->aborted()) code = ERROR_REQUEST_ABORTED;
    if (code == ERROR_SUCCESS) code = ERROR_INVALID_FUNCTION;
    LogText(WimlibErrorText(error));
    SetLastError(code);
    return false;
}

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

void SetLogFile(const std::string& path) {
    HandleTable& table = Table();
    std::lock_guard guard(table.mutex);
    table.log_file = path;
}

void LogText(const std::string& text) {
    HandleTable& table = Table();
    std::string path;
    {
        std::lock_guard guard(table.mutex);
        path = table.log_file;
    }
    if (path.empty()) return;
    std::ofstream log(path, std::ios::app);
    log << "[WIM] " << text << "\n";
}

}  // namespace platform::wim
