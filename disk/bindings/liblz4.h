// The LZ4 block library, bound at run time as the program has always bound
// its compression library: the system's liblz4 is opened through the one
// library binder and the four entry points we use are looked up by name.
// Nothing links against it, so the program starts (and everything but LZ4
// images works) without it.
#pragma once

#include <atomic>

namespace disk {

// The C signatures of the four entry points.
using LZ4_compress_default_fn = int (*)(const char* source, char* dest, int source_size, int max_dest_size);
using LZ4_decompress_safe_fn = int (*)(const char* source, char* dest, int compressed_size, int max_decompressed_size);
using LZ4_compressBound_fn = int (*)(int input_size);
using LZ4_compress_HC_fn = int (*)(const char* source, char* dest, int source_size, int max_dest_size,
                                   int compression_level);

// The process-wide entry-point slots. Each is filled once and never emptied.
struct Lz4Binding {
    std::atomic<LZ4_compress_default_fn> LZ4_compress_default{nullptr};
    std::atomic<LZ4_decompress_safe_fn> LZ4_decompress_safe{nullptr};
    std::atomic<LZ4_compressBound_fn> LZ4_compressBound{nullptr};
    std::atomic<LZ4_compress_HC_fn> LZ4_compress_HC{nullptr};  // bound for completeness, not called
};

Lz4Binding& lz4();

// Loads liblz4.so.1 and fills every slot that is still empty. Raises
// std::runtime_error("loadlibrary failed") when the library cannot be loaded
// or lacks one of the entry points.
void LoadLZ4();
// The same with another library name; lets a test see the failure.
void LoadLZ4From(const char* library);

// The slots as plain calls; LoadLZ4 must have succeeded.
int Lz4CompressDefault(const char* source, char* dest, int source_size, int max_dest_size);
int Lz4DecompressSafe(const char* source, char* dest, int compressed_size, int max_decompressed_size);
int Lz4CompressBound(int input_size);

}  // namespace disk
