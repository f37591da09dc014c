#include "disk/formats/library/library_image.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/formats/imagecheck/named_file.h"
#include "platform/base/byte_order.h"
#include "platform/base/win_error.h"
#include "platform/os/child_channel.h"
#include "platform/os/file_facts.h"
#include "platform/os/system.h"

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
        if (kind_.check) kind_.check(*image);
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

namespace {

// What passes between the program and an image reader child; all fields
// little-endian. The child starts with a Hello (then `text_length` bytes:
// the files it reads, one a line, or why it could not open the image);
// each Request is answered by a Reply: the data is then at the start of
// the memory the two share, or `text_length` bytes of the read's failure
// follow. The data goes through shared memory, not the pipe: a pipe's
// copies and trips between the processes halved a conversion's speed.
#pragma pack(push, 1)
struct ReaderHello {
    platform::le64 status;  // 0: open
    platform::le64 media_size;
    platform::le32 text_length;
};
struct ReaderRequest {
    platform::le64 offset;
    platform::le64 length;  // 0: the end
};
struct ReaderReply {
    platform::le64 status;  // 0: the data follows
    platform::le32 text_length;
};
#pragma pack(pop)
static_assert(sizeof(ReaderHello) == 20);
static_assert(sizeof(ReaderRequest) == 16);
static_assert(sizeof(ReaderReply) == 12);

// The most one request asks for, and the memory each reader shares.
constexpr std::uint64_t kMostRequest = 8u << 20;
constexpr std::uint32_t kMostText = 1u << 20;

std::mutex reader_program_mutex;
std::string& ReaderProgramSlot() {
    static std::string program;
    return program;
}

using platform::BytesOf;

bool SendText(const std::string& text) { return platform::WriteStandardOutput(std::as_bytes(std::span(text))); }

// One reader: a child process that holds the image open in the library.
class IsolatedReader : public RangeReader {
public:
    IsolatedReader(const LibraryImageKind& kind, const std::string& program, const std::string& path, bool check)
        : kind_(kind), path_(path), shared_(Shared()),
          channel_({program, kImageReaderSwitch, kind.name, path, check ? "check" : "trusted", shared_.name()}) {
        if (!channel_.started())
            throw std::runtime_error("the image reader " + program + " cannot be started: " +
                                     platform::SysErrorMessage(platform::GetLastError()));
        ReaderHello hello{};
        std::string text;
        if (!channel_.receive(BytesOf(hello)) || !receive_text(hello.text_length.value(), text))
            throw std::runtime_error(kind_.open_failed + "the image library ended while opening " + path_ + " (" +
                                     channel_.ending() + ")");
        if (hello.status.value() != 0) throw std::runtime_error(text);
        media_size_ = static_cast<std::int64_t>(hello.media_size.value());
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            files_.push_back(text.substr(at, end - at));
            at = end + 1;
        }
    }
    ~IsolatedReader() override {
        ReaderRequest end{};
        channel_.send(BytesOf(end));
    }

    std::int64_t media_size() const { return media_size_; }
    const std::vector<std::string>& files() const { return files_; }

    void read_at(std::int64_t offset, std::span<std::byte> buffer) override {
        while (!buffer.empty()) {
            const std::size_t piece = std::min<std::size_t>(buffer.size(), kMostRequest);
            ReaderRequest request{};
            request.offset.set(static_cast<std::uint64_t>(offset));
            request.length.set(piece);
            ReaderReply reply{};
            if (!channel_.send(BytesOf(request)) || !channel_.receive(BytesOf(reply))) lost(offset);
            if (reply.status.value() != 0) {
                std::string text;
                if (!receive_text(reply.text_length.value(), text)) lost(offset);
                throw CopyFormatError(text);
            }
            std::memcpy(buffer.data(), shared_.bytes().data(), piece);
            buffer = buffer.subspan(piece);
            offset += static_cast<std::int64_t>(piece);
        }
    }

private:
    static platform::SharedMemory Shared() {
        platform::SharedMemory memory = platform::SharedMemory::Create(kMostRequest);
        if (!memory)
            throw std::runtime_error("no memory to share with the image reader: " +
                                     platform::SysErrorMessage(platform::GetLastError()));
        return memory;
    }
    bool receive_text(std::uint32_t length, std::string& text) {
        if (length > kMostText) return false;
        text.assign(length, '\0');
        return channel_.receive(std::as_writable_bytes(std::span(text)));
    }
    [[noreturn]] void lost(std::int64_t offset) {
        throw CopyFormatError(kind_.read_failed + "the image library ended while reading " + path_ + " at " +
                              std::to_string(offset) + " (" + channel_.ending() +
                              "): the image is damaged in a way our check of it does not see");
    }

