// What the tests of the main window's image commands share: a window over
// scripted answers, answering the options and file dialogs and picking a
// row of the device list.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QRadioButton>
#include <QString>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <string>

#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "support/test_application.h"

namespace window_test {

// The next file dialogs choose `file` with the 1-based filter `filter`.
inline void AnswerFileDialogs(const std::string& file, int filter = 1) {
    tarnovell::SetFileDialogHook([file, filter](QFileDialog& dialog) {
        dialog.selectNameFilter(dialog.nameFilters().value(filter - 1));
        dialog.selectFile(QString::fromStdString(file));
        return static_cast<int>(QDialog::Accepted);
    });
}

// A main window over answers a test scripts (every question Yes unless it
// says otherwise); the file dialog, the pump and the window go with the test.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        ui_.set_default_confirm(true);
        previous_hook_ = tarnovell::SetFileDialogHook({});
    }
    void TearDown() override {
        platform::set_pump(nullptr);
        delete window_;
        tarnovell::SetFileDialogHook(previous_hook_);
    }
    void Open() {
        window_ = new tarnovell::Tfrmmain(state_);
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }

    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    QTreeWidget* list_ = nullptr;

private:
    tarnovell::FileDialogHook previous_hook_;
};

// Picks a format in the next options dialog and accepts it.
inline void AnswerBackupDialog(const char* format) {
    QTimer::singleShot(0, [format] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<tarnovell::Tfrmbackup*>(w); dialog && dialog->isVisible()) {
                dialog->findChild<QRadioButton*>(format)->click();
                dialog->accept();
                return;
            }
    });
}

// Lets `fill` set the next "Network" dialog (host text, mode, skip) and
// accepts it.
inline void AnswerNetworkDialog(std::function<void(tarnovell::TfrmDevio&)> fill) {
    QTimer::singleShot(0, [fill] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<tarnovell::TfrmDevio*>(w); dialog && dialog->isVisible()) {
                fill(*dialog);
                dialog->accept();
                return;
            }
    });
}

// Selects the row whose Device column reads `device`; false when there is none.
inline bool SelectDevice(QTreeWidget* list, const QString& device) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(1) == device) {
            list->setCurrentItem(list->topLevelItem(i));
            return true;
        }
    return false;
}

// Picks the row whose Device column reads `device` in the next target
// window and accepts it; an empty `device` rejects the window.
inline void AnswerTarget(const QString& device) {
    QTimer::singleShot(0, [device] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* target = qobject_cast<tarnovell::Tfrmtarget*>(w); target && target->isVisible()) {
                if (device.isEmpty() || !SelectDevice(target->lvdisks, device)) return target->reject();
                return target->accept();
            }
    });
}

}  // namespace window_test
