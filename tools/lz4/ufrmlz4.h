// "LZ4 Compressor": packs a file or device into an LZ4 image file and
// unpacks one again, through the raw copies in LZ4 mode. Modeless; it
// deletes itself when closed (a close during a copy stops the copy first).
#pragma once

#include "main/dialogs/tool_window.h"

class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmlz4 : public ToolWindow {
    Q_OBJECT

public:
    explicit Tfrmlz4(QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QLineEdit* txtdestination = nullptr;
    QPushButton* btnfile = nullptr;
    QPushButton* btnCompress = nullptr;
    QPushButton* Button1 = nullptr;  // "Uncompress"
    QPushButton* btnExit = nullptr;
    QProgressBar* pb_img = nullptr;
    QStatusBar* StatusBar1 = nullptr;

public slots:
    void btnfileClick();
    void btnCompressClick();
    void Button1Click();

protected:
    void SetCommandsEnabled(bool enabled) override;
};

// What the destination becomes when `source` is picked: the name + ".lz4",
// or, for an LZ4 file, the name without its ".lz4".
std::string Lz4DestinationFor(const std::string& source);

}  // namespace tarnovell
