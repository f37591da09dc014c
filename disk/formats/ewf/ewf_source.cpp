#include "disk/formats/ewf/ewf_source.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "disk/copy/copy_loop.h"

namespace disk {

namespace {

// Pieces of a read start at chunk boundaries: EWF chunks are 32 KiB unless
// the image says otherwise, and a multiple of that in any image we meet.
constexpr std::size_t kPieceAlignment = 1 << 20;

class EwfReader : public RangeReader {
public:
    explicit EwfReader(const std::string& path) {
        if (image_.Open(path, TLibEWF::kRead) != 0) throw std::runtime_error("libewf_open failed: " + image_.error());
        if (image_.SegmentFilesCorrupted())
            throw std::runtime_error("EWF image incomplete: a segment file of " + path + " is missing or damaged");
        media_size_ = image_.GetMediaSize();
        if (media_size_ <= 0) throw std::runtime_error("mediasize =0");
    }

    std::int64_t media_size() const { return media_size_; }
    TLibEWF& image() { return image_; }

    void read_at(std::int64_t offset, std::span<std::byte> buffer) override {
        while (!buffer.empty()) {
            const std::int64_t got = image_.ReadBufferAtOffset(buffer.data(), buffer.size(), offset);
            if (got < 0) throw CopyFormatError("libewf_handle_read_random failed: " + image_.error());
            if (got == 0)
                throw CopyFormatError("libewf_handle_read_random failed: the image ended at " + std::to_string(offset));
            buffer = buffer.subspan(static_cast<std::size_t>(got));
            offset += got;
        }
    }

private:
    TLibEWF image_;
    std::int64_t media_size_ = 0;
};

}  // namespace

std::unique_ptr<ParallelSource> OpenEwfSource(const std::string& path, unsigned readers) {
    // Inflating is the work here: a reader for each core.
    if (readers == 0) readers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::unique_ptr<RangeReader>> opened;
    std::int64_t size = 0;
    for (unsigned i = 0; i < readers; ++i) {
        auto reader = std::make_unique<EwfReader>(path);
        size = reader->media_size();
        opened.push_back(std::move(reader));
    }
    return std::make_unique<ParallelSource>(std::move(opened), size, kPieceAlignment);
}

std::vector<TLibEWF::SectorRun> EwfChecksumErrors(ParallelSource& source) {
    std::vector<TLibEWF::SectorRun> runs;
    source.for_each_reader([&](RangeReader& reader) {
        for (const auto& run : static_cast<EwfReader&>(reader).image().ChecksumErrors()) runs.push_back(run);
    });
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return runs;
}

std::string ChecksumErrorText(const std::vector<TLibEWF::SectorRun>& runs) {
    std::string text = "checksum errors in the EWF image, sectors:";
    for (const auto& run : runs)
        text += " " + std::to_string(run.start) + "-" + std::to_string(run.start + run.count - 1);
    return text;
}

}  // namespace disk
