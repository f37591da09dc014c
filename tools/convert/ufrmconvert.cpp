#include "tools/convert/ufrmconvert.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <filesystem>

#include "disk/copy/copy_loop.h"
#include "disk/engines/convert.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/net_transfer.h"
#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/file_dialog.h"
#include "main/dialogs/window_reporting.h"
#include "main/operations/vhd_copy.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/os/system_facts.h"
#include "tools/convert/convert_plan.h"

namespace tarnovell {

namespace {

QListWidget* KindList(const char* name, const std::vector<std::string>& kinds) {
    auto* list = new QListWidget;
    list->setObjectName(name);
    for (const std::string& kind : kinds) list->addItem(QString::fromStdString(kind));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    return list;
}

std::string KindOf(const QListWidget* list) {
    const QListWidgetItem* item = list->currentItem();
    return item && item->isSelected() ? item->text().toStdString() : std::string();
}

}  // namespace

Tfrmconvert::Tfrmconvert(ToolLink link, QWidget* owner)
    : QWidget(owner, Qt::Window), services_(std::move(link)) {
    setObjectName("frmconvert");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Pelmatic");

    lstSource = KindList("lstSource", ConvertSourceKinds());
    lstDestination = KindList("lstDestination", InitialDestinationKinds());
    txtSource = new QLineEdit;
    txtSource->setObjectName("txtSource");
    txtSource->setToolTip("You can use \\\\.\\physicaldriveX, or \\\\.\\X: for RAW");
    txtSource->setPlaceholderText(txtSource->toolTip());
    btnSource = MakeButton("btnSource", "...");
    txtDestination = new QLineEdit;
    txtDestination->setObjectName("txtDestination");
    txtDestination->setToolTip("you can use ip:port for devio or netcat");
    txtDestination->setPlaceholderText(txtDestination->toolTip());
    btnDestination = MakeButton("btnDestination", "...");
    btnGo = MakeButton("btnGo", "GO");
    btnGo->setMinimumHeight(36);
    btnCancel = MakeButton("btnCancel", "Cancel");
    btnCancel->setMinimumHeight(36);
    btnCancel->setEnabled(false);
    pb_img = new QProgressBar;
    pb_img->setObjectName("pb_img");
    pb_img->setRange(0, 100);
    pb_img->setValue(0);
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);

    // The kind lists show every entry, and no more room than that.
    for (QListWidget* list : {lstSource, lstDestination}) {
        list->setFixedHeight(list->sizeHintForRow(0) * static_cast<int>(ConvertSourceKinds().size()) +
                             2 * list->frameWidth() + 2);
        list->setMinimumWidth(180);
    }
    connect(lstSource, &QListWidget::itemClicked, this, &Tfrmconvert::lstSourceClick);
    connect(btnSource, &QPushButton::clicked, this, &Tfrmconvert::btnSourceClick);
    connect(btnDestination, &QPushButton::clicked, this, &Tfrmconvert::btnDestinationClick);
    connect(btnGo, &QPushButton::clicked, this, &Tfrmconvert::btnGoClick);
    connect(btnCancel, &QPushButton::clicked, this, &Tfrmconvert::btnCancelClick);

    // The two kinds side by side, each path on a line of its own below:
    // paths are long, kinds are short.
    auto kinds = new QGridLayout;
    auto* source_label = new QLabel("Source");
    source_label->setObjectName("lblSource");
    auto* destination_label = new QLabel("Destination");
    destination_label->setObjectName("lblDestination");
    kinds->addWidget(source_label, 0, 0);
    kinds->addWidget(destination_label, 0, 1);
    kinds->addWidget(lstSource, 1, 0);
    kinds->addWidget(lstDestination, 1, 1);
    auto* paths = new QGridLayout;
    paths->addWidget(txtSource, 0, 0);
    paths->addWidget(btnSource, 0, 1);
    paths->addWidget(txtDestination, 1, 0);
    paths->addWidget(btnDestination, 1, 1);
    paths->setColumnStretch(0, 1);
    btnSource->setFixedWidth(40);
    btnDestination->setFixedWidth(40);

