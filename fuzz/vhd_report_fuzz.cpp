// The VHD information report over a footer and the header after it, as a
// file of any content gives them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/formats/vhd/vhd_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    const std::size_t footer = bytes.size() < 512 ? bytes.size() : 512;
    (void)disk::VhdReportText(bytes.first(footer), bytes.subspan(footer));
    (void)disk::VhdReportHelper(bytes);
    return 0;
}
