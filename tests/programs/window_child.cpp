// The program's main window in a process of its own, driven line by line
// from standard input as a person would drive it, for the tests that must
// see what only a separate process shows: the device monitor taking in a
// change made from outside, a question still open while the disks change.
// Questions and messages go to standard output as the console asks them
// (a question with what its disks are, then "[y/n]"), answered by the next
// line of standard input.
//
// Commands, each answered by its lines and then "end":
//   rows                     the list's rows: "row <device>|<description>|<linux device>"
//   await <text>             waits (a minute at most) until a row holds <text>, then its rows
//   select <device>          selects the row whose Device column is <device> ("DISK 1")
//   selected                 the selected row's device, or "none"
//   press <page>|<caption>   clicks a side-bar button ("Disk|Wipe Disk")
//   mbr <text>               chooses the MBR page's drive entry that starts with <text>
//   mbr-entry                the MBR page's drive entry
//   click <name>             clicks the button of that object name ("btn_write_part")
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>

#include <chrono>
#include <iostream>
#include <string>

#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"

namespace {

QString RowText(const QTreeWidgetItem* item) {
    return item->text(1) + "|" + item->text(2) + "|" + item->text(7);
}

void PrintRows(QTreeWidget* list) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        std::cout << "row " << RowText(list->topLevelItem(i)).toStdString() << "\n";
}

bool AnyRowHolds(QTreeWidget* list, const QString& text) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (RowText(list->topLevelItem(i)).contains(text)) return true;
    return false;
}

void Run(tarnovell::Tfrmmain& window, const std::string& line) {
    auto* list = window.findChild<QTreeWidget*>("lvdisks");
    auto* drives = window.findChild<QComboBox*>("drivecombopart");
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const QString argument = space == std::string::npos ? QString() : QString::fromStdString(line.substr(space + 1));
    QCoreApplication::processEvents();
    if (command == "rows") {
        PrintRows(list);
    } else if (command == "await") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!AnyRowHolds(list, argument) && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(20);
        }
        if (!AnyRowHolds(list, argument)) std::cout << "timeout\n";
        PrintRows(list);
    } else if (command == "select") {
        list->clearSelection();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(1) == argument) list->setCurrentItem(list->topLevelItem(i));
    } else if (command == "selected") {
        const auto selected = list->selectedItems();
        std::cout << (selected.isEmpty() ? std::string("none") : selected.first()->text(1).toStdString()) << "\n";
    } else if (command == "press") {
        const QStringList parts = argument.split('|');
        const std::string name =
            tarnovell::SideBarButtonName(parts.value(0).toStdString(), parts.value(1).toStdString());
        if (auto* button = window.findChild<QPushButton*>(QString::fromStdString(name))) button->click();
        else std::cout << "no button " << name << "\n";
    } else if (command == "mbr") {
        const int index = drives->findText(argument, Qt::MatchStartsWith);
        drives->setCurrentIndex(index);
        if (index < 0) std::cout << "no entry " << argument.toStdString() << "\n";
    } else if (command == "mbr-entry") {
        std::cout << drives->currentText().toStdString() << "\n";
    } else if (command == "click") {
        if (auto* button = window.findChild<QPushButton*>(argument)) button->click();
        else std::cout << "no button " << argument.toStdString() << "\n";
    } else {
        std::cout << "unknown command " << command << "\n";
    }
    std::cout << "end" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    platform::set_pump([] { QCoreApplication::processEvents(); });
    platform::ConsoleInteraction console(std::cin, std::cout);
    platform::ScopedInteraction questions(console);
    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    window->show();
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) Run(*window, line);
    delete window;
    return 0;
}
