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

bool PeerSource::interrupted(std::size_t& done) const {
    done = 0;
    platform::SetLastError(platform::ERROR_CANCELLED);
    return false;
}

bool PeerSink::sent(const std::function<void()>& send) const {
    try {
        send();
        return true;
    } catch (const TransferError& e) {
        if (!e.cancelled()) throw;
        platform::SetLastError(platform::ERROR_CANCELLED);
        return false;
    }
}

bool TcpStreamSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    if (was_interrupted()) return interrupted(done);
    if (!socket_.receive_all(buffer, done, until_interrupted())) {
        platform::DWORD code = platform::net::WSAGetLastError();
        if (was_interrupted()) return interrupted(done);
        throw TransferError("recv() failed: " + platform::net::SocketErrorText(code), code);
    }
    if (offset == 0) guess_ = GuessStreamSize(buffer.first(done));
    return true;
}

bool TcpStreamSink::write(std::int64_t, std::span<const std::byte> data) {
    return sent([&] { SendAll(socket_, data, wait_); });
}

bool DevioSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    if (was_interrupted()) return interrupted(done);
    std::int64_t left = std::max<std::int64_t>(0, size_ - offset);
    auto length = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
    done = 0;
    if (length == 0) return true;
    try {
        DevioRead(socket_, buffer.first(length), offset, until_interrupted());
    } catch (const TransferError& e) {
        if (e.cancelled()) return interrupted(done);
        throw;
    }
    done = length;
    return true;
}

bool DevioSink::write(std::int64_t offset, std::span<const std::byte> data) {
    return sent([&] { DevioWrite(socket_, data, offset, wait_); });
}

}  // namespace disk
