#include "main/operations/gpt_entries.h"

#include "disk/device/handle_ops.h"
#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/records/partition_table.h"

namespace tarnovell {

bool ReadGptEntries(const std::string& path, std::vector<std::string>& lines, const disk::OperationContext& context) {
    using namespace platform;
    Handle handle = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!handle) return false;
    std::int64_t size = 0;
    if (device::IsDevicePath(path))
        size = device::IsWholeDiskPath(path) ? disk::GetDiskLength(handle) : disk::GetPartitionLength(handle);
    else
        GetFileSizeEx(handle, &size);
    const std::uint32_t sector_size = handle.sector_size();
    auto read = ReaderOfHandle(handle);

    std::vector<std::uint8_t> first(sector_size);
    if (!read(0, first.data(), first.size())) {
        context.ui().inform("readfile error:" + SysErrorMessage(GetLastError()), kLibraryErrorCaption);
        return false;
    }
    const device::DiskLayout layout = device::ReadDiskLayout(read, size, sector_size);
    if (layout.style != PARTITION_STYLE_GPT) return false;

    const std::size_t before = lines.size();
    for (const device::PartitionRecord& entry : layout.entries) {
        if (entry.is_empty()) continue;
        lines.push_back("Type:" + device::GuidToString(entry.type_guid));
        lines.push_back("ID:" + device::GuidToString(entry.partition_id));
        lines.push_back("Start:" + std::to_string(entry.start));
        lines.push_back("End:" + std::to_string(entry.start + entry.length - sector_size));
        lines.push_back("Total bytes:" + std::to_string(entry.length));
        lines.push_back("Label:" + Utf16ToUtf8(entry.name));
        lines.push_back("");
    }
    return lines.size() > before;
}

}  // namespace tarnovell
