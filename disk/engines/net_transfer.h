// Network transfers: a disk, volume or file sent to or received from a peer
// over TCP, as a plain byte stream or through the devio protocol. The
// program is always the client; the peer's host is a dotted IPv4 address.
//
// They run on the caller's thread and let its messages run while they wait
// for the peer or the disk; the copy cancel flag, cleared as they start,
// stops them, also while a peer has stalled. Progress moves every 16 MiB.
// Questions and messages go through the interaction, the completion line
// ("Done in " + ms + rate) and "Aborted at" through the status target. A
// local disk or volume is prepared as the raw copies prepare theirs: locked
// and dismounted, and handed back to the system at the end.
#pragma once

#include <cstdint>
#include <string>

#include "disk/copy/operation_context.h"
#include "disk/engines/copy_engine.h"
#include "platform/base/progress.h"

namespace disk {

struct NetTransferResult {
    CopyResult result = CopyResult::Failed;
    std::int64_t bytes = 0;  // moved over the network
};

// Receives a byte stream from host:port into `destination` until the peer
// closes the connection in order. A file is made anew; a reset of the
// connection is an error.
NetTransferResult NetReceiveRaw(const std::string& destination, const std::string& host, std::int64_t port,
                                platform::ProgressBar* progress, platform::OperationTarget* window = nullptr);
// Reads the whole device of a devio server at host:port into `destination`,
// which must be large enough (a file always is).
NetTransferResult NetReceiveDevio(const std::string& destination, const std::string& host, std::int64_t port,
                                  platform::ProgressBar* progress, platform::OperationTarget* window = nullptr);
// Sends `source` (its first `length` bytes when `length` > 0) as a byte
// stream to host:port.
NetTransferResult NetSendRaw(const std::string& source, const std::string& host, std::int64_t port,
                             std::int64_t length, platform::ProgressBar* progress,
                             platform::OperationTarget* window = nullptr);
// Writes `source` (its first `length` bytes when `length` > 0) onto the
// device of a devio server at host:port, which must be large enough.
NetTransferResult NetSendDevio(const std::string& source, const std::string& host, std::int64_t port,
                               std::int64_t length, platform::ProgressBar* progress,
                               platform::OperationTarget* window = nullptr);

// The same, reporting to, asking through and stopped by `context`.
NetTransferResult NetReceiveRaw(const OperationContext& context, const std::string& destination,
                                const std::string& host, std::int64_t port);
NetTransferResult NetReceiveDevio(const OperationContext& context, const std::string& destination,
                                  const std::string& host, std::int64_t port);
NetTransferResult NetSendRaw(const OperationContext& context, const std::string& source, const std::string& host,
                             std::int64_t port, std::int64_t length);
NetTransferResult NetSendDevio(const OperationContext& context, const std::string& source, const std::string& host,
                               std::int64_t port, std::int64_t length);

}  // namespace disk
