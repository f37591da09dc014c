// An image read through one of the image libraries (libvhdi, libvmdk,
// libqcow), as a source of the copy loop.
//
// An image that holds only its differences from another (a qcow overlay, a
// differencing VHD, a VMDK delta) is opened with its parents, each found
// where the image says or beside it; a parent that cannot be found is
// refused by name, rather than read as zeros or as a failing read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/bindings/image_library.h"
#include "disk/copy/parallel_source.h"
#include "disk/copy/reader_child.h"

namespace disk {

// What differs between the libraries.
struct LibraryImageKind {
    // Loads the library (raising its "could not find" text).
    std::function<std::unique_ptr<ImageLibraryFile>()> load;
    // Our own check of an image file before the library opens it (see
    // disk/formats/imagecheck); raises ImageCheckError. Gives the further
    // files the library will read with it (extents).
    std::function<std::vector<std::string>(const std::string& path)> check_file;
    // What an image (the file at the path given) must still pass once open
    // (extent files, encryption); raises with a text for the person.
    std::function<void(ImageLibraryFile&, const std::string& path)> check;
    std::string open_failed;       // prefix of an open's failure, followed by the library's text
    std::string read_failed;       // prefix of a read's failure, followed by the library's text
    std::string media_size_failed;  // the text of a size the library cannot tell, or of none
    std::string parent_missing;     // prefix of a parent that cannot be opened, followed by its name
    std::string name;               // the kind as the image reader is told it ("qcow", "vmdk", "vhdi")
};

// One open image and its parents: a reader for one thread.
class LibraryImage : public RangeReader {
public:
    // Raises std::runtime_error with a text for the person when the image or
    // a parent cannot be opened or checked. With `check_files`, every file
    // passes the kind's own check before the library opens it (a reader
    // opened after one that did so may skip it).
    LibraryImage(const LibraryImageKind& kind, const std::string& path, bool check_files = true);
    ~LibraryImage() override;

    std::int64_t media_size() const { return media_size_; }
    // Every file read: the image, its extents and its parents with theirs.
    const std::vector<std::string>& files() const { return files_; }
    // Raises CopyFormatError with the read's failure prefix and the
    // library's text, also for a read that comes back short.
    void read_at(std::int64_t offset, std::span<std::byte> buffer) override;

private:
    const LibraryImageKind& kind_;
    std::vector<std::unique_ptr<ImageLibraryFile>> chain_;  // the image first, then its parents
    std::int64_t media_size_ = 0;
    std::vector<std::string> files_;
};

// Opens `path` once for every reader (a few, as the cores allow) and reads
// it through all of them. When an image reader program is known (see
// disk/copy/reader_child.h), each reader is a child process of it that
// opens and reads the image through the library; `waiting` runs while we
// wait for one to open it.
std::unique_ptr<ParallelSource> OpenLibraryImage(const LibraryImageKind& kind, const std::string& path,
                                                 unsigned readers = 0, const ReaderWait& waiting = {});

// The reader's side, in the child: opens the image (passing our checks
// with `check`), tells the parent its size and files, then answers reads
// on standard input and output until its input ends. The exit status.
int ServeImageReads(const LibraryImageKind& kind, const std::string& path, bool check, const std::string& shared_name);

}  // namespace disk
