// The network transfers end to end on 127.0.0.1: raw streams to and from
// socat and nc, devio to and from an in-test server that misbehaves on
// request, files and embedded disks as the local end, and the refusals that
// come before anything is opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/net_transfer.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/net_peers.h"
#include "support/test_support.h"

using namespace disk;
using test_support::DevioServer;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::ListeningPeer;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::RecordedPosts;
using test_support::TempDir;
using test_support::WriteWholeFile;
using Fault = test_support::DevioServer::Fault;
using Kind = platform::OperationKind;

namespace {

const std::string kDisk1 = "\\\\.\\PhysicalDrive1";

std::string Pattern(std::size_t size, unsigned seed = 1) { return test_support::PatternBytes(size, seed); }

// What a transfer said and posted, with every question answered Yes.
struct Watch {
    Watch() {
        ui.set_default_confirm(true);
        context.interaction = &ui;
        context.status = &posts;
        context.cancel = &cancel;
    }
    std::vector<std::string> statuses() const { return posts.texts(Kind::Status); }
    bool done() const {
        auto all = statuses();
        return !all.empty() && all.back().rfind("Done in ", 0) == 0;
    }
    platform::ScriptedInteraction ui;
    RecordedPosts posts;
    std::atomic<bool> cancel{false};
    OperationContext context;
};

class BarLog : public platform::ProgressBar {
public:
    void set_max(std::int64_t) override {}
    void set_position(std::int64_t position) override { positions.push_back(position); }
    std::vector<std::int64_t> positions;
};

class ScopedPump {
public:
    explicit ScopedPump(std::function<void()> pump) { platform::set_pump(std::move(pump)); }
    ~ScopedPump() { platform::set_pump({}); }
};

bool HavePeers() { return test_support::HaveTool("socat") && test_support::HaveTool("nc"); }

}  // namespace

// ---- raw streams against the real tools ------------------------------------------

TEST(NetRaw, ReceivesFromSocatAndNcIntoAFileMadeAnew) {
    if (!HavePeers()) GTEST_SKIP() << "socat and nc are needed";
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(5 * 65536 + 777));
    const std::vector<std::string> senders = {
        "socat -d -d -u FILE:" + input + " TCP-LISTEN:0,bind=127.0.0.1",
        "nc -N -v -l 127.0.0.1 0 < " + Quote(input),
    };
    for (const auto& sender : senders) {
        const std::string output = dir.file("received.bin");
        WriteWholeFile(output, std::string(1 << 20, 'S'));  // longer than the stream: its tail must go
        ListeningPeer peer(sender);
        ASSERT_NE(peer.port(), 0) << peer.log();
        Watch watch;
        NetTransferResult result = NetReceiveRaw(watch.context, output, "127.0.0.1", peer.port());
        EXPECT_EQ(result.result, CopyResult::Completed) << sender;
        EXPECT_EQ(result.bytes, 5 * 65536 + 777);
        EXPECT_EQ(peer.wait(), 0) << peer.log();
        EXPECT_EQ(test_support::Run("cmp " + Quote(input) + " " + Quote(output)).exit_code, 0) << sender;
        EXPECT_TRUE(watch.done()) << sender;
        EXPECT_TRUE(watch.ui.texts().size() == 1) << "only the Overwrite question";
    }
}

