// Two NTFS volumes for the tests of WIM capture and apply, made without
// mounting anything: mkntfs formats a file of each partition's size, which
// dd then puts in place on a 20 MiB MBR disk of two 8 MiB partitions.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/embedded_machine.h"
#include "support/test_support.h"

namespace test_support {

struct NtfsVolumes {
    std::string seed;  // a WIM of one image: docs/note.txt
    DiskSpec disk;     // the first volume holds the seed's files, the second nothing
};

// Fails the test when a tool does; call it under ASSERT_NO_FATAL_FAILURE.
inline void MakeNtfsVolumes(const TempDir& parts, const std::string& note, NtfsVolumes& out) {
    std::filesystem::create_directories(parts.file("files/docs"));
    WriteWholeFile(parts.file("files/docs/note.txt"), note);
    const std::string first = parts.file("p1.img"), second = parts.file("p2.img");
    out.seed = parts.file("seed.wim");
    for (const std::string& part : {first, second})
        ASSERT_EQ(Run("truncate -s 8M " + part + " && mkntfs -F -Q -q " + part + " 2>/dev/null").exit_code, 0);
    ASSERT_EQ(Run("wimlib-imagex capture " + parts.file("files") + " " + out.seed + " >/dev/null && " +
                  "wimlib-imagex apply " + out.seed + " 1 " + first + " >/dev/null")
                  .exit_code,
              0);
    out.disk = DiskSpec{20 << 20,
                        {"printf 'label: dos\\nstart=2048,size=16384,type=7\\nstart=18432,size=16384,type=7\\n' | "
                         "sfdisk -q %s",
                         "dd if=" + first + " of=%s bs=1M seek=1 conv=notrunc status=none",
                         "dd if=" + second + " of=%s bs=1M seek=9 conv=notrunc status=none"},
                        ""};
}

// The bytes of the second volume as they are now, in a file beside the image.
inline std::string SecondNtfsVolume(const EmbeddedMachine& machine) {
    const std::string copy = machine.dir().file("second-volume.img");
    Run("dd if=" + machine.image(0) + " of=" + copy + " bs=1M skip=9 count=8 status=none");
    return copy;
}

}  // namespace test_support