    const LibraryImageKind& kind_;
    std::string path_;
    platform::SharedMemory shared_;  // before the channel: the child opens it as it starts
    platform::ChildChannel channel_;
    std::int64_t media_size_ = 0;
    std::vector<std::string> files_;
};

}  // namespace

void SetImageReaderProgram(const std::string& program) {
    std::lock_guard lock(reader_program_mutex);
    ReaderProgramSlot() = program;
}

std::string ImageReaderProgram() {
    bool set = false;
    const std::string named = platform::GetEnvironmentVariableA("TARNOVELL_IMAGE_READER", set);
    if (set) return named == "-" ? "" : named;
    std::lock_guard lock(reader_program_mutex);
    return ReaderProgramSlot();
}

std::unique_ptr<ParallelSource> OpenLibraryImage(const LibraryImageKind& kind, const std::string& path,
                                                 unsigned readers) {
    if (readers == 0) readers = std::clamp(std::thread::hardware_concurrency() / 2, 1u, 4u);
    std::vector<std::unique_ptr<RangeReader>> opened;
    std::int64_t size = 0;
    std::vector<std::string> files;
    const std::string program = ImageReaderProgram();
    for (unsigned i = 0; i < readers; ++i) {
        // One check of the files is enough for all the readers.
        if (!program.empty()) {
            auto reader = std::make_unique<IsolatedReader>(kind, program, path, i == 0);
            size = reader->media_size();
            if (i == 0) files = reader->files();
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
    ReaderHello hello{};
    std::string text;
    platform::SharedMemory shared = platform::SharedMemory::Open(shared_name, kMostRequest);
    try {
        if (!shared)
            throw std::runtime_error("the image reader cannot open the memory it shares: " +
                                     platform::SysErrorMessage(platform::GetLastError()));
        image = std::make_unique<LibraryImage>(kind, path, check);
        hello.media_size.set(static_cast<std::uint64_t>(image->media_size()));
        for (const auto& file : image->files()) text += (text.empty() ? "" : "\n") + file;
    } catch (const std::exception& e) {
        hello.status.set(1);
        text = e.what();
    }
    text.resize(std::min<std::size_t>(text.size(), kMostText));
    hello.text_length.set(static_cast<std::uint32_t>(text.size()));
    if (!platform::WriteStandardOutput(BytesOf(hello)) || !SendText(text) || !image) return 1;

    for (;;) {
        ReaderRequest request{};
        if (!platform::ReadStandardInput(BytesOf(request))) return 0;
        const std::uint64_t length = request.length.value();
        if (length == 0) return 0;
        ReaderReply reply{};
        std::string failure;
        if (length > kMostRequest) {
            failure = kind.read_failed + "a read of " + std::to_string(length) + " bytes is more than is ever asked";
        } else {
            try {
                image->read_at(static_cast<std::int64_t>(request.offset.value()),
                               shared.bytes().first(static_cast<std::size_t>(length)));
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        if (!failure.empty()) {
            failure.resize(std::min<std::size_t>(failure.size(), kMostText));
            reply.status.set(1);
            reply.text_length.set(static_cast<std::uint32_t>(failure.size()));
            if (!platform::WriteStandardOutput(BytesOf(reply)) || !SendText(failure)) return 1;
            continue;
        }
        if (!platform::WriteStandardOutput(BytesOf(reply))) return 1;
    }
}

}  // namespace disk
