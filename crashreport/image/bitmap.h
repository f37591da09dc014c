// The reporter's bitmap: always 32 bits per pixel, stored as a Windows
// device-independent bitmap is (rows bottom-up, blue, green, red and an
// unused fourth byte per pixel), so that it writes out as a BMP file without
// conversion. Screenshots (qt/) arrive in it; the report writes it as a
// compact PNG with a palette chosen for the picture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace crashreport {

class INVBitmap;
using INVBitmapRef = std::shared_ptr<INVBitmap>;

class INVBitmap {
public:
    virtual ~INVBitmap() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // A BMP file image: the 14-byte file header, the 40-byte info header,
    // the pixel rows.
    virtual std::string BmpData() const = 0;
    // A PNG file image. Format 1: 16 gray levels; 2 to 5: a 256-colour
    // palette, or the gray form when that is smaller and the colour form
    // exceeds 50, 100, 200 or 300 KiB; anything else: 256 colours.
    virtual std::string PngData(int format) const = 0;
    virtual bool SaveAsBmp(const std::filesystem::path& file) const = 0;
    virtual bool SaveAsPng(const std::filesystem::path& file, int format) const = 0;
    // A copy scaled to fit `max_width` x `max_height` keeping the aspect, or
    // nothing when either side would be 0.
    virtual INVBitmapRef ZoomTo(int max_width, int max_height) const = 0;

    // Pixel rows bottom-up, 4 bytes per pixel (B, G, R, unused).
    virtual const std::uint8_t* Bits() const = 0;
    virtual std::uint8_t* Bits() = 0;
};

// A bitmap of the given size, all pixels black; nothing for a size of 0 or
// one too large to hold.
INVBitmapRef CreateBitmap(int width, int height);
// Reads the pixel of column x, row y counted from the top.
void GetPixel(const INVBitmap& bitmap, int x, int y, std::uint8_t& red, std::uint8_t& green, std::uint8_t& blue);
void SetPixel(INVBitmap& bitmap, int x, int y, std::uint8_t red, std::uint8_t green, std::uint8_t blue);

}  // namespace crashreport
