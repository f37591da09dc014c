// An image read by a child process, for the images a C library reads: our
// checks stop what we know hurts a library, but a library may still fault
// past them on an image made to make it. The child (this program, started
// with kImageReaderSwitch) opens the image in the library and hands us its
// bytes through memory the two share; a fault there ends the child, and
// the read ends with a clear error instead of the program, before a wrong
// byte is written.
//
// What the child says is taken as it would be from any stranger: its sizes
// and lengths are checked before they are used, and the memory we share
// with it is sealed at its size, so that a child that lies (or was taken
// over by the image it reads) can fail the read, never this process.
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

// The most one read asks the child for: the size of the memory it shares.
constexpr std::uint64_t kMostReaderRequest = 8u << 20;

// The program that serves image reads (started with kImageReaderSwitch,
// the image's kind and path, "check" or "trusted", and the name of the
// memory it shares with us); the environment variable
// TARNOVELL_IMAGE_READER names it instead when set. "" (or "-" there):
// images are read in this process.
void SetImageReaderProgram(const std::string& program);
std::string ImageReaderProgram();

// Runs, on the opening thread, while we wait for a child to open its image
// (which may take as long as our check of it): a window pumps its messages
// there. False gives the wait up: the open raises CopyCancelled.
using ReaderWait = std::function<bool()>;

// The texts a reader's failures start with.
struct ReaderTexts {
    std::string open_failed;  // followed by how the child ended while opening
    std::string read_failed;  // followed by how it ended while reading
};

// The parent's end of the pipe to a reader child.
class ReaderLink {
public:
    virtual ~ReaderLink() = default;
    // All of `bytes`; false once the child has gone.
    virtual bool send(std::span<const std::byte> bytes) = 0;
    // All of `bytes`; false when the child ends first, or when `waiting`
    // (if given) gave the wait up, which gave_up() then says.
    virtual bool receive(std::span<std::byte> bytes, const ReaderWait& waiting) = 0;
    virtual bool gave_up() const = 0;
    // After a failure: how the child ended.
    virtual std::string ending() = 0;
};

// The parent's side: one reader of the image, in a child.
class ReaderChild : public RangeReader {
public:
    // Starts the reader program for `kind` and `path`, and takes its first
    // answer. Raises std::runtime_error with the child's own text when it
    // could not open the image, or with `texts.open_failed` when it ended
    // or announced a disk no image holds; CopyCancelled when `waiting` gave
    // the wait up.
    ReaderChild(const std::string& program, const std::string& kind, const std::string& path, bool check,
                ReaderTexts texts, const ReaderWait& waiting = {});
    // The same over a link and memory of the caller's (a test's, a fuzz
    // target's): `shared` must be kMostReaderRequest bytes.
    ReaderChild(std::unique_ptr<ReaderLink> link, platform::SharedMemory shared, const std::string& path,
                ReaderTexts texts, const ReaderWait& waiting = {});
    ~ReaderChild() override;

    // More than 0 and less than 2^63.
    std::int64_t media_size() const { return media_size_; }
    // What the child said of the image as it opened it, an item each.
    const std::vector<std::string>& facts() const { return facts_; }
    // Raises CopyFormatError with the child's text, or with
    // `texts.read_failed` and how the child ended.
    void read_at(std::int64_t offset, std::span<std::byte> buffer) override;
    // A question of the kind's own (1 on): the child's answer, an item each.
    std::vector<std::string> ask(std::uint64_t question);

private:
    void hello(const ReaderWait& waiting);
    bool receive_text(std::uint32_t length, std::string& text, const ReaderWait& waiting = {});
    [[noreturn]] void lost(const std::string& doing);

    std::string path_;
    ReaderTexts texts_;
    platform::SharedMemory shared_;  // before the link: the child opens it as it starts
    std::unique_ptr<ReaderLink> link_;
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

// A list (of files, of facts) as the child sends it: each item followed by
// a NUL, so that no name, whatever it holds (a line break), is taken for
// two. An item holds no NUL.
std::string JoinItems(const std::vector<std::string>& items);
// Raises CopyFormatError for a text that does not end an item.
std::vector<std::string> SplitItems(const std::string& text);

}  // namespace disk
