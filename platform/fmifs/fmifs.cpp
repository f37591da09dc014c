#include "platform/fmifs/fmifs.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/base/wide_text.h"
#include "platform/device/registry.h"
#include "platform/device/volume_node.h"
#include "platform/os/child_process.h"

namespace platform::fmifs {

namespace {

using namespace std::chrono_literals;

// How often a tool that prints nothing still lets the caller look at its
// window and its Cancel button.
constexpr auto kTick = 250ms;

// The tools behind each file system; the module loads when any is there.
const std::vector<std::string>& AllTools() {
    static const std::vector<std::string> tools = {"mkntfs",    "mkfs.fat",   "mkfs.exfat", "mkudffs",
                                                   "fsck.fat",  "fsck.exfat", "ntfsfix"};
    return tools;
}

class Reporter {
public:
    explicit Reporter(PFMIFSCALLBACK callback) : callback_(callback) {}

    // False once the caller has asked to stop.
    bool tell(CALLBACKCOMMAND command, void* argument = nullptr) {
        if (callback_ && !callback_(command, 0, argument)) stopped_ = true;
        return !stopped_;
    }
    bool text(const std::string& line) {
        TEXTOUTPUT output{1, line.c_str()};
        return tell(OUTPUT, &output);
    }
    bool percent(DWORD value) { return tell(PROGRESS, &value); }
    void done(bool succeeded) {
        BOOLEAN flag = succeeded ? 1 : 0;
        tell(DONE, &flag);
    }
    // Says why the run cannot start and ends it.
    void refuse(CALLBACKCOMMAND command, const std::string& why = {}) {
        tell(command);
        if (!why.empty()) text(why);
        done(false);
    }
    bool stopped() const { return stopped_; }

private:
    PFMIFSCALLBACK callback_;
    bool stopped_ = false;
};

// The last "NN%" of a line, as progress counters print them.
std::optional<DWORD> PercentIn(const std::string& line) {
    const std::size_t sign = line.rfind('%');
    if (sign == std::string::npos || sign == 0) return std::nullopt;
    std::size_t start = sign;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1])) && sign - start < 3) --start;
    if (start == sign) return std::nullopt;
    const DWORD value = static_cast<DWORD>(std::stoul(line.substr(start, sign - start)));
    return value <= 100 ? std::optional<DWORD>(value) : std::nullopt;
}

// Runs one tool to its end, relaying what it prints; stops it when the
// caller says so.
ChildResult RunTool(const std::vector<std::string>& argv, Reporter& reporter) {
    std::atomic<bool> stop{false};
    DWORD last_percent = 0;
    auto relay = [&](std::string_view raw) {
        const std::string line = Trim(std::string(raw));
        if (line.empty()) return;
        std::optional<DWORD> percent = PercentIn(line);
        if (percent && *percent != last_percent) {
            last_percent = *percent;
            if (!reporter.percent(last_percent)) stop = true;
        }
        // A bare counter ("  7%") only moves the bar.
        if (percent && line.size() <= 4) return;
        if (!reporter.text(line)) stop = true;
    };
    ChildOptions options;
    options.on_output_line = relay;
    options.on_error_line = relay;
    options.cancel = &stop;
    ChildProcess child(argv, std::move(options));
    if (!child) return {};
    while (!child.wait_for(kTick))
        if (!stop && !reporter.percent(last_percent)) stop = true;
    return child.wait();
}

std::string Narrow(const char16_t* text) { return text ? Utf16ToUtf8(text) : std::string(); }

// The volume a root names: "E:\", "E:", "\\.\E:" or a volume GUID path.
std::optional<device::VolumeInfo> VolumeAt(const std::string& root) {
    std::string path = root;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        path = device::LetterVolumePath(path[0]);
    device::DevicePath parsed = device::ParseDevicePath(path);
    if (parsed.kind == device::PathKind::UnknownDevice && path.size() > 4 && path.back() == '\\')
        parsed = device::ParseDevicePath(path.substr(0, path.size() - 1));
    device::Registry& registry = device::Registry::instance();
    auto snap = registry.refresh();
    const device::VolumeInfo* volume = registry.resolve_volume(*snap, parsed);
    if (!volume) return std::nullopt;
    return *volume;
}

