// What the fuzz targets of the image checks share: a scratch folder where
// an input our check accepted is stored as a file, and the reads that hand
// it to the real library (libqcow, libvmdk, libvhdi, libewf) in this
// process, so that a library fault past our check is found here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "disk/bindings/image_library.h"

namespace fuzz {

// Never destroyed: the folder is removed at exit through RemoveAtExit.
inline const std::string& ScratchFolder(const char* prefix) {
    static const std::string& path = *new std::string([prefix] {
        std::random_device random;
        const auto folder = std::filesystem::temp_directory_path() /
                            (prefix + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(folder);
        return folder.string();
    }());
    return path;
}

struct RemoveAtExit {
    const char* prefix;
    ~RemoveAtExit() {
        std::error_code ignored;
        std::filesystem::remove_all(ScratchFolder(prefix), ignored);
    }
};

inline void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Reads the opened image as a conversion would begin, go on and end: its
// first blocks, its middle and its last bytes.
inline void ReadThrough(disk::ImageLibraryFile& image) {
    static std::vector<std::byte> buffer(1 << 16);
    const std::int64_t size = image.GetMediaSize();
    if (size <= 0) return;
    for (std::int64_t offset : {std::int64_t{0}, std::int64_t{65536}, size / 2, std::max<std::int64_t>(0, size - 4096)}) {
        if (offset >= size) continue;
        const auto length = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, buffer.size()));
        image.ReadBufferAtOffset(buffer.data(), length, offset);
    }
}

}  // namespace fuzz
