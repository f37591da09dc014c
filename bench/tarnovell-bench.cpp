// tarnovell-bench INPUT [--work FOLDER] [--runs N] [--only NAME]
//
// Runs each of our copy engines on INPUT and the peer tool that does the
// same job, checks that both produced the same bytes, and prints one line per
// engine: name, our MB/s, the peer's MB/s, and our speed over the peer's.
// Each side runs once untimed first (warm page cache, and the output check),
// then N timed runs, of which the median counts; before each run the last
// output is removed and the page cache written back, so no run pays for
// another's writes. Outputs go to a scratch folder inside FOLDER (default:
// INPUT's folder), removed at the end.
//
// The WIM capture and apply work on the files of INPUT: when it holds a file
// system the bench mounts it read-only (root only) and captures that folder,
// as wimlib-imagex does with the same compression; the apply writes the
// image into a folder of the scratch folder, and the peer applies the same
// WIM. Both are timed until the data is on the medium: our capture syncs its
// file, our apply the file system it wrote; the peers get `sync -d` of their
// WIM and `sync -f` of their folder.
//
// The clone copies between two disks of an embedded machine the bench writes
// (disk 0 is INPUT, disk 1 a sparse image of its size); the peer writes the
// same bytes into a second image. Our copies end with fdatasync: done means
// on the medium. Every peer is held to the same: dd with conv=fdatasync, the
// others timed with a `sync -d` of their output.
//
// The network transfers run on 127.0.0.1 against socat: a socat listens for
// the other end (it serves INPUT to a receive, or stores a send), and the
// same listener is used by ours and by the socat client we are timed
// against. A run lasts until the listener has ended. Every socat moves
// 1 MiB per call (-b 1048576), the fastest it goes here: the listener must
// not be what both sides wait for, and the peer gets its best.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <atomic>
#include <string>
#include <vector>

#include "disk/bindings/sevenzip/sevenzip.h"
#include "disk/checksum/md5.h"
#include "disk/engines/convert.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/net_transfer.h"
#include "disk/iso/iso_maker.h"
#include "disk/engines/rawvhd.h"
#include "disk/device/device_lists.h"
#include "main/operations/clone.h"
#include "main/operations/selection.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wipe.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
#include "platform/os/child_process.h"
#include "platform/os/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Says Yes to every question (the outputs are ours to overwrite) and keeps
// every message, which for a copy means something went wrong.
class BenchInteraction : public platform::Interaction {
public:
    bool confirm(const std::string&, const std::string&) override { return true; }
    void inform(const std::string& text, const std::string&) override {
        std::cerr << "message: " << text << "\n";
        failed = true;
    }
    std::optional<std::string> input_box(const std::string&, const std::string&, const std::string& initial) override {
        return initial;
    }
    bool failed = false;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    std::vector<char> p(1 << 20), q(1 << 20);
    for (;;) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount()) return false;
        if (!std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
        if (x.gcount() == 0) return true;
    }
}

struct Engine {
    std::string name;
    std::string our_output;         // removed before each of our runs ("" keeps it)
    std::function<bool()> ours;
    std::string peer_output;
    std::string peer;               // shell command
    std::function<bool()> check;    // after both have run once
    std::string peer_label;         // how the table names the peer
};

