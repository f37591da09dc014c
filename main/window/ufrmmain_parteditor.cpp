// "Partition Editor" on the side bar's Disk page: the partition editor on
// the disk of the selected row.
#include <QString>

#include "main/window/ufrmmain.h"
#include "tools/parteditor/ufrmparteditor.h"

namespace tarnovell {

void Tfrmmain::JvOutlookBar1Pages2Buttons8Click() {
    std::string path;
    if (!Selected(SelectionRule{RowNeed::Disk, kPickADisk, kPickADisk}, path)) return;
    // Owned by the application, not by this window: it lives on its own and
    // frees itself when closed.
    auto* editor = new Tfrmparteditor;
    editor->setWindowTitle(editor->windowTitle() + " " + QString::fromStdString(path));
    editor->DiskPath = path;
    editor->show();
}

}  // namespace tarnovell
