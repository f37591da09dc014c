#include "main/window/extract_page.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "disk/util/lib_helpers.h"
#include "main/dialogs/dialog_parts.h"
#include "main/window/drive_combo.h"
#include "main/window/event_hook.h"

namespace tarnovell {

QWidget* MakeExtractPage() {
    QWidget* page = MakeSelectorPage("TabSheet12", nullptr, {});
    auto* grid = new QGridLayout;
    QLineEdit* source = MakeEdit("txt_extract_in");
    QLineEdit* destination = MakeEdit("txt_extract_out");
    QLineEdit* start = MakeEdit("txt_extract_start", "0");
    QLineEdit* end = MakeEdit("txt_extract_end", "512");
    // The page has never carried a command of its own: its buttons are
    // there, and say so by being disabled.
    QPushButton* pick_source = MakeButton("btn_extract_in", "...");
    QPushButton* pick_destination = MakeButton("btn_extract_out", "...");
    QPushButton* extract = MakeButton("btn_extract", "Extract");
    for (QPushButton* button : {pick_source, pick_destination, extract}) button->setEnabled(false);
    grid->addWidget(new QLabel("Source"), 0, 0);
    grid->addWidget(source, 0, 1, 1, 3);
    grid->addWidget(pick_source, 0, 4);
    grid->addWidget(new QLabel("Destination"), 1, 0);
    grid->addWidget(destination, 1, 1, 1, 3);
    grid->addWidget(pick_destination, 1, 4);
    grid->addWidget(new QLabel("Offset"), 2, 0);
    grid->addWidget(new QLabel("Start"), 2, 1);
    grid->addWidget(start, 2, 2);
    grid->addWidget(new QLabel("End"), 3, 1);
    grid->addWidget(end, 3, 2);
    grid->addWidget(extract, 4, 4);
    auto* pb_extract = new QProgressBar;
    pb_extract->setObjectName("pb_extract");
    pb_extract->setValue(0);
    // The number fields take digits and dots only (and the editing keys).
    for (QLineEdit* edit : {start, end}) {
        EventHook::Install(edit, [](QEvent* event) {
            if (event->type() != QEvent::KeyPress) return false;
            const QString text = static_cast<QKeyEvent*>(event)->text();
            if (text.isEmpty() || text[0] < QChar(0x20)) return false;
            return !disk::IsInCharSet(text.toStdString());
        });
    }
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    layout->insertLayout(0, grid);
    layout->insertWidget(1, pb_extract);
    return page;
}

}  // namespace tarnovell
