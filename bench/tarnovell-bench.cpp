// tarnovell-bench INPUT [--work FOLDER] [--runs N] [--only NAME]
//
// Runs each of our copy engines on INPUT and the peer tool that does the
// same work, checks what both wrote, and prints one line per engine: each
// side's rate, wall time and CPU time, and our speed over the peer's with
// its inter-quartile range over the rounds. Each side runs once untimed
// first (the check of its output), then N timed runs (7 by default), the
// two sides taking turns and which goes first alternating. Every run, timed
// or not, starts on a settled machine: the outputs of the run before it
// removed, everything written back, and the page cache dropped (as root;
// the bench says when it cannot), so no run pays for another's writes or
// finds its input cached by another. The scratch folder never holds more
// than one line's outputs: about twice INPUT's size at most, checked
// before the bench starts.
//
// Everything goes to a scratch folder of the bench's own inside FOLDER
// (default: INPUT's folder), which is removed, with the read-only mount of
// INPUT the WIM lines make, however the bench ends: at its end, on a
// failure, and on SIGINT, SIGTERM or SIGHUP.
//
// Our copies report done only when the data is on the medium (fdatasync);
// every peer is held to the same: dd with conv=fdatasync, the others timed
// with a `sync` of their output. The clone and the wipe write disk 1 of an
// embedded machine the bench writes (disk 0 is INPUT); the peer writes the
// same bytes into an image of its own.
//
// INPUT, as the figures the project gives were measured: a 2 GiB ext4
// image of ordinary files that bench/make-input.sh makes.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "bench_engines.h"
#include "bench_runner.h"
#include "platform/device/registry.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
    std::cerr << "usage: tarnovell-bench INPUT [--work FOLDER] [--runs N (7)] [--only NAME]\n"
                 "  NAME: raw-backup, lz4-backup, lz4-restore, fixed-vhd-backup, dynamic-vhd-backup,\n"
                 "  vhd-restore, clone, wipe, clean-volume, net-send, net-receive, vpc-to-raw,\n"
                 "  vhdx-to-raw, vmdk-to-raw, qcow2-to-raw, vdi-to-raw, ewf-backup, ewf-restore, md5,\n"
                 "  iso-build, 7z-extract, wim-capture, wim-capture-lzx or wim-apply\n";
    return 2;
}

// "LZ4 restore" is asked for as lz4-restore.
std::string KeyOf(std::string name) {
    for (auto& c : name) c = c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

struct Arguments {
    std::string input;
    std::string work_parent;
    int runs = 7;
    std::string only;
};

bool ReadArguments(int argc, char** argv, Arguments& arguments) {
    if (argc < 2) return false;
    if (const std::string first = argv[1]; first == "--help" || first == "-h") return false;
    arguments.input = fs::absolute(argv[1]).string();
    arguments.work_parent = fs::path(arguments.input).parent_path().string();
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--work" && i + 1 < argc) arguments.work_parent = argv[++i];
        else if (arg == "--runs" && i + 1 < argc) arguments.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--only" && i + 1 < argc) arguments.only = argv[++i];
        else return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!ReadArguments(argc, argv, arguments)) return Usage();
    std::error_code error;
    const std::uintmax_t size = fs::file_size(arguments.input, error);
    if (error || size == 0) {
        std::cerr << "cannot read " << arguments.input << "\n";
        return 2;
    }
    // One line's outputs and what both of its sides read: twice INPUT, and room to spare.
    if (!bench::EnoughRoom(arguments.work_parent, 2 * size + (256 << 20), "twice the size of INPUT, and 256 MB"))
        return 2;

    std::string why;
    bench::Scratch scratch(arguments.work_parent, "wim-source", why);
    if (!scratch.valid()) {
        std::cerr << why << "\n";
        return 2;
    }
    bench::BenchInteraction answers;
    platform::ScopedInteraction scoped(answers);
    bench::BenchSetup setup{arguments.input, size, &scratch, &answers};
    bench::MakeSparse(setup.at("disk1.img"), size);
    bench::UseBenchMachine(setup, false);

    auto wanted = [&](const std::string& name) { return arguments.only.empty() || KeyOf(name) == arguments.only; };
    std::vector<bench::Engine> engines;
    for (auto* kind : {bench::CopyEngines, bench::ConversionEngines, bench::FileToolEngines})
        for (auto& engine : kind(setup)) engines.push_back(std::move(engine));
    if (arguments.only.empty() || arguments.only.rfind("wim-", 0) == 0)
        for (auto& engine : bench::WimEngines(setup)) engines.push_back(std::move(engine));

    bench::PrintTableHead(arguments.input, static_cast<double>(size), arguments.runs, bench::SettleBeforeEachRun());
    bool all = true;
    bool any = false;
    for (auto& engine : engines) {
        if (!wanted(engine.name)) continue;
        any = true;
        all = bench::RunEngine(engine, arguments.runs) && all;
    }
    bench::PrintTableFoot();
    // A WIM line that did not run to the end may leave INPUT mounted.
    bench::Shell("! mountpoint -q " + bench::Quote(scratch.mount_point()) + " || umount " +
                 bench::Quote(scratch.mount_point()));
    platform::device::Registry::Reset();
    ::unsetenv("TARNOVELL_HOST");
    if (!any) {
        std::cerr << "no line is called " << arguments.only << "\n";
        return Usage();
    }
    return all ? 0 : 1;
}
