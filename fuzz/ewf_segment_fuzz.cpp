// The first segment file of an EWF set: our check, and when it accepts the
// file, libewf opening the set, reading it and telling its checksum errors
// and stored hashes, as a restore does.
#include "disk/bindings/libewf.h"
#include "disk/formats/imagecheck/ewf_check.h"
#include "fuzz/image_library_fuzz.h"
#include "fuzz/memory_source.h"

namespace {
fuzz::RemoveAtExit remove_at_exit{"tarnovell-ewf-fuzz-"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::MemorySource source(data, size);
    try {
        disk::CheckEwfSegment(disk::ImageBytes(source, "image.E01"), 1);
    } catch (const disk::ImageCheckError&) {
        return 0;
    }
    static disk::TLibEWF library;
    const std::string path = fuzz::ScratchFolder(remove_at_exit.prefix) + "/image.E01";
    fuzz::WriteFile(path, data, size);
    if (library.Open(path, disk::TLibEWF::kRead) == 0) {
        try {
            if (!library.SegmentFilesCorrupted()) fuzz::ReadThrough(library);
            library.ChecksumErrors();
            library.StoredMd5();
            library.StoredSha1();
        } catch (const std::exception&) {
            // The library could not tell: a refusal, as a restore would make it.
        }
        library.Close();
    }
    return 0;
}
