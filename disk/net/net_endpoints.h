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
#include <functional>
#include <span>

#include "disk/copy/copy_endpoints.h"
#include "platform/net/socket.h"

namespace disk {

// A guess at the size of a raw stream from its first bytes, for progress
// only: the end of the furthest of the four MBR partitions, or an NTFS boot
// sector's sector count times its sector size; 0 without a boot signature,
// or when the fields give nothing.
std::int64_t GuessStreamSize(std::span<const std::byte> first_bytes);

// What the sources of a peer share: the connection, and the interrupt that
// ends a wait for the peer once the loop has gone.
class PeerSource : public CopySource {
public:
    explicit PeerSource(platform::net::TcpSocket& socket) : socket_(socket) {}
    void interrupt() override { interrupted_ = true; }

protected:
    // The wait of a read: until the loop interrupts it.
    platform::net::WaitHook until_interrupted() const;
    // A read that ends because of the interrupt: raises MediumError ERROR_CANCELLED.
    [[noreturn]] static void interrupted();
    bool was_interrupted() const { return interrupted_; }

    platform::net::TcpSocket& socket_;

private:
    std::atomic<bool> interrupted_{false};
};

// What the sinks of a peer share: the connection, and the caller's wait. A
// write whose wait is ended raises MediumError ERROR_CANCELLED, which the
// loop takes for the cancel it is; a failed send raises TransferError
// "sendto() failed: " and a broken reply its "bad response".
class PeerSink : public CopySink {
public:
    PeerSink(platform::net::TcpSocket& socket, platform::net::WaitHook wait)
        : socket_(socket), wait_(std::move(wait)) {}
    void finish() override {}

protected:
    // Runs `send`; raises MediumError ERROR_CANCELLED when its wait was ended.
    void send(const std::function<void()>& sending) const;

    platform::net::TcpSocket& socket_;
    platform::net::WaitHook wait_;
};

// The bytes a peer sends until it closes the connection in order. The size
// is unknown: the guess from the first block, else 0. A reset or any other
// failure of the connection raises TransferError "recv() failed: ".
class TcpStreamSource : public PeerSource {
public:
    using PeerSource::PeerSource;
    std::int64_t size() override { return guess_.load(); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;

private:
    std::atomic<std::int64_t> guess_{0};
};

// Sends what it is given, as it is.
class TcpStreamSink : public PeerSink {
public:
    using PeerSink::PeerSink;
    void write(std::int64_t offset, std::span<const std::byte> data) override;
};

// The `size` bytes of a devio server's device, one READ per read.
class DevioSource : public PeerSource {
public:
    DevioSource(platform::net::TcpSocket& socket, std::int64_t size) : PeerSource(socket), size_(size) {}
    std::int64_t size() override { return size_; }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;

private:
    std::int64_t size_;
};

// Stores what it is given on a devio server's device, one WRITE per write.
class DevioSink : public PeerSink {
public:
    using PeerSink::PeerSink;
    void write(std::int64_t offset, std::span<const std::byte> data) override;
};

}  // namespace disk
