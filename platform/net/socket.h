// TCP connections over POSIX sockets: what the program asks of Windows
// Sockets (a client connection to a dotted IPv4 address, sends, receives,
// close), plus a listener for peers that serve on this machine.
//
// Every wait for the network is a poll in short slices; after each slice
// without progress the caller's wait hook runs, so a window can pump its
// messages and a cancel flag can end the wait. A stalled peer is therefore
// never taken for a finished one: only an orderly close ends a stream.
// Failures leave a Windows Sockets code (WSAE..., platform/base/win_error.h)
// in the thread's last error, as WSAGetLastError reads it on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::net {

// The thread's last error, set by the calls below.
DWORD WSAGetLastError();
// The code and its text, for messages: "10061 (The remote host refused the
// connection)".
std::string SocketErrorText(DWORD code);

// "a.b.c.d": four decimal numbers of 0 to 255 and nothing else (no names,
// no shortened or octal forms). The address in host byte order.
std::optional<std::uint32_t> ParseDottedIPv4(std::string_view text);
constexpr bool IsValidPort(std::int64_t port) { return port >= 1 && port <= 65535; }

// Runs after every slice (about 100 ms) a call has waited in vain. False
// ends the wait: the call fails with ERROR_CANCELLED.
using WaitHook = std::function<bool()>;

class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(UniqueFd fd) : fd_(std::move(fd)) {}

    explicit operator bool() const { return static_cast<bool>(fd_); }

    // Connects to `address` (host order) and `port`, giving up after
    // `timeout` (WSAETIMEDOUT). The connection sends small messages at once
    // (TCP_NODELAY) and keeps itself alive. Invalid with the last error on
    // failure.
    static TcpSocket Connect(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout,
                             const WaitHook& wait);

    // Sends all of `first`, then all of `second`, as one stream write where
    // the system allows it (a header and its data leave in one segment).
    // False with the last error when the connection fails or the wait is
    // ended.
    bool send_all(std::span<const std::byte> first, std::span<const std::byte> second, const WaitHook& wait);
    bool send_all(std::span<const std::byte> data, const WaitHook& wait) { return send_all(data, {}, wait); }

    // Receives until `buffer` is full or the peer closes the connection in
    // order; `done` counts what arrived (less than the buffer only at the
    // close). False with the last error on a reset or another failure, or
    // when the wait is ended.
    bool receive_all(std::span<std::byte> buffer, std::size_t& done, const WaitHook& wait);

    // Tells the peer nothing more will come (an orderly close of our half)
    // and closes.
    void close();
    // Closes with a reset, so that the peer learns the stream is incomplete
    // instead of taking its end for the end of the data.
    void abort();

private:
    // Waits until the socket is ready for `events`; false (with the last
    // error) when the wait hook ends the wait or poll fails.
    bool wait_for(short events, const WaitHook& wait);

    UniqueFd fd_;
};

// A listening socket on 127.0.0.1 with a port of the system's choosing:
// a peer on this machine (a test's server) that the program connects to.
class TcpListener {
public:
    // Invalid with the last error on failure.
    static TcpListener OnLoopback();
    explicit operator bool() const { return static_cast<bool>(fd_); }
    std::uint16_t port() const { return port_; }
    // The next connection; invalid with the last error when the wait hook
    // ends the wait.
    TcpSocket accept(const WaitHook& wait);
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

// Two connected stream sockets of this process, for exercising one end of a
// protocol against bytes written into the other.
bool SocketPair(TcpSocket& first, TcpSocket& second);

}  // namespace platform::net
