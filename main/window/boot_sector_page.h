// The "Boot Sector" page of the Advanced tab (TabSheet9): one boot sector
// of a volume, disk or image file shown field by field, some fields edited
// in place by a double-click, and its boot-code, backup and restore
// buttons (boot_record_code.cpp). The page and its fields are the
// controller's.
#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "disk/sectors/sectors.h"
#include "main/operations/boot_sector_fields.h"

class QComboBox;
class QLineEdit;
class QString;
class QTabWidget;
class QVariant;
class QWidget;

namespace tarnovell {

class PageHost;

class BootSectorPage : public QObject {
    Q_OBJECT

public:
    // The page shows itself among `tabs` when pointed at a partition.
    BootSectorPage(PageHost& host, QTabWidget* tabs, QObject* parent);

    // The page (TabSheet9) for the Advanced tab.
    QWidget* page() const { return page_; }
    // Its drive selector (DriveComboBS) filled afresh.
    void RefillSelector();

    // The sector "Open boot sector" points the page at (the selector's
    // Tag): 0 normally, a partition's first sector after the row command.
    std::int64_t tag() const { return bs_tag_; }
    // Points the page at sector `sector` of the selector entry `entry`
    // (added when the selector has none of that text, with `identity`) and
    // shows it, which reads it.
    void ShowSectorOf(const QString& entry, const QVariant& identity, std::int64_t sector);

    void TabSheet9Show();
    void DriveComboBSChange();
    void btn_read_bsClick();
    // A double-click on txtbs<field>: the in-place editor of that field.
    void EditBootSectorField(int field);
    void txtbs21DblClick();

    // "Change boot code" and the "Logical Drive" buttons.
    void btnBSNT6Click();
    void btnAnyBSClick();
    void btn_backup_bsClick();
    void btn_restore_bsClick();

private:
    // Where a read took the sector from, and the sector read.
    struct BootSectorRead {
        std::string path;
        std::int64_t offset = 0;  // bytes
        disk::SectorBuffer sector{};
    };
    void AddControls();
    // What the fields show belongs to a volume that is gone.
    void ForgetTarget();
    // The path the page reads and writes: the selector's entry.
    std::string BootSectorPath() const;
    // Reads the page's sector into `read`: at the Tag, or at the sector
    // asked for; the byte offset read is kept so that the editors write
    // where the page read. False when nothing was read.
    bool ReadBootSectorAt(BootSectorRead& read);
    // The sector the page shows, read afresh where it was read; else read
    // anew. False when there is none.
    bool ReadForEdit(BootSectorRead& read);
    bool WriteBootSector(const BootSectorRead& read);
    void ShowFields(const disk::SectorBuffer& sector);
    // The boot sector written from `file` (its BPB kept with `keep_bpb`),
    // `done` said when it was.
    void RestoreBootSectorFrom(const std::string& file, bool keep_bpb, const std::string& done);
    void RunBootSectorCode(const std::string& file, const std::string& question);

    PageHost& host_;
    QTabWidget* tabs_;
    QWidget* page_ = nullptr;
    QComboBox* DriveComboBS = nullptr;
    std::array<QLineEdit*, kBootFieldCount> txtbs{};
    std::int64_t bs_tag_ = 0;
    // Where the page last read: path and byte offset.
    std::string bs_read_path_;
    std::optional<std::int64_t> bs_read_offset_;
};

// Runs a boot-record write with the volumes of the disk held when `path` is
// a whole disk; a hold that fails is said and nothing is written.
void WithDiskVolumesLocked(const std::string& path, const std::function<void()>& write);

}  // namespace tarnovell
