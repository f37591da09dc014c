// The crash reporter's compression: raw deflate (RFC 1951) and its inflater,
// the CRC-32 of ISO 3309 / IEEE 802.3, the reporter's compressed blobs and a
// ZIP archive writer for mail attachments. zlib does the deflating under
// these formats, with the one fixed setting the reporter uses (window 32 KiB,
// memory level 8, level 2: the fast strategy with short hash chains).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace crashreport {

// What a caller reserves for compressing `source_length` bytes: enough even
// for data that does not compress at all.
constexpr std::size_t DeflateBound(std::size_t source_length) { return source_length * 11 / 10 + 12; }

// Compresses the whole source as raw deflate with the final block flagged;
// the compressed length, 0 on failure (an empty source still gives one
// final block).
std::size_t DeflateText(const void* source, void* destination, std::size_t source_length,
                        std::size_t destination_capacity);
// The inflated length only when the whole source was consumed and the output
// filled exactly `expected_length` bytes; else 0.
std::size_t InflateText(const void* source, void* destination, std::size_t source_length,
                        std::size_t expected_length);

// Table-driven CRC-32 update. Start with 0xFFFFFFFF and invert at the end
// for the standard value.
std::uint32_t Crc32Add(std::uint32_t crc, const void* buffer, std::size_t length);

// A compressed blob, little-endian: u32 unpacked length, a u32 the reader
// skips, u32 CRC-32 of the unpacked data, then raw deflate data.
inline constexpr std::size_t kBlobHeaderSize = 12;
// The unpacked text; empty when the blob is 12 bytes or shorter, inflates to
// another length, or fails its CRC.
std::string UnpackBlob(std::string_view blob);
// The writer's side of the same format (the skipped word is written as 0).
std::string PackBlob(std::string_view data);

// Writes a ZIP archive with one deflated entry per readable source file (an
// unreadable one is skipped), named by `entry_names` where that has an entry
// at the file's index, else by the file's own name; names are stored as
// UTF-8. True when at least one entry was written and every write succeeded;
// otherwise no archive is left behind.
bool WriteZipArchive(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& sources,
                     const std::vector<std::string>& entry_names = {});

}  // namespace crashreport
