// The devio protocol and the network ends of a copy, against an in-test
// devio server that can break the protocol: the bytes of each message, good
// transfers, errors, short and wrong-length replies, closes and stalls; the
// size guess of a raw stream; a raw stream's orderly end and its reset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/net/devio.h"
#include "disk/net/net_endpoints.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/net_peers.h"
#include "support/test_support.h"

using namespace disk;
using platform::net::TcpSocket;
using test_support::DevioServer;
using Fault = test_support::DevioServer::Fault;

namespace {

std::string Pattern(std::size_t size) { return test_support::PatternBytes(size); }

TcpSocket ConnectTo(std::uint16_t port) {
    TcpSocket socket;
    EXPECT_EQ(createfile_devio(socket, "127.0.0.1", port, {}), 0) << platform::net::WSAGetLastError();
    return socket;
}

std::string RaisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const TransferError& e) {
        return e.what();
    }
    return "";
}

// Runs `pump` as the window's message pump for a scope.
class ScopedPump {
public:
    explicit ScopedPump(std::function<void()> pump) { platform::set_pump(std::move(pump)); }
    ~ScopedPump() { platform::set_pump({}); }
};

}  // namespace

TEST(DevioMessages, AreLittleEndian64BitFields) {
    DevioRequest request{platform::le64::of(kDevioRead), platform::le64::of(0x0102030405060708),
                         platform::le64::of(65536)};
    unsigned char bytes[24];
    std::memcpy(bytes, &request, sizeof bytes);
    const unsigned char expected[24] = {2, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
}

TEST(DevioMessages, AReplyIsGoodOnlyWithoutErrorAndWithTheLengthAskedFor) {
    struct Case {
        std::uint64_t error, length, requested;
        const char* raised;
    };
    const Case cases[] = {
        {0, 65536, 65536, ""},
        {0, 0, 0, ""},
        {5, 0, 65536, "bad response: len=0 errno=5"},
        {0, 32768, 65536, "bad response: len=32768 errno=0"},
        {0, 66048, 65536, "bad response: len=66048 errno=0"},
        {28, 65536, 65536, "bad response: len=65536 errno=28"},
        {0, 0xFFFFFFFFFFFFFFFF, 512, "bad response: len=18446744073709551615 errno=0"},
    };
    for (const auto& c : cases) {
        DevioReply reply{platform::le64::of(c.error), platform::le64::of(c.length)};
        EXPECT_EQ(RaisedBy([&] { CheckDevioReply(reply, c.requested); }), c.raised) << c.error << " " << c.length;
    }
}

TEST(Devio, SizeReadAndWriteAgainstAServer) {
    DevioServer server(Pattern(1 << 20));
    TcpSocket socket = ConnectTo(server.port());
    EXPECT_EQ(DevioGetSize(socket, {}), 1 << 20);

    std::vector<std::byte> block(4096);
    DevioRead(socket, block, 8192, {});
    EXPECT_EQ(std::memcmp(block.data(), Pattern(1 << 20).data() + 8192, block.size()), 0);

    std::string fresh(65536, 'W');
    DevioWrite(socket, std::as_bytes(std::span(fresh.data(), fresh.size())), 65536, {});
    socket.close();
    std::string device = server.finish();
    EXPECT_EQ(device.substr(65536, 65536), fresh);
    EXPECT_EQ(device.substr(0, 65536), Pattern(1 << 20).substr(0, 65536));
    EXPECT_EQ(server.lengths(), (std::vector<std::uint64_t>{4096, 65536}));
}

TEST(Devio, ASizeBeyondSigned64BitsIsABadResponse) {
    DevioServer server("", 0xFFFFFFFFFFFFFFFEull);
    TcpSocket socket = ConnectTo(server.port());
    EXPECT_EQ(RaisedBy([&] { DevioGetSize(socket, {}); }), "bad response: size=18446744073709551614");
}

TEST(Devio, EveryBrokenReplyStopsWithItsText) {
    struct Case {
        Fault fault;
        bool write;
        const char* raised;  // its start
    };
    const Case cases[] = {
        {Fault::Error, false, "bad response: len=0 errno=5"},
        {Fault::ShortReply, false, "bad response: len=32768 errno=0"},
        {Fault::WrongLength, false, "bad response: len=66048 errno=0"},
        {Fault::CloseMidReply, false, "recv() failed: the remote host closed the connection after 32768 of 65536"},
        {Fault::Close, false, "recv() failed: the remote host closed the connection after 0 of 16"},
        {Fault::Error, true, "bad response: len=0 errno=5"},
        {Fault::ShortReply, true, "bad response: len=32768 errno=0"},
        {Fault::WrongLength, true, "bad response: len=66048 errno=0"},
        {Fault::Close, true, "recv() failed: the remote host closed the connection after 0 of 16"},
    };
    for (const auto& c : cases) {
        DevioServer server(Pattern(1 << 20));
        server.inject(c.fault, 1);
        TcpSocket socket = ConnectTo(server.port());
        ASSERT_EQ(DevioGetSize(socket, {}), 1 << 20);
        std::vector<std::byte> block(65536);
        std::string raised = RaisedBy([&] {
            if (c.write) {
                DevioWrite(socket, block, 0, {});
            } else {
                DevioRead(socket, block, 0, {});
            }
        });
        EXPECT_EQ(raised.rfind(c.raised, 0), 0u) << raised;
        if (c.write) {
            EXPECT_EQ(server.finish(), Pattern(1 << 20)) << "a refused write changed nothing";
        }
    }
}

TEST(Devio, AStalledServerIsWaitedForUntilTheHookEndsTheWait) {
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::Stall, 0);
    TcpSocket socket = ConnectTo(server.port());
    int slices = 0;
    try {
        DevioGetSize(socket, [&] { return ++slices < 5; });
        FAIL() << "a stalled INFO returned";
    } catch (const TransferError& e) {
        EXPECT_TRUE(e.cancelled()) << e.what();
    }
    EXPECT_EQ(slices, 5);
}

