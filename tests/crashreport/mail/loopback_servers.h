// Servers on 127.0.0.1 for the reporter's mail and upload tests: a scripted
// SMTP server, an HTTP server with a canned reply and a DNS server that
// knows a few mail exchangers. Each serves a bounded number of requests
// with time-outs, records what it got and stops by itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace crashreport_test {

inline int BindLoopback(int type, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    if (type == SOCK_STREAM) ::listen(fd, 4);
    return fd;
}

inline bool Readable(int fd, int timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeout_ms) == 1;
}

inline void SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads one CRLF-terminated line (without it); false on time-out or close.
inline bool ReadLine(int fd, std::string& pending, std::string& line, std::string& log) {
    for (int rounds = 0; rounds < 1000; ++rounds) {
        const std::size_t end = pending.find("\r\n");
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 2);
            return true;
        }
        if (!Readable(fd, 5000)) return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        log.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

// A mail server that answers every session the same way.
class SmtpServer {
public:
    explicit SmtpServer(std::string ehlo_reply, int sessions = 1) : ehlo_reply_(std::move(ehlo_reply)) {
        fd_ = BindLoopback(SOCK_STREAM, port_);
        thread_ = std::thread([this, sessions] {
            for (int s = 0; s < sessions && Readable(fd_, 10000); ++s) Serve(::accept(fd_, nullptr, nullptr));
        });
    }
    ~SmtpServer() {
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    // What each session received, after the server ended.
    const std::vector<std::string>& Sessions() {
        if (thread_.joinable()) thread_.join();
        return sessions_;
    }

private:
    void Serve(int client) {
        std::string pending, line, log;
        SendAll(client, "220 loopback ready\r\n");
        bool in_data = false;
        int auth_step = 0;
        while (ReadLine(client, pending, line, log)) {
            if (in_data) {
                if (line == ".") {
                    in_data = false;
                    SendAll(client, "250 queued\r\n");
                }
                continue;
            }
            if (auth_step > 0) {
                SendAll(client, auth_step++ == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 welcome\r\n");
                if (auth_step > 2) auth_step = 0;
                continue;
            }
            const std::string verb = line.substr(0, 4);
            if (verb == "EHLO") SendAll(client, ehlo_reply_);
            else if (verb == "HELO") SendAll(client, "250 hello\r\n");
            else if (line == "AUTH LOGIN") {
                SendAll(client, "334 VXNlcm5hbWU6\r\n");
                auth_step = 1;
            } else if (verb == "MAIL" || verb == "RCPT" || verb == "RSET") SendAll(client, "250 ok\r\n");
            else if (verb == "DATA") {
                SendAll(client, "354 go ahead\r\n");
                in_data = true;
            } else if (verb == "QUIT") {
                SendAll(client, "221 bye\r\n");
                break;
            } else SendAll(client, "500 what\r\n");
        }
        ::close(client);
        sessions_.push_back(log);
    }

    std::string ehlo_reply_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::vector<std::string> sessions_;
};

// Answers one HTTP request with a canned reply once the body is in.
class HttpServer {
public:
    explicit HttpServer(std::string reply) : reply_(std::move(reply)) {
        fd_ = BindLoopback(SOCK_STREAM, port_);
        thread_ = std::thread([this] {
            if (!Readable(fd_, 10000)) return;
            const int client = ::accept(fd_, nullptr, nullptr);
            std::size_t wanted = std::string::npos;
            for (int rounds = 0; rounds < 10000 && Readable(client, 5000); ++rounds) {
                char buffer[8192];
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request_.append(buffer, static_cast<std::size_t>(n));
                const std::size_t head_end = request_.find("\r\n\r\n");
                const std::size_t length_at = request_.find("Content-Length: ");
                if (wanted == std::string::npos && head_end != std::string::npos && length_at != std::string::npos)
                    wanted = head_end + std::stoul(request_.substr(length_at + 16));
                // The closing "\r\n" is not counted in the length.
                if (wanted != std::string::npos && request_.size() >= wanted + 2) break;
            }
            SendAll(client, reply_);
            ::close(client);
        });
    }
    ~HttpServer() {
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    const std::string& Request() {
        if (thread_.joinable()) thread_.join();
        return request_;
    }

private:
    std::string reply_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::string request_;
};

// Knows the mail exchangers of a few domains; answers every question.
class DnsServer {
public:
    explicit DnsServer(std::map<std::string, std::string> exchangers, int queries)
        : exchangers_(std::move(exchangers)) {
        fd_ = BindLoopback(SOCK_DGRAM, port_);
        thread_ = std::thread([this, queries] {
            for (int q = 0; q < queries && Readable(fd_, 10000); ++q) {
                char buffer[512];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n =
                    ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 12) continue;
                const std::string query(buffer, static_cast<std::size_t>(n));
                const std::string reply = Answer(query);
                ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        });
    }
    ~DnsServer() {
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    std::vector<std::string> Asked() {
        std::lock_guard guard(lock_);
        return asked_;
    }

private:
    static std::string Labels(const std::string& name) {
        std::string out;
        std::size_t start = 0;
        while (start < name.size()) {
            std::size_t dot = name.find('.', start);
            if (dot == std::string::npos) dot = name.size();
            out.push_back(static_cast<char>(dot - start));
            out += name.substr(start, dot - start);
            start = dot + 1;
        }
        return out + '\0';
    }

    std::string Answer(const std::string& query) {
        std::string name;
        std::size_t at = 12;
        while (at < query.size() && query[at] != 0) {
            const auto length = static_cast<unsigned char>(query[at]);
            if (!name.empty()) name += '.';
            name += query.substr(at + 1, length);
            at += 1 + length;
        }
        const std::size_t question_end = at + 5;
        {
            std::lock_guard guard(lock_);
            asked_.push_back(name);
        }
        std::string reply = query.substr(0, question_end);
        reply[2] = static_cast<char>(0x81);
        reply[3] = static_cast<char>(0x80);
        const auto found = exchangers_.find(name);
        if (found == exchangers_.end()) return reply;
        reply[7] = 1;
        const std::string exchange = Labels(found->second);
        reply += std::string("\xC0\x0C\x00\x0F\x00\x01\x00\x00\x0E\x10", 10);
        const std::size_t data_length = exchange.size() + 2;
        reply.push_back(static_cast<char>(data_length >> 8));
        reply.push_back(static_cast<char>(data_length & 0xFF));
        reply += std::string("\x00\x0A", 2) + exchange;
        return reply;
    }

    std::map<std::string, std::string> exchangers_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> asked_;
};

}  // namespace crashreport_test
