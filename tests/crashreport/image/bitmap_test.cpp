#include "crashreport/image/bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "crashreport/image/png_writer.h"
#include "support/png_reading.h"
#include "support/test_support.h"

namespace crashreport {
namespace {

using crashreport_test::Be32;
using crashreport_test::ReadPng;

INVBitmapRef FourColours(int width, int height) {
    INVBitmapRef bitmap = CreateBitmap(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int quadrant = (x < width / 2 ? 0 : 1) + (y < height / 2 ? 0 : 2);
            static const std::uint8_t kColours[4][3] = {{255, 0, 0}, {0, 128, 0}, {10, 20, 250}, {255, 255, 255}};
            SetPixel(*bitmap, x, y, kColours[quadrant][0], kColours[quadrant][1], kColours[quadrant][2]);
        }
    return bitmap;
}

TEST(Bitmap, BmpDataIsADeviceIndependentBitmapFile) {
    INVBitmapRef bitmap = FourColours(3, 2);
    const std::string bmp = bitmap->BmpData();
    ASSERT_EQ(bmp.size(), 54u + 3 * 2 * 4);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(static_cast<unsigned char>(bmp[2]), 54 + 24);
    EXPECT_EQ(static_cast<unsigned char>(bmp[10]), 54);
    EXPECT_EQ(static_cast<unsigned char>(bmp[14]), 40);
    EXPECT_EQ(static_cast<unsigned char>(bmp[28]), 32);
    // Rows bottom-up: the first stored pixel is the bottom left one (blue).
    EXPECT_EQ(static_cast<unsigned char>(bmp[54]), 250);
    EXPECT_EQ(static_cast<unsigned char>(bmp[55]), 20);
    EXPECT_EQ(static_cast<unsigned char>(bmp[56]), 10);
    EXPECT_EQ(CreateBitmap(0, 5), nullptr);
    EXPECT_EQ(CreateBitmap(100000, 100000), nullptr);
}

TEST(Bitmap, ColourPngKeepsAFewColoursExactly) {
    INVBitmapRef bitmap = FourColours(10, 6);
    const std::string png = bitmap->PngData(0);
    const auto read = ReadPng(png, 6 * 11);
    ASSERT_TRUE(read.valid);
    const std::string& header = read.chunks.at("IHDR");
    EXPECT_EQ(Be32(header, 0), 10u);
    EXPECT_EQ(Be32(header, 4), 6u);
    EXPECT_EQ(header[8], 8);
    EXPECT_EQ(header[9], 3);
    const std::string& palette = read.chunks.at("PLTE");
    ASSERT_EQ(palette.size(), 768u);
    ASSERT_EQ(read.image_data.size(), 6u * 11);
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(read.image_data[static_cast<std::size_t>(y) * 11], 0);  // filter byte
        for (int x = 0; x < 10; ++x) {
            const auto index = static_cast<unsigned char>(read.image_data[static_cast<std::size_t>(y) * 11 + 1 + x]);
            std::uint8_t r, g, b;
            GetPixel(*bitmap, x, y, r, g, b);
            EXPECT_EQ(static_cast<unsigned char>(palette[3 * index]), r);
            EXPECT_EQ(static_cast<unsigned char>(palette[3 * index + 1]), g);
            EXPECT_EQ(static_cast<unsigned char>(palette[3 * index + 2]), b);
        }
    }
    if (test_support::HaveTool("pngcheck")) {
        test_support::TempDir dir;
        ASSERT_TRUE(bitmap->SaveAsPng(dir.file("shot.png"), 0));
        const auto checked = test_support::Run("pngcheck -v " + test_support::Quote(dir.file("shot.png")));
        EXPECT_EQ(checked.exit_code, 0) << checked.output;
    }
}

TEST(Bitmap, GrayPngHasSixteenLevelsTwoPixelsPerByte) {
    INVBitmapRef bitmap = FourColours(7, 3);  // odd width
    const std::string png = bitmap->PngData(1);
    const auto read = ReadPng(png, 3 * 5);
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.chunks.at("IHDR")[8], 4);
    EXPECT_EQ(read.chunks.at("PLTE").size(), 48u);
    ASSERT_EQ(read.image_data.size(), 3u * ((7 + 1) / 2 + 1));
    // Red is gray 76: the nearest level is 73, entry 3; white is entry 15.
    EXPECT_EQ(static_cast<unsigned char>(read.image_data[1]) >> 4, 3);
    EXPECT_EQ(GrayValue(255, 0, 0), 76);
    const std::size_t last_row = 2 * 5;
    EXPECT_EQ(static_cast<unsigned char>(read.image_data[last_row + 4]) >> 4, 15);
    EXPECT_EQ(static_cast<unsigned char>(read.image_data[last_row + 4]) & 15, 0);  // padding nibble
    // The picture itself keeps its colours.
    std::uint8_t r, g, b;
    GetPixel(*bitmap, 0, 0, r, g, b);
    EXPECT_EQ(r, 255);
    EXPECT_EQ(g, 0);
}

