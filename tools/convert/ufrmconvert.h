// "Pelmatic", the image converter: a source kind and a destination kind,
// two paths (or host:port), and GO. The window only dispatches: each pair
// of kinds runs one copy routine of the disk library on this thread, except
// the VHD copies, which run in a worker thread while the window waits. The
// routines report here: the window's own progress bar and status line.
//
// Modeless; it deletes itself when closed. Its Cancel stops the conversion
// under way; closing it while a conversion runs stops the conversion too
// and closes the window once it has ended. Each conversion starts with the
// bar at 0 and an empty status line; its closing line stays until the next.
#pragma once

#include <QWidget>

#include <atomic>
#include <string>

#include "main/dialogs/tool_services.h"

class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class OperationEvent;

class Tfrmconvert : public QWidget {
    Q_OBJECT

public:
    // A VHD conversion stops on the cancel flag of the window whose
    // services it is given.
    explicit Tfrmconvert(ToolLink link = {}, QWidget* owner = nullptr);

    QListWidget* lstSource = nullptr;
    QListWidget* lstDestination = nullptr;
    QLineEdit* txtSource = nullptr;
    QPushButton* btnSource = nullptr;
    QLineEdit* txtDestination = nullptr;
    QPushButton* btnDestination = nullptr;
    QPushButton* btnGo = nullptr;
    // Enabled while a conversion runs.
    QPushButton* btnCancel = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QProgressBar* pb_img = nullptr;

    // The kinds chosen; "" when none is.
    std::string SourceKind() const;
    std::string DestinationKind() const;
    bool running() const { return running_; }

    void lstSourceClick();
    void btnSourceClick();
    void btnDestinationClick();
    void btnGoClick();
    void btnCancelClick();
    // The WM_OPERATION handler: kind 1 moves pb_img, kind 2 is a message
    // box, kind 3 the status line.
    void WMOperation(const OperationEvent& message);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Asks for a peer through the network dialog with `netcat` chosen or
    // not; its host field, or nothing when it is not accepted.
    bool AskPeer(bool netcat, QLineEdit* field);
    void Run(const std::string& source_kind, const std::string& destination_kind, const std::string& source,
             const std::string& destination);

    ToolLink services_;
    // Stands in for the main window's cancel flag when there is no main window.
    std::atomic<bool> own_cancel_{false};
    // The flag that stops the conversion under way: the copy cancel flag,
    // or for the VHD worker the main window's.
    std::atomic<bool>* run_cancel_ = nullptr;
    bool running_ = false;
    bool close_when_done_ = false;
};

}  // namespace tarnovell
