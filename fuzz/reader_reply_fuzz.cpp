// What an image reader child answers, read by the program: the input is
// everything the child writes (its first answer, then the replies to reads
// and to a question), and the memory it shares holds what it put there.
// Whatever the child says, the program reads it as a failure or as bytes,
// and never past what it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "disk/copy/reader_child.h"

namespace {

// The child's side of the pipe, in memory: it sends the input, and ends
// with it.
class MemoryLink : public disk::ReaderLink {
public:
    MemoryLink(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool send(std::span<const std::byte>) override { return at_ < size_; }
    bool receive(std::span<std::byte> bytes, const disk::ReaderWait& waiting) override {
        // A child that has said nothing yet is waited for.
        if (waiting && at_ == size_ && !waiting()) {
            gave_up_ = true;
            return false;
        }
        if (bytes.size() > size_ - at_) return false;
        std::memcpy(bytes.data(), data_ + at_, bytes.size());
        at_ += bytes.size();
        return true;
    }
    bool gave_up() const override { return gave_up_; }
    std::string ending() override { return "it exited with status 1"; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool gave_up_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::SharedMemory shared = platform::SharedMemory::Create(disk::kMostReaderRequest);
    if (!shared) return 0;
    static std::vector<std::byte> buffer(3 * disk::kMostReaderRequest / 2);
    try {
        disk::ReaderChild child(std::make_unique<MemoryLink>(data, size), std::move(shared), "image",
                                disk::ReaderTexts{"open: ", "read: "}, [] { return false; });
        if (child.media_size() <= 0) std::abort();  // a size the copy would take for a finished one
        // Reads of one piece and of two, at the start and near the end.
        const auto length = static_cast<std::size_t>(std::min<std::int64_t>(child.media_size(), buffer.size()));
        for (std::int64_t offset : {std::int64_t{0}, child.media_size() - static_cast<std::int64_t>(length)}) {
            try {
                child.read_at(offset, std::span(buffer).first(length));
            } catch (const disk::CopyFormatError&) {
                // A failed read, told as such.
            }
        }
        child.ask(1);
    } catch (const disk::CopyCancelled&) {
        // The child said nothing: the wait was given up.
    } catch (const std::runtime_error&) {
        // Refused, with a text for the person.
    }
    return 0;
}
