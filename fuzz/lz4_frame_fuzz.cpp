// An LZ4 image file read back through the restore's source, and measured
// as a restore does before it writes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/bindings/liblz4.h"
#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_loop.h"
#include "disk/formats/lz4/lz4_frame.h"
#include "fuzz/memory_source.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    disk::LoadLZ4();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::MemorySource stored(data, size);
    disk::Lz4FrameSource source(stored, static_cast<std::int64_t>(size));
    if (!source.has_magic()) return 0;
    static disk::AlignedBuffer buffer(512 * 1024);
    std::int64_t offset = 0;
    try {
        // Reads of a whole block, which may take the block's own buffer, in
        // turn with reads of other sizes.
        for (int blocks = 0; blocks < 64; ++blocks) {
            const std::size_t asked = blocks % 3 == 2 ? 1000 : buffer.size();
            const std::size_t done =
                blocks % 2 ? source.read(offset, buffer.first(asked)) : source.read_into(offset, buffer, asked);
            if (done == 0) break;
            offset += static_cast<std::int64_t>(done);
        }
    } catch (const disk::MediumError&) {
        // The stored bytes in memory are never refused; nothing to see here.
    } catch (const disk::CopyFormatError&) {
        // A malformed frame is reported, which is what we want of it.
    }
    // The restore's check of a whole image before it writes.
    try {
        int asked = 0;
        std::size_t largest = 0;
        disk::Lz4UnpackedSize(stored, static_cast<std::int64_t>(size), [&] { return asked++ < 8; }, &largest);
    } catch (const disk::CopyFormatError&) {
    }
    return 0;
}
