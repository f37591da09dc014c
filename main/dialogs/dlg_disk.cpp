#include "main/dialogs/dlg_disk.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

constexpr int kRowIndexRole = Qt::UserRole + 1;  // the row's place among the rows shown

}  // namespace

QTreeWidgetItem* MakeDeviceListItem(const disk::DiskListRow& row, int index) {
    auto* item = new QTreeWidgetItem(QStringList{
        QString::fromStdString(row.caption), QString::fromStdString(row.device),
        QString::fromStdString(row.description), QString::fromStdString(row.size), QString::fromStdString(row.used),
        QString::fromStdString(row.unused), QString::fromStdString(row.file_system), QString::fromStdString(row.node)});
    item->setData(0, kRowIndexRole, index);
    return item;
}

std::optional<disk::DiskListRow> SelectedDeviceRow(const QTreeWidget* list,
                                                   const std::vector<disk::DiskListRow>& rows) {
    const auto selected = list->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    bool ok = false;
    const int index = selected.first()->data(0, kRowIndexRole).toInt(&ok);
    if (!ok || index < 0 || static_cast<std::size_t>(index) >= rows.size()) return std::nullopt;
    return rows[static_cast<std::size_t>(index)];
}

Tfrmtarget::Tfrmtarget(QWidget* owner) : ParameterDialog(owner, platform::kProgramCaption) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeLabel("lbltarget", "Please select destination"));
    lvdisks = new QTreeWidget;
    lvdisks->setObjectName("lvdisks");
    // The last column says which disk or volume of this machine a row is.
    lvdisks->setHeaderLabels({"#", "Type", "Name", "Size (MB)", "Used (MB)", "Unused (MB)", "FS", "Linux Device"});
    lvdisks->setRootIsDecorated(false);
    lvdisks->setItemsExpandable(false);
    lvdisks->setUniformRowHeights(true);
    lvdisks->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(lvdisks);
    AddOkCancel(layout);
    resize(640, 320);
}

void Tfrmtarget::SetRows(const std::vector<disk::DiskListRow>& rows) {
    lvdisks->clear();
    rows_ = rows;
    for (std::size_t i = 0; i < rows_.size(); ++i)
        lvdisks->addTopLevelItem(MakeDeviceListItem(rows_[i], static_cast<int>(i)));
    // Every column as wide as what it holds, and the window wide enough to
    // show them all: a name cut short is no name to choose a disk by.
    int wanted = 2 * lvdisks->frameWidth();
    for (int column = 0; column < lvdisks->columnCount(); ++column) {
        lvdisks->resizeColumnToContents(column);
        wanted += lvdisks->columnWidth(column);
    }
    if (wanted + 40 > width()) resize(wanted + 40, height());
}

std::optional<disk::DiskListRow> Tfrmtarget::SelectedRow() const { return SelectedDeviceRow(lvdisks, rows_); }

Tfrmresize::Tfrmresize(QWidget* owner) : ParameterDialog(owner, "Resize") {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeLabel("lblprompt", "Enter new partition size"));
    auto* form = new QFormLayout;
    txtcurrent = MakeEdit("txtcurrent");
    // The size the volume has now is told, not asked.
    txtcurrent->setReadOnly(true);
    txtnew = MakeEdit("txtnew");
    form->addRow(MakeLabel("lblcurrent", "Current Size (MB)"), txtcurrent);
    form->addRow(MakeLabel("lblnew", "New Size (MB)"), txtnew);
    layout->addLayout(form);
    AddOkCancel(layout);
}

void Tfrmresize::SetCurrentSize(std::int64_t megabytes) { txtcurrent->setText(QString::number(megabytes)); }

void Tfrmresize::SetNewSize(std::int64_t megabytes) { txtnew->setText(QString::number(megabytes)); }

std::optional<std::int64_t> Tfrmresize::new_size_mb() const { return WholeNumber(txtnew->text()); }

Tfrmpartstyle::Tfrmpartstyle(QWidget* owner) : ParameterDialog(owner, "Create Disk") {
    auto* layout = new QVBoxLayout(this);
    auto* styles = new QHBoxLayout;
    rbmbr = MakeRadio("rbmbr", "MBR", true);
    rbgpt = MakeRadio("rbgpt", "GPT");
    rbraw = MakeRadio("rbraw", "RAW");
    for (QRadioButton* radio : {rbmbr, rbgpt, rbraw}) styles->addWidget(radio);
    layout->addLayout(styles);
    AddOkCancel(layout);
}

int Tfrmpartstyle::style() const {
    if (rbraw->isChecked()) return kStyleRaw;
    if (rbgpt->isChecked()) return kStyleGpt;
    return kStyleMbr;
}

Tfrmproperties::Tfrmproperties(QWidget* owner) : ParameterDialog(owner, "Properties") {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Reports line their values up in columns.
    Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(Memo1);
    resize(560, 480);
}

void Tfrmproperties::SetLines(const std::vector<std::string>& lines) {
    QStringList text;
    for (const std::string& line : lines) text << QString::fromStdString(line);
    Memo1->setPlainText(text.join('\n'));
}

}  // namespace tarnovell
