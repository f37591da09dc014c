// "Raw Disk Image": an empty raw image file of a given size, sparse or with
// its space reserved, optionally with a VMDK descriptor and a VMX file that
// let a virtual machine open it. Modeless; it deletes itself when closed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "main/dialogs/tool_window.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tarnovell {

class Tfrmrawdisk : public ToolWindow {
    Q_OBJECT

public:
    explicit Tfrmrawdisk(QWidget* owner = nullptr);

    QLineEdit* txtsparse_file = nullptr;
    QPushButton* btn_open_raw = nullptr;
    QLineEdit* txt_sparse_size = nullptr;
    QRadioButton* rbmb = nullptr;
    QRadioButton* rbkb = nullptr;
    QRadioButton* rbb = nullptr;
    QCheckBox* chk_sparse = nullptr;
    QCheckBox* chk_vm = nullptr;
    QPushButton* btn_make_raw = nullptr;

public slots:
    void btn_open_rawClick();
    void btn_make_rawClick();
};

// The size typed, in bytes: `typed` (a whole number) times `unit` (1,024 for
// KB, 1,048,576 for MB). Nothing, with `problem` saying why, for a text that
// is no whole number, a negative size or one that 64 bits cannot hold.
std::optional<std::int64_t> RawImageSize(const std::string& typed, std::int64_t unit, std::string& problem);

// Asks "File exists! Delete?" about an existing `file`: true when there is
// none or on Yes. Anything but a regular file is never replaced: that is
// said, and false.
bool MayReplaceFile(const std::string& file);
// The same, and the file is deleted at once on Yes: true when nothing is
// (any longer) in the way.
bool ClearWayForFile(const std::string& file);

}  // namespace tarnovell