TEST(NetRaw, SendsToSocatAndNcTheWholeSourceOrItsFirstBytes) {
    if (!HavePeers()) GTEST_SKIP() << "socat and nc are needed";
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(4 * 65536 + 4097, 7));
    struct Case {
        std::string receiver;
        std::int64_t length;
    };
    const std::string output = dir.file("sent.bin");
    const Case cases[] = {
        {"socat -d -d -u TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + output + ",creat,trunc", 0},
        {"nc -v -l 127.0.0.1 0 < /dev/null > " + Quote(output), 0},
        {"socat -d -d -u TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + output + ",creat,trunc", 100000},
    };
    for (const auto& c : cases) {
        ListeningPeer peer(c.receiver);
        ASSERT_NE(peer.port(), 0) << peer.log();
        Watch watch;
        NetTransferResult result = NetSendRaw(watch.context, input, "127.0.0.1", peer.port(), c.length);
        EXPECT_EQ(result.result, CopyResult::Completed) << c.receiver;
        EXPECT_EQ(peer.wait(), 0) << peer.log();
        std::string expected = ReadWholeFile(input);
        if (c.length > 0) expected.resize(static_cast<std::size_t>(c.length));
        EXPECT_EQ(result.bytes, static_cast<std::int64_t>(expected.size()));
        EXPECT_TRUE(ReadWholeFile(output) == expected) << c.receiver;
        EXPECT_TRUE(watch.done());
        EXPECT_EQ(watch.ui.texts().front(), "Overwrite 127.0.0.1:" + std::to_string(peer.port()) + "?");
    }
}

TEST(NetRaw, ProgressFollowsTheGuessFromTheStreamsPartitionTable) {
    if (!HavePeers()) GTEST_SKIP() << "socat and nc are needed";
    TempDir dir;
    const std::string input = dir.file("disk.img");
    test_support::MakeSparseFile(input, 40 << 20);
    test_support::RunOn("printf 'label: dos\\nstart=2048,size=79872,type=83\\n' | sfdisk -q %s", input);
    ListeningPeer peer("socat -d -d -u FILE:" + input + " TCP-LISTEN:0,bind=127.0.0.1");
    ASSERT_NE(peer.port(), 0) << peer.log();
    Watch watch;
    BarLog bar;
    watch.context.progress = &bar;
    NetTransferResult result = NetReceiveRaw(watch.context, dir.file("out.img"), "127.0.0.1", peer.port());
    EXPECT_EQ(result.result, CopyResult::Completed);
    // 40 MiB against the partition's end at 40 MiB: steps at 16 and 32 MiB.
    EXPECT_EQ(bar.positions, (std::vector<std::int64_t>{40, 80, 100}));
}

// More than the two ends' socket buffers can hold between them: once it is
// all sent, the receiver has read some of it, so its connect is long over.
std::size_t MoreThanSocketBuffersHold() {
    auto largest = [](const char* file) {
        std::istringstream fields(ReadWholeFile(file));
        std::size_t least = 0, initial = 0, most = 0;
        fields >> least >> initial >> most;
        return most;
    };
    return largest("/proc/sys/net/ipv4/tcp_rmem") + largest("/proc/sys/net/ipv4/tcp_wmem") + (1 << 20);
}

// What a folder holds, by name: a receive that fails leaves nothing of its own.
std::vector<std::string> FilesIn(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(NetRaw, AResetMidStreamIsAnErrorNotDoneAndKeepsTheOldFile) {
    TempDir dir;
    const std::string old = Pattern(300000, 9);
    WriteWholeFile(dir.file("out.bin"), old);
    platform::net::TcpListener listener = platform::net::TcpListener::OnLoopback();
    std::thread sender([&] {
        platform::net::TcpSocket connection = listener.accept({});
        // The reset comes only after the first bytes have reached the
        // receiver: a reset before it has seen its connect complete would
        // be a failed connect, not a stream cut in the middle.
        std::string part = Pattern(MoreThanSocketBuffersHold());
        connection.send_all(std::as_bytes(std::span(part.data(), part.size())), {});
        connection.abort();
    });
    Watch watch;
    NetTransferResult result = NetReceiveRaw(watch.context, dir.file("out.bin"), "127.0.0.1", listener.port());
    sender.join();
    EXPECT_EQ(result.result, CopyResult::Failed);
    EXPECT_FALSE(watch.done());
    ASSERT_EQ(watch.ui.texts().size(), 2u);
    EXPECT_EQ(watch.ui.texts()[1], "recv() failed: 10054 (The connection was reset by the remote host)");
    // The file there before is there as it was, and nothing partial beside it.
    EXPECT_TRUE(ReadWholeFile(dir.file("out.bin")) == old);
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"out.bin"});
}

