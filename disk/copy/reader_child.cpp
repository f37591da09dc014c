#include "disk/copy/reader_child.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "disk/copy/copy_loop.h"
#include "platform/base/byte_order.h"
#include "platform/base/win_error.h"
#include "platform/os/system.h"

namespace disk {

namespace {

using platform::BytesOf;

// What passes between the program and a reader child; all fields
// little-endian. The child starts with a Hello (then `text_length` bytes:
// its facts, a line each, or why it could not open the image); each
// Request is answered by a Reply: the data is then at the start of the
// memory the two share, or `text_length` bytes of text follow (a read's
// failure, or a question's answer). The data goes through shared memory,
// not the pipe: a pipe's copies and trips between the processes halved a
// conversion's speed.
#pragma pack(push, 1)
struct ReaderHello {
    platform::le64 status;  // 0: open
    platform::le64 media_size;
    platform::le32 text_length;
};
struct ReaderRequest {
    platform::le64 offset;  // of a read; the question's number with a length of kQuestion
    platform::le64 length;  // 0: the end
};
struct ReaderReply {
    platform::le64 status;  // 0: the data follows (or the answer, to a question)
    platform::le32 text_length;
};
#pragma pack(pop)
static_assert(sizeof(ReaderHello) == 20);
static_assert(sizeof(ReaderRequest) == 16);
static_assert(sizeof(ReaderReply) == 12);

constexpr std::uint64_t kMostRequest = kMostReaderRequest;
constexpr std::uint64_t kQuestion = ~std::uint64_t{0};
constexpr std::uint32_t kMostText = 1u << 20;

std::mutex program_mutex;
std::string& ProgramSlot() {
    static std::string program;
    return program;
}

bool SendText(const std::string& text) { return platform::WriteStandardOutput(std::as_bytes(std::span(text))); }

bool SendReply(std::uint64_t status, std::string text) {
    text.resize(std::min<std::size_t>(text.size(), kMostText));
    ReaderReply reply{};
    reply.status.set(status);
    reply.text_length.set(static_cast<std::uint32_t>(text.size()));
    return platform::WriteStandardOutput(BytesOf(reply)) && SendText(text);
}

// The link to a child of ours: its standard input and output.
class ChannelLink : public ReaderLink {
public:
    explicit ChannelLink(const std::vector<std::string>& argv) : channel_(argv) {}
    bool started() const { return channel_.started(); }
    bool send(std::span<const std::byte> bytes) override { return channel_.send(bytes); }
    bool receive(std::span<std::byte> bytes, const ReaderWait& waiting) override {
        return channel_.receive(bytes, waiting);
    }
    bool gave_up() const override { return channel_.gave_up(); }
    std::string ending() override { return channel_.ending(); }

private:
    platform::ChildChannel channel_;
};

platform::SharedMemory Shared() {
    platform::SharedMemory memory = platform::SharedMemory::Create(kMostRequest);
    if (!memory)
        throw std::runtime_error("no memory to share with the image reader: " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    return memory;
}

}  // namespace

void SetImageReaderProgram(const std::string& program) {
    std::lock_guard lock(program_mutex);
    ProgramSlot() = program;
}

std::string ImageReaderProgram() {
    bool set = false;
    const std::string named = platform::GetEnvironmentVariableA("TARNOVELL_IMAGE_READER", set);
    if (set) return named == "-" ? "" : named;
    std::lock_guard lock(program_mutex);
    return ProgramSlot();
}

std::string JoinItems(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) {
        text += item.substr(0, item.find('\0'));
        text += '\0';
    }
    return text;
}

std::vector<std::string> SplitItems(const std::string& text) {
    if (!text.empty() && text.back() != '\0') throw CopyFormatError("the image reader sent a list that does not end");
    std::vector<std::string> items;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        items.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return items;
}

ReaderChild::ReaderChild(const std::string& program, const std::string& kind, const std::string& path, bool check,
                         ReaderTexts texts, const ReaderWait& waiting)
    : path_(path), texts_(std::move(texts)), shared_(Shared()) {
    auto channel = std::make_unique<ChannelLink>(
        std::vector<std::string>{program, kImageReaderSwitch, kind, path, check ? "check" : "trusted", shared_.name()});
    if (!channel->started())
        throw std::runtime_error("the image reader " + program + " cannot be started: " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    link_ = std::move(channel);
    hello(waiting);
}

ReaderChild::ReaderChild(std::unique_ptr<ReaderLink> link, platform::SharedMemory shared, const std::string& path,
                         ReaderTexts texts, const ReaderWait& waiting)
    : path_(path), texts_(std::move(texts)), shared_(std::move(shared)), link_(std::move(link)) {
    if (shared_.bytes().size() < kMostRequest) throw std::invalid_argument("the reader's memory is too small");
    hello(waiting);
}

void ReaderChild::hello(const ReaderWait& waiting) {
    ReaderHello hello{};
    std::string text;
    if (!link_->receive(BytesOf(hello), waiting) || !receive_text(hello.text_length.value(), text, waiting)) {
        if (link_->gave_up()) throw CopyCancelled();
        throw std::runtime_error(texts_.open_failed + "the image library ended while opening " + path_ + " (" +
                                 link_->ending() + ")");
    }
    if (hello.status.value() != 0) throw std::runtime_error(text);
    // A size of 2^63 or more would be a negative one here.
    const std::uint64_t size = hello.media_size.value();
    if (size == 0 || size > static_cast<std::uint64_t>(INT64_MAX))
        throw std::runtime_error(texts_.open_failed + "the image reader told a disk of " + std::to_string(size) +
                                 " bytes for " + path_ + ", which no image holds");
    media_size_ = static_cast<std::int64_t>(size);
    try {
        facts_ = SplitItems(text);
    } catch (const CopyFormatError& e) {
        throw std::runtime_error(texts_.open_failed + e.what());
    }
}

ReaderChild::~ReaderChild() {
    ReaderRequest end{};
    link_->send(BytesOf(end));
}

void ReaderChild::read_at(std::int64_t offset, std::span<std::byte> buffer) {
    while (!buffer.empty()) {
        const std::size_t piece = std::min<std::size_t>(buffer.size(), kMostRequest);
        ReaderRequest request{};
        request.offset.set(static_cast<std::uint64_t>(offset));
        request.length.set(piece);
        ReaderReply reply{};
        const std::string doing = "reading " + path_ + " at " + std::to_string(offset);
        if (!link_->send(BytesOf(request)) || !link_->receive(BytesOf(reply), {})) lost(doing);
        if (reply.status.value() != 0) {
            std::string text;
            if (!receive_text(reply.text_length.value(), text)) lost(doing);
            throw CopyFormatError(text.empty() ? texts_.read_failed + "the image reader gave no reason" : text);
        }
        std::memcpy(buffer.data(), shared_.bytes().data(), piece);
        buffer = buffer.subspan(piece);
        offset += static_cast<std::int64_t>(piece);
    }
}

std::vector<std::string> ReaderChild::ask(std::uint64_t question) {
    ReaderRequest request{};
    request.offset.set(question);
    request.length.set(kQuestion);
    ReaderReply reply{};
    std::string text;
    const std::string doing = "answering about " + path_;
    if (!link_->send(BytesOf(request)) || !link_->receive(BytesOf(reply), {}) ||
        !receive_text(reply.text_length.value(), text))
        lost(doing);
    if (reply.status.value() != 0) throw std::runtime_error(text);
    return SplitItems(text);
}

bool ReaderChild::receive_text(std::uint32_t length, std::string& text, const ReaderWait& waiting) {
    if (length > kMostText) return false;
    text.assign(length, '\0');
    return link_->receive(std::as_writable_bytes(std::span(text)), waiting);
}

void ReaderChild::lost(const std::string& doing) {
    throw CopyFormatError(texts_.read_failed + "the image library ended while " + doing + " (" + link_->ending() +
                          "): the image is damaged in a way our check of it does not see");
}

int ServeReads(const std::string& shared_name, const std::function<ServedImage()>& open_image) {
    ServedImage image;
    ReaderHello hello{};
    std::string text;
    platform::SharedMemory shared = platform::SharedMemory::Open(shared_name, kMostRequest);
    try {
        if (!shared)
            throw std::runtime_error("the image reader cannot open the memory it shares: " +
                                     platform::SysErrorMessage(platform::GetLastError()));
        image = open_image();
        hello.media_size.set(static_cast<std::uint64_t>(image.media_size));
        text = JoinItems(image.facts);
    } catch (const std::exception& e) {
        hello.status.set(1);
        text = e.what();
    }
    text.resize(std::min<std::size_t>(text.size(), kMostText));
    hello.text_length.set(static_cast<std::uint32_t>(text.size()));
    if (!platform::WriteStandardOutput(BytesOf(hello)) || !SendText(text) || !image.reader) return 1;

    for (;;) {
        ReaderRequest request{};
        if (!platform::ReadStandardInput(BytesOf(request))) return 0;
        const std::uint64_t length = request.length.value();
        if (length == 0) return 0;
        if (length == kQuestion) {
            std::string answer;
            std::uint64_t status = 0;
            try {
                answer = image.answer ? JoinItems(image.answer(request.offset.value())) : "";
            } catch (const std::exception& e) {
                status = 1;
                answer = e.what();
            }
            if (!SendReply(status, answer)) return 1;
            continue;
        }
        std::string failure;
        if (length > kMostRequest) {
            failure = "a read of " + std::to_string(length) + " bytes is more than is ever asked";
        } else {
            try {
                image.reader->read_at(static_cast<std::int64_t>(request.offset.value()),
                                      shared.bytes().first(static_cast<std::size_t>(length)));
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        if (!SendReply(failure.empty() ? 0 : 1, failure)) return 1;
    }
}

}  // namespace disk