std::uint32_t SectorSizeOf(const device::VolumeInfo& volume) {
    auto snap = device::Registry::instance().snapshot();
    const device::DiskInfo* disk = snap->disk(volume.disk);
    return disk ? disk->sector_size : 512;
}

// Opens the volume's node, or says why not and ends the run.
bool OpenNode(const device::VolumeInfo& volume, bool for_writing, device::VolumeNode& node, Reporter& reporter) {
    // Neither a format nor a repair ever takes a file system away from
    // those using it: whoever mounted it unmounts it first.
    if (for_writing && !volume.mount_points.empty()) {
        reporter.refuse(VOLUMEINUSE, "the volume is mounted at " + volume.mount_points.front());
        return false;
    }
    std::string problem;
    if (device::OpenVolumeNode(volume, for_writing, node, problem)) return true;
    // A loop device takes root; anything else stands in the way of our use.
    const bool rights = node.failure == device::VolumeNode::Failure::Loop && GetLastError() == ERROR_ACCESS_DENIED;
    reporter.refuse(rights ? INSUFFICIENTRIGHTS : VOLUMEINUSE, problem);
    return false;
}

// ---- format -----------------------------------------------------------------

struct FormatRequest {
    std::string file_system;  // as the caller named it
    std::string label;
    bool quick = true;
    DWORD cluster_size = 0;
    std::uint32_t sector_size = 512;
    std::int64_t start_sector = 0;
    std::int64_t length = 0;
};

// The tool's command line; empty when the file system is not one we make.
// `too_small` is set when the cluster size cannot be had on these sectors.
std::vector<std::string> FormatCommand(const FormatRequest& r, const std::string& node, bool& too_small) {
    const std::string fs = ToLower(r.file_system);
    const std::string sector = std::to_string(r.sector_size);
    too_small = r.cluster_size != 0 && r.cluster_size < r.sector_size;
    if (fs == "ntfs") {
        std::vector<std::string> argv = {"mkntfs", "-F", "-L", r.label, "-s", sector,
                                         "-p", std::to_string(r.start_sector), "-H", "255", "-S", "63"};
        if (r.quick) argv.push_back("-Q");
        if (r.cluster_size) argv.insert(argv.end(), {"-c", std::to_string(r.cluster_size)});
        argv.push_back(node);
        return argv;
    }
    if (fs == "fat" || fs == "fat32") {
        std::vector<std::string> argv = {"mkfs.fat", "-I", "-n", r.label, "-S", sector,
                                         "-h", std::to_string(r.start_sector)};
        // Windows' "FAT" is FAT16, FAT12 only where a volume is too small for it.
        if (fs == "fat32") argv.insert(argv.end(), {"-F", "32"});
        else if (r.length >= (std::int64_t{16} << 20)) argv.insert(argv.end(), {"-F", "16"});
        if (r.cluster_size && !too_small)
            argv.insert(argv.end(), {"-s", std::to_string(r.cluster_size / r.sector_size)});
        if (!r.quick) argv.push_back("-c");
        argv.push_back(node);
        return argv;
    }
    if (fs == "exfat") {
        std::vector<std::string> argv = {"mkfs.exfat", "-L", r.label};
        if (r.cluster_size) argv.insert(argv.end(), {"-c", std::to_string(r.cluster_size)});
        if (!r.quick) argv.push_back("-f");
        argv.push_back(node);
        return argv;
    }
    if (fs == "udf") {
        std::vector<std::string> argv = {"mkudffs", "--label=" + r.label, "--blocksize=" + sector};
        argv.push_back(node);
        return argv;
    }
    return {};
}

// ---- check ------------------------------------------------------------------

enum class Checker { None, Fat, ExFat, Ntfs };

Checker CheckerFor(const std::string& file_system) {
    const std::string fs = ToLower(file_system);
    if (fs == "fat" || fs == "fat12" || fs == "fat16" || fs == "fat32") return Checker::Fat;
    if (fs == "exfat") return Checker::ExFat;
    if (fs == "ntfs") return Checker::Ntfs;
    return Checker::None;
}

