// The program's one file-dialog routine. Commands describe the files they
// want with the "description|pattern|description|pattern" filters the
// program has always used; RunFileDialog turns them into a Qt dialog.
#pragma once

#include <QStringList>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class QFileDialog;
class QWidget;

namespace tarnovell {

// A copy of `text` with every `a` replaced by `b`.
std::string FilterToNuls(const std::string& text, char a, char b);

// The filter as a list of NUL-terminated strings: every "|" a NUL and one
// more NUL appended, so that with the string's own terminator the list
// always ends in a double NUL, even for a filter without "|".
std::string NulFilterList(const std::string& filter);

// The (description, patterns) pairs of a filter, read the way a file dialog
// reads its NUL list: pairs up to the first empty string. A description left
// without patterns gets an empty pattern text.
std::vector<std::pair<std::string, std::string>> ParseFilter(const std::string& filter);

// Qt name filters for the pairs: "VHD File (*.vhd)". A description that
// already shows its patterns in parentheses is kept; otherwise the patterns
// are added as " (patterns)". ';'-separated patterns become space-separated.
QStringList QtNameFilters(const std::vector<std::pair<std::string, std::string>>& filters);

// The extension the `filter_index`-th (1-based) filter names with its first
// pattern: ".vhd" for "*.vhd"; "" for "*", "*.*" or a filter that is not there.
std::string FilterExtension(const std::string& filter, int filter_index);

// `path` with `extension` added when its name has none; with `exactly`, also
// when it has another one, so that a name typed as "disk.img" for a VHD
// becomes "disk.img.vhd" and the file is what the filter chosen says.
std::string WithFilterExtension(const std::string& path, const std::string& extension, bool exactly);

// The longest path the dialog hands back: its buffer held 261 characters
// with the terminator.
constexpr int kMaxFileDialogPath = 260;

// Shows an open (`open`) or save dialog. True when the user confirmed a file:
// `path` := the file and `filter_index` (when given) := the 1-based place of
// the filter the user ended on. Otherwise, or when the chosen path is longer
// than kMaxFileDialogPath, false and `path` unchanged. `path` on entry is the
// proposed name; an empty title or folder leaves Qt's default; the default
// extension is given as "html", ".html" or "*.html", and "*" or "" adds none.
bool RunFileDialog(QWidget* owner, const std::string& default_extension, const std::string& filter, bool open,
                   std::string& path, const std::string& title, const std::string& initial_folder,
                   int* filter_index = nullptr);

// Shows a folder dialog titled `title` starting in `initial_folder`. True
// when the user chose a folder: `folder` := it. Answered by the same hook
// as the file dialogs.
bool RunFolderDialog(QWidget* owner, const std::string& title, const std::string& initial_folder,
                     std::string& folder);

// Stands in for showing the dialog: receives the dialog RunFileDialog set up
// and returns its result (QDialog::Accepted or Rejected) after choosing a
// file and filter on it. Lets tests answer without a person at the machine.
using FileDialogHook = std::function<int(QFileDialog&)>;
// Installs `hook` (an empty one restores the real dialog); returns the previous one.
FileDialogHook SetFileDialogHook(FileDialogHook hook);

}  // namespace tarnovell
