// What a file to be restored holds, told by its first and last bytes.
#include <cstddef>
#include <cstdint>

#include "disk/engines/stored_format.h"
#include "fuzz/memory_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::MemorySource stored(data, size);
    (void)disk::ContainerName(disk::StoredFormatOf(stored));
    return 0;
}
