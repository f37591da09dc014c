#include "platform/wim/mount.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/wide_text.h"
#include "platform/device/linux/mount_table.h"
#include "platform/os/child_process.h"
#include "platform/wim/handles.h"
#include "platform/wim/library.h"

namespace platform::wim {

namespace {

constexpr const char* kHelper = "wimlib-imagex";
constexpr const char* kWimFsType = "fuse.wimfs";

struct MountRecord {
    std::string wim_path;
    std::string folder;  // canonical
    DWORD index = 0;
    bool read_write = false;
};

struct MountTable {
    std::mutex mutex;
    std::vector<MountRecord> mounts;
};

MountTable& Mounts() {
    static MountTable table;
    return table;
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : canonical.string();
}

// The folders where a wimlib image file system is mounted now.
std::vector<std::string> WimFsMountFolders() {
    std::vector<std::string> folders;
    for (const device::kernel::MountEntry& mount : device::kernel::ReadMountInfo())
        if (mount.fstype == kWimFsType) folders.push_back(mount.target);
    return folders;
}

bool IsWimFsMount(const std::string& folder) {
    const std::vector<std::string> folders = WimFsMountFolders();
    return std::find(folders.begin(), folders.end(), folder) != folders.end();
}

// The helper's directory search: PATH, then the usual places.
std::string HelperPath() {
    std::string found = FindOnPath(kHelper);
    for (const char* folder : {"/usr/bin", "/usr/local/bin", "/bin"})
        if (found.empty()) found = FindOnPath(std::string(folder) + "/" + kHelper);
    return found;
}

// Runs the helper and waits for it (a mount returns once the file system is
// up, leaving its daemon behind). What it printed goes to the log file.
bool RunHelper(const std::vector<std::string>& arguments) {
    const std::string helper = HelperPath();
    if (helper.empty()) {
        LogText(std::string(kHelper) + " is not installed; images cannot be mounted");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    std::vector<std::string> argv{helper};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess child(argv);
    if (!child) return false;
    const ChildResult result = child.wait();
    if (result.succeeded()) return true;
    if (const std::string printed = result.output + result.error; !printed.empty()) LogText(printed);
    return Fail(ERROR_OPEN_FAILED);
}

// The checks a helper's exit status cannot tell apart, made first.
bool CheckMountRequest(const std::string& folder, const std::string& wim_path, DWORD index) {
    std::error_code ec;
    if (folder.empty() || wim_path.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (!std::filesystem::is_directory(folder, ec)) return Fail(ERROR_PATH_NOT_FOUND);
    if (!std::filesystem::is_regular_file(wim_path, ec)) return Fail(ERROR_FILE_NOT_FOUND);
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        LogText("no FUSE (/dev/fuse): images cannot be mounted");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (IsWimFsMount(folder)) return Fail(ERROR_ALREADY_EXISTS);
    const WimlibCalls* lib = Wimlib();
    if (!lib) return Fail(ERROR_MOD_NOT_FOUND);
    WIMStruct* wim = nullptr;
    if (int error = lib->open_wim(wim_path.c_str(), 0, &wim)) return FailWimlib(error);
    wimlib_wim_info info{};
    lib->get_wim_info(wim, &info);
    lib->free(wim);
    if (index < 1 || index > info.image_count) return Fail(ERROR_INVALID_PARAMETER);
    return true;
}

bool Mount(const std::string& given_folder, const std::string& wim_path, DWORD index, const std::string& staging) {
    const std::string folder = Canonical(given_folder);
    if (!CheckMountRequest(folder, wim_path, index)) return false;
    const bool read_write = !staging.empty();
    std::vector<std::string> arguments{read_write ? "mountrw" : "mount", wim_path, std::to_string(index), folder};
    if (read_write) arguments.push_back("--staging-dir=" + staging);
    if (!RunHelper(arguments)) return false;
    MountTable& table = Mounts();
    std::lock_guard guard(table.mutex);
    table.mounts.push_back({Canonical(wim_path), folder, index, read_write});
    return true;
}

bool Unmount(const std::string& given_folder, bool commit) {
    const std::string folder = Canonical(given_folder);
    if (folder.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsWimFsMount(folder)) return Fail(ERROR_NOT_FOUND);
    std::vector<std::string> arguments{"unmount", folder};
    if (commit) arguments.push_back("--commit");
    if (!RunHelper(arguments)) return false;
    // The helper returns once the image's server has agreed to go; the
    // server takes its file system down as it ends, a moment later. Until
    // then whatever looks into the folder reaches a server that is going
    // (and fails with "connection aborted"): the unmount is done when the
    // file system is gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (IsWimFsMount(folder) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    MountTable& table = Mounts();
    std::lock_guard guard(table.mutex);
    std::erase_if(table.mounts, [&](const MountRecord& record) { return record.folder == folder; });
    return true;
}

// What is mounted now: our own mounts with their WIM and image, and any
// other image file system with what can be known of it.
std::vector<MountRecord> CurrentMounts() {
    const std::vector<std::string> folders = WimFsMountFolders();
    MountTable& table = Mounts();
    std::lock_guard guard(table.mutex);
    std::erase_if(table.mounts, [&](const MountRecord& record) {
        return std::find(folders.begin(), folders.end(), record.folder) == folders.end();
    });
    std::vector<MountRecord> current = table.mounts;
    for (const std::string& folder : folders)
        if (std::none_of(current.begin(), current.end(), [&](const MountRecord& r) { return r.folder == folder; }))
            current.push_back({"", folder, 0, false});
    return current;
}

void CopyWide(char16_t* into, std::size_t capacity, const std::string& text) {
    const std::u16string wide = Utf8ToUtf16(text);
    const std::size_t count = std::min(wide.size(), capacity - 1);
    std::copy_n(wide.begin(), count, into);
    into[count] = u'\0';
}

template <typename Entry, typename Fill>
bool CopyMounts(const std::vector<MountRecord>& mounts, void* buffer, DWORD length, DWORD* needed, Fill fill) {
    const DWORD bytes = static_cast<DWORD>(mounts.size() * sizeof(Entry));
    if (needed) *needed = bytes;
    if (!mounts.empty() && (!buffer || length < bytes)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* entries = static_cast<Entry*>(buffer);
    for (std::size_t i = 0; i < mounts.size(); ++i) {
        std::memset(&entries[i], 0, sizeof(Entry));
        CopyWide(entries[i].WimPath, std::size(entries[i].WimPath), mounts[i].wim_path);
        CopyWide(entries[i].MountPath, std::size(entries[i].MountPath), mounts[i].folder);
        entries[i].ImageIndex = mounts[i].index;
        fill(entries[i], mounts[i]);
    }
    return true;
}

}  // namespace

BOOL WIMMountImage(const char16_t* mount_path, const char16_t* wim_file, DWORD image_index, const char16_t* temp_path) {
    return Mount(Utf16ToUtf8(mount_path), Utf16ToUtf8(wim_file), image_index, Utf16ToUtf8(temp_path)) ? 1 : 0;
}

BOOL WIMMountImageHandle(WimHandle image_handle, const char16_t* mount_path, DWORD mount_flags) {
    std::shared_ptr<WimImage> image = ImageOf(image_handle);
    if (!image) return 0;
    if (image->file->is_new) return Fail(ERROR_INVALID_PARAMETER);
    const bool read_only = (mount_flags & WIM_FLAG_MOUNT_READONLY) != 0;
    if (!read_only && !image->file->writable()) return Fail(ERROR_ACCESS_DENIED);
    const std::string folder = Utf16ToUtf8(mount_path);
    if (!Mount(folder, image->file->path, static_cast<DWORD>(image->index),
               read_only ? std::string() : image->file->temporary_path))
        return 0;
    image->mount_folder = folder;
    return 1;
}

BOOL WIMUnmountImage(const char16_t* mount_path, const char16_t* /*wim_file*/, DWORD /*image_index*/,
                     BOOL commit_changes) {
    return Unmount(Utf16ToUtf8(mount_path), commit_changes != 0) ? 1 : 0;
}

BOOL WIMUnmountImageHandle(WimHandle image_handle, DWORD /*unmount_flags*/) {
    std::shared_ptr<WimImage> image = ImageOf(image_handle);
    if (!image) return 0;
    if (image->mount_folder.empty()) return Fail(ERROR_NOT_FOUND);
    if (!Unmount(image->mount_folder, false)) return 0;
    image->mount_folder.clear();
    return 1;
}

BOOL WIMGetMountedImages(WIM_MOUNT_LIST* mount_list, DWORD* mount_list_length) {
    if (!mount_list_length) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD length = *mount_list_length;
    return CopyMounts<WIM_MOUNT_LIST>(CurrentMounts(), mount_list, length, mount_list_length,
                                      [](WIM_MOUNT_LIST& entry, const MountRecord& record) {
                                          entry.MountedForRW = record.read_write ? 1 : 0;
                                      })
               ? 1
               : 0;
}

BOOL WIMGetMountedImageInfo(int info_level, DWORD* image_count, void* mount_info, DWORD mount_info_length,
                            DWORD* return_length) {
    if (!image_count) return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<MountRecord> mounts = CurrentMounts();
    *image_count = static_cast<DWORD>(mounts.size());
    if (info_level == 0)
        return CopyMounts<WIM_MOUNT_LIST>(mounts, mount_info, mount_info_length, return_length,
                                          [](WIM_MOUNT_LIST& entry, const MountRecord& record) {
                                              entry.MountedForRW = record.read_write ? 1 : 0;
                                          })
                   ? 1
                   : 0;
    if (info_level == 1)
        return CopyMounts<WIM_MOUNT_INFO_LEVEL1>(
                   mounts, mount_info, mount_info_length, return_length,
                   [](WIM_MOUNT_INFO_LEVEL1& entry, const MountRecord& record) {
                       entry.MountFlags = WIM_MOUNT_FLAG_MOUNTED | (record.read_write ? DWORD{WIM_MOUNT_FLAG_READWRITE} : DWORD{0});
                   })
                   ? 1
                   : 0;
    return Fail(ERROR_INVALID_PARAMETER);
}

}  // namespace platform::wim
