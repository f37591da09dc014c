// Where an address of a loaded image stands in the source, the way
// `addr2line -f -C -i` tells it: the line of the address in whatever file
// it lies (a header, a template's body), in the routine or inlined routine
// that holds it, and then, for each routine inlined there, the place it was
// inlined at in the routine around it, out to the real routine.
//
// The debug information comes from the image itself or from its separate
// debug file (the build-id tree and the debug links under /usr/lib/debug,
// as Debian's -dbgsym packages install them), read through elfutils' libdw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crashreport {

struct SourceLocation {
    std::string function;  // demangled, with its parameters ("ns::f(int)"); empty when unknown
    std::string file;      // the source file with its folder; empty when unknown
    int line = 0;          // 0 when unknown
};

// Innermost first; empty when there is no debug information for `address`.
// `address` is looked up as it is: for a return address, pass the byte
// before it.
std::vector<SourceLocation> SourceLocationsOf(std::uintptr_t address);

// The separate debug file of the image that holds `address`, found where
// the look-ups above find it; empty when the image carries its own debug
// information or none is found.
std::string SeparateDebugFileOf(std::uintptr_t address);

// Where separate debug files are looked for, as elfutils reads it
// (":.debug:/usr/lib/debug" unless set); for tests. Drops what was read.
void SetDebugInfoPath(const std::string& path);

}  // namespace crashreport
