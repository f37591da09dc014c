// Tells when volumes come and go: a kernel uevent listener on the Linux
// host, a watch on the manifest's folder on the embedded host. On a change
// the registry is rebuilt and the letters that appeared or vanished are
// reported, the way Windows reports a volume's arrival and removal.
#pragma once

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

    explicit DeviceMonitor(Callback callback);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // False when no event source could be opened (the list then refreshes
    // only when asked).
    bool watching() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::device
