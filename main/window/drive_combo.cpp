#include "main/window/drive_combo.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include <exception>

#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/event_hook.h"
#include "platform/base/interaction.h"
#include "platform/base/win_error.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {

constexpr const char* kImageFilter = "VHD File (*.vhd)|*.vhd|IMG File (*.img)|*.img|IMA File (*.ima)|*.ima";

// A key that would type a character, or search the list by one. Tab keeps
// moving the focus.
bool IsTypedKey(const QKeyEvent* key) {
    return !key->text().isEmpty() && key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab;
}

}  // namespace

QComboBox* MakeDriveCombo(const char* name) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    combo->setEditable(false);
    combo->setMinimumContentsLength(40);
    EventHook::Install(combo, [](QEvent* event) {
        return event->type() == QEvent::KeyPress && IsTypedKey(static_cast<QKeyEvent*>(event));
    });
    QObject::connect(combo, &QComboBox::activated, combo, [combo] { ShowDriveComboTarget(combo); });
    return combo;
}

QWidget* MakeSelectorPage(const char* name, QWidget* selector, const QString& label) {
    auto* page = new QWidget;
    page->setObjectName(name);
    auto* layout = new QVBoxLayout(page);
    if (selector) {
        auto* row = new QHBoxLayout;
        if (!label.isEmpty()) row->addWidget(new QLabel(label));
        row->addWidget(selector);
        row->addStretch(1);
        layout->addLayout(row);
    }
    layout->addStretch(1);
    return page;
}

void AddDriveComboEntry(QComboBox* combo, const QString& entry) {
    const std::string identity = disk::DriveComboEntryIdentity(entry.toStdString());
    // An entry whose device could not be told is found again by its text.
    combo->addItem(entry, QString::fromStdString(identity.empty() ? "text " + entry.toStdString() : identity));
}

std::string ChosenEntryPath(const QComboBox* combo) {
    const std::string path = disk::DevicePathOf(combo->currentText().toStdString());
    disk::ChooseDriveComboEntry(path, combo->currentData().toString().toStdString());
    return path;
}

void ShowDriveComboTarget(QComboBox* combo) {
    // The page's commands act on the selector's entry: without one, none.
    const bool chosen = combo->currentIndex() >= 0;
    if (!combo->parentWidget()) return;
    for (QWidget* widget : combo->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        // A control that only stops what runs (a page's Cancel) keeps itself
        // usable, should the disk go mid-operation.
        if (widget == combo || qobject_cast<QLabel*>(widget) || widget->property(kKeepsEnabled).toBool()) continue;
        widget->setEnabled(chosen);
    }
}

void RefillDriveCombo(QComboBox* combo, int mode, const std::function<void(const std::string&)>& failed,
                      const std::function<void()>& gone) {
    const bool refill = combo->count() > 0;
    const int chosen = combo->currentIndex();
    const QVariant kept = chosen >= 0 ? combo->itemData(chosen) : QVariant();
    const QString kept_text = combo->currentText();
    combo->clear();
    try {
        for (const auto& entry : disk::FillDriveCombo(mode)) AddDriveComboEntry(combo, QString::fromStdString(entry));
    } catch (const std::exception& e) {
        failed(e.what());
    }
    if (!refill) {
        combo->setCurrentIndex(0);
        return ShowDriveComboTarget(combo);
    }
    // Numbers and letters may have moved: the entry chosen is found again
    // by what it stands for. A file picked through the image entry stays.
    int index = kept.isValid() ? combo->findData(kept) : -1;
    if (index < 0 && kept.toString().startsWith("entry ")) {
        combo->addItem(kept_text, kept);
        index = combo->count() - 1;
    }
    combo->setCurrentIndex(index);
    // What the page shows belongs to a disk that is gone: nothing of it may
    // be written to whatever comes to bear its name.
    if (index < 0 && chosen >= 0 && gone) gone();
    ShowDriveComboTarget(combo);
}

bool PickDiskImage(QWidget* owner, QComboBox* combo) {
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(owner, "", kImageFilter, true, file, "", "", &filter_index)) return false;
    // A FIFO or a device that only streams would block the first read.
    if (const auto facts = platform::FileFactsOf(file); facts && !facts->is_regular() && !facts->is_block_device()) {
        platform::Say(platform::FailureLine("could not createfile", file, platform::ERROR_BAD_FILE_TYPE));
        return false;
    }
    combo->removeItem(combo->currentIndex());
    AddDriveComboEntry(combo, QString::fromStdString(file));
    combo->setCurrentIndex(combo->count() - 1);
    return true;
}

}  // namespace tarnovell
