#include "disk/net/devio.h"

#include <chrono>
#include <limits>
#include <stdexcept>

namespace disk {

using platform::net::TcpSocket;
using platform::net::WaitHook;

namespace {

// What connect waits for a peer that does not answer at all, about as long
// as Windows gives it.
constexpr std::chrono::milliseconds kConnectTimeout{21000};

[[noreturn]] void RaiseSocketError(const char* prefix) {
    platform::DWORD code = platform::net::WSAGetLastError();
    throw TransferError(prefix + platform::net::SocketErrorText(code), code);
}

void Send(TcpSocket& socket, std::span<const std::byte> first, std::span<const std::byte> second,
          const WaitHook& wait) {
    if (!socket.send_all(first, second, wait)) RaiseSocketError("sendto() failed: ");
}

// Receives exactly `buffer.size()` bytes: a peer that closes before is as
// much a failure as one that resets.
void ReceiveExactly(TcpSocket& socket, std::span<std::byte> buffer, const WaitHook& wait) {
    std::size_t done = 0;
    if (!socket.receive_all(buffer, done, wait)) RaiseSocketError("recv() failed: ");
    if (done < buffer.size())
        throw TransferError("recv() failed: the remote host closed the connection after " + std::to_string(done) +
                                " of " + std::to_string(buffer.size()) + " bytes",
                            platform::WSAECONNRESET);
}

using platform::BytesOf;

DevioRequest Request(std::uint64_t code, std::int64_t offset, std::size_t length) {
    return {platform::le64::of(code), platform::le64::of(static_cast<std::uint64_t>(offset)),
            platform::le64::of(length)};
}

}  // namespace

PeerAddress CheckPeerAddress(const std::string& host, std::int64_t port) {
    auto address = platform::net::ParseDottedIPv4(host);
    if (!address) throw std::invalid_argument("Not a dotted IPv4 address: '" + host + "'");
    if (!platform::net::IsValidPort(port))
        throw std::invalid_argument("Port out of range (1-65535): " + std::to_string(port));
    return {*address, static_cast<std::uint16_t>(port)};
}

int createfile_devio(TcpSocket& socket, const std::string& host, std::int64_t port, const WaitHook& wait) {
    PeerAddress peer = CheckPeerAddress(host, port);
    socket = TcpSocket::Connect(peer.address, peer.port, kConnectTimeout, wait);
    return socket ? 0 : -1;
}

void SendAll(TcpSocket& socket, std::span<const std::byte> data, const WaitHook& wait) { Send(socket, data, {}, wait); }

std::int64_t DevioGetSize(TcpSocket& socket, const WaitHook& wait) {
    platform::le64 code = platform::le64::of(kDevioInfo);
    Send(socket, BytesOf(code), {}, wait);
    DevioInfoReply reply{};
    ReceiveExactly(socket, BytesOf(reply), wait);
    std::uint64_t size = reply.size.value();
    if (size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw TransferError("bad response: size=" + std::to_string(size), platform::ERROR_INVALID_DATA);
    return static_cast<std::int64_t>(size);
}

void CheckDevioReply(const DevioReply& reply, std::uint64_t requested) {
    if (reply.error.value() == 0 && reply.length.value() == requested) return;
    throw TransferError("bad response: len=" + std::to_string(reply.length.value()) +
                            " errno=" + std::to_string(reply.error.value()),
                        platform::ERROR_INVALID_DATA);
}

void DevioWrite(TcpSocket& socket, std::span<const std::byte> data, std::int64_t offset, const WaitHook& wait) {
    DevioRequest request = Request(kDevioWrite, offset, data.size());
    Send(socket, BytesOf(request), data, wait);
    DevioReply reply{};
    ReceiveExactly(socket, BytesOf(reply), wait);
    CheckDevioReply(reply, data.size());
}

void DevioRead(TcpSocket& socket, std::span<std::byte> buffer, std::int64_t offset, const WaitHook& wait) {
    DevioRequest request = Request(kDevioRead, offset, buffer.size());
    Send(socket, BytesOf(request), {}, wait);
    DevioReply reply{};
    ReceiveExactly(socket, BytesOf(reply), wait);
    CheckDevioReply(reply, buffer.size());
    ReceiveExactly(socket, buffer, wait);
}

}  // namespace disk
