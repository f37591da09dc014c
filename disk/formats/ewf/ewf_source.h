// An EWF image (a set of segment files .E01, .E02 ...) read through libewf,
// as the source of a restore or conversion. libewf inflates each chunk on
// the thread that reads it, so the set is opened once for each of a few
// readers and read by all of them at once.
//
// Each segment file passes our own check before the library opens the set.
// With an image reader program (disk/copy/reader_child.h) the set is read
// by children of it, as the libraries' images are.
//
// A set read whole, from its start to its end in order, is checked against
// the MD5 (and SHA1) hash it stores: a segment of another acquisition has
// chunks whose own checksums match, and only the hash of the whole disk
// tells that the disk is not the one that was acquired.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/bindings/libewf.h"
#include "disk/checksum/md5.h"
#include "platform/base/sha1.h"
#include "disk/copy/parallel_source.h"
#include "disk/copy/reader_child.h"

namespace disk {

class EwfSource : public CopySource {
public:
    EwfSource(std::unique_ptr<ParallelSource> readers, std::vector<std::string> segments,
              std::vector<std::uint8_t> md5, std::vector<std::uint8_t> sha1);

    std::int64_t size() override { return readers_->size(); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;
    std::vector<std::string> files() const override { return segments_; }

    // After the copy: what is wrong with the data read, in the words of
    // the "checksum errors" failure ("" when nothing): sectors whose chunk
    // checksum did not match, and, of a set read whole, a stored hash the
    // data read does not have.
    std::string ChecksumProblem();

private:
    std::unique_ptr<ParallelSource> readers_;
    std::vector<std::string> segments_;
    std::vector<std::uint8_t> stored_md5_;
    std::vector<std::uint8_t> stored_sha1_;
    TMD5 md5_;
    platform::Sha1 sha1_;
    std::int64_t hashed_ = 0;  // the data hashed, from the start; -1 once a read came out of order
};

// Opens the set whose first segment is `path` (a Linux path). Raises
// std::runtime_error with a text for the person: our check's refusal of a
// segment, the library's text when it cannot open the set, "mediasize =0"
// for a set without a size, and a refusal for a set with a missing or cut
// segment file (whose bytes the library would hand out as zeros).
// `waiting` runs while we wait for a reader child to open the set.
std::unique_ptr<EwfSource> OpenEwfSource(const std::string& path, unsigned readers = 0,
                                         const ReaderWait& waiting = {});

// The reader's side, in a child of the program: opens the set and answers
// reads, with the hashes it stores and its checksum errors. The exit status.
int ServeEwfReads(const std::string& path, const std::string& shared_name);

// The runs of sectors whose checksum did not match, as the readers of an
// EWF source found them while reading.
std::vector<TLibEWF::SectorRun> EwfChecksumErrors(ParallelSource& source);

// The text that tells the person about `runs`.
std::string ChecksumErrorText(const std::vector<TLibEWF::SectorRun>& runs);

}  // namespace disk
