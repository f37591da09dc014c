// QCOW images (versions 1, 2 and 3) read through libqcow, as the source of
// a conversion.
#pragma once

#include <memory>
#include <string>

#include "disk/copy/parallel_source.h"
#include "disk/copy/reader_child.h"

namespace disk {

struct LibraryImageKind;
// How the image library reads this format (for the image reader child too).
const LibraryImageKind& QcowImageKind();

// Opens the image at `path` (a Linux path) with the backing files of an
// overlay. An encrypted image is refused: without its key the library would
// hand out cipher text. Raises std::runtime_error with a text for the
// person when it cannot be read.
std::unique_ptr<ParallelSource> OpenQcowSource(const std::string& path, unsigned readers = 0,
                                               const ReaderWait& waiting = {});

}  // namespace disk
