// A VHD file as our own VHD code opens it: the footer, the dynamic header
// and the block allocation table, then reads and a write through the table.
// The input is the whole file; a fixed image's data reads as it is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/virtdisk/vhd/vhd_image.h"

namespace {

// One scratch file for the run, rewritten with each input and removed at exit.
class ScratchFile {
public:
    ScratchFile() {
        std::random_device random;
        path_ = (std::filesystem::temp_directory_path() /
                 ("tarnovell-vhd-fuzz-" + std::to_string(random()) + std::to_string(random()) + ".vhd"))
                    .string();
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string& ScratchPath() {
    static const ScratchFile file;
    return file.path();
}

std::uint64_t Choice(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8 && at + i < size; ++i) value |= static_cast<std::uint64_t>(data[at + i]) << (8 * i);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    using platform::virtdisk::VhdImage;
    std::unique_ptr<VhdImage> image;
    if (VhdImage::Open(ScratchPath(), false, image) != platform::ERROR_SUCCESS) return 0;
    const std::int64_t disk = image->size();
    if (disk <= 0) return 0;
    // Reads at the start, the end and two places the input chooses, each
    // crossing into the next block where it can.
    std::vector<std::uint8_t> buffer(65536);
    const std::int64_t places[] = {0, disk - 512, static_cast<std::int64_t>(Choice(data, size, 0) % disk),
                                   static_cast<std::int64_t>(Choice(data, size, 8) % disk)};
    for (std::int64_t at : places) {
        if (at < 0) continue;
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), disk - at));
        image->read(at, buffer.data(), length);
    }
    image->close();
    image.reset();

    // A write allocates a block through the same table and grows the file.
    if (VhdImage::Open(ScratchPath(), true, image) != platform::ERROR_SUCCESS) return 0;
    const std::int64_t at = static_cast<std::int64_t>(Choice(data, size, 16) % disk) & ~std::int64_t{511};
    const std::vector<std::uint8_t> sector(static_cast<std::size_t>(std::min<std::int64_t>(512, disk - at)), 0xA5);
    image->write(at, sector.data(), sector.size());
    image->close();
    return 0;
}
