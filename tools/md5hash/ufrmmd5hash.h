// "MD5 Hash": the digest of a chosen file, computed on a worker thread,
// shown and stored beside the file in a .md5 file of the same name.
#pragma once

#include <QWidget>

#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmmd5hash : public QWidget {
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
    void showEvent(QShowEvent* event) override;
};

// The window while one is open.
extern Tfrmmd5hash* frmmd5hash;

// The .md5 file of `file`: its extension replaced by ".md5".
std::string Md5FileOf(const std::string& file);

// What the worker computes the digest with: disk::MD5File unless a test
// puts another routine in its place (empty restores it).
using Md5Routine = std::function<std::string(const std::string& file)>;
void SetMd5RoutineForTesting(Md5Routine routine);

}  // namespace tarnovell
