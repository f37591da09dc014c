// What the main window's page controllers (the Advanced tab's pages, the
// virtual-disk, network and disk-layout commands) use of the window: its
// selection, its status line, its progress bar and message target, its
// device list and the hold of its commands while an operation runs. The
// main window implements it; a controller knows no more of the window.
#pragma once

#include <optional>
#include <string>

#include "disk/copy/operation_context.h"
#include "disk/device/device_lists.h"
#include "main/dialogs/window_reporting.h"
#include "main/operations/main_state.h"
#include "main/operations/selection.h"
#include "platform/base/progress.h"

class QString;
class QWidget;

namespace tarnovell {

class PageHost {
public:
    virtual ~PageHost() = default;

    // The window: the owner of the commands' dialogs and windows.
    virtual QWidget* DialogOwner() = 0;
    virtual MainState& state() = 0;

    // The device list's selected row, and the path a selection rule takes
    // from it: false (after the rule's message) when there is none.
    virtual std::optional<disk::DiskListRow> SelectedRow() const = 0;
    virtual bool Selected(const SelectionRule& rule, std::string& path) = 0;
    // The device list and the drive selectors filled afresh; the device
    // list alone.
    virtual void RefreshDrives1Click() = 0;
    virtual void FillDeviceList() = 0;

    // The status line, and "hh:nn:ss:zzz - text" there.
    virtual void ShowStatus(const QString& text) = 0;
    void ShowTimedStatus(const std::string& text);

    // The window's bar (pb_img) and WM_OPERATION target, as the operations
    // take them; the bar back at 0 once an operation has ended.
    virtual platform::ProgressBar& progress() = 0;
    virtual platform::OperationTarget& operation_target() = 0;
    virtual void ClearProgress() = 0;
    // What an operation started from the window reports to and stops on:
    // `bar`, the window's target and its cancel flag.
    disk::OperationContext WindowContext(platform::ProgressBar* bar);

    // True while an operation runs.
    virtual bool busy() const = 0;

    // Held while an operation runs: the commands that would start another
    // one are disabled. An operation starts with the bar at 0 and the
    // status line empty, whatever the last one left there (which stays
    // until then), and asks its questions over the window. An operation
    // inside another keeps the outer one's hold, bar and line.
    class BusyScope {
    public:
        explicit BusyScope(PageHost& host);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        PageHost& host_;
        const bool outer_;
        QuestionOwner asking_;
    };

protected:
    // Disables (`hold`) or enables again the commands that start an
    // operation, Cancel apart; busy() tells `hold` from then on.
    virtual void HoldCommands(bool hold) = 0;
};

}  // namespace tarnovell
