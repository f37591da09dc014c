// "7z Extractor": lists the items of an archive or disk image through
// 7-Zip's format library and extracts one of them, or all of them into a
// folder.
#pragma once

#include <QWidget>

#include <cstdint>
#include <string>

#include "disk/bindings/sevenzip/com.h"

class QProgressBar;
class QPushButton;
class QLineEdit;
class QStatusBar;
class QTreeWidget;

namespace tarnovell {

class Tfrm7zExtractor : public QWidget {
    Q_OBJECT

public:
    // Modeless; deletes itself when closed.
    explicit Tfrm7zExtractor(QWidget* owner = nullptr);

    QLineEdit* txtfilename = nullptr;
    QPushButton* btnOpen = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QPushButton* btnExtractFile = nullptr;
    QPushButton* btnExtractAll = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    void btnOpenClick();
    void btnExtractFileClick();
    void btnExtractAllClick();
    // Lists `file`; the part of "Open" after the dialog.
    void ListArchive(const std::string& file);
    // The library's progress: a total sets the bar's maximum, any other
    // value its position.
    disk::sevenzip::HRESULT SevenZipProgress(bool is_total, std::uint64_t value);

private:
    int progress_shift_ = 0;  // the bar counts in units of 2^shift bytes
};

// The handler chosen for the archive last opened.
extern disk::sevenzip::GUID SevenZipClassId;

}  // namespace tarnovell
