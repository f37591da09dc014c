#include "disk/bindings/liblz4.h"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

namespace disk {

namespace {

std::mutex load_mutex;
// The one library reference the slots point into. It is never closed: the
// slots stay valid for the life of the process.
void* loaded_library = nullptr;

template <typename Fn>
bool Bind(void* library, std::atomic<Fn>& slot, const char* name) {
    if (slot.load()) return true;
    void* symbol = ::dlsym(library, name);
    if (!symbol) return false;
    slot.store(reinterpret_cast<Fn>(symbol));
    return true;
}

}  // namespace

Lz4Binding& lz4() {
    static Lz4Binding binding;
    return binding;
}

void LoadLZ4From(const char* library) {
    std::lock_guard guard(load_mutex);
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error("loadlibrary failed");
    Lz4Binding& slots = lz4();
    bool bound = Bind(handle, slots.LZ4_compress_default, "LZ4_compress_default") &&
                 Bind(handle, slots.LZ4_decompress_safe, "LZ4_decompress_safe") &&
                 Bind(handle, slots.LZ4_compressBound, "LZ4_compressBound") &&
                 Bind(handle, slots.LZ4_compress_HC, "LZ4_compress_HC");
    if (loaded_library) {
        // Already held once; this reference would only raise the count.
        ::dlclose(handle);
    } else {
        loaded_library = handle;
    }
    if (!bound) throw std::runtime_error("loadlibrary failed");
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
