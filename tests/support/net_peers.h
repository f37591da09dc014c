// Peers for the network transfers on 127.0.0.1: a real tool (socat, nc)
// listening in the background, an in-test devio server over an image in
// memory that can be told to misbehave, and a peer that never reads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "disk/net/devio.h"
#include "platform/base/byte_order.h"
#include "platform/os/child_process.h"
#include "platform/net/socket.h"
#include "support/test_support.h"

namespace test_support {

// A tool that listens on a port of the system's choosing and says which in
// a line on standard error ("socat -d -d": "listening on AF=2
// 127.0.0.1:40123", "nc -v -l": "Listening on localhost 40123"). The
// command runs under sh, so it may redirect its standard input and output
// to files; a tool still running when the peer goes is stopped, so a test
// that never connects cannot hang on it.
class ListeningPeer {
public:
    explicit ListeningPeer(const std::string& command) {
        platform::ChildOptions options;
        options.on_error_line = [this](std::string_view line) {
            // The port is the number that ends the line.
            while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
            std::size_t digits = line.find_last_not_of("0123456789") + 1;
            if (port_ == 0 && line.find("istening on ") != std::string_view::npos && digits < line.size())
                port_ = std::stoi(std::string(line.substr(digits)));
        };
        child_ = platform::ChildProcess({"sh", "-c", "exec " + command}, std::move(options));
        // Output is taken in only while someone waits for the child.
        for (int slice = 0; slice < 3000 && port_ == 0; ++slice)
            if (child_.wait_for(std::chrono::milliseconds(10))) break;
    }
    ListeningPeer(const ListeningPeer&) = delete;
    ListeningPeer& operator=(const ListeningPeer&) = delete;

    // 0 when the tool never said it listens.
    int port() const { return port_; }
    // Waits for the tool to end (a minute at most: then it is stopped) and
    // gives its exit code.
    int wait() {
        if (!result_) {
            if (!child_.wait_for(std::chrono::minutes(1))) child_.stop();
            result_ = child_.wait();
        }
        return result_->exit_code;
    }
    // What the tool said on standard error, once it has ended.
    std::string log() {
        wait();
        return result_->error;
    }

private:
    int port_ = 0;
    platform::ChildProcess child_;
    std::optional<platform::ChildResult> result_;
};

// A devio server for one connection, serving `device` (kept in memory) and
// answering INFO, READ and WRITE as the protocol says, unless it is told to
// break the protocol at one request.
class DevioServer {
public:
    enum class Fault {
        None,
        Error,          // errno 5 and no data
        ShortReply,     // half the length asked for, and that much data
        WrongLength,    // 512 bytes more than asked for, and that much data
        Stall,          // no answer at all, until the server is destroyed
        CloseMidReply,  // a good header, half the data, then the connection closed
        Close,          // the connection closed instead of an answer
    };

    // INFO answers `announced_size`, by default the size of `device`.
    explicit DevioServer(std::string device, std::optional<std::uint64_t> announced_size = std::nullopt)
        : device_(std::move(device)), announced_(announced_size.value_or(device_.size())),
          listener_(platform::net::TcpListener::OnLoopback()) {
        thread_ = std::thread([this] { serve(); });
    }
    ~DevioServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    DevioServer(const DevioServer&) = delete;
    DevioServer& operator=(const DevioServer&) = delete;

    std::uint16_t port() const { return listener_.port(); }
    // Request `index` (0-based, INFO included) gets `fault`.
    void inject(Fault fault, int index) {
        fault_ = fault;
        fault_at_ = index;
    }
    int requests() const { return requests_; }
    bool stalled() const { return stalled_; }
    // Ends the serving thread and returns the device as the writes left it.
    std::string finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(mutex_);
        return device_;
    }
    // READ and WRITE lengths asked for, in order.
    std::vector<std::uint64_t> lengths() {
        std::lock_guard lock(mutex_);
        return lengths_;
    }

private:
    platform::net::WaitHook until_stopped() {
        return [this] { return !stop_.load(); };
    }

    bool receive(platform::net::TcpSocket& socket, void* into, std::size_t size) {
        std::size_t done = 0;
        return socket.receive_all({static_cast<std::byte*>(into), size}, done, until_stopped()) && done == size;
    }
    bool send(platform::net::TcpSocket& socket, const void* data, std::size_t size) {
        return socket.send_all({static_cast<const std::byte*>(data), size}, until_stopped());
    }
    bool reply(platform::net::TcpSocket& socket, std::uint64_t error, std::uint64_t length) {
        disk::DevioReply answer{platform::le64::of(error), platform::le64::of(length)};
        return send(socket, &answer, sizeof answer);
    }

    void serve() {
        platform::net::TcpSocket socket = listener_.accept(until_stopped());
        while (socket && !stop_) {
            platform::le64 code{};
            if (!receive(socket, &code, sizeof code)) return;
            Fault fault = requests_ == fault_at_ ? fault_.load() : Fault::None;
            ++requests_;
            if (fault == Fault::Stall) {
                stalled_ = true;
                while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return;
            }
            if (code.value() == disk::kDevioInfo) {
                if (fault == Fault::Close) return;
                disk::DevioInfoReply info{platform::le64::of(announced_),
                                          platform::le64::of(512), platform::le64::of(0)};
                if (!send(socket, &info, sizeof info)) return;
                continue;
            }
            platform::le64 fields[2];
            if (!receive(socket, fields, sizeof fields)) return;
            std::uint64_t offset = fields[0].value(), length = fields[1].value();
            std::string data(length, '\0');
            bool write = code.value() == disk::kDevioWrite;
            if (write && !receive(socket, data.data(), length)) return;
            if (fault == Fault::Close) return;  // the whole request taken: an orderly close, not a reset
            {
                std::lock_guard lock(mutex_);
                lengths_.push_back(length);
                if (offset + length > device_.size()) {
                    if (!reply(socket, 22, 0)) return;  // EINVAL: past the end
                    continue;
                }
                if (write && fault == Fault::None) device_.replace(offset, length, data);
                if (!write) data = device_.substr(offset, length);
            }
            std::uint64_t answered = length;
            switch (fault) {
            case Fault::Error:
                if (!reply(socket, 5, 0)) return;
                continue;
            case Fault::ShortReply: answered = length / 2; break;
            case Fault::WrongLength: answered = length + 512; break;
            default: break;
            }
            if (!reply(socket, 0, answered)) return;
            if (write) continue;
            data.resize(answered, '\x5A');
            if (fault == Fault::CloseMidReply) {
                send(socket, data.data(), answered / 2);
                return;
            }
            if (!send(socket, data.data(), answered)) return;
        }
    }

    std::mutex mutex_;
    std::string device_;
    std::uint64_t announced_;
    std::vector<std::uint64_t> lengths_;
    platform::net::TcpListener listener_;
    std::atomic<Fault> fault_{Fault::None};
    std::atomic<int> fault_at_{-1};
    std::atomic<int> requests_{0};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A peer that takes one connection and never reads from it: once the
// buffers between are full, every write to it waits for good.
class SilentPeer {
public:
    SilentPeer() : listener_(platform::net::TcpListener::OnLoopback()) {
        thread_ = std::thread([this] {
            platform::net::TcpSocket socket = listener_.accept([this] { return !stop_.load(); });
            accepted_ = static_cast<bool>(socket);
            while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        });
    }
    ~SilentPeer() {
        stop_ = true;
        thread_.join();
    }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;

    std::uint16_t port() const { return listener_.port(); }
    bool accepted() const { return accepted_; }

private:
    platform::net::TcpListener listener_;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace test_support
