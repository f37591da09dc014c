// Copy Files on the Clone page; the tool windows of the side bar (the
// volume list, the partition editor, the image converter, the WIM hub, the
// ISO maker, the 7-Zip extractor, the MD5 window, the LZ4 compressor and
// the raw-image and VMDK-descriptor makers), each click a window of its
// own that frees itself when closed; and the commands of the menus that are
// not operations of their own: About, Screenshot, the volume name to the
// clipboard and a volume opened in the file manager.
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QImage>
#include <QPixmap>
#include <QProgressBar>
#include <QStatusBar>

#include <exception>

#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "main/dialogs/dlg_about.h"
#include "main/dialogs/dlg_disk.h"
#include "main/operations/copy_files.h"
#include "main/operations/open_volume.h"
#include "main/operations/selection.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "tools/convert/ufrmconvert.h"
#include "tools/convimg/ufrmconvimg.h"
#include "tools/extractor/ufrm7zextractor.h"
#include "tools/isomaker/ufrmimapi.h"
#include "tools/lz4/ufrmlz4.h"
#include "tools/md5hash/ufrmmd5hash.h"
#include "tools/parteditor/ufrmparteditor.h"
#include "tools/rawdisk/ufrmrawdisk.h"
#include "tools/volumes/ufrmvolume.h"
#include "tools/wim/hub/ufrmwim.h"

namespace tarnovell {

namespace {

// The volume of the selected partition row, as its description names it
// ("C:"); empty (after saying why) when there is none.
std::string SelectedVolumeLetter(const std::optional<disk::DiskListRow>& row, const char* no_row) {
    const SelectionResult selected = PathOfSelection(row, SelectionRule{RowNeed::Partition, no_row, ""});
    if (!selected.ok) {
        platform::Say(selected.message);
        return "";
    }
    return disk::DevicePathOf(row->description);
}

// An image of the window as a bitmap file.
bool SaveFormImage(QWidget* window, const std::string& file) {
    return window->grab().toImage().save(QString::fromStdString(file), "BMP");
}

}  // namespace

void Tfrmmain::JvOutlookBar1Pages0Buttons3Click() { CopyFiles(); }

void Tfrmmain::CopyFiles() {
    if (busy_) return;
    const std::string source = SelectedVolumeLetter(SelectedRow(), kNoSourceItemSelected);
    if (source.empty()) return;
    Tfrmtarget target(this);
    target.SetRows(disk::FillDiskList(state_.view_mode, state_.units));
    if (target.exec() != QDialog::Accepted) return;
    const std::optional<disk::DiskListRow> chosen = target.SelectedRow();
    if (!chosen) return platform::Say("no destination item selected");
    if (chosen->is_disk()) return platform::Say(kHasToBePart);
    const std::string destination = disk::DevicePathOf(chosen->description);
    state_.cancel = false;
    BusyScope busy(*this);
    CopyVolumeFiles(source, destination, WindowContext(&progress()));
    ClearProgress();
}

void Tfrmmain::JvOutlookBar1Pages1Buttons0Click() {
    auto* window = new Tfrmvolumes(tool_link(), this);
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages2Buttons8Click() {
    std::string path;
    if (!Selected(SelectionRule{RowNeed::Disk, kPickADisk, kPickADisk}, path)) return;
    // Owned by the application, not by this window: it lives on its own and
    // frees itself when closed.
    auto* editor = new Tfrmparteditor(tool_link());
    editor->setWindowTitle(editor->windowTitle() + " " + QString::fromStdString(path));
    editor->DiskPath = path;
    editor->DiskChoice = platform::device::Registry::instance().chosen(path);
    editor->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons0Click() {
    // Owned by the application, not by this window.
    auto* converter = new Tfrmconvert(tool_link());
    converter->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons1Click() {
    auto* window = new Tfrmimapi(state_.program_folder);  // owned by the application, not this window
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons2Click() {
    // Owned by the application, not by this window: a new hub on every click.
    auto* hub = new Tfrmwim(tool_link());
    hub->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons3Click() {
    auto* window = new Tfrmrawdisk(this);
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons4Click() {
    auto* window = new Tfrmconvimg(this);
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons5Click() {
    auto* window = new Tfrm7zExtractor(this);
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons6Click() {
    auto* window = new Tfrmlz4(this);
    window->show();
}

void Tfrmmain::OpenMd5Window() {
    auto* window = new Tfrmmd5hash();  // owned by the application, not this window
    window->show();
}

void Tfrmmain::About1Click() {
    auto* window = new TfrmAbout(this, windowTitle().toStdString(), state_.program_folder);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
}

void Tfrmmain::Screenshot1Click() {
    const std::string name = QDateTime::currentDateTime().toString("MM-dd-yyyy-HHmmss").toStdString() + ".bmp";
    const std::string file = state_.program_folder + name;
    QWidget* active = QApplication::activeWindow();
    if (!SaveFormImage(active ? active : this, file)) return platform::Say("could not save " + file);
    ShowStatus(QString::fromStdString("screen captured to " + name));
}

void Tfrmmain::GetVolumeName1Click() {
    const std::string letter = SelectedVolumeLetter(SelectedRow(), kNoSourceItemSelected);
    if (letter.empty()) return;
    const std::string mount_point = letter + "\\";
    const std::string volume = disk::GetVolumeNameForMountPoint(mount_point);
    QGuiApplication::clipboard()->setText(QString::fromStdString(volume));
    platform::Say(mount_point + " -> " + volume + "\r\ncheck clipboard");
}

void Tfrmmain::Openvolume1Click() {
    const std::string letter = SelectedVolumeLetter(SelectedRow(), kNoSourceItemSelected);
    if (letter.empty()) return;
    const std::string problem = ShowVolumeInFileManager(letter + "\\");
    if (!problem.empty()) platform::Say(problem);
}

}  // namespace tarnovell
