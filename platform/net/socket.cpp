#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace platform::net {

namespace {

constexpr int kWaitSliceMs = 100;

DWORD SocketErrorFromErrno(int err) {
    switch (err) {
    case EINTR: return WSAEINTR;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    // A send after the peer has reset the connection.
    case EPIPE:
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return ErrorFromErrno(err);
    }
}

bool FailWithErrno(int err) {
    SetLastError(SocketErrorFromErrno(err));
    return false;
}

// One slice of waiting for `events` on `fd`: 1 ready, 0 nothing yet, -1
// failed (last error set).
int PollSlice(int fd, short events, int milliseconds) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, milliseconds);
    if (ready < 0) {
        if (errno == EINTR) return 0;
        FailWithErrno(errno);
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

bool WaitGoesOn(const WaitHook& wait) {
    if (!wait || wait()) return true;
    SetLastError(ERROR_CANCELLED);
    return false;
}

sockaddr_in SocketAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    return where;
}

}  // namespace

DWORD WSAGetLastError() { return GetLastError(); }

std::string SocketErrorText(DWORD code) { return std::to_string(code) + " (" + SysErrorMessage(code) + ")"; }

std::optional<std::uint32_t> ParseDottedIPv4(std::string_view text) {
    std::uint32_t address = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == end || *at != '.') return std::nullopt;
            ++at;
        }
        // One to three digits; from_chars alone would take a sign or any length.
        const char* digits = at;
        while (at != end && *at >= '0' && *at <= '9' && at - digits < 3) ++at;
        // "010" means 8 to some readers and 10 to others: neither is guessed.
        if (at == digits || (at - digits > 1 && *digits == '0')) return std::nullopt;
        unsigned value = 0;
        std::from_chars(digits, at, value);
        if (value > 255) return std::nullopt;
        address = (address << 8) | value;
    }
    if (at != end) return std::nullopt;
    return address;
}

// ---- connections ----------------------------------------------------------------

TcpSocket TcpSocket::Connect(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout,
                             const WaitHook& wait) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) {
        FailWithErrno(errno);
        return {};
    }
    sockaddr_in where = SocketAddress(address, port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        if (errno != EINPROGRESS) {
            FailWithErrno(errno);
            return {};
        }
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int ready = PollSlice(fd.get(), POLLOUT, kWaitSliceMs);
            if (ready < 0) return {};
            if (ready > 0) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                SetLastError(WSAETIMEDOUT);
                return {};
            }
            if (!WaitGoesOn(wait)) return {};
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error != 0) {
            FailWithErrno(error);
            return {};
        }
    }
    // Each devio request waits for its reply: a small segment held back by
    // Nagle's algorithm would cost a round trip every block.
    int on = 1;
    if (::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        FailWithErrno(errno);
        return {};
    }
    return TcpSocket(std::move(fd));
}

bool TcpSocket::wait_for(short events, const WaitHook& wait) {
    for (;;) {
        int ready = PollSlice(fd_.get(), events, kWaitSliceMs);
        if (ready < 0) return false;
        if (ready > 0) return true;
        if (!WaitGoesOn(wait)) return false;
    }
}

bool TcpSocket::send_all(std::span<const std::byte> first, std::span<const std::byte> second, const WaitHook& wait) {
    if (!fd_) {
        SetLastError(WSAENOTCONN);
        return false;
    }
    iovec pieces[2] = {{const_cast<std::byte*>(first.data()), first.size()},
                       {const_cast<std::byte*>(second.data()), second.size()}};
    std::size_t index = first.empty() ? 1 : 0;
    while (index < 2) {
        if (pieces[index].iov_len == 0) {
            ++index;
            continue;
        }
        msghdr message{};
        message.msg_iov = &pieces[index];
        message.msg_iovlen = 2 - index;
        // A peer that has gone must give an error here, not kill the process.
        ssize_t sent = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!wait_for(POLLOUT, wait)) return false;
                continue;
            }
            return FailWithErrno(errno);
        }
        auto left = static_cast<std::size_t>(sent);
        while (index < 2 && left >= pieces[index].iov_len) {
            left -= pieces[index].iov_len;
            pieces[index].iov_len = 0;
            ++index;
        }
        if (index < 2) {
            pieces[index].iov_base = static_cast<std::byte*>(pieces[index].iov_base) + left;
            pieces[index].iov_len -= left;
        }
    }
    return true;
}

bool TcpSocket::receive_all(std::span<std::byte> buffer, std::size_t& done, const WaitHook& wait) {
    done = 0;
    if (!fd_) {
        SetLastError(WSAENOTCONN);
        return false;
    }
    while (done < buffer.size()) {
        ssize_t got = ::recv(fd_.get(), buffer.data() + done, buffer.size() - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) return true;  // the peer closed in order
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_for(POLLIN, wait)) return false;
            continue;
        }
        return FailWithErrno(errno);
    }
    return true;
}

void TcpSocket::close() {
    if (!fd_) return;
    ::shutdown(fd_.get(), SHUT_WR);
    fd_.reset();
}

void TcpSocket::abort() {
    if (!fd_) return;
    linger reset{1, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd_.reset();
}

// ---- listening ------------------------------------------------------------------

TcpListener TcpListener::OnLoopback() {
    TcpListener listener;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    sockaddr_in where = SocketAddress(INADDR_LOOPBACK, 0);
    socklen_t length = sizeof where;
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd.get(), 8) != 0 || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        FailWithErrno(errno);
        return listener;
    }
    listener.port_ = ntohs(where.sin_port);
    listener.fd_ = std::move(fd);
    return listener;
}

TcpSocket TcpListener::accept(const WaitHook& wait) {
    if (!fd_) {
        SetLastError(WSAENOTCONN);
        return {};
    }
    for (;;) {
        int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return TcpSocket(UniqueFd(fd));
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailWithErrno(errno);
            return {};
        }
        int ready = PollSlice(fd_.get(), POLLIN, kWaitSliceMs);
        if (ready < 0) return {};
        if (ready == 0 && !WaitGoesOn(wait)) return {};
    }
}

bool SocketPair(TcpSocket& first, TcpSocket& second) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return FailWithErrno(errno);
    first = TcpSocket(UniqueFd(fds[0]));
    second = TcpSocket(UniqueFd(fds[1]));
    return true;
}

}  // namespace platform::net
