// Tells when disks and volumes come and go: a kernel uevent listener on the
// Linux host, a watch on the manifest's folder on the embedded host. On a
// change the registry is rebuilt; the letters that appeared or vanished are
// reported, the way Windows reports a volume's arrival and removal, and a
// change of the disks that moves no letter (a blank disk, or one of file
// systems nobody knows, in another's place or number) is reported apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::device {

class DeviceMonitor {
public:
    // Called on the monitor's own thread when volumes arrive or are removed:
    // arrival or removal, and the drive letters concerned as a unit mask
    // (bit 0 = A:). Nothing else that changes is reported.
    using Callback = std::function<void(bool arrival, std::uint32_t unit_mask)>;
    // Called on the monitor's own thread when the disks or their volumes
    // changed and no letter came or went: what a list shows is out of date,
    // though no volume arrived or left.
    using DisksChanged = std::function<void()>;

    explicit DeviceMonitor(Callback callback, DisksChanged disks_changed = {});
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // False when no event source could be opened (the list then refreshes
    // only when asked).
    bool watching() const;

    // Waits until every monitor of the process has taken in each change
    // made before the call (and made its calls for them), or `timeout` has
    // passed; false on the time-out. What a caller posts from its callback
    // to another thread is still to be delivered there.
    static bool SettleAll(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // The thread and its event sources; named here so that the list of
    // running monitors can hold them.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::device
