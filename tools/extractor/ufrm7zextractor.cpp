#include "tools/extractor/ufrm7zextractor.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <climits>
#include <stdexcept>

#include "disk/bindings/sevenzip/sevenzip.h"
#include "disk/copy/copy_loop.h"
#include "main/dialogs/file_dialog.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/base/replace_file.h"

namespace tarnovell {

disk::sevenzip::GUID SevenZipClassId{};

namespace {

constexpr std::chrono::milliseconds kPumpInterval{100};

constexpr const char* kArchiveFilter =
    "*|*.*|iso|*.iso|zip|*.zip|bz2|*.bz2|rar|*.rar|arj|*.arj|z|*.z|lzh|*.lzh|7z|*.7z|cab|*.cab|wim|*.wim|bkf|*.bkf|"
    "split|*.split|tar|*.tar|gzip|*.gzip|*.vmdk|*.vdi|*.qcow";

}  // namespace

Tfrm7zExtractor::Tfrm7zExtractor(QWidget* owner) : ToolWindow(owner, "frm7zExtractor", "7z Extractor") {
    auto button = [](const char* name, const QString& text) {
        auto* b = new QPushButton(text);
        b->setObjectName(name);
        return b;
    };
    txtfilename = new QLineEdit;
    txtfilename->setObjectName("txtfilename");
    btnOpen = button("btnOpen", "Open");
    ListView1 = new QTreeWidget;
    ListView1->setObjectName("ListView1");
    ListView1->setHeaderLabels({"Idx", "Path", "Size"});
    ListView1->setRootIsDecorated(false);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->header()->resizeSection(1, 320);
    btnExtractFile = button("btnExtractFile", "Extract File");
    btnExtractAll = button("btnExtractAll", "Extract All");
    ProgressBar1 = new QProgressBar;
    ProgressBar1->setObjectName("ProgressBar1");
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(txtfilename, 1);
    top->addWidget(btnOpen);
    layout->addLayout(top);
    layout->addWidget(ListView1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnExtractFile);
    buttons->addWidget(btnExtractAll);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addWidget(ProgressBar1);
    layout->addWidget(StatusBar1);
    resize(560, 420);

    connect(btnOpen, &QPushButton::clicked, this, &Tfrm7zExtractor::btnOpenClick);
    connect(btnExtractFile, &QPushButton::clicked, this, &Tfrm7zExtractor::btnExtractFileClick);
    connect(btnExtractAll, &QPushButton::clicked, this, &Tfrm7zExtractor::btnExtractAllClick);
}

disk::sevenzip::HRESULT Tfrm7zExtractor::SevenZipProgress(bool is_total, std::uint64_t value) {
    if (is_total) {
        progress_shift_ = 0;
        while ((value >> progress_shift_) > static_cast<std::uint64_t>(INT_MAX)) ++progress_shift_;
        ProgressBar1->setMaximum(static_cast<int>(value >> progress_shift_));
    } else {
        ProgressBar1->setValue(static_cast<int>(std::min<std::uint64_t>(value >> progress_shift_, ProgressBar1->maximum())));
    }
    // The library reports often; the window's messages run a few times a
    // second, the first time at once.
    const auto now = std::chrono::steady_clock::now();
    if (now - last_pump_ >= kPumpInterval) {
        last_pump_ = now;
        platform::pump();
    }
    return disk::copy_cancel ? disk::sevenzip::E_ABORT : disk::sevenzip::S_OK;
}

void Tfrm7zExtractor::SetCommandsEnabled(bool enabled) {
    for (QPushButton* button : {btnOpen, btnExtractFile, btnExtractAll}) button->setEnabled(enabled);
}

void Tfrm7zExtractor::Extract(const std::function<void()>& extraction) {
    Run([&] {
        disk::copy_cancel = false;
        last_pump_ = {};
        StatusBar1->showMessage("starting...");
        try {
            extraction();
            StatusBar1->showMessage("done.");
        } catch (const std::exception& e) {
            if (disk::copy_cancel) return StatusBar1->showMessage("Aborted");
            StatusBar1->clearMessage();
            platform::Say(e.what());
        }
    });
}

void Tfrm7zExtractor::btnOpenClick() {
    ListView1->clear();
    SevenZipClassId = disk::sevenzip::GUID{};
    std::string file;
    if (!RunFileDialog(this, "", kArchiveFilter, true, file, "", "")) return;
    ListArchive(file);
}

void Tfrm7zExtractor::ListArchive(const std::string& file) {
    ListView1->clear();
    txtfilename->setText(QString::fromStdString(file));
    SevenZipClassId = disk::sevenzip::ClassIdOfExtension(file);
    try {
        auto archive = disk::sevenzip::Create7zInArchive(SevenZipClassId, disk::sevenzip::kSevenZipLibrary);
        archive->OpenFile(file);
        archive->SetProgressCallback([this](bool total, std::uint64_t value) { return SevenZipProgress(total, value); });
        const std::uint32_t count = archive->NumberOfItems();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (archive->ItemIsFolder(i)) continue;
            auto* row = new QTreeWidgetItem(QStringList{QString::number(i), QString::fromStdString(archive->DisplayPath(i)),
                                                        QString::number(archive->ItemSize(i))});
            ListView1->addTopLevelItem(row);
        }
        archive->Close();
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void Tfrm7zExtractor::btnExtractFileClick() {
    QTreeWidgetItem* row = ListView1->currentItem();
    if (!row) return;
    std::string path = row->text(1).toStdString();
    if (auto slash = path.find_last_of("/\\"); slash != std::string::npos) path.erase(0, slash + 1);
    if (!RunFileDialog(this, "", "", false, path, "", "")) return;
    const std::uint32_t index = row->text(0).toUInt();
    Extract([&] {
        // The chosen file is replaced only by a whole item.
        platform::FileReplacement replacement(path, platform::FileReplacement::Start::Empty);
        if (!replacement)
            throw std::runtime_error("Cannot create file \"" + path + "\". " +
                                     platform::SysErrorMessage(platform::GetLastError()));
        auto stream = std::make_unique<disk::sevenzip::FileStream>(platform::CreateFile(
            replacement.path(), platform::GENERIC_READ | platform::GENERIC_WRITE, 0, platform::OPEN_EXISTING, 0));
        auto archive = disk::sevenzip::Create7zInArchive(SevenZipClassId, disk::sevenzip::kSevenZipLibrary);
        archive->OpenFile(txtfilename->text().toStdString());
        archive->SetProgressCallback([this](bool total, std::uint64_t value) { return SevenZipProgress(total, value); });
        archive->ExtractItem(index, *stream, false);
        archive->Close();
        if (!stream->close() || !replacement.commit())
            throw std::runtime_error("Cannot write \"" + path + "\". " +
                                     platform::SysErrorMessage(platform::GetLastError()));
    });
}

void Tfrm7zExtractor::btnExtractAllClick() {
    std::string folder;
    if (!RunFolderDialog(this, "Select a directory", "", folder) || folder.empty()) return;
    Extract([&] {
        auto archive = disk::sevenzip::Create7zInArchive(SevenZipClassId, disk::sevenzip::kSevenZipLibrary);
        archive->OpenFile(txtfilename->text().toStdString());
        archive->SetProgressCallback([this](bool total, std::uint64_t value) { return SevenZipProgress(total, value); });
        archive->ExtractTo(folder);
        archive->Close();
    });
}

}  // namespace tarnovell
