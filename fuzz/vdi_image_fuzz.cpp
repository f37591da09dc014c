// A VDI image file read through our reader: its header and block map
// checked, then the disk read through them at its start and its end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/copy/copy_loop.h"
#include "disk/formats/vdi/vdi_image.h"
#include "fuzz/memory_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::byte> buffer(1 << 20);
    try {
        disk::VdiImage image(std::make_unique<fuzz::MemorySource>(data, size), static_cast<std::int64_t>(size));
        std::int64_t offset = 0;
        for (int reads = 0; reads < 4; ++reads) {
            const std::size_t done = image.read(offset, buffer);
            if (done == 0) break;
            offset += static_cast<std::int64_t>(done);
        }
        image.read(std::max<std::int64_t>(0, image.size() - 4096), buffer);
    } catch (const disk::CopyFormatError&) {
        // An image we cannot read is refused with a reason, which is what we want of it.
    }
    return 0;
}
