#include "crashreport/qt/screenshot.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <QWidget>

#include <cstdlib>

#include "support/test_application.h"
#include "support/test_support.h"

namespace crashreport {
namespace {

// The test program's one application object, shared with the reporter's
// window tests.
QApplication& Application() { return test_support::TestApplication(); }

INVBitmapRef Striped() {
    INVBitmapRef bitmap = CreateBitmap(5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) SetPixel(*bitmap, x, y, static_cast<std::uint8_t>(x * 50), static_cast<std::uint8_t>(y * 100), 7);
    return bitmap;
}

TEST(Screenshot, QtReadsOurBmpAndPngBack) {
    Application();
    INVBitmapRef bitmap = Striped();
    test_support::TempDir dir;
    ASSERT_TRUE(bitmap->SaveAsBmp(dir.file("s.bmp")));
    ASSERT_TRUE(bitmap->SaveAsPng(dir.file("s.png"), 0));
    for (const char* name : {"s.bmp", "s.png"}) {
        QImage image(QString::fromStdString(dir.file(name)));
        ASSERT_FALSE(image.isNull()) << name;
        ASSERT_EQ(image.width(), 5);
        ASSERT_EQ(image.height(), 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(image.pixel(x, y) & 0xFFFFFF, static_cast<unsigned>((x * 50) << 16 | (y * 100) << 8 | 7))
                    << name << " " << x << "," << y;
    }
    INVBitmapRef loaded = LoadBitmapFileAs(dir.file("s.bmp"));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->BmpData(), bitmap->BmpData());
    EXPECT_EQ(LoadBitmapFileAs(dir.file("missing.bmp")), nullptr);
    const QImage round = ImageFromBitmap(*BitmapFromImage(ImageFromBitmap(*bitmap)));
    EXPECT_EQ(round, ImageFromBitmap(*bitmap));
}

TEST(Screenshot, ApplicationWindowsOnly) {
    Application();
    EXPECT_EQ(CaptureScreen(true), nullptr);  // no window shown yet
    QWidget window;
    window.setGeometry(40, 30, 120, 80);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(200, 10, 30));
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    window.show();
    QApplication::processEvents();
    INVBitmapRef shot = DcToBitmap(QRect(0, 0, 1000, 1000), true, false);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->Width(), window.frameGeometry().width());
    EXPECT_EQ(shot->Height(), window.frameGeometry().height());
    std::uint8_t r, g, b;
    GetPixel(*shot, shot->Width() / 2, shot->Height() / 2, r, g, b);
    EXPECT_EQ(r, 200);
    EXPECT_EQ(g, 10);
    EXPECT_EQ(b, 30);
    window.showMinimized();
    QApplication::processEvents();
    window.hide();
    EXPECT_EQ(CaptureScreen(true), nullptr);
}

}  // namespace
}  // namespace crashreport