TEST(Bitmap, LargeColourPicturesFallBackToGrayWhenThatIsSmaller) {
    INVBitmapRef noise = CreateBitmap(300, 300);
    std::mt19937 random(3);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 300; ++x)
            SetPixel(*noise, x, y, static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                     static_cast<std::uint8_t>(random()));
    const std::string colour = noise->PngData(0);
    ASSERT_GT(colour.size(), 51200u);
    const std::string chosen = noise->PngData(2);
    EXPECT_LT(chosen.size(), colour.size());
    EXPECT_EQ(ReadPng(chosen, 300 * 151).chunks.at("IHDR")[8], 4);
    // Above the largest threshold the colour form stays.
    EXPECT_EQ(noise->PngData(5), colour);
    EXPECT_LE(QuantizeColors(*noise).size(), 256u);
}

TEST(Bitmap, ZoomKeepsTheAspectAndFlatColours) {
    INVBitmapRef flat = CreateBitmap(200, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) SetPixel(*flat, x, y, 40, 80, 120);
    struct Case {
        int box_w, box_h, w, h;
    };
    const Case cases[] = {{100, 100, 100, 50}, {400, 100, 200, 100}, {50, 10, 20, 10}, {400, 200, 400, 200}};
    for (const Case& c : cases) {
        INVBitmapRef zoomed = flat->ZoomTo(c.box_w, c.box_h);
        ASSERT_TRUE(zoomed);
        EXPECT_EQ(zoomed->Width(), c.w);
        EXPECT_EQ(zoomed->Height(), c.h);
        std::set<int> values;
        for (int y = 0; y < zoomed->Height(); ++y)
            for (int x = 0; x < zoomed->Width(); ++x) {
                std::uint8_t r, g, b;
                GetPixel(*zoomed, x, y, r, g, b);
                values.insert(r << 16 | g << 8 | b);
            }
        EXPECT_EQ(values, std::set<int>{40 << 16 | 80 << 8 | 120});
    }
    EXPECT_EQ(flat->ZoomTo(0, 10), nullptr);
}

TEST(Bitmap, SavingFailsCleanlyWhereTheFileCannotBe) {
    INVBitmapRef bitmap = FourColours(4, 4);
    test_support::TempDir dir;
    EXPECT_TRUE(bitmap->SaveAsBmp(dir.file("a.bmp")));
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("a.bmp")), bitmap->BmpData());
    EXPECT_FALSE(bitmap->SaveAsPng(dir.file("no/such/a.png"), 0));
    if (test_support::HaveTool("file")) {
        const auto described = test_support::Run("file " + test_support::Quote(dir.file("a.bmp")));
        EXPECT_NE(described.output.find("PC bitmap"), std::string::npos) << described.output;
    }
}

}  // namespace
}  // namespace crashreport