TEST(NetRaw, ASourceShorterThanTheLengthAskedForIsAnErrorAndThePeerIsReset) {
    if (!HavePeers()) GTEST_SKIP() << "socat and nc are needed";
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(100000));
    ListeningPeer peer("socat -d -d -u TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + dir.file("out.bin") + ",creat,trunc");
    ASSERT_NE(peer.port(), 0) << peer.log();
    Watch watch;
    NetTransferResult result = NetSendRaw(watch.context, input, "127.0.0.1", peer.port(), 300000);
    EXPECT_EQ(result.result, CopyResult::Failed);
    EXPECT_EQ(watch.ui.texts().back(), "readFile error:Reached the end of the file");
    EXPECT_FALSE(watch.done());
    peer.wait();
    // socat shows the reset as a warning; an orderly end would not be one.
    EXPECT_NE(peer.log().find("Connection reset by peer"), std::string::npos) << peer.log();
}

// ---- what is refused before anything is opened ------------------------------------

TEST(NetTransfers, RefuseAddressesAndPortsBeforeOpeningAnything) {
    TempDir dir;
    struct Case {
        std::string host;
        std::int64_t port;
        std::string message;
    };
    const Case cases[] = {
        {"localhost", 9000, "Not a dotted IPv4 address: 'localhost'"},
        {"", 9000, "Not a dotted IPv4 address: ''"},
        {"127.0.0.1", 0, "Port out of range (1-65535): 0"},
        {"127.0.0.1", 70000, "Port out of range (1-65535): 70000"},
    };
    const std::string missing = dir.file("no-such-source.img");
    const std::string output = dir.file("never-made.img");
    using Transfer = std::function<NetTransferResult(Watch&, const Case&)>;
    const Transfer transfers[] = {
        [&](Watch& w, const Case& c) { return NetReceiveRaw(w.context, output, c.host, c.port); },
        [&](Watch& w, const Case& c) { return NetReceiveDevio(w.context, output, c.host, c.port); },
        [&](Watch& w, const Case& c) { return NetSendRaw(w.context, missing, c.host, c.port, 0); },
        [&](Watch& w, const Case& c) { return NetSendDevio(w.context, missing, c.host, c.port, 0); },
    };
    for (const auto& transfer : transfers)
        for (const auto& c : cases) {
            Watch watch;
            EXPECT_EQ(transfer(watch, c).result, CopyResult::Failed);
            // No question, no "could not createfile": the address alone is refused.
            EXPECT_EQ(watch.ui.texts(), std::vector<std::string>{c.message});
            EXPECT_FALSE(std::filesystem::exists(output));
        }
}

TEST(NetTransfers, APeerThatIsNotThereCostsTheDestinationNothing) {
    TempDir dir;
    const std::string output = dir.file("kept.bin");
    WriteWholeFile(output, "what was there");
    // A port that was just free: nothing listens on it any more.
    std::uint16_t port = platform::net::TcpListener::OnLoopback().port();
    for (bool devio : {false, true}) {
        Watch watch;
        NetTransferResult result = devio ? NetReceiveDevio(watch.context, output, "127.0.0.1", port)
                                         : NetReceiveRaw(watch.context, output, "127.0.0.1", port);
        EXPECT_EQ(result.result, CopyResult::Failed);
        EXPECT_EQ(watch.ui.texts().back(),
                  "connect() failed: 10061 (The remote host refused the connection)");
        EXPECT_EQ(ReadWholeFile(output), "what was there");
    }
}

// ---- devio ------------------------------------------------------------------------------

TEST(NetDevio, ReceivesTheWholeDeviceIntoAFile) {
    TempDir dir;
    const std::string device = Pattern((3 << 20) + 12345);
    DevioServer server(device);
    const std::string output = dir.file("devio.img");
    WriteWholeFile(output, std::string(5 << 20, 'T'));
    Watch watch;
    NetTransferResult result = NetReceiveDevio(watch.context, output, "127.0.0.1", server.port());
    EXPECT_EQ(result.result, CopyResult::Completed);
    EXPECT_EQ(result.bytes, static_cast<std::int64_t>(device.size()));
    EXPECT_TRUE(ReadWholeFile(output) == device);
    EXPECT_TRUE(watch.done());
    EXPECT_EQ(watch.ui.texts().size(), 1u) << "no error after the last block";
}

