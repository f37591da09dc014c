#include "disk/engines/net_transfer.h"

#include <optional>
#include <stdexcept>

#include "disk/copy/destination_hold.h"
#include "disk/device/handle_ops.h"
#include "disk/net/devio.h"
#include "disk/net/net_endpoints.h"
#include "platform/base/scope_guard.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/path.h"

namespace disk {

using namespace platform;
using platform::net::TcpSocket;
using platform::net::WaitHook;

namespace {

constexpr std::int64_t kNetProgressStep = 16 << 20;
constexpr std::size_t kStreamSendBlock = 1 << 20;

class Transfer {
public:
    explicit Transfer(const OperationContext& context) : context_(context) {}

    bool ask(const std::string& question) const { return context_.ui().confirm(question, kProgramCaption); }
    void tell(const std::string& message) const { context_.ui().inform(message, kProgramCaption); }

    // The wait of the caller's thread for its peer: the window's messages
    // run, and the copy's cancel ends it.
    WaitHook wait() const {
        return [this] {
            pump();
            return !context_.cancelled();
        };
    }

    // Says why the address or port cannot be used; true when it cannot.
    bool refuses(const std::string& host, std::int64_t port) const {
        try {
            CheckPeerAddress(host, port);
            return false;
        } catch (const std::invalid_argument& e) {
            tell(e.what());
            return true;
        }
    }

    // Connects to the peer; when that fails, says so after `prefix` (nothing
    // when the wait was cancelled) and gives the result to return.
    std::optional<CopyResult> connect(TcpSocket& socket, const std::string& host, std::int64_t port,
                                      const char* prefix) const {
        if (createfile_devio(socket, host, port, wait()) == 0) return std::nullopt;
        DWORD code = net::WSAGetLastError();
        if (code == ERROR_CANCELLED) return CopyResult::Cancelled;
        tell(prefix + net::SocketErrorText(code));
        return CopyResult::Failed;
    }

    // The remote device's size by INFO; shown and nothing on failure.
    std::optional<std::int64_t> remote_size(TcpSocket& socket, std::optional<CopyResult>& failure) const {
        try {
            const std::int64_t size = DevioGetSize(socket, wait());
            // A device of no size (or of more than 2^63 bytes) is no device
            // to copy: "Done" with nothing received would hide it.
            if (size <= 0) {
                tell("the devio peer reports a device of size " + std::to_string(size) + ": nothing to copy");
                failure = CopyResult::Failed;
                return std::nullopt;
            }
            return size;
        } catch (const TransferError& e) {
            if (e.cancelled()) {
                failure = CopyResult::Cancelled;
            } else {
                tell(e.what());
                failure = CopyResult::Failed;
            }
            return std::nullopt;
        }
    }

