// An EWF image (a set of segment files .E01, .E02 ...) read through libewf,
// as the source of a restore or conversion. libewf inflates each chunk on
// the thread that reads it, so the set is opened once for each of a few
// readers and read by all of them at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disk/bindings/libewf.h"
#include "disk/copy/parallel_source.h"

namespace disk {

// Opens the set whose first segment is `path` (a Linux path). Raises
// std::runtime_error with a text for the person: the library's text when
// it cannot open the set, "mediasize =0" for a set without a size, and a
// refusal for a set with a missing or cut segment file (whose bytes the
// library would hand out as zeros).
std::unique_ptr<ParallelSource> OpenEwfSource(const std::string& path, unsigned readers = 0);

// The runs of sectors whose checksum did not match, as the readers of an
// EWF source found them while reading.
std::vector<TLibEWF::SectorRun> EwfChecksumErrors(ParallelSource& source);

// The text that tells the person about `runs`.
std::string ChecksumErrorText(const std::vector<TLibEWF::SectorRun>& runs);

}  // namespace disk
