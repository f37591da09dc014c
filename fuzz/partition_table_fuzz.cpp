// MBR, EBR chains and GPT as a disk presents them, and the table writer
// working over them: the layout as read, written back, reads as the same
// partitions; a new empty table reads as one without any.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_disk.h"
#include "platform/device/records/layout_writer.h"

namespace {

namespace dev = platform::device;

void CheckRewrite(const fuzz::FuzzDisk& disk, const dev::DiskLayout& layout) {
    if (layout.style == platform::PARTITION_STYLE_RAW) return;
    std::vector<platform::PARTITION_INFORMATION_EX> entries;
    for (const auto& e : layout.entries) entries.push_back(dev::PartitionEntryOf(e));
    const dev::LayoutPlan plan =
        dev::PlanDriveLayout(disk.reader(), disk.size, disk.sector_size, dev::DriveLayoutHeaderOf(layout), entries);
    if (!plan.ok()) return;  // a table the writer will not write again is refused, not mangled
    const dev::DiskLayout again =
        dev::ReadDiskLayout(dev::OverlayReader(disk.reader(), plan.writes), disk.size, disk.sector_size);
    const auto before = layout.volumes();
    const auto after = again.volumes();
    if (again.style != layout.style || before.size() != after.size()) __builtin_trap();
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i].start != after[i].start || before[i].length != after[i].length) __builtin_trap();
}

void CheckCreate(const fuzz::FuzzDisk& disk, std::uint32_t style) {
    platform::CREATE_DISK request{};
    request.PartitionStyle = style;
    const dev::LayoutPlan plan = dev::PlanCreateDisk(disk.reader(), disk.size, disk.sector_size, request);
    if (!plan.ok()) return;
    const dev::DiskLayout fresh =
        dev::ReadDiskLayout(dev::OverlayReader(disk.reader(), plan.writes), disk.size, disk.sector_size);
    if (fresh.style != style || !fresh.volumes().empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzDisk disk;
    if (!fuzz::FuzzDisk::From(data, size, disk)) return 0;
    auto layout = platform::device::ReadDiskLayout(disk.reader(), disk.size, disk.sector_size);
    // Whatever was believed must lie inside the disk.
    for (const auto& entry : layout.volumes())
        if (entry.start < 0 || entry.length < 0) __builtin_trap();
    CheckRewrite(disk, layout);
    CheckCreate(disk, data[size - 1] % 3);
    return 0;
}
