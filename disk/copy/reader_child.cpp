#include "disk/copy/reader_child.h"

#include <algorithm>
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

// The most one read asks for, and the memory each reader shares.
constexpr std::uint64_t kMostRequest = 8u << 20;
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

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

ReaderChild::ReaderChild(const std::string& program, const std::string& kind, const std::string& path, bool check,
                         ReaderTexts texts)
    : path_(path),
      texts_(std::move(texts)),
      shared_(Shared()),
      channel_({program, kImageReaderSwitch, kind, path, check ? "check" : "trusted", shared_.name()}) {
    if (!channel_.started())
        throw std::runtime_error("the image reader " + program + " cannot be started: " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    ReaderHello hello{};
    std::string text;
    if (!channel_.receive(BytesOf(hello)) || !receive_text(hello.text_length.value(), text))
        throw std::runtime_error(texts_.open_failed + "the image library ended while opening " + path_ + " (" +
                                 channel_.ending() + ")");
    if (hello.status.value() != 0) throw std::runtime_error(text);
    media_size_ = static_cast<std::int64_t>(hello.media_size.value());
    facts_ = SplitLines(text);
}

ReaderChild::~ReaderChild() {
    ReaderRequest end{};
    channel_.send(BytesOf(end));
}

void ReaderChild::read_at(std::int64_t offset, std::span<std::byte> buffer) {
    while (!buffer.empty()) {
        const std::size_t piece = std::min<std::size_t>(buffer.size(), kMostRequest);
        ReaderRequest request{};
        request.offset.set(static_cast<std::uint64_t>(offset));
        request.length.set(piece);
        ReaderReply reply{};
        const std::string doing = "reading " + path_ + " at " + std::to_string(offset);
        if (!channel_.send(BytesOf(request)) || !channel_.receive(BytesOf(reply))) lost(doing);
        if (reply.status.value() != 0) {
            std::string text;
            if (!receive_text(reply.text_length.value(), text)) lost(doing);
            throw CopyFormatError(text);
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
    if (!channel_.send(BytesOf(request)) || !channel_.receive(BytesOf(reply)) ||
        !receive_text(reply.text_length.value(), text))
        lost(doing);
    if (reply.status.value() != 0) throw std::runtime_error(text);
    return SplitLines(text);
}

bool ReaderChild::receive_text(std::uint32_t length, std::string& text) {
    if (length > kMostText) return false;
    text.assign(length, '\0');
    return channel_.receive(std::as_writable_bytes(std::span(text)));
}

void ReaderChild::lost(const std::string& doing) {
    throw CopyFormatError(texts_.read_failed + "the image library ended while " + doing + " (" + channel_.ending() +
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
        text = JoinLines(image.facts);
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
                answer = image.answer ? JoinLines(image.answer(request.offset.value())) : "";
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
