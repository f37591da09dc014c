// What the tests of the main window's image commands share: answering the
// options dialog and picking a row of the device list.
#pragma once

#include <QApplication>
#include <QRadioButton>
#include <QString>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

#include "main/dialogs/dlg_backup.h"

namespace window_test {

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

}  // namespace window_test
