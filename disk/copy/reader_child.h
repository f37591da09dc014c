// An image read by a child process, for the images a C library reads: our
// checks stop what we know hurts a library, but a library may still fault
// past them on an image made to make it. The child (this program, started
// with kImageReaderSwitch) opens the image in the library and hands us its
// bytes through memory the two share; a fault there ends the child, and
// the read ends with a clear error instead of the program, before a wrong
// byte is written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/copy/parallel_source.h"
#include "platform/os/child_channel.h"

namespace disk {

constexpr const char* kImageReaderSwitch = "--image-reader";

// The program that serves image reads (started with kImageReaderSwitch,
// the image's kind and path, "check" or "trusted", and the name of the
// memory it shares with us); the environment variable
// TARNOVELL_IMAGE_READER names it instead when set. "" (or "-" there):
// images are read in this process.
void SetImageReaderProgram(const std::string& program);
std::string ImageReaderProgram();

// The texts a reader's failures start with.
struct ReaderTexts {
    std::string open_failed;  // followed by how the child ended while opening
    std::string read_failed;  // followed by how it ended while reading
};

// The parent's side: one reader of the image, in a child.
class ReaderChild : public RangeReader {
public:
    // Starts the reader program for `kind` and `path`, and takes its first
    // answer. Raises std::runtime_error with the child's own text when it
    // could not open the image, or with `texts.open_failed` when it ended.
    ReaderChild(const std::string& program, const std::string& kind, const std::string& path, bool check,
                ReaderTexts texts);
    ~ReaderChild() override;

    std::int64_t media_size() const { return media_size_; }
    // What the child said of the image as it opened it, a line each.
    const std::vector<std::string>& facts() const { return facts_; }
    // Raises CopyFormatError with the child's text, or with
    // `texts.read_failed` and how the child ended.
    void read_at(std::int64_t offset, std::span<std::byte> buffer) override;
    // A question of the kind's own (1 on): the child's answer, a line each.
    std::vector<std::string> ask(std::uint64_t question);

private:
    bool receive_text(std::uint32_t length, std::string& text);
    [[noreturn]] void lost(const std::string& doing);

    std::string path_;
    ReaderTexts texts_;
    platform::SharedMemory shared_;  // before the channel: the child opens it as it starts
    platform::ChildChannel channel_;
    std::int64_t media_size_ = 0;
    std::vector<std::string> facts_;
};

// The child's side. What an opened image offers: its size, the facts the
// parent hears first, the reader, and the answers to the kind's questions.
struct ServedImage {
    std::int64_t media_size = 0;
    std::vector<std::string> facts;
    RangeReader* reader = nullptr;
    std::function<std::vector<std::string>(std::uint64_t question)> answer;
};

// Opens the image with `open_image` (which raises with a text for the person),
// tells the parent, then answers reads and questions on standard input and
// output until its input ends. The exit status.
int ServeReads(const std::string& shared_name, const std::function<ServedImage()>& open_image);

// Text lines in one text, and back.
std::string JoinLines(const std::vector<std::string>& lines);
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace disk