    // A devio peer is asked for one block per request, of the protocol's
    // size. A raw stream has no blocks on the wire: it is received in the
    // loop's usual blocks, as each hand-over between the reading and the
    // writing thread costs more than moving a small block, and sent in
    // blocks of 1 MiB, two read ahead by two readers: a source that is not
    // in the system's cache yet comes faster with two reads under way, and
    // a block read long before it is sent has left the cache by the time
    // its bytes are copied into the connection.
    CopyOutcome copy(CopySource& source, CopySink& sink, std::int64_t limit, bool devio, bool sending) const {
        CopyLoopSettings settings;
        settings.limit = limit;
        settings.source_must_reach_limit = limit > 0;
        settings.block_size = devio ? kNetBlockSize : sending ? kStreamSendBlock : kCopyBlockSize;
        if (sending && !devio) {
            settings.read_ahead = 2;
            settings.readers = 2;
        }
        settings.progress.every_bytes = kNetProgressStep;
        settings.read_errors = ReadErrorPolicy::Stop;
        settings.read_error_prefix = "readFile error:";
        return RunCopyLoop(source, sink, settings, context_);
    }

private:
    const OperationContext& context_;
};

std::string TooSmall(std::int64_t needed, std::int64_t available) {
    return "Destination is too small.\r\n" + std::to_string(needed) + "->" + std::to_string(available);
}

// The peer is called, and a devio device measured against the destination,
// before the destination is touched: a peer that is not there, or a device
// too large, costs it nothing (no file made, no volume locked).
NetTransferResult Receive(const OperationContext& context, const std::string& destination, const std::string& host,
                          std::int64_t port, bool devio) {
    Transfer transfer(context);
    if (transfer.refuses(host, port)) return {};
    if (!context.ui().confirm_about("Overwrite " + destination + "?", kProgramCaption,
                                    device::AboutDevices({destination})))
        return {CopyResult::Declined, 0};

    TcpSocket socket;
    if (auto failure = transfer.connect(socket, host, port, "connect() failed: ")) return {*failure, 0};
    std::int64_t remote = 0;
    if (devio) {
        std::optional<CopyResult> failure;
        auto size = transfer.remote_size(socket, failure);
        if (!size) return {*failure, 0};
        remote = *size;
    }

    if (devio && device::IsDevicePath(destination)) {  // a file grows to what it is given
        Handle measured = CreateFile(destination, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (!measured) {
            transfer.tell(CreateFileError("dst", destination));
            return {};
        }
        const std::int64_t room = EndpointSize(measured, destination, false);
        if (remote > room) {
            transfer.tell(TooSmall(remote, room));
            return {};
        }
    }
    // A file takes the stream and nothing else (no tail of what it held),
    // and only once all of it has come: a peer that fails half-way leaves
    // the old file as it was.
    DestinationOptions where;
    where.length = remote;
    std::unique_ptr<DestinationHold> target = PrepareDestination(context, destination, where);
    if (!target) return {};

    RawSink writer(target->handle(), 0, target->zeros());
    CopyOutcome outcome;
    if (devio) {
        DevioSource reader(socket, remote);
        outcome = transfer.copy(reader, writer, remote, true, false);
    } else {
        TcpStreamSource reader(socket);
        outcome = transfer.copy(reader, writer, 0, false, false);
    }
    // Closing with bytes still unread resets the connection: a sender
    // stopped half-way learns that its stream was not taken.
    socket.close();
    if (outcome.completed() && !target->complete()) return {CopyResult::Failed, outcome.position};
    return {ResultOf(outcome), outcome.position};
}

// The source is opened and measured before the peer is called; the peer
// hears of a failed or cancelled copy by a reset, never by an orderly end
// it could take for the whole stream.
NetTransferResult Send(const OperationContext& context, const std::string& source, const std::string& host,
                       std::int64_t port, std::int64_t length, bool devio) {
    Transfer transfer(context);
    if (transfer.refuses(host, port)) return {};
    if (!transfer.ask("Overwrite " + host + ":" + std::to_string(port) + "?")) return {CopyResult::Declined, 0};

    Handle reading = CreateFile(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                devio ? DWORD{0} : DWORD{FILE_FLAG_SEQUENTIAL_SCAN});
    if (!reading) {
        transfer.tell(CreateFileError("src", source));
        return {};
    }
    if (!PrepareSource(context, reading, source)) return {};
    ScopeGuard unlock_source([&] {
        if (device::IsDevicePath(source) && !device::IsWholeDiskPath(source) && reading) UnlockVolumeHandle(reading);
    });
    std::int64_t size = length > 0 ? length : EndpointSize(reading, source, true);
    if (size == 0) {
        transfer.tell("could not retrieve source size");
        return {};
    }

    TcpSocket socket;
    if (auto failure = transfer.connect(socket, host, port, devio ? "Socket() failed: " : "createfile_devio failed: "))
        return {*failure, 0};
    if (devio) {
        std::optional<CopyResult> failure;
        auto remote = transfer.remote_size(socket, failure);
        if (!remote) return {*failure, 0};
        if (*remote < size) {
            transfer.tell(TooSmall(size, *remote));
            return {};
        }
    }

    RawSource reader(reading, 0, size);
    CopyOutcome outcome;
    if (devio) {
        DevioSink writer(socket, transfer.wait());
        outcome = transfer.copy(reader, writer, size, true, true);
    } else {
        TcpStreamSink writer(socket, transfer.wait());
        outcome = transfer.copy(reader, writer, size, false, true);
    }
    if (outcome.end == CopyEnd::SourceEnded) transfer.tell("readFile error:" + SysErrorMessage(ERROR_HANDLE_EOF));
    if (outcome.completed())
        socket.close();
    else
        socket.abort();
    return {ResultOf(outcome), outcome.position};
}

}  // namespace

NetTransferResult NetReceiveRaw(const std::string& destination, const std::string& host, std::int64_t port,
                                ProgressBar* progress, OperationTarget* window) {
    return NetReceiveRaw(CopyContext(progress, window), destination, host, port);
}

NetTransferResult NetReceiveDevio(const std::string& destination, const std::string& host, std::int64_t port,
                                  ProgressBar* progress, OperationTarget* window) {
    return NetReceiveDevio(CopyContext(progress, window), destination, host, port);
}

NetTransferResult NetSendRaw(const std::string& source, const std::string& host, std::int64_t port,
                             std::int64_t length, ProgressBar* progress, OperationTarget* window) {
    return NetSendRaw(CopyContext(progress, window), source, host, port, length);
}

NetTransferResult NetSendDevio(const std::string& source, const std::string& host, std::int64_t port,
                               std::int64_t length, ProgressBar* progress, OperationTarget* window) {
    return NetSendDevio(CopyContext(progress, window), source, host, port, length);
}

NetTransferResult NetReceiveRaw(const OperationContext& context, const std::string& destination,
                                const std::string& host, std::int64_t port) {
    return Receive(context, destination, host, port, false);
}

NetTransferResult NetReceiveDevio(const OperationContext& context, const std::string& destination,
                                  const std::string& host, std::int64_t port) {
    return Receive(context, destination, host, port, true);
}

NetTransferResult NetSendRaw(const OperationContext& context, const std::string& source, const std::string& host,
                             std::int64_t port, std::int64_t length) {
    return Send(context, source, host, port, length, false);
}

NetTransferResult NetSendDevio(const OperationContext& context, const std::string& source, const std::string& host,
                               std::int64_t port, std::int64_t length) {
    return Send(context, source, host, port, length, true);
}

}  // namespace disk
