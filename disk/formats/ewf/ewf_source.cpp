#include "disk/formats/ewf/ewf_source.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/copy/ordered_transform.h"
#include "disk/copy/reader_child.h"
#include "disk/formats/imagecheck/ewf_check.h"
#include "disk/formats/imagecheck/image_bytes.h"

namespace disk {

namespace {

// Pieces of a read start at chunk boundaries: EWF chunks are 32 KiB unless
// the image says otherwise, and a multiple of that in any image we meet.
constexpr std::size_t kPieceAlignment = 1 << 20;

// A reader of the set, in this process or in a child, that can tell the
// sectors whose chunks failed their checksums.
class EwfRangeReader : public RangeReader {
public:
    virtual std::vector<TLibEWF::SectorRun> checksum_errors() = 0;
};

class EwfReader : public EwfRangeReader {
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
    std::vector<TLibEWF::SectorRun> checksum_errors() override { return image_.ChecksumErrors(); }

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


constexpr std::uint64_t kChecksumErrorsQuestion = 1;

std::string HexOf(const std::vector<std::uint8_t>& bytes) { return platform::HexDigest(bytes.data(), bytes.size()); }

std::vector<std::uint8_t> BytesOfHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The value of "name=value" among a child's facts; "" when absent.
std::string Fact(const std::vector<std::string>& facts, const std::string& name) {
    for (const auto& fact : facts)
        if (fact.rfind(name + "=", 0) == 0) return fact.substr(name.size() + 1);
    return "";
}

// A reader of the set in a child of the program (see disk/copy/reader_child.h).
class EwfChildReader : public EwfRangeReader {
public:
    EwfChildReader(const std::string& program, const std::string& path, const ReaderWait& waiting)
        : child_(program, "ewf", path, false, ReaderTexts{"libewf_open failed: ", "libewf_handle_read_random failed: "},
                 waiting) {}

