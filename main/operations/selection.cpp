#include "main/operations/selection.h"

#include "disk/device/device_query.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/os/temp_folder.h"

namespace tarnovell {

std::string PathOfRow(const disk::DiskListRow& row) {
    const std::string path = row.is_disk() ? platform::device::PhysicalDrivePath(row.data)
                                           : disk::DevicePathOf("\\\\.\\" + row.description);
    if (row.identity) {
        platform::device::DeviceIdentity chosen = *row.identity;
        chosen.path = path;
        platform::device::Registry::instance().choose(chosen);
    }
    return path;
}

SelectionResult PathOfSelection(const std::optional<disk::DiskListRow>& row, const SelectionRule& rule) {
    if (!row) return {false, {}, rule.no_row};
    if (rule.need == RowNeed::Disk && !row->is_disk())
        return {false, {}, rule.wrong_kind.empty() ? kHasToBeDisk : rule.wrong_kind};
    if (rule.need == RowNeed::Partition && row->is_disk())
        return {false, {}, rule.wrong_kind.empty() ? kHasToBePart : rule.wrong_kind};
    return {true, PathOfRow(*row), {}};
}

std::string UnitMaskToDriveLetter(std::uint32_t unit_mask) {
    for (int bit = 0; bit < 26; ++bit)
        if (unit_mask & (std::uint32_t{1} << bit)) return std::string(1, static_cast<char>('A' + bit)) + ":";
    return {};
}

std::string DeviceNotice(bool arrival, std::uint32_t unit_mask, const std::string& when) {
    const std::string letter = UnitMaskToDriveLetter(unit_mask);
    return (letter.empty() ? "" : letter + " ") + (arrival ? "device inserted " : "device removed ") + when;
}

std::string GetTempDirectory() {
    std::string folder = platform::TemporaryFolder();
    if (folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace tarnovell
