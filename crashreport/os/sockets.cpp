#include "crashreport/os/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace crashreport {

namespace {

bool WaitReadable(int fd, int timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

}  // namespace

bool ResolveHostIPv4(const std::string& name, std::uint32_t& address_network_order) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, name.c_str(), &parsed) == 1) {
        address_network_order = parsed.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    address_network_order = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

TcpConnection::~TcpConnection() { Close(); }

void TcpConnection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TcpConnection::Connect(const std::string& host, std::uint16_t port, int timeout_ms) {
    Close();
    std::uint32_t address = 0;
    if (!ResolveHostIPv4(host, address)) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINPROGRESS) {
            Close();
            return false;
        }
        pollfd entry{fd_, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (::poll(&entry, 1, timeout_ms) != 1 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            Close();
            return false;
        }
    }
    return true;
}

bool TcpConnection::SendText(std::string_view text) {
    if (fd_ < 0) return false;
    while (!text.empty()) {
        const std::size_t piece = std::min<std::size_t>(text.size(), 1024);
        std::size_t sent = 0;
        while (sent < piece) {
            const ssize_t n = ::send(fd_, text.data() + sent, piece - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd entry{fd_, POLLOUT, 0};
                if (::poll(&entry, 1, 30000) == 1) continue;
            }
            return false;
        }
        text.remove_prefix(piece);
    }
    return true;
}

int TcpConnection::Receive(std::string& buffer, std::size_t max_bytes, int timeout_ms) {
    if (fd_ < 0 || !WaitReadable(fd_, timeout_ms)) return -1;
    std::string piece(max_bytes, '\0');
    for (;;) {
        const ssize_t n = ::recv(fd_, piece.data(), max_bytes, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        buffer.append(piece.data(), static_cast<std::size_t>(n));
        return static_cast<int>(n);
    }
}

std::vector<std::string> ExchangeUdpQueryImpl(const std::vector<std::string>& servers, std::uint16_t port,
                                              std::string_view query, int timeout_ms,
                                              bool (*enough)(const std::string&, void*), void* context) {
    std::vector<std::string> replies;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return replies;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    int sent = 0;
    for (const std::string& server : servers) {
        std::uint32_t address = 0;
        if (!ResolveHostIPv4(server, address)) continue;
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = address;
        if (::sendto(fd, query.data(), query.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                     sizeof target) == static_cast<ssize_t>(query.size()))
            ++sent;
    }
    for (int i = 0; i < sent; ++i) {
        if (!WaitReadable(fd, timeout_ms)) break;
        std::string reply(512, '\0');
        const ssize_t n = ::recv(fd, reply.data(), reply.size(), 0);
        if (n <= 0) continue;
        reply.resize(static_cast<std::size_t>(n));
        replies.push_back(reply);
        if (enough(replies.back(), context)) break;
    }
    ::close(fd);
    return replies;
}

std::vector<std::string> SystemDnsServers() {
    std::vector<std::string> servers;
    std::ifstream conf("/etc/resolv.conf");
    std::string line;
    while (std::getline(conf, line)) {
        std::istringstream words(line);
        std::string keyword, server;
        if (words >> keyword >> server && keyword == "nameserver") servers.push_back(server);
    }
    return servers;
}

}  // namespace crashreport
