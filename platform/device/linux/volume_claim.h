// A claim on a volume of the Linux host: its lock unmounts every mount of
// the volume and then holds the device exclusively; letting go puts the
// mounts back as they were, flags and options included.
#pragma once

#include <string>
#include <vector>

#include "platform/device/host/host.h"
#include "platform/device/linux/held_devices.h"
#include "platform/os/temp_folder.h"

namespace platform::device {

// One mount taken away, with what it takes to make it again.
struct SavedMount {
    std::string source, target, fstype, root;
    unsigned long mount_flags = 0;  // MS_* of this mount (rw/ro, nosuid, atime, ...)
    unsigned long super_flags = 0;  // MS_* of the file system itself
    std::string data;               // the file system's options that are not flags
};

class LinuxVolumeClaim : public VolumeClaim {
public:
    // `device` is the volume's kernel device; "" for a volume without one.
    explicit LinuxVolumeClaim(std::string device) : device_(device), exclusive_(std::move(device)) {}
    ~LinuxVolumeClaim() override;

    // Sole use from the start: nobody else may hold the device exclusively
    // or have it mounted.
    bool take_exclusive();

    bool lock() override;
    bool unlock() override;
    bool dismount() override;
    bool locked() const override { return locked_; }
    bool dismounted() const override { return dismounted_; }

private:
    bool release();

    std::string device_;
    kernel::ExclusiveHold exclusive_;
    bool held_by_claim_ = false;  // the hold belongs to an exclusive claim, not to the lock
    bool locked_ = false;
    bool dismounted_ = false;
    std::vector<SavedMount> unmounted_;  // in the order they were mounted
};

// The whole file system of a volume in a scratch folder of our own, for as
// long as the object lives: for a volume whose mounts all show a folder
// inside it (bind mounts), or one that nobody has mounted. A mount still
// busy when the object goes is left to the kernel to drop once its last
// user has gone.
class PrivateMount {
public:
    PrivateMount() = default;
    ~PrivateMount();
    PrivateMount(const PrivateMount&) = delete;
    PrivateMount& operator=(const PrivateMount&) = delete;

    // `device` is mounted elsewhere: its file system (the same one, not a
    // second instance of it) is shown once more, whole, read-only unless
    // `writable`. False with the last error set.
    bool show_again(const std::string& device, bool writable);
    // `device` holds a file system nobody has mounted: mounted read-only,
    // its type found by mount(8). False with the last error set and
    // reason() saying what mount(8) said.
    bool mount_read_only(const std::string& device);
    // The same, mounted for writing.
    bool mount_writable(const std::string& device);
    // Unmounts now; false (ERROR_BUSY) while the file system is in use, and
    // the mount stays.
    bool unmount();

    const std::string& path() const { return folder_.path(); }
    const std::string& reason() const { return reason_; }

private:
    bool mount_first_that_works(const std::string& device, const std::vector<std::vector<std::string>>& ways);

    ScratchFolder folder_;
    bool mounted_ = false;
    std::string reason_;
};

}  // namespace platform::device
