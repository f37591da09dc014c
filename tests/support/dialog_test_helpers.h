// What the dialog tests share: the one QApplication, a scoped answer to the
// file dialog, a look at how RunFileDialog set the dialog up, scratch files.
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <QFileDialog>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>

#include "main/dialogs/file_dialog.h"
#include "support/case_name.h"
#include "support/test_application.h"

// Readable failures for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace dialog_test {

inline constexpr const char* kVhdFilter = "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx|VHDs File (*.vhds)|*.vhds";

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }
};

using test_support::CaseName;

template <class Param>
class DialogTableTest : public ::testing::TestWithParam<Param> {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }
};

// Answers every file dialog for the life of a scope.
class ScopedFileDialogHook {
public:
    explicit ScopedFileDialogHook(tarnovell::FileDialogHook hook)
        : previous_(tarnovell::SetFileDialogHook(std::move(hook))) {}
    ~ScopedFileDialogHook() { tarnovell::SetFileDialogHook(std::move(previous_)); }
    ScopedFileDialogHook(const ScopedFileDialogHook&) = delete;
    ScopedFileDialogHook& operator=(const ScopedFileDialogHook&) = delete;

private:
    tarnovell::FileDialogHook previous_;
};

// A hook that picks `path` and confirms.
inline tarnovell::FileDialogHook Choose(const std::string& path) {
    return [path](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(path));
        return int(QDialog::Accepted);
    };
}

inline void WriteFile(const std::string& path, const std::string& text = "data") {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// How RunFileDialog set the dialog up, as the hook found it.
struct Seen {
    QFileDialog::AcceptMode accept_mode = QFileDialog::AcceptOpen;
    QFileDialog::FileMode file_mode = QFileDialog::AnyFile;
    QString title, directory, default_suffix, first_filter;
    QStringList name_filters, proposed;
};

inline Seen Look(const QFileDialog& dialog) {
    return Seen{
        dialog.acceptMode(),    dialog.fileMode(),           dialog.windowTitle(), dialog.directory().absolutePath(),
        dialog.defaultSuffix(), dialog.selectedNameFilter(), dialog.nameFilters(), dialog.selectedFiles()};
}

}  // namespace dialog_test
