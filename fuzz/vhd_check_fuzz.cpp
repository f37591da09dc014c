// A VHD or VHDX image file: our check, and when it accepts the file,
// libvhdi opening and reading it.
//
// A VHDX keeps its tables a MiB and more into the file, past what a fuzz
// input holds, so the input lays the file out from pieces: each piece is a
// 32-bit little-endian sector number, a 16-bit little-endian length and
// that many bytes; the file ends where its last piece ends (at most 64 MiB
// in), and is zeros between the pieces.
#include <cstring>
#include <map>

#include "disk/bindings/libvhdi.h"
#include "disk/formats/imagecheck/vhd_check.h"
#include "fuzz/image_library_fuzz.h"

namespace {

fuzz::RemoveAtExit remove_at_exit{"tarnovell-vhdi-fuzz-"};
constexpr std::uint64_t kMostFile = 64ULL << 20;

// The file the pieces lay out, read as a source without making its zeros.
class PiecesSource : public disk::CopySource {
public:
    PiecesSource(const std::uint8_t* data, std::size_t size) {
        std::size_t at = 0;
        while (at + 6 <= size) {
            const std::uint64_t offset = std::uint64_t{platform::LoadLe32(data + at)} * 512;
            const std::size_t length = std::min<std::size_t>(platform::LoadLe16(data + at + 4), size - at - 6);
            at += 6;
            if (offset + length > kMostFile) break;
            pieces_[offset].assign(data + at, data + at + length);
            size_ = std::max(size_, offset + length);
            at += length;
        }
    }
    std::int64_t size() override { return static_cast<std::int64_t>(size_); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        const auto from = static_cast<std::uint64_t>(offset);
        if (from >= size_) return 0;
        const auto done = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size_ - from));
        std::memset(buffer.data(), 0, done);
        for (const auto& [start, bytes] : pieces_) {
            const std::uint64_t end = start + bytes.size();
            if (bytes.empty() || end <= from || start >= from + done) continue;
            const std::uint64_t lo = std::max(start, from), hi = std::min(end, from + done);
            std::memcpy(buffer.data() + (lo - from), bytes.data() + (lo - start), hi - lo);
        }
        return done;
    }
    void write(const std::string& path) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const auto& [start, bytes] : pieces_) {
            out.seekp(static_cast<std::streamoff>(start));
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
    }

private:
    std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;  // later pieces over earlier ones at one start
    std::uint64_t size_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PiecesSource source(data, size);
    try {
        const disk::ImageBytes bytes(source, "image");
        if (disk::LooksLikeVhdx(bytes))
            disk::CheckVhdxImage(bytes);
        else
            disk::CheckVhdImage(bytes);
    } catch (const disk::ImageCheckError&) {
        return 0;
    }
    static disk::TLibvhdi library;
    const std::string path = fuzz::ScratchFolder(remove_at_exit.prefix) + "/image.vhdx";
    source.write(path);
    if (library.Open(path, 1) == 0) {
        fuzz::ReadThrough(library);
        library.Close();
    }
    return 0;
}