TEST(Devio, AnAddressOrPortOutsideTheRulesIsRefusedBeforeAnySocket) {
    struct Case {
        const char* host;
        std::int64_t port;
        const char* message;
    };
    const Case cases[] = {
        {"localhost", 9000, "Not a dotted IPv4 address: 'localhost'"},
        {"", 9000, "Not a dotted IPv4 address: ''"},
        {"127.1", 9000, "Not a dotted IPv4 address: '127.1'"},
        {"127.0.0.1", 0, "Port out of range (1-65535): 0"},
        {"127.0.0.1", 65536, "Port out of range (1-65535): 65536"},
        {"127.0.0.1", -80, "Port out of range (1-65535): -80"},
    };
    for (const auto& c : cases) {
        TcpSocket socket;
        try {
            createfile_devio(socket, c.host, c.port, {});
            ADD_FAILURE() << c.host << ":" << c.port << " was taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_FALSE(socket);
    }
}

// ---- the size guess of a raw stream --------------------------------------------

TEST(StreamSizeGuess, FromTheBootSectorOfTheStream) {
    auto sector = [] { return std::vector<std::byte>(65536); };
    auto put32 = [](std::vector<std::byte>& s, std::size_t at, std::uint32_t v) { platform::StoreLe32(&s[at], v); };
    struct Case {
        const char* name;
        std::function<void(std::vector<std::byte>&)> fill;
        std::int64_t guess;
    };
    const Case cases[] = {
        {"no signature", [&](auto& s) { put32(s, 446 + 8, 2048); put32(s, 446 + 12, 100); }, 0},
        {"MBR, furthest partition second",
         [&](auto& s) {
             platform::StoreLe16(&s[510], 0xAA55);
             put32(s, 446 + 8, 2048), put32(s, 446 + 12, 2048);
             put32(s, 462 + 8, 8192), put32(s, 462 + 12, 4096);
             put32(s, 478 + 8, 4096), put32(s, 478 + 12, 1);
         },
         (8192 + 4096) * 512LL},
        {"MBR at the 32-bit limits",
         [&](auto& s) {
             platform::StoreLe16(&s[510], 0xAA55);
             put32(s, 494 + 8, 0xFFFFFFFF), put32(s, 494 + 12, 0xFFFFFFFF);
         },
         0x1FFFFFFFELL * 512},
        {"NTFS boot sector",
         [&](auto& s) {
             platform::StoreLe16(&s[510], 0xAA55);
             platform::StoreLe16(&s[11], 4096);
             platform::StoreLe64(&s[40], 1000);
         },
         4096000},
        {"NTFS fields past the 64-bit range",
         [&](auto& s) {
             platform::StoreLe16(&s[510], 0xAA55);
             platform::StoreLe16(&s[11], 512);
             platform::StoreLe64(&s[40], 0xFFFFFFFFFFFFFF);
         },
         0},
        {"signature, nothing else", [&](auto& s) { platform::StoreLe16(&s[510], 0xAA55); }, 0},
    };
    for (const auto& c : cases) {
        auto bytes = sector();
        c.fill(bytes);
        EXPECT_EQ(GuessStreamSize(bytes), c.guess) << c.name;
    }
    EXPECT_EQ(GuessStreamSize(std::vector<std::byte>(511)), 0) << "shorter than a sector";
}

// ---- the network ends through the copy loop -----------------------------------

TEST(DevioEndpoints, TheWholeDeviceComesThroughTheCopyLoop) {
    const std::string device = Pattern((1 << 20) + 1000);
    DevioServer server(device);
    TcpSocket socket = ConnectTo(server.port());
    std::int64_t size = DevioGetSize(socket, {});
    DevioSource source(socket, size);
    test_support::FakeSink sink;
    CopyLoopSettings settings;
    settings.limit = size;
    settings.source_must_reach_limit = true;
    settings.block_size = kNetBlockSize;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, OperationContext{});
    EXPECT_EQ(outcome.end, CopyEnd::Completed);
    EXPECT_EQ(sink.bytes, device);
    socket.close();
    server.finish();
    // One READ per block, the last one cut to what is left: nothing past the end is asked for.
    auto lengths = server.lengths();
    ASSERT_EQ(lengths.size(), 17u);
    EXPECT_EQ(lengths.back(), 1000u);
}

