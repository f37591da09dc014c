// VMDK images (a descriptor with its extent files, or one file holding
// both) read through libvmdk, as the source of a conversion.
#pragma once

#include <memory>
#include <string>

#include "disk/copy/parallel_source.h"
#include "disk/copy/reader_child.h"

namespace disk {

struct LibraryImageKind;
class TLibVMDK;
// How the image library reads this format (for the image reader child too).
const LibraryImageKind& VmdkImageKind();

// Opens the image at `path` (a Linux path) with its extent files and the
// parents of a delta. Raises std::runtime_error with a text for the person
// ("Unable to open extent data files", "libvmdk_get_media_size failed" ...)
// when it cannot be read.
// Hands libvmdk, which has opened the descriptor at `path`, the extent
// files, each opened by us as our check opens it, after making sure the
// library reads the descriptor's extent lines as our check does: a line
// read two ways would have it read a file, or a range of one, that no
// check saw. Raises ImageCheckError when they differ, std::runtime_error
// ("Unable to open extent data files") when the library takes no files.
void HandOverVmdkExtents(TLibVMDK& image, const std::string& path);

std::unique_ptr<ParallelSource> OpenVmdkSource(const std::string& path, unsigned readers = 0,
                                               const ReaderWait& waiting = {});

}  // namespace disk