TEST(NetDevio, SendsAFileOntoTheServersDevice) {
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern((2 << 20) + 100, 3));
    DevioServer server(std::string(4 << 20, '\0'));
    Watch watch;
    NetTransferResult result = NetSendDevio(watch.context, input, "127.0.0.1", server.port(), 0);
    EXPECT_EQ(result.result, CopyResult::Completed);
    std::string device = server.finish();
    EXPECT_TRUE(device.substr(0, (2 << 20) + 100) == ReadWholeFile(input));
    EXPECT_EQ(device.substr((2 << 20) + 100), std::string((2 << 20) - 100, '\0'));
    auto lengths = server.lengths();
    EXPECT_EQ(lengths.back(), 100u) << "no WRITE past the source, none of 0 bytes";
}

TEST(NetDevio, SizesThatDoNotFitAreRefused) {
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(3 << 20));
    {
        DevioServer server(std::string(2 << 20, '\0'));
        Watch watch;
        EXPECT_EQ(NetSendDevio(watch.context, input, "127.0.0.1", server.port(), 0).result, CopyResult::Failed);
        EXPECT_EQ(watch.ui.texts().back(), "Destination is too small.\r\n3145728->2097152");
        EXPECT_EQ(server.finish(), std::string(2 << 20, '\0'));
    }
    {
        // A disk of 8 MiB cannot take a device of 9 MiB; the disk is not touched.
        EmbeddedMachine machine({DiskSpec{}, test_support::PartitionedExt4Disk()});
        const std::string before = ReadWholeFile(machine.image(1));
        DevioServer server(Pattern(9 << 20));
        Watch watch;
        EXPECT_EQ(NetReceiveDevio(watch.context, kDisk1, "127.0.0.1", server.port()).result, CopyResult::Failed);
        EXPECT_EQ(watch.ui.texts().back(), "Destination is too small.\r\n9437184->8388608");
        EXPECT_TRUE(ReadWholeFile(machine.image(1)) == before);
        EXPECT_EQ(LockedVolumeCount(), 0u) << "nothing was locked for a transfer that never started";
    }
}

TEST(NetDevio, ReceivesOntoAnEmbeddedDiskWithItsVolumesLockedAndReleased) {
    EmbeddedMachine machine({DiskSpec{}, test_support::PartitionedExt4Disk()});
    const std::string device = Pattern(8 << 20, 5);
    DevioServer server(device);
    Watch watch;
    NetTransferResult result = NetReceiveDevio(watch.context, kDisk1, "127.0.0.1", server.port());
    EXPECT_EQ(result.result, CopyResult::Completed) << (watch.ui.texts().empty() ? "" : watch.ui.texts().back());
    EXPECT_TRUE(ReadWholeFile(machine.image(1)) == device);
    EXPECT_EQ(LockedVolumeCount(), 0u);
}

