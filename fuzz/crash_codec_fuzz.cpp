// The crash reporter's decoders of stored bytes: Base64 settings values,
// compressed blobs, raw deflate data and enciphered texts with padding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crashreport/codec/crypt.h"
#include "crashreport/codec/zip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // What Base64 decodes must encode to a text that decodes the same.
    const std::string decoded = crashreport::Base64DecodeText(input);
    if (crashreport::Base64DecodeText(crashreport::Base64EncodeText(decoded)) != decoded) __builtin_trap();

    const std::string unpacked = crashreport::UnpackBlob(input);
    if (!unpacked.empty() && crashreport::UnpackBlob(crashreport::PackBlob(unpacked)) != unpacked) __builtin_trap();

    if (size >= 2) {
        // The first two bytes say how much output to expect.
        const std::size_t expected = (std::size_t{data[0]} << 8 | data[1]) * 4;
        std::string out(expected + 1, '\0');
        const std::size_t inflated = crashreport::InflateText(data + 2, out.data(), size - 2, expected);
        if (inflated != 0 && inflated != expected) __builtin_trap();
    }

    std::string text = input;
    crashreport::BlowfishDecryptText(text, "fuzz", 0, 0);
    if (text.size() > input.size() || input.size() - text.size() > 8) __builtin_trap();
    return 0;
}
