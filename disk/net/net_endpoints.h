// The network ends of a copy: a plain TCP byte stream (a netcat-style peer
// that writes or takes the bytes of a disk) and a devio server, each as a
// source and a sink of the copy loop. The loop reads a source on a thread
// of its own and writes a sink on the caller's; so a source waits for its
// peer until the loop interrupts it, and a sink waits through the caller's
// wait hook, which lets the window's messages run and ends the wait when
// the copy is cancelled.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "disk/copy/copy_endpoints.h"
#include "platform/net/socket.h"

namespace disk {

// A guess at the size of a raw stream from its first bytes, for progress
// only: the end of the furthest of the four MBR partitions, or an NTFS boot
// sector's sector count times its sector size; 0 without a boot signature,
// or when the fields give nothing.
std::int64_t GuessStreamSize(std::span<const std::byte> first_bytes);

// The bytes a peer sends until it closes the connection in order. The size
// is unknown: the guess from the first block, else 0. A reset or any other
// failure of the connection raises TransferError "recv() failed: ".
class TcpStreamSource : public CopySource {
public:
    explicit TcpStreamSource(platform::net::TcpSocket& socket) : socket_(socket) {}
    std::int64_t size() override { return guess_.load(); }
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override;
    void interrupt() override { interrupted_ = true; }

private:
    platform::net::TcpSocket& socket_;
    std::atomic<std::int64_t> guess_{0};
    std::atomic<bool> interrupted_{false};
};

// Sends what it is given. A failed send raises TransferError "sendto()
// failed: "; a send ended by `wait` fails with ERROR_CANCELLED.
class TcpStreamSink : public CopySink {
public:
    TcpStreamSink(platform::net::TcpSocket& socket, platform::net::WaitHook wait)
        : socket_(socket), wait_(std::move(wait)) {}
    bool write(std::int64_t offset, std::span<const std::byte> data) override;
    bool finish() override { return true; }

private:
    platform::net::TcpSocket& socket_;
    platform::net::WaitHook wait_;
};

// The `size` bytes of a devio server's device, one READ per read.
class DevioSource : public CopySource {
public:
    DevioSource(platform::net::TcpSocket& socket, std::int64_t size) : socket_(socket), size_(size) {}
    std::int64_t size() override { return size_; }
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override;
    void interrupt() override { interrupted_ = true; }

private:
    platform::net::TcpSocket& socket_;
    std::int64_t size_;
    std::atomic<bool> interrupted_{false};
};

// Stores what it is given on a devio server's device, one WRITE per write.
class DevioSink : public CopySink {
public:
    DevioSink(platform::net::TcpSocket& socket, platform::net::WaitHook wait)
        : socket_(socket), wait_(std::move(wait)) {}
    bool write(std::int64_t offset, std::span<const std::byte> data) override;
    bool finish() override { return true; }

private:
    platform::net::TcpSocket& socket_;
    platform::net::WaitHook wait_;
};

}  // namespace disk
