// Build-time tool: writes a linked program's checksum into its slot, so that
// the crash reporter can tell at start-up that the file is still whole.
//
//   zel_stamp PROGRAM
#include <cstdio>

#include "crashreport/codec/program_checksum.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel_stamp PROGRAM\n");
        return 2;
    }
    if (!crashreport::StampFileChecksum(argv[1])) {
        std::fprintf(stderr, "zel_stamp: %s has no checksum slot or cannot be written\n", argv[1]);
        return 1;
    }
    return 0;
}
