// The client side of the network transfers: the connection to a peer and
// the devio protocol, a small request/reply protocol spoken with a remote
// block-device server that exposes one disk or image.
//
// devio messages (every field an unsigned 64-bit little-endian integer):
//   INFO  request  code 1                          reply  size, alignment, flags
//   READ  request  code 2, offset, length          reply  errno, length, then the data
//   WRITE request  code 3, offset, length, data    reply  errno, length
// A reply is good when its errno is 0 and its length the one asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "disk/copy/copy_loop.h"
#include "platform/base/byte_order.h"
#include "platform/net/socket.h"

namespace disk {

// A devio transfer asks for blocks of this size, one request per block.
constexpr std::size_t kNetBlockSize = 65536;

enum : std::uint64_t { kDevioInfo = 1, kDevioRead = 2, kDevioWrite = 3 };

#pragma pack(push, 1)
struct DevioRequest {
    platform::le64 code;
    platform::le64 offset;
    platform::le64 length;
};
struct DevioInfoReply {
    platform::le64 size;
    platform::le64 alignment;  // read and ignored
    platform::le64 flags;      // read and ignored
};
struct DevioReply {
    platform::le64 error;  // the server's errno, 0 for success
    platform::le64 length;
};
#pragma pack(pop)
static_assert(sizeof(DevioRequest) == 24 && sizeof(DevioInfoReply) == 24 && sizeof(DevioReply) == 16);

// A connection that failed or a peer that broke the protocol during a
// transfer: the copy loop shows the text and stops. `code` is the system's
// error, ERROR_CANCELLED when the wait for the peer was ended.
class TransferError : public CopyFormatError {
public:
    TransferError(const std::string& text, platform::DWORD code) : CopyFormatError(text), code_(code) {}
    platform::DWORD code() const { return code_; }
    bool cancelled() const { return code_ == platform::ERROR_CANCELLED; }

private:
    platform::DWORD code_;
};

struct PeerAddress {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
};
// The peer as the transfers take it. Raises std::invalid_argument for a host
// that is not a dotted IPv4 address ("Not a dotted IPv4 address: 'name'")
// or a port outside 1 to 65535 ("Port out of range (1-65535): 70000").
PeerAddress CheckPeerAddress(const std::string& host, std::int64_t port);

// Connects `socket` to host:port; 0 when connected, else -1 with the
// system's error as the last error. Raises as CheckPeerAddress for an
// address or port it refuses, before anything is opened.
int createfile_devio(platform::net::TcpSocket& socket, const std::string& host, std::int64_t port,
                     const platform::net::WaitHook& wait);

// Sends all of `data`. Raises TransferError "sendto() failed: " + the code
// and its text.
void SendAll(platform::net::TcpSocket& socket, std::span<const std::byte> data, const platform::net::WaitHook& wait);

// INFO: the size of the remote device. Raises TransferError: "sendto()
// failed: ", "recv() failed: " (also for a peer that closes before the
// whole reply), "bad response: size=" for a size past the signed 64-bit
// range.
std::int64_t DevioGetSize(platform::net::TcpSocket& socket, const platform::net::WaitHook& wait);

// WRITE of `data` at `offset`: the header and the data leave as one send,
// then the reply is checked. Raises TransferError as DevioGetSize, and
// "bad response: len=" + length + " errno=" + errno for a reply that is
// not good.
void DevioWrite(platform::net::TcpSocket& socket, std::span<const std::byte> data, std::int64_t offset,
                const platform::net::WaitHook& wait);

// READ of `buffer.size()` bytes at `offset` into `buffer`. Raises as
// DevioWrite; the data of a good reply must arrive in full.
void DevioRead(platform::net::TcpSocket& socket, std::span<std::byte> buffer, std::int64_t offset,
               const platform::net::WaitHook& wait);

// Raises the "bad response" TransferError unless `reply` is good for a
// request of `requested` bytes.
void CheckDevioReply(const DevioReply& reply, std::uint64_t requested);

}  // namespace disk