    auto* content = new QVBoxLayout;
    content->setContentsMargins(9, 9, 9, 4);
    content->addLayout(kinds);
    content->addLayout(paths);
    auto* commands = new QHBoxLayout;
    commands->addWidget(btnGo, 1);
    commands->addWidget(btnCancel);
    content->addLayout(commands);
    content->addWidget(pb_img);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(content);
    layout->addWidget(StatusBar1);
    resize(640, sizeHint().height());
}

std::string Tfrmconvert::SourceKind() const { return KindOf(lstSource); }

std::string Tfrmconvert::DestinationKind() const { return KindOf(lstDestination); }

void Tfrmconvert::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Under any other name the program is the converter alone.
    const std::string program = std::filesystem::path(platform::ExecutablePath()).filename().string();
    if (platform::ToLower(program) != "tarnovell")
        setWindowTitle("Pelmatic 1.0.0.2 - part of Tarnovell, from its makers");
}

bool Tfrmconvert::event(QEvent* event) {
    if (event->type() != OperationEvent::Kind()) return QWidget::event(event);
    WMOperation(*static_cast<OperationEvent*>(event));
    return true;
}

void Tfrmconvert::WMOperation(const OperationEvent& message) {
    if (message.channel != platform::WM_OPERATION) return;
    switch (message.kind) {
    case static_cast<int>(platform::OperationKind::Percent):
        pb_img->setValue(static_cast<int>(std::clamp<std::int64_t>(message.percent, 0, pb_img->maximum())));
        break;
    case static_cast<int>(platform::OperationKind::Message): platform::Say(MessageText(message).toStdString()); break;
    case static_cast<int>(platform::OperationKind::Status): StatusBar1->showMessage(MessageText(message)); break;
    default: break;
    }
}

void Tfrmconvert::lstSourceClick() {
    const std::string source = SourceKind();
    if (source.empty()) return;
    lstDestination->clear();
    for (const std::string& kind : DestinationKindsFor(source))
        lstDestination->addItem(QString::fromStdString(kind));
}

bool Tfrmconvert::AskPeer(bool netcat, QLineEdit* field) {
    TfrmDevio dialog(this);
    dialog.grp_physical->setVisible(false);
    (netcat ? dialog.rbNetcat : dialog.rbdevio)->setChecked(true);
    if (dialog.exec() != QDialog::Accepted) return false;
    field->setText(QString::fromStdString(dialog.host()));
    return true;
}

void Tfrmconvert::btnSourceClick() {
    const std::string kind = SourceKind();
    if (kind.empty()) return;
    if (IsNetworkKind(kind)) {
        if (!AskPeer(kind == "NETCAT", txtSource)) return;
    } else {
        std::string file;
        if (!RunFileDialog(this, "", SourceFilter(kind), true, file, "", "")) return;
        txtSource->setText(QString::fromStdString(file));
        txtDestination->setText(QString::fromStdString(ProposedDestination(file)));
    }
    raise();
    activateWindow();
}

void Tfrmconvert::btnDestinationClick() {
    const std::string kind = DestinationKind();
    if (kind.empty()) return;
    if (IsNetworkKind(kind)) {
        AskPeer(kind == "NETCAT", txtDestination);
        return;
    }
    std::string file = txtDestination->text().toStdString();
    if (RunFileDialog(this, "", DestinationFilter(kind), false, file, "", ""))
        txtDestination->setText(QString::fromStdString(file));
}

