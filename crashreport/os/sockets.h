// The reporter's own network access: TCP connections for SMTP and HTTP and
// UDP exchanges for its DNS look-ups, over plain POSIX sockets. Every wait
// has a time-out, and writes never raise SIGPIPE, so a dead peer can only
// make a send fail, never take the failing program down a second time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crashreport {

// An IPv4 address in dotted form, else the first IPv4 address the name
// resolves to; false when there is none.
bool ResolveHostIPv4(const std::string& name, std::uint32_t& address_network_order);

class TcpConnection {
public:
    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool Connect(const std::string& host, std::uint16_t port, int timeout_ms = 10000);
    bool connected() const { return fd_ >= 0; }
    // Sends the text in pieces of at most 1024 bytes; false at the first
    // piece that does not go out whole.
    bool SendText(std::string_view text);
    // Waits up to `timeout_ms` for data and appends what arrives (at most
    // `max_bytes`). The count read; 0 when the peer closed; -1 on a time-out
    // or an error.
    int Receive(std::string& buffer, std::size_t max_bytes, int timeout_ms);
    void Close();

private:
    int fd_ = -1;
};

// Sends `query` from one UDP socket to port `port` of every server (names
// resolved as above; those that fail are skipped) and collects replies:
// each wait lasts up to `timeout_ms`, at most one reply per query sent, and
// `enough` (called per reply) ends the wait when it answers true.
template <typename F>
std::vector<std::string> ExchangeUdpQuery(const std::vector<std::string>& servers, std::uint16_t port,
                                          std::string_view query, int timeout_ms, F&& enough);
std::vector<std::string> ExchangeUdpQueryImpl(const std::vector<std::string>& servers, std::uint16_t port,
                                              std::string_view query, int timeout_ms,
                                              bool (*enough)(const std::string&, void*), void* context);
template <typename F>
std::vector<std::string> ExchangeUdpQuery(const std::vector<std::string>& servers, std::uint16_t port,
                                          std::string_view query, int timeout_ms, F&& enough) {
    return ExchangeUdpQueryImpl(
        servers, port, query, timeout_ms,
        [](const std::string& reply, void* context) { return (*static_cast<F*>(context))(reply); }, &enough);
}

// The name servers the system resolver uses (the "nameserver" lines of
// resolv.conf, in order).
std::vector<std::string> SystemDnsServers();

}  // namespace crashreport
