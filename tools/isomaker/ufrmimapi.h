// "Make ISO disc image": an ISO image of a folder, bootable from BIOS, EFI
// or both, built through the image-mastering service and patched for the
// boot loaders that need it; each patch step goes to log.txt beside the
// program. Closing the window during a build stops the build; the window
// goes once it has ended, and the destination is left as it was.
#pragma once

#include <string>

#include "main/dialogs/tool_window.h"

class QAction;
class QComboBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmimapi : public ToolWindow {
    Q_OBJECT

public:
    // Modeless; deletes itself when closed. Its log and the folder it first
    // offers are in `program_folder` (with its trailing '/').
    explicit Tfrmimapi(const std::string& program_folder, QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QPushButton* Button1 = nullptr;
    QLineEdit* txtdestination = nullptr;
    QPushButton* Button3 = nullptr;
    QLineEdit* txtbootfile_x86 = nullptr;
    QPushButton* Button4 = nullptr;
    QLineEdit* txtbootfile_EFI = nullptr;
    QPushButton* Button5 = nullptr;
    QComboBox* cmbplatform_1 = nullptr;
    QComboBox* cmbemulation_1 = nullptr;
    QComboBox* cmbfs = nullptr;
    QComboBox* cmbsize = nullptr;
    QPushButton* Button2 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QMenu* X86BootOptions = nullptr;
    QMenu* EFIBootOptions = nullptr;
    QAction* PatchBootTable = nullptr;

    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    // Fills the boot files and destination for a chosen source folder.
    void SourceChosen(const std::string& folder);

    int bios_emulation() const { return bios_emulation_; }
    int efi_emulation() const { return efi_emulation_; }
    std::string LogPath() const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void SetCommandsEnabled(bool enabled) override;

private:
    QMenu* EmulationMenu(const QString& title, const char* name, int* emulation);

    std::string program_folder_;
    int bios_emulation_ = 0;
    int efi_emulation_ = 0;
};

}  // namespace tarnovell
