// The program file's own checksum, as a Windows image carries one in its
// header: a CRC-32 of the whole file, its 4-byte slot (the section
// ".zelcrc") counted as zeros, written into that slot after linking. A file
// whose bytes no longer give it has been changed or damaged on disk.
#pragma once

#include <cstdint>
#include <string>

namespace crashreport {

enum class ChecksumVerdict { NoChecksum, Intact, Corrupt };

// NoChecksum when the file has no slot or its slot holds 0 (not stamped).
ChecksumVerdict VerifyFileChecksum(const std::string& file);
// Writes the checksum into the file's slot; false when it has none.
bool StampFileChecksum(const std::string& file);

}  // namespace crashreport