std::vector<std::string> CheckCommand(Checker checker, bool fix, bool verbose, bool scan, const std::string& node) {
    std::vector<std::string> argv;
    switch (checker) {
    case Checker::Fat:
        argv = {"fsck.fat", fix ? "-a" : "-n"};
        if (fix && scan) argv.push_back("-t");
        break;
    case Checker::ExFat: argv = {"fsck.exfat", fix ? "-y" : "-n"}; break;
    case Checker::Ntfs: argv = {"ntfsfix"}; if (!fix) argv.push_back("-n"); break;
    case Checker::None: return {};
    }
    if (verbose && checker != Checker::Ntfs) argv.push_back("-v");
    argv.push_back(node);
    return argv;
}

enum class CheckOutcome { Clean, Corrected, ProblemsLeft, Failed };

// What the tool's exit status says, by each tool's own convention.
CheckOutcome OutcomeOf(Checker checker, bool fix, int exit_code) {
    if (exit_code == 0) return CheckOutcome::Clean;
    switch (checker) {
    case Checker::Fat:  // 1: errors found (and, with -a, corrected)
        if (exit_code == 1) return fix ? CheckOutcome::Corrected : CheckOutcome::ProblemsLeft;
        return CheckOutcome::Failed;
    case Checker::ExFat:  // 1 corrected, 4 left uncorrected
        if (exit_code == 1) return CheckOutcome::Corrected;
        if (exit_code == 4) return CheckOutcome::ProblemsLeft;
        return CheckOutcome::Failed;
    case Checker::Ntfs:  // ntfsfix says only whether it got through
        return fix ? CheckOutcome::Failed : CheckOutcome::ProblemsLeft;
    case Checker::None: break;
    }
    return CheckOutcome::Failed;
}

// The closing line of a check: what the tool that ran found, by its exit
// status, after its own lines. A caller of Chkdsk looks for "Errors found"
// (or "Correcting errors") in a line to know of problems; nothing here
// claims more than the tool did: ntfsfix mends a few common faults, it is
// no full check of NTFS. Empty when there is nothing to add (a stopped or
// unstarted tool has been told of already).
std::string CheckSummary(Checker checker, const std::string& tool, bool fix, CheckOutcome outcome,
                         std::optional<int> exit_code) {
    switch (outcome) {
    case CheckOutcome::Clean:
        if (checker == Checker::Ntfs)
            return "ntfsfix found nothing to repair (it mends only the most common NTFS faults; a full check of NTFS "
                   "needs Windows' chkdsk)";
        return tool + " found no errors in the file system";
    case CheckOutcome::Corrected: return "Errors found and corrected by " + tool;
    case CheckOutcome::ProblemsLeft:
        return fix ? "Errors found that " + tool + " could not correct"
                   : "Errors found by " + tool + "; nothing was changed: check with Correct Errors to repair them";
    case CheckOutcome::Failed: break;
    }
    return exit_code ? tool + " could not check the file system (exit status " + std::to_string(*exit_code) + ")" : "";
}

// ---- entry points -----------------------------------------------------------

void FormatExImpl(const char16_t* drive_root, DWORD media_flag, const char16_t* format, const char16_t* label,
                  BOOL quick_format, DWORD cluster_size, PFMIFSCALLBACK callback) {
    Reporter reporter(callback);
    const std::string root = Narrow(drive_root);
    if (media_flag != FMIFS_HARDDISK && media_flag != FMIFS_REMOVABLE)
        return reporter.refuse(FSNOTSUPPORTED, "unknown media kind " + std::to_string(media_flag));
    std::optional<device::VolumeInfo> volume = VolumeAt(root);
    if (!volume) return reporter.refuse(VOLUMEINUSE, "no volume at " + root);

    FormatRequest request;
    request.file_system = Narrow(format);
    request.label = Narrow(label);
    request.quick = quick_format != 0;
    request.cluster_size = cluster_size;
    request.sector_size = SectorSizeOf(*volume);
    request.start_sector = volume->start / request.sector_size;
    request.length = volume->length;
    bool too_small = false;
    std::vector<std::string> argv = FormatCommand(request, "", too_small);
    if (argv.empty() || FindOnPath(argv.front()).empty())
        return reporter.refuse(FSNOTSUPPORTED, request.file_system + " volumes cannot be made here");
    if (too_small) return reporter.refuse(CLUSTERSIZETOOSMALL);

    bool succeeded = false;
    {
        device::VolumeNode node;
        if (!OpenNode(*volume, true, node, reporter)) return;
        argv = FormatCommand(request, node.path, too_small);
        reporter.tell(STRUCTUREPROGRESS);
        ChildResult result = RunTool(argv, reporter);
        succeeded = result.succeeded();
        if (succeeded) reporter.tell(STRUCTURECREATED);
        else if (!result.started) reporter.text(argv.front() + " could not be started");
        else if (result.cancelled) reporter.text("the format was stopped");
    }
    // The file system the volume now holds is what everyone sees from here on.
    device::Registry::instance().refresh();
    reporter.done(succeeded);
}

