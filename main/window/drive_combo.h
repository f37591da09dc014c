// The drive selectors that head the Advanced tab's pages, and the page
// frame they head: a selector is chosen from, never typed into; while it
// names nothing its page's commands are off; refilled, it keeps the disk,
// volume or file it had chosen, under whatever name that has now.
#pragma once

#include <functional>
#include <string>

class QComboBox;
class QString;
class QWidget;

namespace tarnovell {

// The entry through which a page is pointed at an image file.
inline constexpr const char* kImageEntry = "Disk Image File";

// A selector named `name`: typed keys dropped, and choosing an entry gives
// a page whose disk had gone its commands back.
QComboBox* MakeDriveCombo(const char* name);

// A page named `name`: `selector` (after `label`, when there is one) in a
// row at the top, then a stretch; the page's own fields go between them.
// Without a selector the stretch alone.
QWidget* MakeSelectorPage(const char* name, QWidget* selector, const QString& label);

// An entry with what it stands for, so that a refill finds it again.
void AddDriveComboEntry(QComboBox* combo, const QString& entry);

// The property a control of a selector's page carries (set true) to stay
// usable when the selector has no entry.
inline constexpr const char* kKeepsEnabled = "keepsEnabled";

// The device path of the selector's entry (the text before its first
// blank), the disk or volume the entry stood for when listed becoming the
// choice of that path: a command writes through it only while it still
// means that disk or volume.
std::string ChosenEntryPath(const QComboBox* combo);

// Enables the commands of the selector's page when it names something.
void ShowDriveComboTarget(QComboBox* combo);

// Fills the selector with the entries of list `mode` (the program's drive
// combo modes). A failing query leaves it empty and tells `failed` why. A
// refilled selector keeps its entry; one whose disk or volume is gone
// chooses none and calls `gone`, so that its page forgets what it showed.
void RefillDriveCombo(QComboBox* combo, int mode, const std::function<void(const std::string&)>& failed,
                      const std::function<void()>& gone);

// The pick of the image entry: an image file chosen through the open
// dialog (owned by `owner`) takes the entry's place. False when cancelled
// or when the file cannot be read as an image (said).
bool PickDiskImage(QWidget* owner, QComboBox* combo);

}  // namespace tarnovell
