// A set of volume handles held open, locked and dismounted, so that the
// volumes of a disk stay out of the way while the disk is written. The hold
// of a destination disk (disk/copy/destination_hold.h) keeps one for the
// length of its operation.
#pragma once

#include <string>
#include <vector>

#include "platform/device/handle.h"

namespace disk {

class VolumeLockSet {
public:
    // Locks and dismounts every volume of the disk at `disk_path` on a fixed
    // or removable drive. Handles held from an earlier call are closed first,
    // which releases their locks. False (with the last error of the first
    // failure) when a volume could not be opened, locked or dismounted: it
    // is still in use, and writing the disk would write under it. The
    // volumes that did lock stay locked.
    bool lock_volumes_of(const std::string& disk_path);
    // Unlocks every handle; the handles stay open and stay in the set.
    void unlock_all();
    // Closes every handle (releasing locks) and empties the set.
    void release();

    std::size_t size() const { return handles_.size(); }

private:
    std::vector<platform::Handle> handles_;
};

}  // namespace disk
