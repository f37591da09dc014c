#include "disk/bindings/liblz4.h"

#include <mutex>
#include <stdexcept>

#include "platform/os/shared_library.h"

namespace disk {

Lz4Binding& lz4() {
    static Lz4Binding binding;
    return binding;
}

void LoadLZ4From(const char* library) {
    static std::mutex load_mutex;
    // The library the slots point into. It is never closed: workers may
    // read the slots until the process ends.
    static platform::SharedLibrary& held = *new platform::SharedLibrary;
    std::lock_guard guard(load_mutex);
    Lz4Binding& slots = lz4();
    platform::SharedLibrary loaded = platform::LoadSharedLibrary(library,
        {
            {slots.LZ4_compress_default, "LZ4_compress_default"},
            {slots.LZ4_decompress_safe, "LZ4_decompress_safe"},
            {slots.LZ4_compressBound, "LZ4_compressBound"},
            {slots.LZ4_compress_HC, "LZ4_compress_HC"},
        },
        "loadlibrary failed");
    // Once held, a further load only raised the loader's count.
    if (!held) held = std::move(loaded);
}

void LoadLZ4() { LoadLZ4From("liblz4.so.1"); }

int Lz4CompressDefault(const char* source, char* dest, int source_size, int max_dest_size) {
    return lz4().LZ4_compress_default.load()(source, dest, source_size, max_dest_size);
}

int Lz4DecompressSafe(const char* source, char* dest, int compressed_size, int max_decompressed_size) {
    return lz4().LZ4_decompress_safe.load()(source, dest, compressed_size, max_decompressed_size);
}

int Lz4CompressBound(int input_size) { return lz4().LZ4_compressBound.load()(input_size); }

}  // namespace disk
