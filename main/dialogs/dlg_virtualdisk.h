// The virtual-disk dialogs: create or open a VHD, expand one, merge a child
// into its parent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "main/dialogs/dialog_parts.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace tarnovell {

// "Create Virtual Disk", or "Open VHD" when the caller opens one: the mode
// text ("create" or "open") says which, and the caller hides what the mode
// does not use. Modal; the caller owns it.
class Tfrmvirtualdisk : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmvirtualdisk(QWidget* owner = nullptr);

    void SetMode(const std::string& mode) { mode_ = mode; }
    const std::string& mode() const { return mode_; }

    std::string path() const;
    std::optional<std::int64_t> size_mb() const;
    std::string parent() const;
    bool permanent() const;
    bool dynamic() const;
    bool read_only() const;
    bool no_drive_letter() const;
    bool create_partition() const;
    // 512 or 4096; 0 for "default".
    int logical_sector_size() const;
    int physical_sector_size() const;

    // OK: an existing file the user agreed to replace goes now, not when it
    // was picked, so that Cancel leaves it where it was.
    void accept() override;

    QLabel* lblpath = nullptr;
    QLineEdit* txtpath = nullptr;
    QPushButton* btnfile = nullptr;
    QLabel* lblsize = nullptr;
    QLineEdit* txtsize = nullptr;
    QLabel* lblparent = nullptr;
    QLineEdit* txtParent = nullptr;
    QPushButton* btnParent = nullptr;
    QCheckBox* chkpermanent = nullptr;
    QCheckBox* chkdynamic = nullptr;
    QCheckBox* chkRO = nullptr;
    QCheckBox* chkNoDriveLetter = nullptr;
    QCheckBox* chkcreatepart = nullptr;
    QGroupBox* grp_logical = nullptr;
    QRadioButton* rblog512 = nullptr;
    QRadioButton* rblog4096 = nullptr;
    QRadioButton* rblogdefault = nullptr;
    QGroupBox* grp_physical = nullptr;
    QRadioButton* rbphy512 = nullptr;
    QRadioButton* rbphy4096 = nullptr;
    QRadioButton* rbphydefault = nullptr;

private:
    void btnfileClick();
    void btnParentClick();

    std::string mode_ = "create";
    // The file the user agreed to delete; only while txtpath still names it.
    std::string delete_on_ok_;
};

// "Expand VHD": the file and its new size. Modal; the caller owns it.
class TfrmExpandVHD : public ParameterDialog {
    Q_OBJECT

public:
    explicit TfrmExpandVHD(QWidget* owner = nullptr);

    std::string vhd() const;
    std::optional<std::int64_t> size_mb() const;

    QLineEdit* txtvhd = nullptr;
    QPushButton* btnvhd = nullptr;
    QLineEdit* txtsize = nullptr;
};

// "Merge VHD": the child to merge into its parent. Modal; the caller owns it.
class TfrmMergeVHD : public ParameterDialog {
    Q_OBJECT

public:
    explicit TfrmMergeVHD(QWidget* owner = nullptr);

    std::string vhd() const;

    QLineEdit* txtvhd = nullptr;
    QPushButton* btnvhd = nullptr;
    QPlainTextEdit* memonote = nullptr;
};

}  // namespace tarnovell
