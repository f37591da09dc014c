#include "bench_engines.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "disk/bindings/sevenzip/sevenzip.h"
#include "disk/checksum/md5.h"
#include "disk/device/device_lists.h"
#include "disk/engines/convert.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/net_transfer.h"
#include "disk/engines/rawvhd.h"
#include "disk/iso/iso_maker.h"
#include "main/operations/clone.h"
#include "main/operations/selection.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wipe.h"
#include "platform/device/registry.h"

namespace fs = std::filesystem;

namespace bench {

void BenchInteraction::inform(const std::string& text, const std::string&) {
    std::cerr << "message: " << text << "\n";
    failed = true;
}

namespace {

// The peers that do not sync are timed with a sync of their output.
std::string Synced(const std::string& command, const std::string& output) {
    return command + " && sync -d " + Quote(output);
}

// Writes a stream into a file as our copies write a file they make: blocks
// of zeros stay holes, and the data is on the medium at the end.
std::string IntoSparseFile(const std::string& output) {
    return "dd of=" + Quote(output) + " bs=512K iflag=fullblock conv=sparse,fdatasync status=none";
}

bool Done(const BenchSetup& setup, disk::CopyResult result) {
    return result == disk::CopyResult::Completed && !setup.answers->failed;
}

// The table names the line's peer by the commands it runs.
Engine Line(std::string name, Side ours, Side peer, std::string peer_label, double bytes) {
    Engine engine;
    engine.name = std::move(name);
    engine.ours = std::move(ours);
    engine.peer = std::move(peer);
    engine.peer_label = std::move(peer_label);
    engine.bytes = bytes;
    return engine;
}

std::function<bool()> SameAsInput(const BenchSetup& setup, const std::string& file) {
    const std::string input = setup.input;
    return [input, file] { return SameBytes(file, input); };
}

// The raw image of a VHD, as qemu-img reads it, is INPUT.
std::function<bool()> VhdHoldsInput(const BenchSetup& setup, const std::string& vhd) {
    const std::string input = setup.input;
    return [input, vhd] { return Shell("qemu-img compare -q -f vpc -F raw " + Quote(vhd) + " " + Quote(input)); };
}

std::string QemuToVhd(const BenchSetup& setup, const std::string& subformat, const std::string& file) {
    return "qemu-img convert -f raw -O vpc -o subformat=" + subformat + ",force_size=on " + Quote(setup.input) + " " +
           Quote(file);
}

// The shell lines that start a socat listener in the background and leave
// its port in $port. Every socat moves 1 MiB per call, the fastest it goes:
// the listener must not be what both sides wait for.
std::string ShellListener(const std::string& addresses, const std::string& log) {
    return "socat -d -d -b 1048576 -u " + addresses + " 2>" + Quote(log) + " & listener=$!; port=; " +
           "until [ -n \"$port\" ]; do sleep 0.01; port=$(sed -n 's/.*listening on .*:\\([0-9]*\\)$/\\1/p' " +
           Quote(log) + "); done; ";
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

// Fills a disk image with INPUT, so that a wipe has something to wipe.
void FillWithInput(const BenchSetup& setup, const std::string& image) {
    Shell("dd if=" + Quote(setup.input) + " of=" + Quote(image) + " bs=1M conv=notrunc status=none");
}

std::vector<Engine> DiskEngines(const BenchSetup& setup) {
    const std::string input = setup.input;
    const std::uintmax_t size = setup.size;
    const std::string target = setup.at("disk1.img"), peer_disk = setup.at("peer-disk.img");
    auto blank = [size](const std::string& image) { return [image, size] { MakeSparse(image, size); }; };
    auto all_zero = [size](const std::string& file) {
        return [file, size] { return Shell("cmp -s -n " + std::to_string(size) + " " + Quote(file) + " /dev/zero"); };
    };
    const std::string dd = "dd if=" + Quote(input) + " bs=512K status=none ";
    std::vector<Engine> engines;

    Engine clone = Line("clone",
                        {[&setup] {
                             disk::OperationContext context;
                             std::atomic<bool> cancel{false};
                             context.cancel = &cancel;
                             const bool done = tarnovell::CloneDevice("\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1",
                                                                      context, true) == tarnovell::CloneResult::Completed;
                             return done && !setup.answers->failed;
                         },
                         target, blank(target), SameAsInput(setup, target), {}},
                        {[dd, peer_disk] { return Shell(dd + "of=" + Quote(peer_disk) + " conv=sparse,notrunc,fdatasync"); },
                         peer_disk, blank(peer_disk), SameAsInput(setup, peer_disk), {}},
                        "dd bs=512K conv=sparse,notrunc,fdatasync", static_cast<double>(size));
    // The same clone against a dd that writes every block, zeros too.
    Engine clone_every_block = clone;
    clone_every_block.peer.run = [dd, peer_disk] { return Shell(dd + "of=" + Quote(peer_disk) + " conv=notrunc,fdatasync"); };
    clone_every_block.peer_label = "dd bs=512K conv=notrunc,fdatasync";
    engines.push_back(std::move(clone));
    engines.push_back(std::move(clone_every_block));

    Engine wipe = Line("wipe",
                       {[&setup] {
                            disk::OperationContext context;
                            return tarnovell::WipeDevice("\\\\.\\PhysicalDrive1", context) ==
                                       tarnovell::WipeResult::Completed &&
                                   !setup.answers->failed;
                        },
                        target, blank(target), all_zero(target), [&setup, target] { FillWithInput(setup, target); }},
                       {[peer_disk, size] {
                            return Shell("fallocate --punch-hole --offset 0 --length " + std::to_string(size) + " " +
                                         Quote(peer_disk) + " && sync -d " + Quote(peer_disk));
                        },
                        peer_disk, blank(peer_disk), all_zero(peer_disk),
                        [&setup, peer_disk] { FillWithInput(setup, peer_disk); }},
                       "fallocate --punch-hole` + `sync -d", static_cast<double>(size));
    // The same wipe against a dd that writes zeros over every block.
    Engine wipe_every_block = wipe;
    wipe_every_block.peer.run = [peer_disk, size] {
        return Shell("dd if=/dev/zero of=" + Quote(peer_disk) + " bs=512K iflag=count_bytes count=" + std::to_string(size) +
                     " conv=notrunc,fdatasync status=none");
    };
    wipe_every_block.peer_label = "dd if=/dev/zero bs=512K conv=notrunc,fdatasync";
    engines.push_back(std::move(wipe));
    engines.push_back(std::move(wipe_every_block));

    // The clean volume zeroes the free half of an NTFS volume the size of
    // INPUT (made by mkntfs over bytes of 0xFF, half filled with INPUT's
    // bytes) on disk 2; ntfswipe cleans a copy of it, and the two volumes
    // must come out byte for byte the same.
    const std::uintmax_t ntfs_size = size / (1 << 20) * (1 << 20);
    const std::string ntfs = setup.at("peer-ntfs.img"), ntfs_disk = setup.at("ntfs-disk.img");
    if (ntfs_size >= (16 << 20)) {
        Engine clean = Line("clean volume",
                            {[&setup] {
                                 std::string volume;
                                 for (const auto& row : disk::FillDiskList(1, "MB"))
                                     if (row.device.rfind("PART 2,", 0) == 0) volume = tarnovell::PathOfRow(row);
                                 disk::OperationContext context;
                                 return !volume.empty() &&
                                        tarnovell::ZeroFreeClusters(volume, context) == tarnovell::WipeResult::Completed &&
                                        !setup.answers->failed;
                             },
                             "", [] {}, {}, {}},
                            {[ntfs] { return Shell(Synced("ntfswipe -u -f -q " + Quote(ntfs) + " >/dev/null", ntfs)); },
                             "", [] {}, {}, {}},
                            "ntfswipe -u` + `sync -d", static_cast<double>(ntfs_size / 2));
        const std::string half = setup.at("half");
        clean.prepare = [&setup, ntfs, ntfs_disk, half, input, ntfs_size] {
            const bool made =
                Shell("head -c " + std::to_string(ntfs_size) + " /dev/zero | tr '\\000' '\\377' > " + Quote(ntfs) +
                      " && mkntfs -Q -F -q " + Quote(ntfs) + " 2>/dev/null && head -c " + std::to_string(ntfs_size / 2) +
                      " " + Quote(input) + " > " + Quote(half) + " && ntfscp -q " + Quote(ntfs) + " " + Quote(half) +
                      " half.bin && rm " + Quote(half) + " && truncate -s " + std::to_string(ntfs_size + (2 << 20)) +
                      " " + Quote(ntfs_disk) + " && printf 'label: dos\\nstart=2048,type=7\\n' | sfdisk -q " +
                      Quote(ntfs_disk) + " && dd if=" + Quote(ntfs) + " of=" + Quote(ntfs_disk) +
                      " bs=1M seek=1 conv=notrunc status=none");
            if (made) UseBenchMachine(setup, true);
            return made;
        };
        clean.prepared = {ntfs, ntfs_disk, half};
        clean.check_both = [ntfs, ntfs_disk, input, ntfs_size] {
            return Shell("cmp -s -i 1048576:0 -n " + std::to_string(ntfs_size) + " " + Quote(ntfs_disk) + " " +
                         Quote(ntfs)) &&
                   Shell("ntfsfix -n " + Quote(ntfs) + " >/dev/null") &&
                   Shell("ntfscat " + Quote(ntfs) + " half.bin | cmp -s -n " + std::to_string(ntfs_size / 2) + " - " +
                         Quote(input));
        };
        clean.finish = [&setup] { UseBenchMachine(setup, false); };
        engines.push_back(std::move(clean));
    }
    return engines;
}

std::vector<Engine> FileCopyEngines(const BenchSetup& setup) {
    const std::string input = setup.input;
    const double bytes = static_cast<double>(setup.size);
    auto decodes_to_input = [input](const std::string& packed) {
        return [input, packed] { return Shell("lz4 -d -c " + Quote(packed) + " | cmp -s - " + Quote(input)); };
    };
    auto vhd_copy = [](const std::string& from, const std::string& to, int mode) {
        return [from, to, mode] {
            try {
                return disk::rawvhd(from, to, mode, nullptr);
            } catch (const std::exception& e) {
                std::cerr << e.what() << "\n";
                return false;
            }
        };
    };
    const std::string ours_raw = setup.at("ours.raw"), peer_raw = setup.at("peer.raw");
    const std::string ours_lz4 = setup.at("ours.lz4"), peer_lz4 = setup.at("peer.lz4");
    const std::string lz4_image = setup.at("restore-input.lz4");
    const std::string ours_restored = setup.at("ours.restored"), peer_restored = setup.at("peer.restored");
    const std::string ours_fixed = setup.at("ours-fixed.vhd"), peer_fixed = setup.at("peer-fixed.vhd");
    const std::string ours_vhd = setup.at("ours.vhd"), peer_vhd = setup.at("peer.vhd");
    const std::string vhd_image = setup.at("restore-input.vhd");
    std::vector<Engine> engines;

    // A raw backup into a file leaves holes where INPUT holds blocks of zeros: so does dd conv=sparse.
    engines.push_back(Line(
        "raw backup",
        {[&setup, input, ours_raw] { return Done(setup, disk::BackupRaw(input, ours_raw, nullptr, 0, 0, false)); },
         ours_raw, {}, SameAsInput(setup, ours_raw), {}},
        {[input, peer_raw] {
             return Shell("dd if=" + Quote(input) + " of=" + Quote(peer_raw) + " bs=512K conv=sparse,fdatasync status=none");
         },
         peer_raw, {}, SameAsInput(setup, peer_raw), {}},
        "dd bs=512K conv=sparse,fdatasync", bytes));
    engines.push_back(Line(
        "LZ4 backup",
        {[&setup, input, ours_lz4] { return Done(setup, disk::BackupRaw(input, ours_lz4, nullptr, 0, 0, true)); },
         ours_lz4, {}, decodes_to_input(ours_lz4), {}},
        {[input, peer_lz4] { return Shell(Synced("lz4 -1 -l -q -f " + Quote(input) + " " + Quote(peer_lz4), peer_lz4)); },
         peer_lz4, {}, decodes_to_input(peer_lz4), {}},
        "lz4 -1 -l` + `sync -d", bytes));
    // Both restores of an image lz4 made; lz4 leaves holes in a file as we do.
    Engine lz4_restore = Line(
        "LZ4 restore",
        {[&setup, lz4_image, ours_restored] {
             return Done(setup, disk::RestoreRaw(lz4_image, ours_restored, nullptr, 0, 0, true));
         },
         ours_restored, {}, SameAsInput(setup, ours_restored), {}},
        {[lz4_image, peer_restored] {
             return Shell(Synced("lz4 -d -q -f " + Quote(lz4_image) + " " + Quote(peer_restored), peer_restored));
         },
         peer_restored, {}, SameAsInput(setup, peer_restored), {}},
        "lz4 -d` + `sync -d", bytes);
    lz4_restore.prepare = [input, lz4_image] { return Shell("lz4 -1 -l -q -f " + Quote(input) + " " + Quote(lz4_image)); };
    lz4_restore.prepared = {lz4_image};
    engines.push_back(std::move(lz4_restore));

    engines.push_back(Line("fixed VHD backup",
                           {vhd_copy(input, ours_fixed, 1), ours_fixed, {}, VhdHoldsInput(setup, ours_fixed), {}},
                           {[&setup, peer_fixed] { return Shell(Synced(QemuToVhd(setup, "fixed", peer_fixed), peer_fixed)); },
                            peer_fixed, {}, VhdHoldsInput(setup, peer_fixed), {}},
                           "qemu-img convert -O vpc -o subformat=fixed` + `sync -d", bytes));
    engines.push_back(Line("dynamic VHD backup",
                           {vhd_copy(input, ours_vhd, 2), ours_vhd, {}, VhdHoldsInput(setup, ours_vhd), {}},
                           {[&setup, peer_vhd] { return Shell(Synced(QemuToVhd(setup, "dynamic", peer_vhd), peer_vhd)); },
                            peer_vhd, {}, VhdHoldsInput(setup, peer_vhd), {}},
                           "qemu-img convert -O vpc -o subformat=dynamic` + `sync -d", bytes));
    const std::string ours_vhd_restored = setup.at("ours-vhd.restored"), peer_vhd_restored = setup.at("peer-vhd.restored");
    Engine vhd_restore = Line(
        "VHD restore",
        {vhd_copy(vhd_image, ours_vhd_restored, 0), ours_vhd_restored, {}, SameAsInput(setup, ours_vhd_restored), {}},
        {[vhd_image, peer_vhd_restored] {
             return Shell(Synced("qemu-img convert -f vpc -O raw " + Quote(vhd_image) + " " + Quote(peer_vhd_restored),
                                 peer_vhd_restored));
         },
         peer_vhd_restored, {}, SameAsInput(setup, peer_vhd_restored), {}},
        "qemu-img convert -f vpc -O raw` + `sync -d", bytes);
    vhd_restore.prepare = [&setup, vhd_image] { return Shell(QemuToVhd(setup, "dynamic", vhd_image)); };
    vhd_restore.prepared = {vhd_image};
    engines.push_back(std::move(vhd_restore));
    return engines;
}

// The network transfers run on 127.0.0.1 against socat: a socat listens for
// the other end (it serves INPUT to a receive, or stores a send), and the
// same listener serves ours and the socat client we are timed against. A
// run lasts until the listener has ended.
std::vector<Engine> NetworkEngines(const BenchSetup& setup) {
    const std::string input = setup.input;
    const double bytes = static_cast<double>(setup.size);
    const std::string ours_sent = setup.at("ours.net"), peer_sent = setup.at("peer.net");
    const std::string ours_received = setup.at("ours-received.net"), peer_received = setup.at("peer-received.net");
    const std::string log = setup.at("listener.log");
    std::vector<Engine> engines;
    engines.push_back(Line(
        "net send",
        {[&setup, input, ours_sent] {
             SocatListener receiver({"TCP-LISTEN:0,bind=127.0.0.1", "OPEN:" + ours_sent + ",creat,trunc"});
             if (receiver.port() == 0) return false;
             const bool sent = Done(setup, disk::NetSendRaw(input, "127.0.0.1", receiver.port(), 0, nullptr).result);
             return receiver.finish() && sent;
         },
         ours_sent, {}, SameAsInput(setup, ours_sent), {}},
        {[input, peer_sent, log] {
             return Shell(ShellListener("TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + peer_sent + ",creat,trunc", log) +
                          "socat -b 1048576 -u FILE:" + input + " TCP:127.0.0.1:$port && wait $listener");
         },
         peer_sent, {}, SameAsInput(setup, peer_sent), {}},
        "socat -u FILE: TCP:` to a `socat -u TCP-LISTEN: OPEN:", bytes));
    // A receive into a file leaves holes for blocks of zeros: the peer's
    // stream goes through dd conv=sparse.
    engines.push_back(Line(
        "net receive",
        {[&setup, input, ours_received] {
             SocatListener sender({"FILE:" + input, "TCP-LISTEN:0,bind=127.0.0.1"});
             if (sender.port() == 0) return false;
             const bool received =
                 Done(setup, disk::NetReceiveRaw(ours_received, "127.0.0.1", sender.port(), nullptr).result);
             return sender.finish() && received;
         },
         ours_received, {}, SameAsInput(setup, ours_received), {}},
        {[input, peer_received, log] {
             return Shell(ShellListener("FILE:" + input + " TCP-LISTEN:0,bind=127.0.0.1", log) +
                          "socat -b 1048576 -u TCP:127.0.0.1:$port STDOUT | " + IntoSparseFile(peer_received) +
                          " && wait $listener");
         },
         peer_received, {}, SameAsInput(setup, peer_received), {}},
        "socat -u TCP: STDOUT` + `dd bs=512K conv=sparse,fdatasync` from a `socat -u FILE: TCP-LISTEN:", bytes));
    return engines;
}

}  // namespace

void UseBenchMachine(const BenchSetup& setup, bool with_ntfs_disk) {
    {
        std::ofstream manifest(setup.manifest());
        manifest << "[disk0]\nimage=" << setup.input << "\nproduct=Bench Source\n\n"
                 << "[disk1]\nimage=disk1.img\nproduct=Bench Target\n";
        if (with_ntfs_disk) manifest << "\n[disk2]\nimage=ntfs-disk.img\nproduct=Bench NTFS\n";
    }
    // Every engine runs on the bench's own machine, so not even the check
    // for overlapping endpoints looks at this computer's disks.
    ::setenv("TARNOVELL_HOST", setup.manifest().c_str(), 1);
    platform::device::Registry::Reset();
}

std::vector<Engine> CopyEngines(const BenchSetup& setup) {
    std::vector<Engine> engines = FileCopyEngines(setup);
    for (auto* more : {DiskEngines, NetworkEngines})
        for (auto& engine : more(setup)) engines.push_back(std::move(engine));
    return engines;
}

// The conversions to raw read an image qemu-img made of INPUT, against
// qemu-img converting it back; both leave holes in the raw file.
std::vector<Engine> ConversionEngines(const BenchSetup& setup) {
    using Convert = disk::CopyResult (*)(const std::string&, const std::string&, platform::ProgressBar*,
                                         platform::OperationTarget*);
    const std::string input = setup.input;
    const double bytes = static_cast<double>(setup.size);
    auto to_raw = [&setup, input, bytes](const std::string& format, const std::string& options, Convert convert) {
        const std::string image = setup.at("input." + format);
        const std::string ours = setup.at(format + "-ours.raw"), peer = setup.at(format + "-peer.raw");
        Engine engine = Line(
            format + " to raw",
            {[&setup, image, ours, convert] { return Done(setup, convert(image, ours, nullptr, nullptr)); }, ours, {},
             SameAsInput(setup, ours), {}},
            {[format, image, peer] {
                 return Shell(Synced("qemu-img convert -f " + format + " -O raw " + Quote(image) + " " + Quote(peer), peer));
             },
             peer, {}, SameAsInput(setup, peer), {}},
            "qemu-img convert -f " + format + " -O raw` + `sync -d", bytes);
        engine.prepare = [input, format, options, image] {
            return Shell("qemu-img convert -f raw -O " + format + " -o " + options + " " + Quote(input) + " " + Quote(image));
        };
        engine.prepared = {image};
        return engine;
    };
    std::vector<Engine> engines;
    engines.push_back(to_raw("vpc", "subformat=dynamic,force_size=on", disk::VhdiToRaw));
    engines.push_back(to_raw("vhdx", "subformat=dynamic", disk::VhdiToRaw));
    engines.push_back(to_raw("vmdk", "subformat=monolithicSparse", disk::VmdkToRaw));
    engines.push_back(to_raw("qcow2", "compat=1.1", disk::QcowToRaw));
    engines.push_back(to_raw("vdi", "static=off", disk::VdiToRaw));

    // EWF against libewf's own tools at the same compression ("fast");
    // ewfacquire does not sync, so its segments are synced after it.
    // ewfexport writes to standard output only with a line of its own at
    // the end, hence the head before dd.
    const std::string size = std::to_string(setup.size);
    auto unpacks_to_input = [input, size](const std::string& set) {
        return [input, size, set] {
            return Shell("ewfverify -q " + Quote(set) + " >/dev/null 2>&1") &&
                   Shell("ewfexport -u -q -f raw -t - " + Quote(set) + " 2>/dev/null | head -c " + size + " | cmp -s - " +
                         Quote(input));
        };
    };
    auto acquire = [input](const std::string& stem) {
        return "ewfacquire -u -q -c fast -t " + Quote(stem) + " " + Quote(input) + " >/dev/null 2>&1";
    };
    const std::string ours_set = setup.at("ours.E01"), peer_stem = setup.at("peer");
    engines.push_back(Line(
        "EWF backup",
        {[&setup, input, ours_set] { return Done(setup, disk::RawToEwf(input, ours_set, nullptr, nullptr)); }, ours_set, {},
         unpacks_to_input(ours_set), {}},
        {[acquire, peer_stem] { return Shell(acquire(peer_stem) + " && sync -d " + Quote(peer_stem) + ".E*"); },
         peer_stem + ".E01", {}, unpacks_to_input(peer_stem + ".E01"), {}},
        "ewfacquire -c fast` + `sync -d", bytes));
    const std::string set_stem = setup.at("restore-input"), set = set_stem + ".E01";
    const std::string ours_restored = setup.at("ours-ewf.restored"), peer_restored = setup.at("peer-ewf.restored");
    Engine restore = Line(
        "EWF restore",
        {[&setup, set, ours_restored] { return Done(setup, disk::EwfToRaw(set, ours_restored, nullptr, nullptr)); },
         ours_restored, {}, SameAsInput(setup, ours_restored), {}},
        {[set, size, peer_restored] {
             return Shell("ewfexport -u -q -f raw -t - " + Quote(set) + " 2>/dev/null | head -c " + size + " | " +
                          IntoSparseFile(peer_restored));
         },
         peer_restored, {}, SameAsInput(setup, peer_restored), {}},
        "ewfexport -f raw -t -` + `dd bs=512K conv=sparse,fdatasync", bytes);
    restore.prepare = [acquire, set_stem] { return Shell(acquire(set_stem)); };
    restore.prepared = {set};
    engines.push_back(std::move(restore));
    return engines;
}

// MD5 of INPUT against md5sum; an ISO image of a folder of ordinary files
// (INPUT cut in 64 pieces) against xorriso with the same options; the
// extraction of a zip of that folder against 7z x.
std::vector<Engine> FileToolEngines(const BenchSetup& setup) {
    const std::string input = setup.input;
    const double bytes = static_cast<double>(setup.size);
    auto digests = std::make_shared<std::pair<std::string, std::string>>();  // ours, the peer's
    const std::string peer_md5 = setup.at("peer.md5");
    Engine md5 = Line("MD5",
                      {[input, digests] {
                           try {
                               digests->first = disk::MD5File(input);
                               return true;
                           } catch (const std::exception& e) {
                               std::cerr << e.what() << "\n";
                               return false;
                           }
                       },
                       "", {}, {}, {}},
                      {[input, peer_md5] { return Shell("md5sum " + Quote(input) + " > " + Quote(peer_md5)); }, peer_md5,
                       {},
                       [peer_md5, digests] {
                           std::ifstream peer(peer_md5);
                           peer >> digests->second;
                           for (auto& c : digests->second) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                           return !digests->second.empty();
                       },
                       {}},
                      "md5sum", bytes);
    md5.check_both = [digests] { return digests->first == digests->second; };
    std::vector<Engine> engines;
    engines.push_back(std::move(md5));

    const std::string tree = setup.at("iso-tree");
    const std::string make_tree = "mkdir -p " + Quote(tree) + " && split -n 64 " + Quote(input) + " " + Quote(tree + "/part.");
    auto holds_tree = [tree](const std::string& iso) {
        return [tree, iso] {
            return Shell("xorriso -indev " + Quote(iso) + " -compare_r " + Quote(tree) + " / >/dev/null 2>&1");
        };
    };
    const std::string ours_iso = setup.at("ours.iso"), peer_iso = setup.at("peer.iso");
    Engine iso = Line("ISO build",
                      {[&setup, tree, ours_iso] {
                           disk::IsoBuildRequest request;
                           request.source = tree;
                           request.file_systems = disk::FileSystemFlagsOfChoice(1);
                           request.destination = ours_iso;
                           disk::IsoMakerLog iso_log(setup.at("iso.log"));
                           return disk::BuildIsoImage(request, disk::OperationContext{}, iso_log) && !setup.answers->failed;
                       },
                       ours_iso, {}, holds_tree(ours_iso), {}},
                      {[tree, peer_iso] {
                           return Shell(Synced("xorriso -as mkisofs -quiet -iso-level 2 -J -V DISK -o " + Quote(peer_iso) +
                                                   " " + Quote(tree) + " 2>/dev/null",
                                               peer_iso));
                       },
                       peer_iso, {}, holds_tree(peer_iso), {}},
                      "xorriso -as mkisofs -iso-level 2 -J` + `sync -d", bytes);
    iso.prepare = [make_tree] { return Shell(make_tree); };
    iso.prepared = {tree, setup.at("iso.log")};
    engines.push_back(std::move(iso));

    // The pieces are checked by their digests, so that the tree need not
    // stay beside the zip and the two extractions.
    const std::string zip = setup.at("tree.zip"), sums = setup.at("tree.md5");
    auto holds_pieces = [sums](const std::string& folder) {
        return [sums, folder] { return Shell("cd " + Quote(folder) + " && md5sum -c --quiet --strict " + Quote(sums)); };
    };
    const std::string ours_x = setup.at("ours-x"), peer_x = setup.at("peer-x");
    Engine extract = Line("7z extract",
                          {[zip, ours_x] {
                               try {
                                   fs::create_directories(ours_x);
                                   auto archive = disk::sevenzip::Create7zInArchive(
                                       disk::sevenzip::ClassIdOfExtension(zip), disk::sevenzip::kSevenZipLibrary);
                                   archive->OpenFile(zip);
                                   archive->ExtractTo(ours_x);
                                   archive->Close();
                               } catch (const std::exception& e) {
                                   std::cerr << e.what() << "\n";
                                   return false;
                               }
                               return Shell("sync -f " + Quote(ours_x));
                           },
                           ours_x, {}, holds_pieces(ours_x), {}},
                          {[zip, peer_x] {
                               return Shell("7z x -bd -y -o" + Quote(peer_x) + " " + Quote(zip) + " >/dev/null && sync -f " +
                                            Quote(peer_x));
                           },
                           peer_x, {}, holds_pieces(peer_x), {}},
                          "7z x` + `sync -f", bytes);
    extract.prepare = [make_tree, tree, zip, sums] {
        return Shell(make_tree + " && cd " + Quote(tree) + " && md5sum part.* > " + Quote(sums) +
                     " && 7z a -bd -tzip -mx=1 " + Quote(zip) + " . >/dev/null && rm -r " + Quote(tree));
    };
    extract.prepared = {tree, zip, sums};
    engines.push_back(std::move(extract));
    return engines;
}

// The WIM capture and apply work on the files of INPUT: the bench mounts
// its file system read-only (root only) and captures that folder, as
// wimlib-imagex does with the same compression; the apply writes the image
// into a folder, and the peer applies the same WIM. Both are timed until
// the data is on the medium: our capture syncs its file, our apply the file
// system it wrote; the peers get `sync -d` of their WIM and `sync -f` of
// their folder. Rates count the bytes of the files.
std::vector<Engine> WimEngines(const BenchSetup& setup) {
    const std::string files = setup.scratch->mount_point();
    fs::create_directories(files);
    if (!Shell("mount -o ro,loop " + Quote(setup.input) + " " + Quote(files) + " 2>/dev/null")) {
        std::cerr << "INPUT holds no file system this bench can mount read-only: no WIM engines\n";
        return {};
    }
    std::uintmax_t file_bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(files))
        if (entry.is_regular_file() && !entry.is_symlink()) file_bytes += entry.file_size();
    const double bytes = static_cast<double>(file_bytes);

    auto capture = [&setup, files](const std::string& file, int compression) {
        return [&setup, files, file, compression] {
            disk::OperationContext context;
            std::atomic<bool> cancel{false};
            context.cancel = &cancel;
            tarnovell::WimCaptureJob job;
            job.source = files;
            job.wim_file = file;
            job.compression = compression;
            return tarnovell::WimCaptureThread(job, context) == 0 && !setup.answers->failed;
        };
    };
    auto wimlib = [](const std::string& verb, const std::string& what, const std::string& output,
                     const std::string& options) {
        return "wimlib-imagex " + verb + " " + Quote(what) + " " + (verb == "apply" ? "1 " : "") + Quote(output) + " " +
               options + " >/dev/null";
    };
    // The listing of a WIM's first image, kept for the comparison of both sides.
    auto listed = [](const std::string& wim, const std::string& listing) {
        return [wim, listing] {
            return Shell("wimlib-imagex verify " + Quote(wim) + " >/dev/null && wimlib-imagex dir " + Quote(wim) + " 1 > " +
                         Quote(listing));
        };
    };
    std::vector<Engine> engines;
    for (const auto& [name, compression, option] :
         {std::tuple{"WIM capture", 1, "XPRESS"}, std::tuple{"WIM capture LZX", 2, "LZX"}}) {
        const std::string ours = setup.at(std::string("ours-") + option + ".wim");
        const std::string peer = setup.at(std::string("peer-") + option + ".wim");
        const std::string ours_list = ours + ".list", peer_list = peer + ".list";
        Engine line = Line(name, {capture(ours, compression), ours, {}, listed(ours, ours_list), {}},
                           {[wimlib, files, peer, option] {
                                return Shell(Synced(wimlib("capture", files, peer, std::string("--compress=") + option), peer));
                            },
                            peer, {}, listed(peer, peer_list), {}},
                           std::string("wimlib-imagex capture --compress=") + option + "` + `sync -d", bytes);
        line.check_both = [ours_list, peer_list] { return SameBytes(ours_list, peer_list); };
        line.prepared = {ours_list, peer_list};
        engines.push_back(std::move(line));
    }

    const std::string image = setup.at("restore-input.wim");
    const std::string ours_applied = setup.at("ours-applied"), peer_applied = setup.at("peer-applied");
    auto same_tree = [files](const std::string& folder) {
        return [files, folder] {
            return Shell("diff -r --no-dereference " + Quote(files) + " " + Quote(folder) + " >/dev/null");
        };
    };
    Engine apply = Line("WIM apply",
                        {[&setup, image, ours_applied] {
                             disk::OperationContext context;
                             fs::create_directories(ours_applied);
                             return tarnovell::WimApplyThread({image, ours_applied, "", 1, false}, context) == 0 &&
                                    !setup.answers->failed;
                         },
                         ours_applied, {}, same_tree(ours_applied), {}},
                        {[wimlib, image, peer_applied] {
                             return Shell(wimlib("apply", image, peer_applied, "") + " && sync -f " + Quote(peer_applied));
                         },
                         peer_applied, {}, same_tree(peer_applied), {}},
                        "wimlib-imagex apply` + `sync -f", bytes);
    apply.prepare = [wimlib, files, image] { return Shell(wimlib("capture", files, image, "--compress=XPRESS")); };
    apply.prepared = {image};
    // The source's mount goes with the last WIM line.
    apply.finish = [files] { Shell("umount " + Quote(files)); };
    engines.push_back(std::move(apply));
    return engines;
}

}  // namespace bench
