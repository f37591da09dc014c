// What a devio server answers, read by the client: the input is everything
// the server sends on one connection (the INFO reply, then READ replies with
// their data), fed through a connected socket pair that ends with the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/net/devio.h"
#include "platform/net/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::net::TcpSocket client, server;
    if (!platform::net::SocketPair(client, server)) return 0;
    // Within what the socket buffers hold, so the write never waits for the reader.
    size = std::min<std::size_t>(size, 65536);
    if (!server.send_all({reinterpret_cast<const std::byte*>(data), size}, {})) return 0;
    server.close();
    // Small reads, so that a short input still holds several replies.
    static std::vector<std::byte> block(512);
    try {
        std::int64_t remote = disk::DevioGetSize(client, {});
        for (std::int64_t offset = 0; offset < remote && offset < 64 * 512; offset += 512) {
            std::size_t length = static_cast<std::size_t>(std::min<std::int64_t>(512, remote - offset));
            disk::DevioRead(client, std::span(block).first(length), offset, {});
        }
    } catch (const disk::TransferError&) {
        // A broken reply or an early end is reported, which is what we want of it.
    }
    return 0;
}
