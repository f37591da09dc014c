// The lines of the bench's table, by kind: the copies between disks, files
// and the network; the conversions; the file tools; the WIM engines. Each
// line's peer does the same work as ours: where ours leaves holes for
// blocks of zeros in a file it makes, so does its peer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_runner.h"
#include "platform/base/interaction.h"

namespace bench {

// Says Yes to every question (the outputs are ours to overwrite) and keeps
// every message, which for a copy means something went wrong.
class BenchInteraction : public platform::Interaction {
public:
    bool confirm(const std::string&, const std::string&) override { return true; }
    void inform(const std::string& text, const std::string&) override;
    std::optional<std::string> input_box(const std::string&, const std::string&, const std::string& initial) override {
        return initial;
    }
    bool failed = false;
};

struct BenchSetup {
    std::string input;
    std::uintmax_t size = 0;
    const Scratch* scratch = nullptr;
    BenchInteraction* answers = nullptr;

    std::string at(const std::string& name) const { return scratch->file(name); }
    std::string manifest() const { return at("machine.ini"); }
};

// Writes the bench's machine (disk 0 is INPUT, disk 1 a sparse image of its
// size, and, while the clean-volume line runs, disk 2 with an NTFS volume)
// and makes it the one the engines see.
void UseBenchMachine(const BenchSetup& setup, bool with_ntfs_disk);

std::vector<Engine> CopyEngines(const BenchSetup& setup);
std::vector<Engine> ConversionEngines(const BenchSetup& setup);
std::vector<Engine> FileToolEngines(const BenchSetup& setup);
// Empty (after saying why) when INPUT holds no file system the bench can
// mount read-only.
std::vector<Engine> WimEngines(const BenchSetup& setup);

}  // namespace bench
