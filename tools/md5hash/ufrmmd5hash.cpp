#include "tools/md5hash/ufrmmd5hash.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <chrono>
#include <memory>
#include <mutex>

#include "disk/checksum/md5.h"
#include "main/dialogs/file_dialog.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/base/replace_file.h"
#include "platform/os/file_facts.h"
#include "platform/os/thread.h"

namespace tarnovell {

Tfrmmd5hash* frmmd5hash = nullptr;

namespace {

std::string FileNameOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Md5Routine& RoutineForTesting() {
    static Md5Routine routine;
    return routine;
}

}  // namespace

void SetMd5RoutineForTesting(Md5Routine routine) { RoutineForTesting() = std::move(routine); }

std::string Md5FileOf(const std::string& file) {
    auto slash = file.find_last_of('/');
    auto dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
        return file + ".md5";
    return file.substr(0, dot) + ".md5";
}

Tfrmmd5hash::Tfrmmd5hash(QWidget* owner) : ToolWindow(owner, "frmmd5hash", "MD5 Hash") {
    frmmd5hash = this;

    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    txtfilename = new QLineEdit;
    txtfilename->setObjectName("txtfilename");
    btnmd5 = new QPushButton("...");
    btnmd5->setObjectName("btnmd5");
    txtmd5 = new QLineEdit;
    txtmd5->setObjectName("txtmd5");
    txtmd5->setReadOnly(true);
    CheckBox1 = new QCheckBox("Generate {filename}.md5");
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->setChecked(true);
    grid->addWidget(new QLabel("File"), 0, 0);
    grid->addWidget(txtfilename, 0, 1);
    grid->addWidget(btnmd5, 0, 2);
    grid->addWidget(new QLabel("MD5"), 1, 0);
    grid->addWidget(txtmd5, 1, 1, 1, 2);
    layout->addLayout(grid);
    layout->addWidget(CheckBox1);
    layout->addStretch(1);
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    layout->addWidget(StatusBar1);
    resize(520, 150);
    connect(btnmd5, &QPushButton::clicked, this, &Tfrmmd5hash::btnmd5Click);
}

Tfrmmd5hash::~Tfrmmd5hash() {
    if (frmmd5hash == this) frmmd5hash = nullptr;
}

void Tfrmmd5hash::SetCommandsEnabled(bool enabled) { btnmd5->setEnabled(enabled); }

void Tfrmmd5hash::StopRun() { *stop_ = true; }

void Tfrmmd5hash::btnmd5Click() {
    txtfilename->clear();
    txtmd5->clear();
    std::string file;
    if (!RunFileDialog(this, "", "All files (*.*)|*", true, file, "", "")) return;
    HashFile(file);
}

void Tfrmmd5hash::HashFile(const std::string& file) {
    Run([&] { Hash(file); });
}

void Tfrmmd5hash::Hash(const std::string& file) {
    txtfilename->setText(QString::fromStdString(file));
    const std::string md5_file = Md5FileOf(file);
    // The digest file would replace what it is the digest of.
    auto hashed = platform::FileFactsOf(file);
    auto target = platform::FileFactsOf(md5_file);
    if (hashed && target && hashed->same_file(*target)) {
        platform::Say(md5_file + " is the file to hash: its digest cannot be written over it");
        return;
    }

    // What the worker hands back; read on this thread once it has ended.
    struct Outcome {
        std::string digest;
        std::string error;
    };
    auto outcome = std::make_shared<Outcome>();
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    const Md5Routine routine =
        RoutineForTesting() ? RoutineForTesting() : Md5Routine([](const std::string& name, std::atomic<bool>& stop) {
            return disk::MD5File(name, &stop);
        });
    *stop_ = false;
    platform::WorkerThread worker([outcome, file, routine, stop = stop_]() -> platform::DWORD {
        try {
            outcome->digest = routine(file, *stop);
            return 0;
        } catch (const std::exception& e) {
            outcome->error = e.what();
            return 1;
        }
    });
    StatusBar1->showMessage("in progress...");
    // The window's messages run while it waits; a close stops the worker,
    // and the window stays until the worker has ended.
    while (!worker.wait_for(std::chrono::milliseconds(1000))) {
        StatusBar1->showMessage(QString::number(elapsed()) + " ms elaped...");
        platform::pump();
    }
    // A worker that ended without its exit code failed for good (a fault
    // in it was reported and it was let go): it has no digest to keep.
    if (!worker.exit_code()) {
        StatusBar1->showMessage("Failed after " + QString::number(elapsed()) + " ms");
        return;
    }
    if (outcome->error.empty() && outcome->digest.empty()) {
        StatusBar1->showMessage("Aborted after " + QString::number(elapsed()) + " ms");
        return;
    }
    StatusBar1->showMessage("Done in " + QString::number(elapsed()) + " ms");
    if (!outcome->error.empty()) {
        platform::Say(outcome->error);
        return;
    }
    txtmd5->setText(QString::fromStdString(outcome->digest));
    if (!platform::ReplaceFileContents(md5_file, outcome->digest + "\t" + FileNameOf(file) + "\r\n"))
        platform::Say("Cannot create file \"" + md5_file + "\". " + platform::SysErrorMessage(platform::GetLastError()));
}

}  // namespace tarnovell
