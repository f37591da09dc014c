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

#include "disk/engines/copy_engine.h"
#include "disk/engines/rawvhd.h"
#include "disk/device/device_lists.h"
#include "main/operations/clone.h"
#include "main/operations/selection.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wipe.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
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

int Usage() {
    std::cerr << "usage: tarnovell-bench INPUT [--work FOLDER] [--runs N] [--only NAME]\n"
                 "  NAME: raw-backup, lz4-backup, lz4-restore (runs lz4-backup first), clone,\n"
                 "  fixed-vhd-backup, dynamic-vhd-backup, vhd-restore (runs dynamic-vhd-backup first),\n"
                 "  wipe, clean-volume, wim-capture, wim-capture-lzx or wim-apply (runs wim-capture first)\n";
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
        tarnovell::MainLockedVolumes().release();  // a clone leaves the destination's volumes locked
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
    };
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
               (only == "vhd-restore" && k == "dynamic-vhd-backup") || (only == "wim-apply" && k == "wim-capture");
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
