// The pieces of the PNG writer: the palette chosen for a picture (Wu's
// colour quantiser over 5 bits per channel) and the gray levels, and the
// file's chunks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace crashreport {

class INVBitmap;

struct PaletteColor {
    std::uint8_t red = 0, green = 0, blue = 0;
};

// Up to 256 colours that represent the picture; fewer when it has fewer
// distinct boxes of colour.
std::vector<PaletteColor> QuantizeColors(const INVBitmap& bitmap);
// The sixteen gray levels of the gray form.
extern const std::array<std::uint8_t, 16> kGrayLevels;
// 77 R + 151 G + 28 B, divided by 256.
std::uint8_t GrayValue(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

// The two PNG forms the writer chooses from.
std::string ColorPng(const INVBitmap& bitmap);
std::string GrayPng(const INVBitmap& bitmap);
// Wraps image data rows (each starting with its filter byte) into a PNG
// with the given palette and bit depth.
std::string AssemblePng(int width, int height, int bit_depth, const std::vector<PaletteColor>& palette,
                        const std::string& rows);

}  // namespace crashreport
