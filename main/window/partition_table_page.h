// The "Master Boot Record" page of the Advanced tab (TabSheet20): the four
// primary entries of sector 0 of a disk or image file shown, edited and
// written back, the disk signature, the HTML export, the hidden
// sectors-to-C.H.S calculator, the "..." menus of the rows
// (partition_row_commands.cpp) and the MBR boot-code and backup buttons
// (boot_record_code.cpp). The page and its fields are the controller's.
#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "main/operations/partition_table_fields.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QMenu;
class QWidget;

namespace tarnovell {

class BootSectorPage;
class PageHost;
struct ByteRange;

class PartitionTablePage : public QObject {
    Q_OBJECT

public:
    // "Open boot sector" of a row points `boot_sector` at the partition.
    PartitionTablePage(PageHost& host, BootSectorPage& boot_sector, QObject* parent);

    // The page (TabSheet20) for the Advanced tab.
    QWidget* page() const { return page_; }
    // Its drive selector (drivecombopart) filled afresh.
    void RefillSelector();

    void TabSheet20Show();
    void drivecombopartChange();
    void btn_read_part_tableClick();
    void btn_reset_part_tableClick();
    void btn_write_partClick();
    void btn_mbr_writehtmlClick();
    void btn_mbr_apply_diskidClick();
    void SectorstoCHS1Click();

    // "..." of partition row 1..4: its menu at the mouse cursor, and the
    // menu's commands.
    void btn_bs_Click(int row);
    void Openbootsector(int row);
    void Backuppartition(int row);
    void Restorepartition(int row);
    void OpenGPTparttable1Click();
    void Createadefaultactivepartition1Click();

    // "Change Boot Code (Only)" and the "MBR" group.
    void btn_change_nt6mbrClick();
    void btn_change_grubmbrClick();
    void brnAnyMbrClick();
    void Button2Click();
    void Button4Click();

private:
    struct MbrRowEdits {
        QLineEdit *b, *hs, *cs, *ss, *t, *he, *ce, *se, *s, *l;
    };
    void AddControls();
    QMenu* MakePartitionRowMenu(int row);
    // What the fields show belongs to a disk that is gone.
    void ForgetTarget();
    // The path the page reads and writes: the selector's entry, a file
    // path whole.
    std::string PartitionTablePath() const;
    // The texts of the rows as they stand.
    MbrRows PartitionRowTexts() const;
    // The bytes row `row` (1..4) covers at `path`; nothing while an operation
    // runs, for a row of no bytes, or (after saying why) a field that is no
    // number.
    std::optional<ByteRange> PartitionRowBytes(int row, const std::string& path);
    // A row's copy: the window busy meanwhile, a failure said, the bar back
    // at 0 afterwards.
    void RunPartitionRowCopy(const std::function<void()>& copy);
    bool RunMbrBootCode(const std::string& file, const std::string& question, const std::string& done);

    PageHost& host_;
    BootSectorPage& boot_sector_;
    QWidget* page_ = nullptr;
    QComboBox* drivecombopart = nullptr;
    std::array<MbrRowEdits, 4> mbr_rows_{};
    QGroupBox* grp_partitions = nullptr;
    QLineEdit* txtMBRDiskID = nullptr;
    std::array<QMenu*, 4> MbrPopupMenus{};
};

}  // namespace tarnovell
