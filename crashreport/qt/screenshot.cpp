#include "crashreport/qt/screenshot.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <cstring>

namespace crashreport {

namespace {

// The pointer as an arrow with its hot spot at the tip; the system's cursor
// image is not available to a program under every platform plugin.
void DrawPointer(QPainter& painter, const QPoint& tip) {
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip + QPoint(0, 17));
    arrow.lineTo(tip + QPoint(4, 13));
    arrow.lineTo(tip + QPoint(7, 20));
    arrow.lineTo(tip + QPoint(10, 19));
    arrow.lineTo(tip + QPoint(7, 12));
    arrow.lineTo(tip + QPoint(12, 12));
    arrow.closeSubpath();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::white);
    painter.drawPath(arrow);
}

QRect VirtualDesktop() {
    QRect desktop;
    for (QScreen* screen : QGuiApplication::screens()) desktop = desktop.united(screen->geometry());
    return desktop;
}

}  // namespace

INVBitmapRef BitmapFromImage(const QImage& image) {
    if (image.isNull()) return nullptr;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    INVBitmapRef bitmap = CreateBitmap(rgb.width(), rgb.height());
    if (!bitmap) return nullptr;
    // Format_RGB32 pixels lie in memory as blue, green, red, 0xFF: the
    // bitmap's own order, only with rows top-down; the unused byte is kept 0
    // as in every other bitmap of ours.
    const std::size_t row_bytes = static_cast<std::size_t>(rgb.width()) * 4;
    for (int y = 0; y < rgb.height(); ++y) {
        std::uint8_t* row = bitmap->Bits() + static_cast<std::size_t>(rgb.height() - 1 - y) * row_bytes;
        std::memcpy(row, rgb.constScanLine(y), row_bytes);
        for (std::size_t x = 3; x < row_bytes; x += 4) row[x] = 0;
    }
    return bitmap;
}

QImage ImageFromBitmap(const INVBitmap& bitmap) {
    QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_RGB32);
    if (image.isNull()) return image;
    const std::size_t row_bytes = static_cast<std::size_t>(bitmap.Width()) * 4;
    for (int y = 0; y < bitmap.Height(); ++y) {
        auto* line = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        const std::uint8_t* source = bitmap.Bits() + static_cast<std::size_t>(bitmap.Height() - 1 - y) * row_bytes;
        for (int x = 0; x < bitmap.Width(); ++x)
            line[x] = qRgb(source[4 * x + 2], source[4 * x + 1], source[4 * x]);
    }
    return image;
}

INVBitmapRef DcToBitmap(const QRect& area, bool application_windows_only, bool draw_cursor) {
    if (area.isEmpty()) return nullptr;
    QRect captured = area;
    QList<QWidget*> windows;
    if (application_windows_only) {
        QRect united;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible() || window->isMinimized()) continue;
            const QRect frame = window->frameGeometry();
            if (frame.width() <= 0 && frame.height() <= 0) continue;
            windows.append(window);
            united = united.united(frame);
        }
        captured = united.intersected(area);
        if (windows.isEmpty() || captured.isEmpty()) return nullptr;
    }
    QImage picture(captured.size(), QImage::Format_RGB32);
    if (picture.isNull()) return nullptr;
    picture.fill(Qt::white);
    QPainter painter(&picture);
    if (application_windows_only) {
        // Each window draws itself, so windows of other programs over it do
        // not leak into the picture; the active window is drawn last.
        for (QWidget* window : windows) {
            if (window == QApplication::activeWindow()) continue;
            painter.drawPixmap(window->geometry().topLeft() - captured.topLeft(), window->grab());
        }
        if (QWidget* active = QApplication::activeWindow(); active != nullptr && windows.contains(active))
            painter.drawPixmap(active->geometry().topLeft() - captured.topLeft(), active->grab());
    } else {
        bool any = false;
        for (QScreen* screen : QGuiApplication::screens()) {
            const QRect part = screen->geometry().intersected(captured);
            if (part.isEmpty()) continue;
            const QPoint inside = part.topLeft() - screen->geometry().topLeft();
            const QPixmap shot = screen->grabWindow(0, inside.x(), inside.y(), part.width(), part.height());
            if (shot.isNull()) continue;
            painter.drawPixmap(part.topLeft() - captured.topLeft(), shot);
            any = true;
        }
        if (!any) return nullptr;
    }
    if (draw_cursor) {
        const QPoint pointer = QCursor::pos();
        if (captured.contains(pointer)) DrawPointer(painter, pointer - captured.topLeft());
    }
    painter.end();
    return BitmapFromImage(picture);
}

INVBitmapRef CaptureScreen(bool application_windows_only) {
    return DcToBitmap(VirtualDesktop(), application_windows_only, true);
}

INVBitmapRef LoadBitmapFileAs(const std::filesystem::path& file) {
    QImage image;
    if (!image.load(QString::fromStdString(file.string()))) return nullptr;
    return BitmapFromImage(image);
}

bool PaintTo(const INVBitmap& bitmap, QPainter& painter, int x, int y) {
    const QImage image = ImageFromBitmap(bitmap);
    if (image.isNull()) return false;
    painter.drawImage(x, y, image);
    return true;
}

}  // namespace crashreport
