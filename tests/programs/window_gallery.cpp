// Pictures of tool windows for the README, taken under Xvfb by
// scripts/screenshot.sh: the program's main window over the demo machine
// (TARNOVELL_HOST), the tool window opened from its side bar as a person
// would, a little work done in it, and the window's own painting saved.
//   window_gallery parteditor|createpart|convert OUTPUT.png
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "tools/convert/ufrmconvert.h"
#include "tools/parteditor/partition_rows.h"
#include "tools/parteditor/ufrmcreatepart.h"
#include "tools/parteditor/ufrmparteditor.h"

namespace {

template <class Window>
Window* Opened() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<Window*>(w); window && window->isVisible()) return window;
    return nullptr;
}

void Press(tarnovell::Tfrmmain& main, const std::string& page, const std::string& caption) {
    auto* button = main.findChild<QPushButton*>(QString::fromStdString(tarnovell::SideBarButtonName(page, caption)));
    if (button) button->click();
}

void SelectRow(QTreeWidget* list, const QString& device) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(1) == device) list->setCurrentItem(list->topLevelItem(i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_gallery parteditor|createpart|convert OUTPUT.png\n");
        return 2;
    }
    const std::string which = argv[1];
    const QString output = QString::fromLocal8Bit(argv[2]);
    QApplication application(argc, argv);
    platform::set_pump([] { QCoreApplication::processEvents(); });
    // Whatever is asked is answered Yes: the pictures show work done.
    platform::ScriptedInteraction answers;
    answers.set_default_confirm(true);
    platform::ScopedInteraction questions(answers);

    tarnovell::MainState state;
    auto* main = new tarnovell::Tfrmmain(state);
    main->show();
    QWidget* shot = nullptr;
    if (which == "parteditor" || which == "createpart") {
        SelectRow(main->findChild<QTreeWidget*>("lvdisks"), "DISK 0");
        Press(*main, "Disk", "Partition Editor");
        auto* editor = Opened<tarnovell::Tfrmparteditor>();
        if (!editor) return 1;
        editor->ListView1->setCurrentItem(editor->ListView1->topLevelItem(1));
        shot = editor;
        if (which == "createpart") {
            auto* dialog = new tarnovell::Tfrmcreatepart(editor);
            dialog->SetTypes(tarnovell::MbrCreateTypeNames(), "IFS");
            dialog->txtoffset->setText("67108864");
            dialog->txtsize->setText("0");
            dialog->show();
            shot = dialog;
        }
    } else if (which == "convert") {
        Press(*main, "Disk Image", "Disk Image Conversion");
        auto* converter = Opened<tarnovell::Tfrmconvert>();
        if (!converter) return 1;
        // The demo's system disk image into an EWF set beside it.
        const std::filesystem::path machine = std::getenv("TARNOVELL_HOST") ? std::getenv("TARNOVELL_HOST") : "";
        const std::string raw = (machine.parent_path() / "disk0.img").string();
        const std::string ewf = (machine.parent_path() / "system.e01").string();
        converter->lstSource->setCurrentRow(0);  // RAW
        converter->lstSourceClick();
        converter->lstDestination->setCurrentRow(0);  // EWF
        converter->txtSource->setText(QString::fromStdString(raw));
        converter->txtDestination->setText(QString::fromStdString(ewf));
        converter->btnGo->click();
        shot = converter;
    } else {
        std::fprintf(stderr, "window_gallery: no window called %s\n", which.c_str());
        return 2;
    }

    int result = 1;
    // Time to lay out and paint, then the picture of the window alone.
    QTimer::singleShot(1500, [&] {
        shot->raise();
        result = shot->grab().save(output) ? 0 : 1;
        application.quit();
    });
    application.exec();
    return result;
}
