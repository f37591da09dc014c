// Screenshots and bitmap files through Qt: the whole virtual desktop or only
// this program's windows, with the mouse pointer drawn in, as the reporter's
// bitmap. Needs a QGuiApplication.
#pragma once

#include <QImage>
#include <QRect>

#include <filesystem>

#include "crashreport/image/bitmap.h"

class QPainter;

namespace crashreport {

INVBitmapRef BitmapFromImage(const QImage& image);
QImage ImageFromBitmap(const INVBitmap& bitmap);

// An area of the desktop (in desktop coordinates). With
// `application_windows_only` the picture shrinks to the union of this
// program's visible, not minimised top-level windows inside the area, and
// whatever is not one of them stays white; without any such window there is
// no picture.
INVBitmapRef DcToBitmap(const QRect& area, bool application_windows_only, bool draw_cursor);
// The whole virtual desktop, always with the pointer.
INVBitmapRef CaptureScreen(bool application_windows_only);
// A picture file (BMP or any format Qt reads); nothing on failure.
INVBitmapRef LoadBitmapFileAs(const std::filesystem::path& file);
// Draws the whole picture with its top left corner at (x, y).
bool PaintTo(const INVBitmap& bitmap, QPainter& painter, int x, int y);

}  // namespace crashreport