TEST(NetDevio, ServerFaultsEndTheTransferWithTheirText) {
    TempDir dir;
    struct Case {
        Fault fault;
        int at;
        bool send;
        std::string message;  // its start
    };
    const Case cases[] = {
        {Fault::Error, 3, false, "bad response: len=0 errno=5"},
        {Fault::ShortReply, 2, false, "bad response: len=32768 errno=0"},
        {Fault::WrongLength, 5, false, "bad response: len=66048 errno=0"},
        // The server goes before the announced size is reached: not "Done".
        {Fault::Close, 4, false, "recv() failed: the remote host closed the connection"},
        {Fault::CloseMidReply, 4, false, "recv() failed: the remote host closed the connection"},
        {Fault::Error, 3, true, "bad response: len=0 errno=5"},
        {Fault::ShortReply, 1, true, "bad response: len=32768 errno=0"},
        {Fault::Close, 2, true, "recv() failed: the remote host closed the connection"},
        {Fault::Close, 0, true, "recv() failed: the remote host closed the connection after 0 of 24"},
    };
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(1 << 20));
    const std::string old = Pattern(3 << 20, 7);
    WriteWholeFile(dir.file("out.bin"), old);
    for (const auto& c : cases) {
        DevioServer server(Pattern(1 << 20));
        server.inject(c.fault, c.at);
        Watch watch;
        NetTransferResult result = c.send ? NetSendDevio(watch.context, input, "127.0.0.1", server.port(), 0)
                                          : NetReceiveDevio(watch.context, dir.file("out.bin"), "127.0.0.1",
                                                            server.port());
        EXPECT_EQ(result.result, CopyResult::Failed) << c.message;
        EXPECT_EQ(watch.ui.texts().back().rfind(c.message, 0), 0u) << watch.ui.texts().back();
        EXPECT_FALSE(watch.done()) << c.message;
        // A receive that failed, whatever the server did, leaves the old
        // file byte for byte and nothing partial beside it.
        EXPECT_TRUE(ReadWholeFile(dir.file("out.bin")) == old) << c.message;
        EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"input.bin", "out.bin"})) << c.message;
    }
}

TEST(NetDevio, AReadErrorOfTheSourceStopsTheSendWithItsText) {
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(1 << 20));
    InjectReadFaultForTesting(5 * 65536 + 10, 1, platform::ERROR_CRC);
    DevioServer server(std::string(1 << 20, '\0'));
    Watch watch;
    NetTransferResult result = NetSendDevio(watch.context, input, "127.0.0.1", server.port(), 0);
    InjectReadFaultForTesting(0, 0, 0);
    EXPECT_EQ(result.result, CopyResult::Failed);
    EXPECT_EQ(result.bytes, 5 * 65536);
    EXPECT_EQ(watch.ui.texts().back(), "readFile error:" + platform::SysErrorMessage(platform::ERROR_CRC));
    EXPECT_FALSE(watch.done());
    // Nothing of the bad block or after it reached the server.
    EXPECT_EQ(server.finish().substr(5 * 65536), std::string((1 << 20) - 5 * 65536, '\0'));
}

TEST(NetDevio, CancelDuringAStallEndsTheTransfer) {
    TempDir dir;
    const std::string input = dir.file("input.bin");
    WriteWholeFile(input, Pattern(1 << 20));
    for (bool send : {false, true}) {
        for (int at : {0, 3}) {  // INFO itself, or a block of the copy
            DevioServer server(Pattern(1 << 20));
            server.inject(Fault::Stall, at);
            Watch watch;
            // The person presses Cancel while the window's messages run.
            ScopedPump pump([&] {
                if (server.stalled()) watch.cancel = true;
            });
            NetTransferResult result = send ? NetSendDevio(watch.context, input, "127.0.0.1", server.port(), 0)
                                            : NetReceiveDevio(watch.context, dir.file("out.bin"), "127.0.0.1",
                                                              server.port());
            EXPECT_EQ(result.result, CopyResult::Cancelled) << send << at;
            EXPECT_EQ(watch.ui.texts().size(), 1u) << "no error for a cancel";
            EXPECT_FALSE(watch.done());
        }
    }
}

TEST(NetDevio, TheCallersSignatureUsesTheCopyCancelFlag) {
    TempDir dir;
    DevioServer server(Pattern(1 << 20));
    server.inject(Fault::Stall, 2);
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    copy_cancel = true;  // left over from an earlier copy: cleared at the start
    ScopedPump pump([&] {
        if (server.stalled()) copy_cancel = true;
    });
    RecordedPosts posts;
    NetTransferResult result = NetReceiveDevio(dir.file("out.bin"), "127.0.0.1", server.port(), nullptr, &posts);
    EXPECT_EQ(result.result, CopyResult::Cancelled);
    EXPECT_EQ(result.bytes, 65536);
    EXPECT_EQ(posts.texts(Kind::Status).back(), "Aborted at 65536");
    copy_cancel = false;
}