void Tfrmconvert::btnGoClick() {
    const std::string source_kind = SourceKind(), destination_kind = DestinationKind();
    const std::string source = WithoutTrailingBackslash(txtSource->text().toStdString());
    const std::string destination = WithoutTrailingBackslash(txtDestination->text().toStdString());
    if (running_ || source_kind.empty() || destination_kind.empty() || source.empty() || destination.empty()) return;
    // Its questions and messages are this window's, not the main window's.
    QuestionOwner asking(this);
    running_ = true;
    btnGo->setEnabled(false);
    btnCancel->setEnabled(true);
    // Nothing of the last conversion is taken for this one's.
    pb_img->setValue(0);
    StatusBar1->clearMessage();
    // A disk or volume typed is the one the name means now, when the
    // conversion starts: another that takes its name before the first byte
    // is not written.
    platform::device::ChooseAsItIsNow(destination);
    try {
        Run(source_kind, destination_kind, source, destination);
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    // What the routine posted last arrives before the window takes new work.
    QCoreApplication::sendPostedEvents(this, OperationEvent::Kind());
    running_ = false;
    run_cancel_ = nullptr;
    btnCancel->setEnabled(false);
    btnGo->setEnabled(true);
    if (close_when_done_) close();
}

void Tfrmconvert::btnCancelClick() {
    if (running_ && run_cancel_) *run_cancel_ = true;
}

void Tfrmconvert::Run(const std::string& source_kind, const std::string& destination_kind, const std::string& source,
                      const std::string& destination) {
    BarProgress bar(pb_img);
    PostingTarget status(this);
    // The peer's address is in the field of the network side.
    auto peer = [&](const std::string& field, HostAndPort& out) {
        out = SplitHostPort(field);
        if (!out.port) platform::Say("'" + out.port_text + "' is not a valid integer value");
        return out.port.has_value();
    };
    auto vhd_worker = [&](int mode) {
        run_cancel_ = &services_.CancelFlag(own_cancel_);
        *run_cancel_ = false;
        RunVhdCopy(*run_cancel_, source, destination, mode, &status, &bar);
    };
    run_cancel_ = &disk::copy_cancel;
    HostAndPort to;
    switch (ConvertActionFor(source_kind, destination_kind)) {
    case ConvertAction::None: break;
    case ConvertAction::RawToEwf: disk::RawToEwf(source, destination, &bar, &status); break;
    case ConvertAction::NetSendDevio:
        if (peer(destination, to)) disk::NetSendDevio(source, to.host, *to.port, 0, &bar, &status);
        break;
    case ConvertAction::VhdWorkerFixed: vhd_worker(kDeviceToFixedVhd); break;
    case ConvertAction::VhdWorkerDynamic: vhd_worker(kDeviceToDynamicVhd); break;
    case ConvertAction::NetSendRaw:
        if (peer(destination, to)) disk::NetSendRaw(source, to.host, *to.port, 0, &bar, &status);
        break;
    case ConvertAction::RestoreRaw: disk::RestoreRaw(source, destination, &bar, 0, 0, false, &status); break;
    case ConvertAction::EwfToRaw: disk::EwfToRaw(source, destination, &bar, &status); break;
    case ConvertAction::NetReceiveDevio:
        if (peer(source, to)) disk::NetReceiveDevio(destination, to.host, *to.port, &bar, &status);
        break;
    case ConvertAction::VdiToRaw: disk::VdiToRaw(source, destination, &bar, &status); break;
    case ConvertAction::VmdkToRaw: disk::VmdkToRaw(source, destination, &bar, &status); break;
    case ConvertAction::VhdWorkerToRaw: vhd_worker(kVhdToDevice); break;
    case ConvertAction::QcowToRaw: disk::QcowToRaw(source, destination, &bar, &status); break;
    case ConvertAction::NetReceiveRaw:
        if (peer(source, to)) disk::NetReceiveRaw(destination, to.host, *to.port, &bar, &status);
        break;
    }
}

void Tfrmconvert::closeEvent(QCloseEvent* event) {
    if (running_) {
        // The conversion runs in this window's frame: it is stopped, and the
        // window goes once it has unwound.
        close_when_done_ = true;
        if (run_cancel_) *run_cancel_ = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

}  // namespace tarnovell
