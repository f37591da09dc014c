#include "main/window/network_commands.h"

#include <QCoreApplication>
#include <QGroupBox>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "disk/device/device_query.h"
#include "disk/engines/net_transfer.h"
#include "main/dialogs/dlg_backup.h"
#include "main/operations/text_helpers.h"
#include "main/dialogs/window_reporting.h"
#include "main/window/page_host.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

struct NetworkChoice {
    std::string host;
    std::int64_t port = 0;
    bool netcat = true;
    bool skip = false;
};

// The peer and the protocol from the "Network" dialog; nothing when it is
// not accepted or its port is no number. The address and the port range are
// the transfer's to check, before it opens anything.
std::optional<NetworkChoice> AskNetworkPeer(QWidget* owner, bool offer_skip) {
    TfrmDevio dialog(owner);
    dialog.grp_physical->setVisible(offer_skip);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    NetworkChoice choice;
    choice.netcat = dialog.netcat();
    choice.skip = offer_skip && dialog.skip_unpartitioned();
    // The host is the text before the first ":"; without one, the host is
    // empty and the whole text is the port.
    const std::string text = dialog.host();
    const std::size_t colon = text.find(':');
    choice.host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    std::optional<int> number = ParseUserInteger(port);
    if (!number) {
        platform::Say("'" + port + "' is not a valid integer value");
        return std::nullopt;
    }
    choice.port = *number;
    return choice;
}

// Runs a transfer on the window's thread and shows its error. Gives the
// status line to end with: "done in " + ms + "ms" when it completed (after
// what the transfer itself posted), nothing otherwise.
std::optional<QString> RunTransfer(QObject* window, const std::function<disk::NetTransferResult()>& transfer,
                                   disk::NetTransferResult& result) {
    const auto started = std::chrono::steady_clock::now();
    try {
        result = transfer();
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    QCoreApplication::sendPostedEvents(window, OperationEvent::Kind());
    if (result.result != disk::CopyResult::Completed) return std::nullopt;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    return QString::fromStdString("done in " + std::to_string(elapsed.count()) + "ms");
}

// One transfer at a time, as they share the progress bar and the cancel
// flag: the status line cleared, the flag down and the selected device in
// `device`; false when there is none or another operation runs.
bool PrepareTransfer(PageHost& host, std::string& device) {
    if (host.busy()) return false;
    host.ShowStatus("");
    host.state().cancel = false;
    return host.Selected(SelectionRule{}, device);
}

}  // namespace

NetworkCommands::NetworkCommands(PageHost& host, QObject* parent) : QObject(parent), host_(host) {}

void NetworkCommands::BackupToNetwork() {
    std::string device;
    if (!PrepareTransfer(host_, device)) return;
    std::optional<NetworkChoice> choice = AskNetworkPeer(host_.DialogOwner(), host_.SelectedRow()->is_disk());
    if (!choice) return;
    std::int64_t size = 0;
    if (choice->skip) {
        size = disk::ReadDiskSector0(device);
        if (!platform::Ask("Backup " + std::to_string(size / 1024 / 1024) + " MBytes ?")) return;
    }
    PageHost::BusyScope busy(host_);
    platform::ProgressBar* bar = &host_.progress();
    platform::OperationTarget* target = &host_.operation_target();
    disk::NetTransferResult result;
    auto done = RunTransfer(host_.DialogOwner(), [&] {
        return choice->netcat ? disk::NetSendRaw(device, choice->host, choice->port, size, bar, target)
                              : disk::NetSendDevio(device, choice->host, choice->port, size, bar, target);
    }, result);
    if (done) host_.ShowStatus(*done);
}

void NetworkCommands::RestoreFromNetwork() {
    std::string device;
    if (!PrepareTransfer(host_, device)) return;
    std::optional<NetworkChoice> choice = AskNetworkPeer(host_.DialogOwner(), false);
    if (!choice) return;
    disk::NetTransferResult result;
    {
        PageHost::BusyScope busy(host_);
        platform::ProgressBar* bar = &host_.progress();
        platform::OperationTarget* target = &host_.operation_target();
        auto done = RunTransfer(host_.DialogOwner(), [&] {
            return choice->netcat ? disk::NetReceiveRaw(device, choice->host, choice->port, bar, target)
                                  : disk::NetReceiveDevio(device, choice->host, choice->port, bar, target);
        }, result);
        if (done) host_.ShowStatus(*done);
    }
    // The received table may hold other volumes.
    if (result.result != disk::CopyResult::Declined) host_.RefreshDrives1Click();
}

}  // namespace tarnovell