    std::int64_t media_size() const { return child_.media_size(); }
    std::vector<std::uint8_t> stored(const char* hash) const { return BytesOfHex(Fact(child_.facts(), hash)); }
    void read_at(std::int64_t offset, std::span<std::byte> buffer) override { child_.read_at(offset, buffer); }
    std::vector<TLibEWF::SectorRun> checksum_errors() override {
        std::vector<TLibEWF::SectorRun> runs;
        for (const auto& line : child_.ask(kChecksumErrorsQuestion)) {
            TLibEWF::SectorRun run;
            if (std::sscanf(line.c_str(), "%llu %llu", reinterpret_cast<unsigned long long*>(&run.start),
                            reinterpret_cast<unsigned long long*>(&run.count)) == 2)
                runs.push_back(run);
        }
        return runs;
    }

private:
    ReaderChild child_;
};

}  // namespace

std::unique_ptr<EwfSource> OpenEwfSource(const std::string& path, unsigned readers, const ReaderWait& waiting) {
    std::vector<std::string> segments;
    {
        TLibEWF finder;
        segments = finder.SegmentFiles(path);
        if (segments.empty()) segments = finder.SegmentFiles(TLibEWF::WithoutSegmentExtension(path) + ".E01");
    }
    for (std::size_t i = 0; i < segments.size(); ++i)
        CheckImageFile(segments[i], [&](const ImageBytes& file) {
            CheckEwfSegment(file, static_cast<std::uint16_t>(i + 1));
            return NamedFiles{};
        });
    // Inflating is the work here: a reader for each core.
    readers = TransformThreads(readers, 8);
    std::vector<std::unique_ptr<RangeReader>> opened;
    std::int64_t size = 0;
    std::vector<std::uint8_t> md5, sha1;
    const std::string program = ImageReaderProgram();
    for (unsigned i = 0; i < readers; ++i) {
        if (!program.empty()) {
            auto reader = std::make_unique<EwfChildReader>(program, path, waiting);
            if (i > 0 && reader->media_size() != size)
                throw std::runtime_error("libewf_open failed: the image readers disagree on the size of " + path);
            size = reader->media_size();
            if (i == 0) {
                md5 = reader->stored("md5");
                sha1 = reader->stored("sha1");
            }
            opened.push_back(std::move(reader));
            continue;
        }
        auto reader = std::make_unique<EwfReader>(path);
        size = reader->media_size();
        if (i == 0) {
            md5 = reader->image().StoredMd5();
            sha1 = reader->image().StoredSha1();
        }
        opened.push_back(std::move(reader));
    }
    return std::make_unique<EwfSource>(std::make_unique<ParallelSource>(std::move(opened), size, kPieceAlignment),
                                       std::move(segments), std::move(md5), std::move(sha1));
}

EwfSource::EwfSource(std::unique_ptr<ParallelSource> readers, std::vector<std::string> segments,
                     std::vector<std::uint8_t> md5, std::vector<std::uint8_t> sha1)
    : readers_(std::move(readers)),
      segments_(std::move(segments)),
      stored_md5_(std::move(md5)),
      stored_sha1_(std::move(sha1)) {}

std::size_t EwfSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    const std::size_t done = readers_->read(offset, buffer);
    if (hashed_ < 0 || done == 0) return done;
    if (offset != hashed_) {
        hashed_ = -1;  // not a read of the whole set from its start: nothing to compare
        return done;
    }
    if (!stored_md5_.empty()) md5_.Update(buffer.data(), done);
    if (!stored_sha1_.empty()) sha1_.Update(buffer.data(), done);
    hashed_ += static_cast<std::int64_t>(done);
    return done;
}

std::string EwfSource::ChecksumProblem() {
    const auto runs = EwfChecksumErrors(*readers_);
    if (!runs.empty()) return ChecksumErrorText(runs);
    if (hashed_ != readers_->size()) return "";
    std::string text;
    if (!stored_md5_.empty()) {
        const auto& digest = md5_.Final();
        if (!std::equal(digest.begin(), digest.end(), stored_md5_.begin()))
            text += " MD5 stored " + platform::HexDigest(stored_md5_.data(), stored_md5_.size()) + ", read " +
                    platform::HexDigest(digest.data(), digest.size()) + ";";
    }
    if (!stored_sha1_.empty()) {
        const auto digest = sha1_.Final();
        if (!std::equal(digest.begin(), digest.end(), stored_sha1_.begin()))
            text += " SHA1 stored " + platform::HexDigest(stored_sha1_.data(), stored_sha1_.size()) + ", read " +
                    platform::HexDigest(digest.data(), digest.size()) + ";";
    }
    if (text.empty()) return "";
    text.pop_back();
    return "checksum errors in the EWF image, the hash of the disk it stores differs from the data read:" + text;
}

std::vector<TLibEWF::SectorRun> EwfChecksumErrors(ParallelSource& source) {
    std::vector<TLibEWF::SectorRun> runs;
    source.for_each_reader([&](RangeReader& reader) {
        for (const auto& run : static_cast<EwfRangeReader&>(reader).checksum_errors()) runs.push_back(run);
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

int ServeEwfReads(const std::string& path, const std::string& shared_name) {
    std::unique_ptr<EwfReader> reader;
    return ServeReads(shared_name, [&] {
        reader = std::make_unique<EwfReader>(path);
        ServedImage served;
        served.media_size = reader->media_size();
        served.facts = {"md5=" + HexOf(reader->image().StoredMd5()), "sha1=" + HexOf(reader->image().StoredSha1())};
        served.reader = reader.get();
        served.answer = [&](std::uint64_t question) {
            std::vector<std::string> lines;
            if (question != kChecksumErrorsQuestion) throw std::runtime_error("no such question");
            for (const auto& run : reader->checksum_errors())
                lines.push_back(std::to_string(run.start) + " " + std::to_string(run.count));
            return lines;
        };
        return served;
    });
}

}  // namespace disk
