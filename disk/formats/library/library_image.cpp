#include "disk/formats/library/library_image.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/copy/ordered_transform.h"
#include "disk/copy/reader_child.h"
#include "disk/formats/imagecheck/named_file.h"
#include "platform/os/file_facts.h"

namespace disk {

namespace {

// A chain longer than this is a loop of images naming each other.
constexpr int kMostParents = 32;
// The unit pieces of a read start at: a multiple of every library's own
// (VHD blocks, qcow clusters, VMDK grains are no larger that matters).
constexpr std::size_t kPieceAlignment = 1 << 20;

}  // namespace

LibraryImage::LibraryImage(const LibraryImageKind& kind, const std::string& path, bool check_files)
    : kind_(kind) {
    std::vector<platform::FileFacts> seen;
    std::string current = path;
    std::string stored_name;
    for (int depth = 0;; ++depth) {
        auto facts = platform::FileFactsOf(current);
        if (depth > 0) {
            const bool loops = facts && std::any_of(seen.begin(), seen.end(),
                                                    [&](const auto& other) { return other.same_file(*facts); });
            if (current.empty() || !facts || loops || depth > kMostParents)
                throw std::runtime_error(kind_.parent_missing + stored_name);
        }
        if (facts) seen.push_back(*facts);
        files_.push_back(current);
        if (check_files && kind_.check_file)
            for (auto& extent : kind_.check_file(current)) files_.push_back(std::move(extent));
        auto image = kind_.load();
        if (image->Open(current, 1) != 0) {
            if (depth > 0) throw std::runtime_error(kind_.parent_missing + stored_name);
            throw std::runtime_error(kind_.open_failed + image->error());
        }
        if (kind_.check) kind_.check(*image, current);
        if (depth > 0 && !chain_.back()->SetParent(*image))
            throw std::runtime_error(kind_.open_failed + chain_.back()->error());
        chain_.push_back(std::move(image));
        stored_name = chain_.back()->ParentFileName();
        if (stored_name.empty()) break;
        // A name written on another system is looked for beside the image;
        // nothing outside the image's folder, and no device, is read.
        current = FindNamedFile(current, stored_name, "parent", StoredName::LastComponentBeside).value_or("");
    }
    media_size_ = chain_.front()->GetMediaSize();
    if (media_size_ <= 0) throw std::runtime_error(kind_.media_size_failed);
}

LibraryImage::~LibraryImage() {
    // A child reads through its parents until it is closed.
    while (!chain_.empty()) chain_.erase(chain_.begin());
}

void LibraryImage::read_at(std::int64_t offset, std::span<std::byte> buffer) {
    ImageLibraryFile& image = *chain_.front();
    while (!buffer.empty()) {
        const std::int64_t got = image.ReadBufferAtOffset(buffer.data(), buffer.size(), offset);
        if (got < 0) throw CopyFormatError(kind_.read_failed + image.error());
        if (got == 0)
            throw CopyFormatError(kind_.read_failed + "the image ended at " + std::to_string(offset) + " of " +
                                  std::to_string(media_size_) + " bytes");
        buffer = buffer.subspan(static_cast<std::size_t>(got));
        offset += got;
    }
}

std::unique_ptr<ParallelSource> OpenLibraryImage(const LibraryImageKind& kind, const std::string& path,
                                                 unsigned readers, const ReaderWait& waiting) {
    readers = TransformThreads(readers, 4);
    std::vector<std::unique_ptr<RangeReader>> opened;
    std::int64_t size = 0;
    std::vector<std::string> files;
    const std::string program = ImageReaderProgram();
    for (unsigned i = 0; i < readers; ++i) {
        // One check of the files is enough for all the readers.
        if (!program.empty()) {
            auto reader = std::make_unique<ReaderChild>(program, kind.name, path, i == 0,
                                                        ReaderTexts{kind.open_failed, kind.read_failed}, waiting);
            if (i > 0 && reader->media_size() != size)
                throw std::runtime_error(kind.open_failed + "the image readers disagree on the size of " + path);
            size = reader->media_size();
            if (i == 0) files = reader->facts();
            opened.push_back(std::move(reader));
            continue;
        }
        auto image = std::make_unique<LibraryImage>(kind, path, i == 0);
        size = image->media_size();
        if (i == 0) files = image->files();
        opened.push_back(std::move(image));
    }
    auto source = std::make_unique<ParallelSource>(std::move(opened), size, kPieceAlignment);
    source->set_files(std::move(files));
    return source;
}

int ServeImageReads(const LibraryImageKind& kind, const std::string& path, bool check, const std::string& shared_name) {
    std::unique_ptr<LibraryImage> image;
    return ServeReads(shared_name, [&] {
        image = std::make_unique<LibraryImage>(kind, path, check);
        return ServedImage{image->media_size(), image->files(), image.get(), nullptr};
    });
}

}  // namespace disk
