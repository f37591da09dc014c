// VHD and VHDX images read through libvhdi, as the source of a conversion.
#pragma once

#include <memory>
#include <string>

#include "disk/copy/parallel_source.h"
#include "disk/copy/reader_child.h"

namespace disk {

struct LibraryImageKind;
// How the image library reads this format (for the image reader child too).
const LibraryImageKind& VhdiImageKind();

// Opens the image at `path` (a Linux path) with the parents of a
// differencing one. Raises std::runtime_error with a text for the person
// when it cannot be opened or has no size.
std::unique_ptr<ParallelSource> OpenVhdiSource(const std::string& path, unsigned readers = 0,
                                               const ReaderWait& waiting = {});

}  // namespace disk
