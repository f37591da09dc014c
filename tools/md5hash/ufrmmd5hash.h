// "MD5 Hash": the digest of a chosen file, computed on a worker thread,
// shown and stored beside the file in a .md5 file of the same name. Closing
// the window while it hashes stops the hash; the window goes once the
// worker has ended, and no .md5 file is written for a hash that was stopped.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "main/dialogs/tool_window.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmmd5hash : public ToolWindow {
    Q_OBJECT

public:
    // Modeless; deletes itself when closed.
    explicit Tfrmmd5hash(QWidget* owner = nullptr);
    ~Tfrmmd5hash() override;

    QLineEdit* txtfilename = nullptr;
    QPushButton* btnmd5 = nullptr;
    QLineEdit* txtmd5 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    void btnmd5Click();
    // Hashes `file` and writes its .md5 file; the part after the dialog.
    void HashFile(const std::string& file);

protected:
    void SetCommandsEnabled(bool enabled) override;
    void StopRun() override;

private:
    void Hash(const std::string& file);

    // Set by a close while a hash runs; the worker holds a share of it.
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
};

// The window while one is open.
extern Tfrmmd5hash* frmmd5hash;

// The .md5 file of `file`: its extension replaced by ".md5".
std::string Md5FileOf(const std::string& file);

// What the worker computes the digest with: disk::MD5File unless a test
// puts another routine in its place (empty restores it). It gives "" when
// `stop` was set before it was done.
using Md5Routine = std::function<std::string(const std::string& file, std::atomic<bool>& stop)>;
void SetMd5RoutineForTesting(Md5Routine routine);

}  // namespace tarnovell
