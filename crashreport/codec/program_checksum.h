// The program file's own checksum, as a Windows image carries one in its
// header: a CRC-32 of what the system loads of the file (its loadable
// segments, with its 4-byte slot, the section ".zelcrc", and the ELF
// header's fields about section headers counted as zeros), written into
// that slot after linking. Stripping the file or splitting off its debug
// information leaves it as it is; a file whose loaded bytes no longer give
// it has been changed or damaged on disk.
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
