#include "platform/device/linux/volume_claim.h"

#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/device/linux/mount_table.h"
#include "platform/os/child_process.h"
#include "platform/os/temp_folder.h"

namespace platform::device {

using namespace kernel;

namespace {

constexpr unsigned long kPerMountFlags = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME |
                                         MS_RELATIME | MS_STRICTATIME | MS_NOSYMFOLLOW;

SavedMount SaveMount(const MountEntry& m) {
    static const std::map<std::string, unsigned long> mount_flags = {
        {"ro", MS_RDONLY},         {"nosuid", MS_NOSUID},           {"nodev", MS_NODEV},
        {"noexec", MS_NOEXEC},     {"noatime", MS_NOATIME},         {"nodiratime", MS_NODIRATIME},
        {"relatime", MS_RELATIME}, {"strictatime", MS_STRICTATIME}, {"nosymfollow", MS_NOSYMFOLLOW},
    };
    static const std::map<std::string, unsigned long> super_flags = {
        {"ro", MS_RDONLY}, {"sync", MS_SYNCHRONOUS}, {"dirsync", MS_DIRSYNC}, {"lazytime", MS_LAZYTIME},
        {"mand", MS_MANDLOCK},
    };
    SavedMount saved;
    saved.source = m.source;
    saved.target = m.target;
    saved.fstype = m.fstype;
    saved.root = m.root;
    for (const auto& option : SplitOn(m.mount_options, ','))
        if (auto it = mount_flags.find(option); it != mount_flags.end()) saved.mount_flags |= it->second;
    // mountinfo names no atime option for strictatime, and mount(2) would
    // make that relatime.
    if (!(saved.mount_flags & (MS_NOATIME | MS_RELATIME))) saved.mount_flags |= MS_STRICTATIME;
    std::string data;
    for (const auto& option : SplitOn(m.super_options, ',')) {
        if (option.empty() || option == "rw") continue;
        if (auto it = super_flags.find(option); it != super_flags.end()) {
            saved.super_flags |= it->second;
            continue;
        }
        if (!data.empty()) data += ',';
        data += option;
    }
    saved.data = data;
    return saved;
}

// Runs mount(8) for file systems that live in a user-space daemon (FUSE),
// which mount(2) alone cannot bring back.
bool MountWithHelper(const SavedMount& m, const std::string& source, const std::string& target) {
    std::vector<std::string> args = {"mount"};
    std::string type = m.fstype;
    if (auto dot = type.find('.'); dot != std::string::npos) type = type.substr(dot + 1);
    else type.clear();  // plain "fuseblk": let mount(8) find the driver
    if (!type.empty()) args.insert(args.end(), {"-t", type});
    std::string options = (m.super_flags & MS_RDONLY) ? "ro" : "rw";
    if (!m.data.empty()) options += "," + m.data;
    args.insert(args.end(), {"-o", options, source, target});
    return RunChild(args).succeeded();
}

// Mounts the whole file system at `target` as it was (its own flags and
// options); the mount's own flags come after, from ApplyMountFlags. Asking
// for a read-only mount here would make the file system read-only, or fail
// while it is still mounted writable elsewhere.
bool MountWhole(const SavedMount& m, const std::string& device, const std::string& target) {
    // The recorded source when it still names the device, else the device.
    std::string source = device;
    if (!m.source.empty() && m.source[0] == '/') {
        auto a = DevNumberOfNode(m.source), b = DevNumberOfNode(device);
        if (a && b && *a == *b) source = m.source;
    }
    const unsigned long flags = m.super_flags | (m.mount_flags & ~MS_RDONLY);
    const char* data = m.data.empty() ? nullptr : m.data.c_str();
    if (::mount(source.c_str(), target.c_str(), m.fstype.c_str(), flags, data) == 0) return true;
    int err = errno;
    // Options the file system shows but does not take back come last.
    if (data && ::mount(source.c_str(), target.c_str(), m.fstype.c_str(), flags, nullptr) == 0) return true;
    if (StartsWith(m.fstype, "fuse") && MountWithHelper(m, source, target)) return true;
    errno = err;
    return false;
}

// Gives a mount made at `m.target` the per-mount flags `m` had. A mount that
// was read-only and cannot be made so again is taken away rather than left
// writable.
bool ApplyMountFlags(const SavedMount& m) {
    if (::mount(nullptr, m.target.c_str(), nullptr, MS_REMOUNT | MS_BIND | (m.mount_flags & kPerMountFlags),
                nullptr) == 0)
        return true;
    if (!(m.mount_flags & MS_RDONLY)) return true;  // the folder is back, which matters more
    int err = errno;
    ::umount2(m.target.c_str(), UMOUNT_NOFOLLOW);
    errno = err;
    return false;
}

// Puts the mounts back in the order they were made. A mount of a folder
// inside the file system (a bind mount) is made from a mount of all of it:
// one put back before, or else a temporary one.
bool RestoreMounts(const std::vector<SavedMount>& mounts, const std::string& device) {
    bool all = true;
    int first_error = 0;
    std::vector<const SavedMount*> whole;
    for (const auto& m : mounts) {
        bool ok = false;
        if (m.root == "/") {
            ok = MountWhole(m, device, m.target) && ApplyMountFlags(m);
            if (ok) whole.push_back(&m);
        } else if (!whole.empty()) {
            ok = ::mount((whole.front()->target + m.root).c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                 ApplyMountFlags(m);
        } else {
            // The folder goes once the whole file system is off it again.
            if (ScratchFolder folder = ScratchFolder::Create("tarnovell-remount-")) {
                if (MountWhole(m, device, folder.path())) {
                    ok = ::mount((folder.path() + m.root).c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                         ApplyMountFlags(m);
                    int err = errno;
                    ::umount2(folder.path().c_str(), MNT_DETACH);
                    errno = err;
                }
            }
        }
        if (!ok) {
            if (!first_error) first_error = errno ? errno : EIO;
            all = false;
        }
    }
    if (!all) SetLastErrorFromErrno(first_error);
    return all;
}

// Unmounts every mount of `device`, innermost (most recent) first, adding
// what it unmounted to `saved` in mount order. On failure it puts back what
// it unmounted, sets the last error and returns false.
bool UnmountAll(const std::string& device, std::vector<SavedMount>& saved) {
    std::vector<MountEntry> mounts = MountsOf(device);
    std::vector<SavedMount> done;  // in unmount order
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        if (::umount2(it->target.c_str(), UMOUNT_NOFOLLOW) != 0) {
            int err = errno;
            std::reverse(done.begin(), done.end());
            RestoreMounts(done, device);
            SetLastError(err == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
            return false;
        }
        done.push_back(SaveMount(*it));
    }
    std::reverse(done.begin(), done.end());
    saved.insert(saved.end(), done.begin(), done.end());
    return true;
}

}  // namespace

LinuxVolumeClaim::~LinuxVolumeClaim() {
    if (!locked_ && !dismounted_) return;
    // Closing a handle must not change the error its caller reads next.
    DWORD error = GetLastError();
    release();
    SetLastError(error);
}

bool LinuxVolumeClaim::take_exclusive() {
    if (device_.empty()) return true;
    return exclusive_.take();
}

bool LinuxVolumeClaim::lock() {
    if (locked_) return true;
    if (device_.empty()) {
        locked_ = true;
        return true;
    }
    if (exclusive_.held()) {  // an exclusive claim: nothing can be mounted, we already hold it
        held_by_claim_ = true;
        locked_ = true;
        return true;
    }
    const std::size_t before = unmounted_.size();
    if (!UnmountAll(device_, unmounted_)) return false;
    if (!exclusive_.take()) {
        DWORD error = GetLastError();
        std::vector<SavedMount> mine(unmounted_.begin() + static_cast<std::ptrdiff_t>(before), unmounted_.end());
        unmounted_.resize(before);
        RestoreMounts(mine, device_);
        SetLastError(error == ERROR_SHARING_VIOLATION ? ERROR_ACCESS_DENIED : error);
        return false;
    }
    locked_ = true;
    return true;
}

bool LinuxVolumeClaim::unlock() {
    if (!locked_) {
        SetLastError(ERROR_NOT_LOCKED_VOLUME);
        return false;
    }
    return release();
}

bool LinuxVolumeClaim::dismount() {
    if (!device_.empty() && !UnmountAll(device_, unmounted_)) return false;
    dismounted_ = true;
    return true;
}

bool LinuxVolumeClaim::release() {
    if (!held_by_claim_) exclusive_.release();
    held_by_claim_ = false;
    locked_ = false;
    dismounted_ = false;
    std::vector<SavedMount> mounts = std::move(unmounted_);
    unmounted_.clear();
    return RestoreMounts(mounts, device_);
}

// ---- a private view ------------------------------------------------------------

PrivateMount::~PrivateMount() {
    if (!mounted_) return;
    const DWORD error = GetLastError();
    if (::umount2(folder_.path().c_str(), UMOUNT_NOFOLLOW) != 0) ::umount2(folder_.path().c_str(), MNT_DETACH);
    SetLastError(error);
}

bool PrivateMount::unmount() {
    if (!mounted_) return true;
    if (::umount2(folder_.path().c_str(), UMOUNT_NOFOLLOW) != 0) {
        SetLastError(errno == EBUSY ? ERROR_BUSY : ErrorFromErrno(errno));
        return false;
    }
    mounted_ = false;
    return true;
}

bool PrivateMount::show_again(const std::string& device, bool writable) {
    const auto mounts = MountsOf(device);
    if (mounts.empty()) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    if (!(folder_ = ScratchFolder::Create("tarnovell-view-"))) return false;
    SavedMount view = SaveMount(mounts.front());
    view.target = folder_.path();
    view.mount_flags = writable ? view.mount_flags & ~MS_RDONLY : view.mount_flags | MS_RDONLY;
    if (!MountWhole(view, device, view.target)) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    mounted_ = true;
    // The view's own flags: read-only here, whatever the other mounts are.
    // One that cannot be made so is taken away again.
    if (!ApplyMountFlags(view)) {
        mounted_ = false;
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool PrivateMount::mount_read_only(const std::string& device) {
    // mount(8) finds the type; an ext3 or ext4 whose journal wants replaying
    // (a byte copy of a mounted one) is read without it, as a read-only
    // device cannot replay it; where the kernel has no exFAT driver, the
    // FUSE one reads it.
    return mount_first_that_works(device, {{"-o", "ro"}, {"-o", "ro,noload"}, {"-o", "ro", "-t", "exfat-fuse"}});
}

bool PrivateMount::mount_writable(const std::string& device) {
    return mount_first_that_works(device, {{"-o", "rw"}});
}

bool PrivateMount::mount_first_that_works(const std::string& device,
                                          const std::vector<std::vector<std::string>>& ways) {
    if (mounted_) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    if (!folder_ && !(folder_ = ScratchFolder::Create("tarnovell-view-"))) return false;
    reason_.clear();
    for (const std::vector<std::string>& way : ways) {
        std::vector<std::string> args = {"mount"};
        args.insert(args.end(), way.begin(), way.end());
        args.insert(args.end(), {device, folder_.path()});
        const ChildResult result = RunChild(args);
        if (result.succeeded()) {
            mounted_ = true;
            reason_.clear();
            return true;
        }
        // The first way's complaint is the one that tells: the others are
        // only tried in case.
        if (reason_.empty()) reason_ = result.started ? result.reason() : SysErrorMessage(GetLastError());
    }
    SetLastError(ERROR_UNRECOGNIZED_VOLUME);
    return false;
}

}  // namespace platform::device
