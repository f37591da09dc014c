#include "platform/device/volume_node.h"

#include "platform/device/registry.h"
#include "platform/device/records/winioctl.h"

namespace platform::device {

namespace {

using Failure = VolumeNode::Failure;

bool Fail(VolumeNode& node, Failure failure, DWORD code, std::string& problem, std::string text) {
    node = VolumeNode{};
    node.failure = failure;
    return FailWithProblem(code, problem, std::move(text));
}

}  // namespace

bool OpenVolumeNode(const VolumeInfo& volume, bool for_writing, VolumeNode& node, std::string& problem) {
    node = VolumeNode{};
    Registry& registry = Registry::instance();
    auto snap = registry.snapshot();
    const DiskInfo* disk = snap->disk(volume.disk);
    if (!disk) return Fail(node, Failure::Disk, ERROR_DEV_NOT_EXIST, problem, "the volume's disk is gone");
    if (for_writing) {
        auto lock = std::make_unique<Handle>(CreateFile(volume.guid_path, GENERIC_READ | GENERIC_WRITE,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
        DWORD returned = 0;
        if (!lock->valid() || !DeviceIoControl(*lock, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned)) {
            const DWORD error = GetLastError();
            return Fail(node, Failure::Lock, error, problem,
                        "the volume could not be locked: " + SysErrorMessage(error));
        }
        node.volume_lock = std::move(lock);
        if (!registry.write_allowed(volume.disk, volume.start, volume.length))
            return Fail(node, Failure::InUse, ERROR_ACCESS_DENIED, problem, "the volume is in use");
    }
    const BackingLocation backing = registry.host().volume_backing(*disk, volume);
    auto loop = std::make_unique<LoopDevice>();
    if (!loop->attach(backing.path, backing.offset, volume.length, !for_writing)) {
        const DWORD error = GetLastError();
        return Fail(node, Failure::Loop, error, problem,
                    "no loop device could show the volume: " + SysErrorMessage(error));
    }
    node.path = loop->path();
    node.loop = std::move(loop);
    return true;
}

}  // namespace platform::device