TEST(DevioEndpoints, AServerThatClosesEarlyEndsTheCopyAsAFailure) {
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::Close, 4);
    TcpSocket socket = ConnectTo(server.port());
    std::int64_t size = DevioGetSize(socket, {});
    DevioSource source(socket, size);
    test_support::FakeSink sink;
    platform::ScriptedInteraction ui;
    OperationContext context;
    context.interaction = &ui;
    test_support::RecordedPosts posts;
    context.status = &posts;
    CopyLoopSettings settings;
    settings.limit = size;
    settings.source_must_reach_limit = true;
    settings.block_size = kNetBlockSize;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    EXPECT_EQ(outcome.end, CopyEnd::FormatError);
    EXPECT_EQ(outcome.position, 3 * 65536);
    ASSERT_EQ(ui.texts().size(), 1u);
    EXPECT_EQ(ui.texts()[0].rfind("recv() failed: ", 0), 0u) << ui.texts()[0];
    auto statuses = posts.texts(platform::OperationKind::Status);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Aborted at 196608");
}

TEST(DevioEndpoints, CancelEndsACopyFromAStalledServer) {
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::Stall, 3);
    TcpSocket socket = ConnectTo(server.port());
    std::int64_t size = DevioGetSize(socket, {});
    DevioSource source(socket, size);
    test_support::FakeSink sink;
    std::atomic<bool> cancel{false};
    OperationContext context;
    context.cancel = &cancel;
    // The loop lets the window's messages run while it waits; the person
    // presses Cancel in one of them.
    std::atomic<int> pumped{0};
    ScopedPump pump([&] {
        ++pumped;
        if (server.stalled()) cancel = true;
    });
    CopyLoopSettings settings;
    settings.limit = size;
    settings.block_size = kNetBlockSize;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    EXPECT_EQ(outcome.end, CopyEnd::Cancelled);
    EXPECT_EQ(outcome.position, 2 * 65536);
    EXPECT_GT(pumped, 0);
}

TEST(DevioEndpoints, CancelEndsAWriteToAStalledServer) {
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::Stall, 2);
    TcpSocket socket = ConnectTo(server.port());
    ASSERT_EQ(DevioGetSize(socket, {}), 1 << 20);
    std::atomic<bool> cancel{false};
    OperationContext context;
    context.cancel = &cancel;
    DevioSink sink(socket, [&] {
        if (server.stalled()) cancel = true;
        return !cancel.load();
    });
    test_support::FakeSource source(Pattern(1 << 20), {});
    CopyLoopSettings settings;
    settings.limit = 1 << 20;
    settings.block_size = kNetBlockSize;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    EXPECT_EQ(outcome.end, CopyEnd::Cancelled);
    EXPECT_EQ(outcome.position, 65536);
}

TEST(DevioEndpoints, ABrokenWriteReplyIsShownAndStopsTheCopy) {
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::WrongLength, 3);
    TcpSocket socket = ConnectTo(server.port());
    ASSERT_EQ(DevioGetSize(socket, {}), 1 << 20);
    DevioSink sink(socket, {});
    test_support::FakeSource source(std::string(1 << 20, 'n'), {});
    platform::ScriptedInteraction ui;
    OperationContext context;
    context.interaction = &ui;
    CopyLoopSettings settings;
    settings.limit = 1 << 20;
    settings.block_size = kNetBlockSize;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
    EXPECT_EQ(outcome.end, CopyEnd::WriteFailed);
    EXPECT_EQ(outcome.position, 2 * 65536);
    EXPECT_EQ(ui.texts(), (std::vector<std::string>{"bad response: len=66048 errno=0"}));
}

TEST(TcpStreamEndpoints, AStreamEndsAtAnOrderlyCloseAndFailsAtAReset) {
    for (bool reset : {false, true}) {
        platform::net::TcpListener listener = platform::net::TcpListener::OnLoopback();
        const std::string data = Pattern(300000);
        std::thread peer([&] {
            TcpSocket connection = listener.accept({});
            connection.send_all(std::as_bytes(std::span(data.data(), data.size())), {});
            if (reset)
                connection.abort();
            else
                connection.close();
        });
        TcpSocket socket = ConnectTo(listener.port());
        peer.join();
        TcpStreamSource source(socket);
        test_support::FakeSink sink;
        platform::ScriptedInteraction ui;
        OperationContext context;
        context.interaction = &ui;
        CopyLoopSettings settings;
        settings.block_size = kNetBlockSize;
        settings.read_errors = ReadErrorPolicy::Stop;
        CopyOutcome outcome = RunCopyLoop(source, sink, settings, context);
        if (reset) {
            EXPECT_EQ(outcome.end, CopyEnd::FormatError);
            ASSERT_EQ(ui.texts().size(), 1u);
            EXPECT_EQ(ui.texts()[0], "recv() failed: 10054 (The connection was reset by the remote host)");
        } else {
            EXPECT_EQ(outcome.end, CopyEnd::Completed);
            EXPECT_EQ(sink.bytes, data);
            EXPECT_TRUE(ui.texts().empty());
        }
    }
}
