// One MFT record as it comes off the disk: update-sequence fixups, the
// attribute walk and the mapping pairs of every non-resident attribute.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/device/filesystems/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace ntfs = platform::device::ntfs;
    std::vector<std::uint8_t> record(data, data + size);
    // Fixups need whole 512-byte blocks; a record of another length is parsed as it is.
    if (record.size() % 512 == 0 && !record.empty()) ntfs::ApplyFixups(record);
    auto parsed = ntfs::ParseMftRecord(record);
    if (!parsed) return 0;
    for (const auto& attribute : parsed->attributes) {
        if (!attribute.non_resident) continue;
        std::vector<ntfs::Run> runs;
        ntfs::DecodeRuns(attribute.value, attribute.lowest_vcn, std::uint64_t{1} << 40, runs);
    }
    return 0;
}
