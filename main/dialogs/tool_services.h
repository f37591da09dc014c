// What a tool window may use of the window that opened it: the program
// folder, the cancel flag, the file dialogs, the progress bar and the window
// that takes its status lines. The main window implements it and hands it to
// every tool window it opens, through the constructor; the tool windows know
// no more of the main window than this, so their libraries stay below it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "main/dialogs/window_reporting.h"

class QProgressBar;
class QWidget;

namespace tarnovell {

class ToolServices {
public:
    virtual ~ToolServices() = default;

    // The program folder, with its trailing '/': Wimscript.ini and the
    // program's other files are there.
    virtual std::string ProgramFolder() const = 0;
    // The cancel flag the window's Cancel button sets and its operations
    // stop on; tool windows that share it stop the window's operations too.
    virtual std::atomic<bool>& CancelFlag() = 0;
    // OpenDialog1 and SaveDialog1: the program's file dialog owned by the
    // window, showing `filter`. True with the chosen file in `file`.
    virtual bool OpenDialog1(const std::string& filter, std::string& file) = 0;
    virtual bool SaveDialog1(const std::string& filter, std::string& file) = 0;
    // The bar the tool windows' copies move.
    virtual QProgressBar* ProgressBar() = 0;
    // The window whose WM_OPERATION handler takes the copies' messages; it
    // comes to the front for a question about a copy it shows.
    virtual QWidget* StatusTarget() = 0;
};

// A tool window's hold on the services of the window that opened it: there
// while that window lives, gone once it is (a tool window of its own can
// outlive the main window), and none for a tool window opened on its own.
// Without them each service falls back to what a window of its own does.
class ToolLink {
public:
    ToolLink() = default;
    explicit ToolLink(std::weak_ptr<ToolServices> services) : services_(std::move(services)) {}

    // The services while the window that gave them lives; null otherwise.
    std::shared_ptr<ToolServices> services() const { return services_.lock(); }

    // The window's program folder, or the folder of the executable.
    std::string ProgramFolder() const;
    // The window's cancel flag, or `own`.
    std::atomic<bool>& CancelFlag(std::atomic<bool>& own) const;
    // The window's file dialogs, or the same dialog without an owner.
    bool OpenDialog1(const std::string& filter, std::string& file) const;
    bool SaveDialog1(const std::string& filter, std::string& file) const;
    // Brings the window to the front; nothing without one.
    void BringToFront() const;

private:
    std::weak_ptr<ToolServices> services_;
};

// The window's progress bar and status line as the copy engines take them,
// for the tool windows whose copies report there; nothing without a window.
// Both hold the widgets weakly: a window closed while a copy runs is not
// written to after it has gone.
class ToolReporting {
public:
    explicit ToolReporting(const ToolLink& link);
    platform::ProgressBar* progress() { return present_ ? &bar_ : nullptr; }
    platform::OperationTarget* status() { return present_ ? &status_ : nullptr; }

private:
    explicit ToolReporting(ToolServices* services);
    bool present_;
    BarProgress bar_;
    PostingTarget status_;
};

}  // namespace tarnovell