double Seconds(const std::function<bool()>& run, bool& ok) {
    auto begin = std::chrono::steady_clock::now();
    ok = run() && ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Removes what the last run left behind and lets writeback finish, so each
// run starts from the same state and pays for its own writes only.
void Settle(const std::string& output) {
    if (!output.empty()) fs::remove_all(output);
    // An EWF set goes whole: output.E01 and the segments after it.
    if (output.size() > 4 && output.compare(output.size() - 4, 4, ".E01") == 0) {
        const std::string stem = fs::path(output).stem().string() + ".E";
        for (const auto& entry : fs::directory_iterator(fs::path(output).parent_path()))
            if (entry.path().filename().string().rfind(stem, 0) == 0) fs::remove(entry.path());
    }
    ::sync();
}

bool RunEngine(const Engine& engine, int runs, double bytes) {
    bool ok = true;
    auto peer = [&] { return Shell(engine.peer); };
    Settle(engine.our_output);
    Seconds(engine.ours, ok);
    if (!ok) {
        std::cerr << engine.name << ": our engine failed\n";
        return false;
    }
    Settle(engine.peer_output);
    Seconds(peer, ok);
    if (!ok) {
        std::cerr << engine.name << ": the peer failed: " << engine.peer << "\n";
        return false;
    }
    if (!engine.check()) {
        std::cerr << engine.name << ": the outputs differ\n";
        return false;
    }
    std::vector<double> ours, theirs;
    for (int i = 0; i < runs; ++i) {
        Settle(engine.our_output);
        ours.push_back(Seconds(engine.ours, ok));
        Settle(engine.peer_output);
        theirs.push_back(Seconds(peer, ok));
    }
    if (!ok) {
        std::cerr << engine.name << ": a timed run failed\n";
        return false;
    }
    double our_rate = bytes / 1e6 / Median(ours);
    double peer_rate = bytes / 1e6 / Median(theirs);
    std::printf("| %s | %.0f | %.0f | %.2f | `%s` |\n", engine.name.c_str(), our_rate, peer_rate, our_rate / peer_rate,
                engine.peer_label.c_str());
    std::fflush(stdout);
    return true;
}

void MakeSparse(const std::string& path, std::uintmax_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(path, size);
}

// A socat listening on 127.0.0.1 for one connection, on the port it says
// it took ("listening on AF=2 127.0.0.1:40123").
class SocatListener {
public:
    explicit SocatListener(const std::vector<std::string>& addresses) {
        std::vector<std::string> argv = {"socat", "-d", "-d", "-b", "1048576", "-u"};
        argv.insert(argv.end(), addresses.begin(), addresses.end());
        platform::ChildOptions options;
        options.on_error_line = [this](std::string_view line) {
            const std::string_view mark = "listening on ";
            if (port_ != 0 || line.find(mark) == std::string_view::npos) return;
            port_ = std::atoi(std::string(line.substr(line.rfind(':') + 1)).c_str());
        };
        child_ = platform::ChildProcess(argv, std::move(options));
        while (port_ == 0 && child_ && !child_.wait_for(std::chrono::milliseconds(10))) {
        }
    }
    int port() const { return port_; }
    // Waits for it to end; true when it ended well.
    bool finish() { return child_.wait().succeeded(); }

private:
    int port_ = 0;
    platform::ChildProcess child_;
};

// The shell lines that start the same listener in the background and leave
// its port in $port.
std::string ShellListener(const std::string& addresses, const std::string& log) {
    return "socat -d -d -b 1048576 -u " + addresses + " 2>" + Quote(log) + " & listener=$!; port=; " +
           "until [ -n \"$port\" ]; do sleep 0.01; port=$(sed -n 's/.*listening on .*:\\([0-9]*\\)$/\\1/p' " +
           Quote(log) + "); done; ";
}

int Usage() {
    std::cerr << "usage: tarnovell-bench INPUT [--work FOLDER] [--runs N] [--only NAME]\n"
                 "  NAME: raw-backup, lz4-backup, lz4-restore (runs lz4-backup first), clone,\n"
                 "  fixed-vhd-backup, dynamic-vhd-backup, vhd-restore (runs dynamic-vhd-backup first),\n"
                 "  wipe, clean-volume, net-send, net-receive, vpc-to-raw, vhdx-to-raw, vmdk-to-raw,\n"
                 "  qcow2-to-raw, vdi-to-raw, ewf-backup or ewf-restore (runs ewf-backup first),\n"
                 "  md5, iso-build, 7z-extract (runs iso-build first), wim-capture, wim-capture-lzx\n"
                 "  or wim-apply (runs wim-capture first)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string input = fs::absolute(argv[1]).string();
    std::string work_parent = fs::path(input).parent_path().string();
    int runs = 5;
    std::string only;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--work" && i + 1 < argc) work_parent = argv[++i];
        else if (arg == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--only" && i + 1 < argc) only = argv[++i];
        else return Usage();
    }
    std::error_code error;
    std::uintmax_t size = fs::file_size(input, error);
    if (error || size == 0) {
        std::cerr << "cannot read " << input << "\n";
        return 2;
    }

    platform::ScratchFolder scratch = platform::ScratchFolder::Create("tarnovell-bench.", work_parent);
    if (!scratch) {
        std::cerr << "cannot make a scratch folder in " << work_parent << "\n";
        return 2;
    }
    fs::path work = scratch.path();
    auto at = [&](const std::string& name) { return (work / name).string(); };

    BenchInteraction answers;
    platform::ScopedInteraction scoped(answers);
    auto ok = [&](disk::CopyResult result) { return result == disk::CopyResult::Completed && !answers.failed; };
    auto decodes_to_input = [&](const std::string& packed) {
        return Shell("lz4 -d -c " + Quote(packed) + " | cmp -s - " + Quote(input));
    };

    // Both disks of the clone live on an embedded machine: disk 0 is INPUT
    // itself, disk 1 a sparse image of its size.
    // Disk 2 holds an NTFS volume at 1 MiB, made by mkntfs over bytes of
    // 0xFF and filled half with INPUT's first bytes: the clean volume's
    // ground. The peer cleans a copy of the same volume.
    const std::uintmax_t ntfs_size = size / (1 << 20) * (1 << 20);
    {
        std::ofstream manifest(at("machine.ini"));
        manifest << "[disk0]\nimage=" << input << "\nproduct=Bench Source\n\n"
                 << "[disk1]\nimage=disk1.img\nproduct=Bench Target\n\n"
                 << "[disk2]\nimage=ntfs-disk.img\nproduct=Bench NTFS\n";
    }
    MakeSparse(at("disk1.img"), size);
    MakeSparse(at("peer-disk.img"), size);
    const std::string ntfs = Quote(at("peer-ntfs.img"));
    const bool made_ntfs =
        ntfs_size >= (16 << 20) &&
        Shell("head -c " + std::to_string(ntfs_size) + " /dev/zero | tr '\\000' '\\377' > " + ntfs + " && mkntfs -Q -F -q " +
              ntfs + " 2>/dev/null && head -c " + std::to_string(ntfs_size / 2) + " " + Quote(input) + " > " +
              Quote(at("half")) + " && ntfscp -q " + ntfs + " " + Quote(at("half")) + " half.bin && rm " +
              Quote(at("half")) + " && truncate -s " + std::to_string(ntfs_size + (2 << 20)) + " " +
              Quote(at("ntfs-disk.img")) + " && printf 'label: dos\\nstart=2048,type=7\\n' | sfdisk -q " +
              Quote(at("ntfs-disk.img")) + " && dd if=" + ntfs + " of=" + Quote(at("ntfs-disk.img")) +
              " bs=1M seek=1 conv=notrunc status=none");

    // Every engine runs on the bench's own machine, so not even the check
    // for overlapping endpoints looks at this computer's disks.
    ::setenv("TARNOVELL_HOST", at("machine.ini").c_str(), 1);
    platform::device::Registry::Reset();

    auto raw_backup = [&] { return ok(disk::BackupRaw(input, at("ours.raw"), nullptr, 0, 0, false)); };
    auto clone = [&] {
        disk::OperationContext context;
        std::atomic<bool> cancel{false};
        context.cancel = &cancel;
        bool done = tarnovell::CloneDevice("\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", context, true) ==
                    tarnovell::CloneResult::Completed;
        return done;
    };
    auto wipe = [&] {
        disk::OperationContext context;
        return tarnovell::WipeDevice("\\\\.\\PhysicalDrive1", context) == tarnovell::WipeResult::Completed &&
               !answers.failed;
    };
    auto all_zero = [&](const std::string& file) {
        return Shell("cmp -s -n " + std::to_string(size) + " " + Quote(file) + " /dev/zero");
    };
    // The NTFS volume of disk 2, by the letter the device list shows.
    auto ntfs_volume = [&] {
        for (const auto& row : disk::FillDiskList(1, "MB"))
            if (row.device.rfind("PART 2,", 0) == 0) return tarnovell::PathOfRow(row);
        return std::string();
    };
    auto clean = [&] {
        disk::OperationContext context;
        return tarnovell::ZeroFreeClusters(ntfs_volume(), context) == tarnovell::WipeResult::Completed &&
               !answers.failed;
    };
    auto same_volume = [&] {
        return Shell("cmp -s -i 1048576:0 -n " + std::to_string(ntfs_size) + " " + Quote(at("ntfs-disk.img")) + " " +
                     ntfs) &&
               Shell("ntfsfix -n " + ntfs + " >/dev/null") &&
               Shell("ntfscat " + ntfs + " half.bin | cmp -s -n " + std::to_string(ntfs_size / 2) + " - " + Quote(input));
    };
    auto same_raw = [&] { return SameBytes(at("ours.raw"), at("peer.raw")); };
    auto same_disk = [&] { return SameBytes(at("disk1.img"), at("peer-disk.img")); };
    const std::string dd = "dd if=" + Quote(input) + " bs=512K status=none ";
    // The copies between a file and a VHD, against qemu-img doing the same.
    auto vhd_copy = [&](const std::string& from, const std::string& to, int mode) {
        try {
            return disk::rawvhd(from, to, mode, nullptr);
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return false;
        }
    };
    auto to_vhd = [&](const std::string& subformat, const std::string& file) {
        return "qemu-img convert -f raw -O vpc -o subformat=" + subformat + ",force_size=on " + Quote(input) + " " +
               Quote(file);
    };
    auto same_as_input = [&](const std::string& vhd) {
        return Shell("qemu-img compare -q -f vpc -F raw " + Quote(vhd) + " " + Quote(input));
    };
    // The peers that do not sync are timed with a sync of their output.
    auto synced = [](const std::string& command, const std::string& output) {
        return command + " && sync -d " + Quote(output);
    };

    // Network: a send stored by a socat listener, a receive served by one.
    auto net_send = [&] {
        SocatListener receiver({"TCP-LISTEN:0,bind=127.0.0.1", "OPEN:" + at("ours.net") + ",creat,trunc"});
        if (receiver.port() == 0) return false;
        bool sent = ok(disk::NetSendRaw(input, "127.0.0.1", receiver.port(), 0, nullptr).result);
        return receiver.finish() && sent;
    };
    auto net_receive = [&] {
        SocatListener sender({"FILE:" + input, "TCP-LISTEN:0,bind=127.0.0.1"});
        if (sender.port() == 0) return false;
        bool received = ok(disk::NetReceiveRaw(at("ours-received.net"), "127.0.0.1", sender.port(), nullptr).result);
        return sender.finish() && received;
    };
    const std::string log = at("listener.log");
    const std::string socat_send = ShellListener("TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + at("peer.net") + ",creat,trunc", log) +
                                   "socat -b 1048576 -u FILE:" + input + " TCP:127.0.0.1:$port && wait $listener";
    const std::string socat_receive = ShellListener("FILE:" + input + " TCP-LISTEN:0,bind=127.0.0.1", log) +
                                      "socat -b 1048576 -u TCP:127.0.0.1:$port OPEN:" + at("peer-received.net") +
                                      ",creat,trunc && sync -d " + Quote(at("peer-received.net")) +
                                      " && wait $listener";

    std::vector<Engine> engines = {
        {"raw backup", at("ours.raw"), raw_backup, at("peer.raw"),
         dd + "of=" + Quote(at("peer.raw")) + " conv=fdatasync", same_raw, "dd bs=512K conv=fdatasync"},
        {"LZ4 backup", at("ours.lz4"), [&] { return ok(disk::BackupRaw(input, at("ours.lz4"), nullptr, 0, 0, true)); },
         at("peer.lz4"), synced("lz4 -1 -l -q -f " + Quote(input) + " " + Quote(at("peer.lz4")), at("peer.lz4")),
         [&] { return decodes_to_input(at("ours.lz4")) && decodes_to_input(at("peer.lz4")); },
         "lz4 -1 -l` + `sync -d"},
        {"LZ4 restore", at("ours.restored"),
         [&] { return ok(disk::RestoreRaw(at("ours.lz4"), at("ours.restored"), nullptr, 0, 0, true)); },
         at("peer.restored"),
         synced("lz4 -d -q -f " + Quote(at("ours.lz4")) + " " + Quote(at("peer.restored")), at("peer.restored")),
         [&] { return SameBytes(at("ours.restored"), at("peer.restored")) && SameBytes(at("ours.restored"), input); },
         "lz4 -d` + `sync -d"},
        {"clone", "", clone, "", dd + "of=" + Quote(at("peer-disk.img")) + " conv=notrunc,fdatasync", same_disk,
         "dd bs=512K conv=notrunc,fdatasync"},
        {"fixed VHD backup", at("ours-fixed.vhd"), [&] { return vhd_copy(input, at("ours-fixed.vhd"), 1); },
         at("peer-fixed.vhd"), synced(to_vhd("fixed", at("peer-fixed.vhd")), at("peer-fixed.vhd")),
         [&] { return same_as_input(at("ours-fixed.vhd")) && same_as_input(at("peer-fixed.vhd")); },
         "qemu-img convert -O vpc -o subformat=fixed` + `sync -d"},
        {"dynamic VHD backup", at("ours.vhd"), [&] { return vhd_copy(input, at("ours.vhd"), 2); }, at("peer.vhd"),
         synced(to_vhd("dynamic", at("peer.vhd")), at("peer.vhd")),
         [&] { return same_as_input(at("ours.vhd")) && same_as_input(at("peer.vhd")); },
         "qemu-img convert -O vpc -o subformat=dynamic` + `sync -d"},
        {"VHD restore", at("ours-vhd.restored"), [&] { return vhd_copy(at("ours.vhd"), at("ours-vhd.restored"), 0); },
         at("peer-vhd.restored"),
         synced("qemu-img convert -f vpc -O raw " + Quote(at("ours.vhd")) + " " + Quote(at("peer-vhd.restored")),
                at("peer-vhd.restored")),
         [&] { return SameBytes(at("ours-vhd.restored"), input) && SameBytes(at("peer-vhd.restored"), input); },
         "qemu-img convert -f vpc -O raw` + `sync -d"},
        {"wipe", "", wipe, "",
         "dd if=/dev/zero of=" + Quote(at("peer-disk.img")) + " bs=512K iflag=count_bytes count=" + std::to_string(size) +
             " conv=notrunc,fdatasync status=none",
         [&] { return all_zero(at("disk1.img")) && all_zero(at("peer-disk.img")); },
         "dd if=/dev/zero bs=512K conv=notrunc,fdatasync"},
        {"clean volume", "", clean, "", synced("ntfswipe -u -f -q " + ntfs + " >/dev/null", at("peer-ntfs.img")),
         same_volume, "ntfswipe -u` + `sync -d"},
        {"net send", at("ours.net"), net_send, at("peer.net"), socat_send,
         [&] { return SameBytes(at("ours.net"), input) && SameBytes(at("peer.net"), input); },
         "socat -u FILE: TCP:` to a `socat -u TCP-LISTEN: OPEN:"},
        {"net receive", at("ours-received.net"), net_receive, at("peer-received.net"), socat_receive,
         [&] { return SameBytes(at("ours-received.net"), input) && SameBytes(at("peer-received.net"), input); },
         "socat -u TCP: OPEN:` + `sync -d` from a `socat -u FILE: TCP-LISTEN:"},
    };
    // The conversions to raw read images qemu-img made of INPUT (once, when
    // their line is wanted), against qemu-img converting them back.
    auto convert_image = [&](const std::string& format, const std::string& options) {
        const std::string image = at("input." + format);
        return [&, format, options, image] {
            if (!fs::exists(image) && !Shell("qemu-img convert -f raw -O " + format + " -o " + options + " " +
                                             Quote(input) + " " + Quote(image)))
                return std::string();
            return image;
        };
    };
    auto to_raw = [&](const std::string& format, const std::string& options,
                      disk::CopyResult (*convert)(const std::string&, const std::string&, platform::ProgressBar*,
                                                  platform::OperationTarget*)) {
        auto image = convert_image(format, options);
        const std::string ours_out = at(format + "-ours.raw"), peer_out = at(format + "-peer.raw");
        return Engine{format + " to raw", ours_out, [&, image, ours_out, convert] {
                          const std::string from = image();
                          return !from.empty() && ok(convert(from, ours_out, nullptr, nullptr));
                      },
                      peer_out,
                      synced("qemu-img convert -f " + format + " -O raw " + Quote(at("input." + format)) + " " +
                                 Quote(peer_out),
                             peer_out),
                      [&, ours_out, peer_out] { return SameBytes(ours_out, input) && SameBytes(peer_out, input); },
                      "qemu-img convert -f " + format + " -O raw` + `sync -d"};
    };
    engines.push_back(to_raw("vpc", "subformat=dynamic,force_size=on", disk::VhdiToRaw));
    engines.push_back(to_raw("vhdx", "subformat=dynamic", disk::VhdiToRaw));
    engines.push_back(to_raw("vmdk", "subformat=monolithicSparse", disk::VmdkToRaw));
    engines.push_back(to_raw("qcow2", "compat=1.1", disk::QcowToRaw));
    engines.push_back(to_raw("vdi", "static=off", disk::VdiToRaw));
    // EWF against libewf's own tools at the same compression ("fast");
    // ewfacquire does not sync, so its segments are synced after it.
    const std::string ewf_exported = at("ewf-exported");
    engines.push_back(Engine{
        "EWF backup", at("ours.E01"), [&] { return ok(disk::RawToEwf(input, at("ours.E01"), nullptr, nullptr)); },
        at("peer.E01"),
        "ewfacquire -u -q -c fast -t " + Quote(at("peer")) + " " + Quote(input) + " >/dev/null 2>&1 && sync -d " +
            Quote(at("peer")) + ".E*",
        [&] {
            return Shell("ewfverify -q " + Quote(at("ours.E01")) + " >/dev/null 2>&1") &&
                   Shell("ewfexport -u -q -f raw -t " + Quote(ewf_exported) + " " + Quote(at("ours.E01")) +
                         " >/dev/null 2>&1") &&
                   SameBytes(ewf_exported + ".raw", input) &&
                   Shell("ewfverify -q " + Quote(at("peer.E01")) + " >/dev/null 2>&1");
        },
        "ewfacquire -c fast` + `sync -d"});
    engines.push_back(Engine{
        "EWF restore", at("ours-ewf.restored"),
        [&] { return ok(disk::EwfToRaw(at("ours.E01"), at("ours-ewf.restored"), nullptr, nullptr)); },
        at("peer-ewf.raw"),
        "ewfexport -u -q -f raw -t " + Quote(at("peer-ewf")) + " " + Quote(at("ours.E01")) +
            " >/dev/null 2>&1 && sync -d " +
            Quote(at("peer-ewf.raw")),
        [&] { return SameBytes(at("ours-ewf.restored"), input) && SameBytes(at("peer-ewf.raw"), input); },
        "ewfexport -f raw` + `sync -d"});

    // MD5 of INPUT against md5sum; an ISO image of a folder of ordinary
    // files (INPUT cut in 64 pieces) against xorriso with the same options;
    // the extraction of a zip of that folder against 7z x.
    std::string our_digest;
    auto md5 = [&] {
        try {
            our_digest = disk::MD5File(input);
            return true;
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return false;
        }
    };
    auto same_digest = [&] {
        std::ifstream peer(at("peer.md5"));
        std::string digest;
        peer >> digest;
        for (auto& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return !digest.empty() && digest == our_digest;
    };
    const std::string tree = at("iso-tree");
    auto make_tree = [&] {
        static bool made = false;
        if (!made) made = Shell("mkdir -p " + Quote(tree) + " && split -n 64 " + Quote(input) + " " + Quote(tree + "/part."));
        return made;
    };
    auto iso_build = [&] {
        disk::IsoBuildRequest request;
        request.source = tree;
        request.file_systems = disk::FileSystemFlagsOfChoice(1);
        request.destination = at("ours.iso");
        disk::IsoMakerLog iso_log(at("iso.log"));
        return make_tree() && disk::BuildIsoImage(request, disk::OperationContext{}, iso_log) && !answers.failed;
    };
    auto same_trees_in_images = [&] {
        return Shell("xorriso -indev " + Quote(at("ours.iso")) + " -compare_r " + Quote(tree) + " / >/dev/null 2>&1") &&
               Shell("xorriso -indev " + Quote(at("peer.iso")) + " -compare_r " + Quote(tree) + " / >/dev/null 2>&1");
    };
    const std::string zip = at("tree.zip");
    auto extract = [&] {
        static bool zipped = false;
        if (!zipped)
            zipped = make_tree() && Shell("cd " + Quote(tree) + " && 7z a -bd -tzip -mx=1 " + Quote(zip) + " . >/dev/null");
        try {
            fs::create_directories(at("ours-x"));
            auto archive = disk::sevenzip::Create7zInArchive(disk::sevenzip::ClassIdOfExtension(zip),
                                                             disk::sevenzip::kSevenZipLibrary);
            archive->OpenFile(zip);
            archive->ExtractTo(at("ours-x"));
            archive->Close();
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return false;
        }
        return zipped && Shell("sync -f " + Quote(at("ours-x")));
    };
    engines.push_back({"MD5", "", md5, at("peer.md5"), "md5sum " + Quote(input) + " > " + Quote(at("peer.md5")),
                       same_digest, "md5sum"});
    engines.push_back({"ISO build", at("ours.iso"), iso_build, at("peer.iso"),
                       synced("xorriso -as mkisofs -quiet -iso-level 2 -J -V DISK -o " + Quote(at("peer.iso")) + " " +
                                  Quote(tree) + " 2>/dev/null",
                              at("peer.iso")),
                       same_trees_in_images, "xorriso -as mkisofs -iso-level 2 -J` + `sync -d"});
    engines.push_back({"7z extract", at("ours-x"), extract, at("peer-x"),
                       "7z x -bd -y -o" + Quote(at("peer-x")) + " " + Quote(zip) + " >/dev/null && sync -f " +
                           Quote(at("peer-x")),
                       [&] { return Shell("diff -r " + Quote(at("ours-x")) + " " + Quote(at("peer-x"))); },
                       "7z x` + `sync -f"});
    // The files the WIM engines capture: INPUT's file system, mounted
    // read-only (which needs root; without it they are left out).
    const std::string files = at("wim-source");
    fs::create_directories(files);
    const bool mounted_files = Shell("mount -o ro,loop " + Quote(input) + " " + Quote(files) + " 2>/dev/null");
    auto wim_capture = [&](const std::string& file, int compression) {
        disk::OperationContext context;
        std::atomic<bool> cancel{false};
        context.cancel = &cancel;
        tarnovell::WimCaptureJob job;
        job.source = files;
        job.wim_file = file;
        job.compression = compression;
        return tarnovell::WimCaptureThread(job, context) == 0 && !answers.failed;
    };
    auto wim_apply = [&] {
        disk::OperationContext context;
        fs::create_directories(at("ours-applied"));
        return tarnovell::WimApplyThread({at("ours.wim"), at("ours-applied"), "", 1, false}, context) == 0 &&
               !answers.failed;
    };
    auto same_files = [&](const std::string& a, const std::string& b) {
        return Shell("wimlib-imagex dir " + Quote(a) + " 1 > " + Quote(at("a.list")) + " && wimlib-imagex dir " +
                     Quote(b) + " 1 > " + Quote(at("b.list")) + " && cmp -s " + Quote(at("a.list")) + " " +
                     Quote(at("b.list")) + " && wimlib-imagex verify " + Quote(a) + " >/dev/null");
    };
    auto wimlib = [&](const std::string& verb, const std::string& what, const std::string& output,
                      const std::string& options) {
        return "wimlib-imagex " + verb + " " + Quote(what) + " " + (verb == "apply" ? "1 " : "") + Quote(output) + " " +
               options + " >/dev/null";
    };
    if (mounted_files) {
        engines.push_back({"WIM capture", at("ours.wim"), [&] { return wim_capture(at("ours.wim"), 1); },
                           at("peer.wim"), synced(wimlib("capture", files, at("peer.wim"), "--compress=XPRESS"), at("peer.wim")),
                           [&] { return same_files(at("ours.wim"), at("peer.wim")); },
                           "wimlib-imagex capture --compress=XPRESS` + `sync -d"});
        engines.push_back({"WIM capture LZX", at("ours-lzx.wim"), [&] { return wim_capture(at("ours-lzx.wim"), 2); },
                           at("peer-lzx.wim"),
                           synced(wimlib("capture", files, at("peer-lzx.wim"), "--compress=LZX"), at("peer-lzx.wim")),
                           [&] { return same_files(at("ours-lzx.wim"), at("peer-lzx.wim")); },
                           "wimlib-imagex capture --compress=LZX` + `sync -d"});
        engines.push_back({"WIM apply", at("ours-applied"), wim_apply, at("peer-applied"),
                           wimlib("apply", at("ours.wim"), at("peer-applied"), "") + " && sync -f " +
                               Quote(at("peer-applied")),
                           [&] {
                               return Shell("diff -r --no-dereference " + Quote(files) + " " + Quote(at("ours-applied")) +
                                            " >/dev/null && diff -r --no-dereference " + Quote(files) + " " + Quote(at("peer-applied")) +
                                            " >/dev/null");
                           },
                           "wimlib-imagex apply` + `sync -f"});
    } else {
        std::cerr << "INPUT holds no file system this bench can mount read-only: no WIM engines\n";
    }
    // What the WIM engines' rates count: the bytes of the files.
    const double file_bytes = mounted_files ? static_cast<double>([&] {
        std::uintmax_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(files))
            if (entry.is_regular_file() && !entry.is_symlink()) total += entry.file_size();
        return total;
    }()) : 0;

    // The restores read what the backups before them wrote.
    auto wanted = [&](const std::string& name) {
        auto key = [](std::string text) {
            for (auto& c : text) c = c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return text;
        };
        const std::string k = key(name);
        return only.empty() || k == only || (only == "lz4-restore" && k == "lz4-backup") ||
               (only == "vhd-restore" && k == "dynamic-vhd-backup") || (only == "ewf-restore" && k == "ewf-backup") ||
               (only == "7z-extract" && k == "iso-build") || (only == "wim-apply" && k == "wim-capture");
    };

    std::printf("%s, %.1f MB, median of %d runs, both sides durable\n\n", input.c_str(), size / 1e6, runs);
    std::printf("| engine | ours MB/s | peer MB/s | ratio | peer |\n|---|---|---|---|---|\n");
    bool all = true;
    for (const auto& engine : engines) {
        if (!wanted(engine.name) || (engine.name == "clean volume" && !made_ntfs)) continue;
        double bytes = static_cast<double>(size);
        if (engine.name == "clean volume") bytes = static_cast<double>(ntfs_size / 2);
        if (engine.name.rfind("WIM ", 0) == 0) bytes = file_bytes;
        all = RunEngine(engine, runs, bytes) && all;
    }
    if (mounted_files) Shell("umount " + Quote(files));
    platform::device::Registry::Reset();
    ::unsetenv("TARNOVELL_HOST");
    scratch.remove();
    return all ? 0 : 1;
}
