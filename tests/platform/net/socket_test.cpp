// TCP connections over POSIX sockets: addresses the transfers accept,
// connecting, sending and receiving on 127.0.0.1, how a peer's end is told
// apart (an orderly close, a reset, a stall the caller ends), and that a
// send to a vanished peer is an error instead of a signal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/net/socket.h"

using namespace platform;
using namespace platform::net;

namespace {

std::span<const std::byte> Bytes(const std::string& text) { return std::as_bytes(std::span(text.data(), text.size())); }

std::string Text(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct Connected {
    TcpSocket client;
    TcpSocket server;
};

Connected ConnectOnLoopback() {
    TcpListener listener = TcpListener::OnLoopback();
    EXPECT_TRUE(listener) << GetLastError();
    Connected pair;
    pair.client = TcpSocket::Connect(0x7F000001, listener.port(), std::chrono::seconds(5), {});
    EXPECT_TRUE(pair.client) << SocketErrorText(GetLastError());
    pair.server = listener.accept({});
    EXPECT_TRUE(pair.server);
    return pair;
}

}  // namespace

TEST(SocketAddresses, OnlyDottedIPv4IsAccepted) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"127.0.0.1", 0x7F000001},
        {"0.0.0.0", 0},
        {"255.255.255.255", 0xFFFFFFFF},
        {"192.168.1.20", 0xC0A80114},
        {"", std::nullopt},
        {"localhost", std::nullopt},
        {"127.1", std::nullopt},           // the shortened form inet_addr takes
        {"127.0.0.1.5", std::nullopt},
        {"127.0.0.", std::nullopt},
        {"256.0.0.1", std::nullopt},
        {"010.0.0.1", std::nullopt},       // octal to some readers
        {"1.2.3.4 ", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"+1.2.3.4", std::nullopt},
        {"1.2.3.-4", std::nullopt},
        {"1..3.4", std::nullopt},
        {"0x7f.0.0.1", std::nullopt},
        {"1.2.3.4:80", std::nullopt},
        {"1000.2.3.4", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseDottedIPv4(c.text), c.address) << c.text;
}

TEST(SocketAddresses, PortsRunFromOneTo65535) {
    for (std::int64_t port : {1LL, 9000LL, 65535LL}) EXPECT_TRUE(IsValidPort(port)) << port;
    for (std::int64_t port : {0LL, -1LL, 65536LL, 4294967297LL}) EXPECT_FALSE(IsValidPort(port)) << port;
}

TEST(SocketErrors, CarryTheCodeAndItsText) {
    EXPECT_EQ(SocketErrorText(WSAECONNREFUSED), "10061 (The remote host refused the connection)");
    EXPECT_EQ(SysErrorMessage(WSAECONNRESET), "The connection was reset by the remote host");
}

TEST(TcpSocket, ConnectionToAClosedPortIsRefused) {
    // A port that was just free: nothing listens there any more, unless
    // another program took it in the meantime; then the next one is tried.
    bool refused = false;
    for (int attempt = 0; attempt < 5 && !refused; ++attempt) {
        std::uint16_t port = TcpListener::OnLoopback().port();
        TcpSocket socket = TcpSocket::Connect(0x7F000001, port, std::chrono::seconds(5), {});
        refused = !socket && WSAGetLastError() == WSAECONNREFUSED;
    }
    EXPECT_TRUE(refused);
}

TEST(TcpSocket, BytesArriveInOrderAndAnOrderlyCloseEndsTheStream) {
    Connected pair = ConnectOnLoopback();
    std::string header = "HEAD";
    std::string body(3 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4096);
    // More than the socket buffers hold: the sender has to wait for the reader.
    std::thread sender([&] {
        EXPECT_TRUE(pair.client.send_all(Bytes(header), Bytes(body), {}));
        pair.client.close();
    });
    std::vector<std::byte> received(header.size() + body.size() + 100);
    std::size_t done = 0;
    ASSERT_TRUE(pair.server.receive_all(received, done, {}));
    sender.join();
    ASSERT_EQ(done, header.size() + body.size());  // the close, not a full buffer, ended it
    EXPECT_EQ(Text(std::span(received).first(done)), header + body);
    // After the close every receive gives nothing, at once.
    ASSERT_TRUE(pair.server.receive_all(received, done, {}));
    EXPECT_EQ(done, 0u);
}

TEST(TcpSocket, AResetIsAFailureNotAnEnd) {
    Connected pair = ConnectOnLoopback();
    ASSERT_TRUE(pair.client.send_all(Bytes("partial"), {}));
    pair.client.abort();
    std::vector<std::byte> received(100);
    std::size_t done = 0;
    bool ok = pair.server.receive_all(received, done, {});
    // The bytes before the reset may or may not be handed out first; the
    // stream never ends as if complete.
    if (ok) ok = pair.server.receive_all(received, done, {});
    EXPECT_FALSE(ok);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(TcpSocket, AStallWaitsUntilTheHookEndsIt) {
    Connected pair = ConnectOnLoopback();
    std::atomic<int> slices{0};
    std::vector<std::byte> received(16);
    std::size_t done = 0;
    bool ok = pair.server.receive_all(received, done, [&] { return ++slices < 3; });
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(slices, 3);
    EXPECT_EQ(done, 0u);
    // The connection is still good: the stall was the caller's to end.
    ASSERT_TRUE(pair.client.send_all(Bytes("late"), {}));
    ASSERT_TRUE(pair.server.receive_all(std::span(received).first(4), done, {}));
    EXPECT_EQ(Text(std::span(received).first(done)), "late");
}

TEST(TcpSocket, SendingToAVanishedPeerFailsWithoutASignal) {
    Connected pair = ConnectOnLoopback();
    pair.server.abort();
    std::string block(1 << 20, 'x');
    bool ok = true;
    // The first sends may still be taken by the system; a later one learns
    // of the reset. Without MSG_NOSIGNAL the process would die of SIGPIPE.
    for (int i = 0; i < 64 && ok; ++i) ok = pair.client.send_all(Bytes(block), [] { return true; });
    EXPECT_FALSE(ok);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST(TcpSocket, AFullPeerMakesTheSenderWaitUntilTheHookEndsIt) {
    Connected pair = ConnectOnLoopback();
    std::string block(64 << 20, 'y');  // more than any socket buffer pair holds
    int slices = 0;
    EXPECT_FALSE(pair.client.send_all(Bytes(block), [&] { return ++slices < 2; }));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
}

TEST(TcpSocket, SocketPairCarriesBytesBothWays) {
    TcpSocket first, second;
    ASSERT_TRUE(SocketPair(first, second));
    ASSERT_TRUE(first.send_all(Bytes("ping"), {}));
    ASSERT_TRUE(second.send_all(Bytes("pong"), {}));
    std::vector<std::byte> buffer(4);
    std::size_t done = 0;
    ASSERT_TRUE(second.receive_all(buffer, done, {}));
    EXPECT_EQ(Text(buffer), "ping");
    ASSERT_TRUE(first.receive_all(buffer, done, {}));
    EXPECT_EQ(Text(buffer), "pong");
}
