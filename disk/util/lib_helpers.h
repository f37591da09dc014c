// Small helpers shared across the disk library: bit and byte fiddling, number
// text, file sizes and versions, and which Windows generation we behave as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/os/system.h"

namespace disk {

// Bit n of value; n is taken modulo 32, as the shift instruction would.
bool BitIsSet(std::uint32_t value, int n);
std::uint32_t BitSet(std::uint32_t value, int n);

// The Windows CTL_CODE macro, for building I/O control codes.
std::uint32_t CtlCode(std::uint32_t deviceType, std::uint32_t function, std::uint32_t method,
                      std::uint32_t access);

// Puts a "0" in front of an odd-length hex text so it splits into whole bytes.
std::string PadHexEven(const std::string& hex);
std::string BoolToText(bool value);

// The version of a file. Linux binaries carry no version resource, so a shared
// library's version is read from its real name once symlinks are resolved:
// libwim.so.15.4.0 gives 15.4.0.0 (at most four fields). Returns false and
// leaves the outputs alone when the name carries no version or the file is
// missing.
bool FileVersionOf(const std::string& path, std::uint16_t& major, std::uint16_t& minor,
                   std::uint16_t& release, std::uint16_t& build);

// Which Windows generation a version answer describes:
//   0 unknown, 1 9x, 2 NT 4 or older, 3 2000, 4 XP, 5 XP SP2, 6 2003/XP x64,
//   7 Vista, 8 7, 9 8, 10 Windows 10. Anything else (8.1 included) is 0.
int WindowsVersionClassOf(const platform::OSVERSIONINFOA& info);
// The same for the running system; 0 when the version cannot be read.
int GetWindowsVersionClass();

// 2^n, 1 for n <= 0. Wraps like 32-bit arithmetic: n = 31 gives INT_MIN and
// larger n give 0.
int PowerOfTwo(int n);
// Reads a text of 0s and 1s, most significant first; "" gives 0. Throws
// std::runtime_error for any other character. Beyond 32 digits the high ones
// fall off.
int BinToInt(const std::string& bits);
// The absolute value in binary without leading zeros; 0 gives 32 zeros.
std::string IntToBin(int value);

// Size of a file in bytes; 0 when it is absent or not a regular file.
void FileSizeByFind(const std::string& path, std::int64_t& size);
std::int64_t FileSize64(const std::string& path);

// Complement of the 32-bit sum of all bytes: the checksum some boot records
// and headers carry. An all-zero buffer gives 0xFFFFFFFF.
std::uint32_t ByteSum(const void* buffer, std::size_t length);

// Swaps the two low bytes; the high 16 bits stay where they are.
std::uint32_t Swap16(std::uint32_t value);
std::uint32_t Swap32(std::uint32_t value);
std::int64_t Swap64(std::int64_t value);

// True when the text is only digits and dots (an address or a version);
// true for an empty text.
bool IsInCharSet(const std::string& text);

// A number typed by the person: decimal (a leading "-" allowed), or
// hexadecimal after a leading "$"; blanks around it are allowed. Nothing
// when the text is empty, holds anything else, or lies outside [min, max].
std::optional<std::int64_t> ParseUserNumber(const std::string& text, std::int64_t min, std::int64_t max);

// `text` becomes the whole of the file at `path`, all or nothing (the old
// file stays as it was when the new one cannot be made). Raises
// "Cannot create file ..." with the system's text.
void WriteTextFile(const std::string& path, const std::string& text);

std::string GetWindowsDir();
// The variable's value, empty when it is not set.
std::string GetEnvVar(const std::string& name);

}  // namespace disk