void ChkdskImpl(const char16_t* drive_root, const char16_t* format, BOOL correct_errors, BOOL verbose,
                BOOL /*check_only_if_dirty*/, BOOL scan_drive, void* /*unused1*/, void* /*unused2*/,
                PFMIFSCALLBACK callback) {
    Reporter reporter(callback);
    const std::string root = Narrow(drive_root);
    std::optional<device::VolumeInfo> volume = VolumeAt(root);
    if (!volume) return reporter.refuse(VOLUMEINUSE, "no volume at " + root);
    std::string file_system = Narrow(format);
    if (file_system.empty()) file_system = volume->filesystem;
    const Checker checker = CheckerFor(file_system);
    const bool fix = correct_errors != 0;
    std::vector<std::string> argv = CheckCommand(checker, fix, verbose != 0, scan_drive != 0, "");
    if (argv.empty() || FindOnPath(argv.front()).empty())
        return reporter.refuse(FSNOTSUPPORTED, file_system + " volumes cannot be checked here");

    CheckOutcome outcome = CheckOutcome::Failed;
    std::optional<int> exit_code;
    {
        device::VolumeNode node;
        if (!OpenNode(*volume, fix, node, reporter)) return;
        argv = CheckCommand(checker, fix, verbose != 0, scan_drive != 0, node.path);
        ChildResult result = RunTool(argv, reporter);
        if (!result.started) {
            reporter.text(argv.front() + " could not be started");
        } else if (!result.cancelled) {
            exit_code = result.exit_code;
            outcome = OutcomeOf(checker, fix, result.exit_code);
        }
    }
    if (fix) device::Registry::instance().refresh();
    if (const std::string summary = CheckSummary(checker, argv.front(), fix, outcome, exit_code); !summary.empty())
        reporter.text(summary);
    reporter.done(outcome == CheckOutcome::Clean || outcome == CheckOutcome::Corrected);
}

std::string OpenFmifs() {
    for (const auto& tool : AllTools()) {
        std::string found = FindOnPath(tool);
        if (!found.empty()) return found;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}

void CloseFmifs() {}

std::vector<ModuleExport> ExportsFmifs() {
    return {
        {"FormatEx", reinterpret_cast<void*>(static_cast<FormatExProc>(&FormatExImpl))},
        {"Chkdsk", reinterpret_cast<void*>(static_cast<ChkdskProc>(&ChkdskImpl))},
    };
}

}  // namespace

void FormatEx(const char16_t* drive_root, DWORD media_flag, const char16_t* format, const char16_t* label,
              BOOL quick_format, DWORD cluster_size, PFMIFSCALLBACK callback) {
    FormatExImpl(drive_root, media_flag, format, label, quick_format, cluster_size, callback);
}

void Chkdsk(const char16_t* drive_root, const char16_t* format, BOOL correct_errors, BOOL verbose,
            BOOL check_only_if_dirty, BOOL scan_drive, void* unused1, void* unused2, PFMIFSCALLBACK callback) {
    ChkdskImpl(drive_root, format, correct_errors, verbose, check_only_if_dirty, scan_drive, unused1, unused2,
               callback);
}

}  // namespace platform::fmifs

namespace platform {

const StandInModule& FmifsModule() {
    static const StandInModule module{"fmifs.dll", &fmifs::OpenFmifs, &fmifs::CloseFmifs, &fmifs::ExportsFmifs};
    return module;
}

}  // namespace platform
