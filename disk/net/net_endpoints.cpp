#include "disk/net/net_endpoints.h"

#include <algorithm>
#include <limits>

#include "disk/net/devio.h"
#include "platform/base/byte_order.h"

namespace disk {

using platform::LoadLe16;
using platform::LoadLe32;
using platform::LoadLe64;

std::int64_t GuessStreamSize(std::span<const std::byte> first_bytes) {
    if (first_bytes.size() < 512 || LoadLe16(first_bytes.data() + 510) != 0xAA55) return 0;
    std::uint64_t end_sector = 0;
    for (std::size_t entry = 446; entry < 510; entry += 16) {
        std::uint64_t start = LoadLe32(first_bytes.data() + entry + 8);
        std::uint64_t count = LoadLe32(first_bytes.data() + entry + 12);
        end_sector = std::max(end_sector, start + count);
    }
    if (end_sector > 0) return static_cast<std::int64_t>(end_sector * 512);  // at most 2^33 sectors: no overflow
    // An NTFS boot sector: total sectors times bytes per sector, unless that
    // passes what a signed 64-bit count holds.
    std::uint64_t sectors = LoadLe64(first_bytes.data() + 40);
    std::uint64_t sector_size = LoadLe16(first_bytes.data() + 11);
    if (sector_size == 0 || sectors > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sector_size)
        return 0;
    return static_cast<std::int64_t>(sectors * sector_size);
}

platform::net::WaitHook PeerSource::until_interrupted() const {
    return [this] { return !interrupted_.load(); };
}

void PeerSource::interrupted() { throw MediumError(platform::ERROR_CANCELLED); }

void PeerSink::send(const std::function<void()>& sending) const {
    try {
        sending();
    } catch (const TransferError& e) {
        if (!e.cancelled()) throw;
        throw MediumError(platform::ERROR_CANCELLED);
    }
}

std::size_t TcpStreamSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    if (was_interrupted()) interrupted();
    std::size_t done = 0;
    if (!socket_.receive_all(buffer, done, until_interrupted())) {
        platform::DWORD code = platform::net::WSAGetLastError();
        if (was_interrupted()) interrupted();
        throw TransferError("recv() failed: " + platform::net::SocketErrorText(code), code);
    }
    if (offset == 0) guess_ = GuessStreamSize(buffer.first(done));
    return done;
}

void TcpStreamSink::write(std::int64_t, std::span<const std::byte> data) {
    send([&] { SendAll(socket_, data, wait_); });
}

std::size_t DevioSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    if (was_interrupted()) interrupted();
    std::int64_t left = std::max<std::int64_t>(0, size_ - offset);
    auto length = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
    if (length == 0) return 0;
    try {
        DevioRead(socket_, buffer.first(length), offset, until_interrupted());
    } catch (const TransferError& e) {
        if (e.cancelled()) interrupted();
        throw;
    }
    return length;
}

void DevioSink::write(std::int64_t offset, std::span<const std::byte> data) {
    send([&] { DevioWrite(socket_, data, offset, wait_); });
}

}  // namespace disk
