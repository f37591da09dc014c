// Small dialogs about disks and volumes: the destination picker, the new
// size of a partition, the partition style of a new disk, and the window
// that shows a report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "main/dialogs/dialog_parts.h"

class QLineEdit;
class QPlainTextEdit;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnovell {

// An item of a device list that shows `row` (its columns, the last of which
// says which device of the machine it is), knowing its place `index` among
// the rows.
QTreeWidgetItem* MakeDeviceListItem(const disk::DiskListRow& row, int index);
// The row of `rows` whose item is selected in `list`; nothing without one.
std::optional<disk::DiskListRow> SelectedDeviceRow(const QTreeWidget* list, const std::vector<disk::DiskListRow>& rows);

// "Tarnovell": pick the destination from a list the caller fills. Modal;
// the caller owns it.
class Tfrmtarget : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmtarget(QWidget* owner = nullptr);

    void SetRows(const std::vector<disk::DiskListRow>& rows);
    // Nothing when no row is selected.
    std::optional<disk::DiskListRow> SelectedRow() const;

    QTreeWidget* lvdisks = nullptr;

private:
    std::vector<disk::DiskListRow> rows_;
};

// "Resize": the new size of a partition in whole megabytes. Modal; the
// caller owns it.
class Tfrmresize : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmresize(QWidget* owner = nullptr);

    void SetCurrentSize(std::int64_t megabytes);
    void SetNewSize(std::int64_t megabytes);
    // Nothing when "New Size (MB)" does not hold a whole number.
    std::optional<std::int64_t> new_size_mb() const;

    QLineEdit* txtcurrent = nullptr;
    QLineEdit* txtnew = nullptr;
};

// Partition styles as the disk layout routines number them.
enum PartitionStyle : int { kStyleMbr = 0, kStyleGpt = 1, kStyleRaw = 2 };

// "Create Disk": the partition style. Modal; the caller owns it.
class Tfrmpartstyle : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmpartstyle(QWidget* owner = nullptr);

    // RAW 2, else GPT 1, else MBR 0.
    int style() const;

    QRadioButton* rbmbr = nullptr;
    QRadioButton* rbgpt = nullptr;
    QRadioButton* rbraw = nullptr;
};

// "Properties": a report in a read-only memo, shown modeless. It deletes
// itself when closed, so create it with new and let it go.
class Tfrmproperties : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmproperties(QWidget* owner = nullptr);

    void SetLines(const std::vector<std::string>& lines);

    QPlainTextEdit* Memo1 = nullptr;
};

}  // namespace tarnovell
