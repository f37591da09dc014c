// "7z Extractor": lists the items of an archive or disk image through
// 7-Zip's format library and extracts one of them, or all of them into a
// folder. The window's messages run while it extracts; closing it then
// stops the extraction (the item being written goes), and the window goes
// once the library has returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "disk/bindings/sevenzip/com.h"
#include "main/dialogs/tool_window.h"

class QProgressBar;
class QPushButton;
class QLineEdit;
class QStatusBar;
class QTreeWidget;

namespace tarnovell {

class Tfrm7zExtractor : public ToolWindow {
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
    // value its position. The window's messages run meanwhile; once the
    // extraction is to stop, the answer is E_ABORT.
    disk::sevenzip::HRESULT SevenZipProgress(bool is_total, std::uint64_t value);

protected:
    void SetCommandsEnabled(bool enabled) override;

private:
    // Runs an extraction with the commands held; "done." or, when it was
    // stopped, "Aborted" on the status line; a failure in a box.
    void Extract(const std::function<void()>& extraction);

    int progress_shift_ = 0;  // the bar counts in units of 2^shift bytes
    std::chrono::steady_clock::time_point last_pump_{};
};

// The handler chosen for the archive last opened.
extern disk::sevenzip::GUID SevenZipClassId;

}  // namespace tarnovell
