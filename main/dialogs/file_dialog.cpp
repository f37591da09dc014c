#include "main/dialogs/file_dialog.h"

#include <QFileDialog>

#include <algorithm>
#include <utility>

#include "platform/base/ascii.h"

namespace tarnovell {

namespace {

FileDialogHook& Hook() {
    static FileDialogHook hook;
    return hook;
}

// The patterns as Qt reads them: separated by spaces. "*.*" meant every file
// to the system the filters were written for; to Qt it means only names with
// a dot, so it becomes "*".
std::string QtPatterns(const std::string& patterns) {
    std::string result;
    std::size_t at = 0;
    while (at <= patterns.size()) {
        std::size_t end = patterns.find(';', at);
        if (end == std::string::npos) end = patterns.size();
        const std::string piece = platform::Trim(patterns.substr(at, end - at));
        at = end + 1;
        if (piece.empty()) continue;
        if (!result.empty()) result += ' ';
        result += piece == "*.*" ? "*" : piece;
    }
    return result.empty() ? "*" : result;
}

std::string QtNameFilter(const std::string& description, const std::string& patterns) {
    const std::string qt_patterns = QtPatterns(patterns);
    if (description.empty()) return qt_patterns;
    if (patterns.empty()) {
        // Nothing to add: a description that names its patterns still filters by them.
        if (description.find('(') != std::string::npos) return description;
        return description + " (" + qt_patterns + ")";
    }
    // A description that shows its patterns ("All files (*.*)") keeps them,
    // spelt its own way, when they are the same to Qt; only the separators
    // Qt reads differently change.
    const std::size_t open = description.rfind('(');
    const std::size_t close = description.rfind(')');
    if (open != std::string::npos && close != std::string::npos && open < close) {
        const std::string shown = QtPatterns(description.substr(open + 1, close - open - 1));
        if (platform::ToLower(shown) == platform::ToLower(qt_patterns))
            return description.substr(0, open + 1) + shown + description.substr(close);
    }
    return description + " (" + qt_patterns + ")";
}

// The next NUL-terminated string of `list` from `at`; `at` moves past its NUL.
std::string NextString(const std::string& list, std::size_t& at) {
    if (at >= list.size()) return {};
    std::size_t end = list.find('\0', at);
    if (end == std::string::npos) end = list.size();
    std::string piece = list.substr(at, end - at);
    at = end + 1;
    return piece;
}

}  // namespace

std::string FilterToNuls(const std::string& text, char a, char b) {
    std::string copy = text;
    std::replace(copy.begin(), copy.end(), a, b);
    return copy;
}

std::string NulFilterList(const std::string& filter) { return FilterToNuls(filter, '|', '\0') + '\0'; }

std::vector<std::pair<std::string, std::string>> ParseFilter(const std::string& filter) {
    const std::string list = NulFilterList(filter);
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t at = 0;
    while (true) {
        std::string description = NextString(list, at);
        if (description.empty()) break;
        pairs.emplace_back(std::move(description), NextString(list, at));
        if (pairs.back().second.empty()) break;
    }
    return pairs;
}

QStringList QtNameFilters(const std::vector<std::pair<std::string, std::string>>& filters) {
    QStringList result;
    for (const auto& [description, patterns] : filters)
        result << QString::fromStdString(QtNameFilter(description, patterns));
    return result;
}

std::string FilterExtension(const std::string& filter, int filter_index) {
    const auto filters = ParseFilter(filter);
    if (filter_index < 1 || static_cast<std::size_t>(filter_index) > filters.size()) return {};
    std::string pattern = filters[static_cast<std::size_t>(filter_index) - 1].second;
    pattern = platform::Trim(pattern.substr(0, pattern.find(';')));
    if (pattern.rfind("*.", 0) != 0 || pattern.size() < 3 || pattern.find_first_of("*?", 2) != std::string::npos)
        return {};
    return platform::ToLower(pattern.substr(1));
}

std::string WithFilterExtension(const std::string& path, const std::string& extension, bool exactly) {
    if (extension.empty()) return path;
    const std::size_t name_at = path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1;
    const std::string name = path.substr(name_at);
    if (name.empty()) return path;
    const std::size_t dot = name.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    if (!has_extension) return (dot + 1 == name.size() ? path.substr(0, path.size() - 1) : path) + extension;
    if (exactly && !platform::EqualsNoCase(name.substr(dot), extension)) return path + extension;
    return path;
}

FileDialogHook SetFileDialogHook(FileDialogHook hook) { return std::exchange(Hook(), std::move(hook)); }

bool RunFileDialog(QWidget* owner, const std::string& default_extension, const std::string& filter, bool open,
                   std::string& path, const std::string& title, const std::string& initial_folder,
                   int* filter_index) {
    QFileDialog dialog(owner);
    // One dialog on every desktop, and one the tests can drive.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // The callers ask about an existing file themselves when it matters.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    const QStringList name_filters = QtNameFilters(ParseFilter(filter));
    if (!name_filters.isEmpty()) dialog.setNameFilters(name_filters);
    if (!title.empty()) dialog.setWindowTitle(QString::fromStdString(title));
    if (!initial_folder.empty()) dialog.setDirectory(QString::fromStdString(initial_folder));
    // "html", ".html" and "*.html" all name the extension html; "*" none.
    std::string suffix = default_extension;
    while (!suffix.empty() && (suffix.front() == '*' || suffix.front() == '.')) suffix.erase(0, 1);
    if (!suffix.empty()) dialog.setDefaultSuffix(QString::fromStdString(suffix));
    if (!path.empty()) dialog.selectFile(QString::fromStdString(path));

    const int result = Hook() ? Hook()(dialog) : dialog.exec();
    if (result != QDialog::Accepted) return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty() || chosen.first().size() > kMaxFileDialogPath) return false;
    path = chosen.first().toStdString();
    if (filter_index) *filter_index = static_cast<int>(name_filters.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}

bool RunFolderDialog(QWidget* owner, const std::string& title, const std::string& initial_folder,
                     std::string& folder) {
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!title.empty()) dialog.setWindowTitle(QString::fromStdString(title));
    if (!initial_folder.empty()) dialog.setDirectory(QString::fromStdString(initial_folder));
    const int result = Hook() ? Hook()(dialog) : dialog.exec();
    if (result != QDialog::Accepted) return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
    folder = chosen.first().toStdString();
    return true;
}

}  // namespace tarnovell
