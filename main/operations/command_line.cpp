#include "main/operations/command_line.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string_view>

#include "disk/bindings/wimgapi.h"
#include "disk/copy/copy_loop.h"
#include "disk/device/device_query.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/stored_format.h"
#include "main/operations/clone.h"
#include "main/operations/maintenance_verbs.h"
#include "main/operations/text_helpers.h"
#include "main/operations/wim_commands.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"
#include "platform/os/temp_folder.h"
#include "platform/device/device_naming.h"
#include "platform/device/path.h"
#include "platform/os/interrupts.h"
#include "platform/device/registry.h"
#include "platform/os/folders.h"

namespace tarnovell {

namespace {

constexpr const char* kBanner = "Tarnovell 2.3.8 - disk cloning, imaging and maintenance";
constexpr const char* kPathsLine =
    "source/destination can either be logical \\\\.\\C: or physical \\\\.\\PhysicalDrive0";
// What the switch does, said after the verbs: it may stand anywhere.
constexpr const char* kQuietLine =
    "add -quiet anywhere to answer every question yes without asking (-wipe still asks)";
constexpr const char* kHelpLine = "tarnovell -h (or --help) prints this text";
// Said when the person answered a question with the answer that writes
// nothing and the operation stopped there.
constexpr const char* kDeclined = "declined, nothing was written";

// The command line has no status line: it keeps the last status text and
// shows it when the operation is over; message-box texts are written at
// once, each on one line. Workers post from their own threads.
class LastStatus : public platform::OperationTarget {
public:
    explicit LastStatus(std::ostream& errors) : errors_(errors) {}
    void post(int, platform::OperationKind kind, std::int64_t, const std::string& text) override {
        std::lock_guard guard(mutex_);
        if (kind == platform::OperationKind::Message) {
            errors_ << OneLine(text) << std::endl;
            // "WIM_MSG_ERROR\r\n<code>\r\n<path>": the path the imaging library failed on.
            const std::string wim_error = "WIM_MSG_ERROR\r\n";
            if (text.rfind(wim_error, 0) == 0)
                if (auto at = text.find("\r\n", wim_error.size()); at != std::string::npos)
                    failed_path_ = text.substr(at + 2);
        }
        if (kind != platform::OperationKind::Percent) last_ = text;
    }
    std::string text() const {
        std::lock_guard guard(mutex_);
        return last_;
    }
    std::string failed_path() const {
        std::lock_guard guard(mutex_);
        return failed_path_;
    }

private:
    static std::string OneLine(std::string text) {
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
            text.replace(at, 2, " ");
        return text;
    }
    std::ostream& errors_;
    mutable std::mutex mutex_;
    std::string last_;
    std::string failed_path_;
};

// What a verb's routine is given.
struct VerbRun {
    const std::vector<std::string>& operands;  // the arguments after the verb and its mode
    MainState& state;
    std::ostream& console;
    std::ostream& errors;
    // Set by a copy that completed with some of its source stored as zeros.
    mutable bool unreadable_sectors = false;
    // Set when the person declined a question and nothing was written.
    mutable bool declined = false;
};

// Runs the verb; true when its operation completed.
using VerbAction = std::function<bool(const VerbRun&)>;

struct Verb {
    std::string_view name;                   // argument 1, compared exactly
    std::string_view mode;                   // argument 2 ("-backup", "-restore"), or empty
    std::vector<std::string_view> operands;  // what follows, as the usage line names it
    VerbAction action;                       // empty: not in this build

    // "-image -backup", "-list"
    std::string words() const { return std::string(name) + (mode.empty() ? "" : " " + std::string(mode)); }
    std::string usage() const {
        std::string line = "tarnovell " + words();
        for (auto operand : operands) line += " " + std::string(operand);
        return line;
    }
};

// Runs one operation with a status target, then shows its last status;
// false when it did not complete or raised.
bool Report(const VerbRun& run, const std::function<bool(LastStatus&)>& operation) {
    LastStatus status(run.errors);
    bool completed = false;
    try {
        completed = operation(status);
    } catch (const std::exception& e) {
        run.errors << e.what() << std::endl;
    }
    if (!status.text().empty()) run.console << status.text() << std::endl;
    return completed;
}

bool List(const VerbRun& run) {
    // The list is written only to an attached console.
    if (!run.state.console_attached) return true;
    std::vector<disk::UnopenedDisk> unopened;
    for (const auto& row : disk::FillDiskList(run.state.view_mode, run.state.units, &unopened))
        run.console << ListLine(row) << "\n";
    run.console << std::flush;
    for (const auto& disk : unopened)
        run.errors << platform::FailureLine(platform::device::PhysicalDrivePath(disk.number) + " could not be opened",
                                            disk.backing, disk.error)
                   << std::endl;
    return unopened.empty();
}

// The console as the progress dots see it: it remembers whether any dot was
// written, so that their line is ended only when there is one.
class DotsLine : public std::streambuf {
public:
    explicit DotsLine(std::ostream& console) : console_(console) {}
    bool written() const { return written_; }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        written_ = true;
        console_.put(traits_type::to_char_type(c));
        return c;
    }
    int sync() override {
        console_.flush();
        return 0;
    }

private:
    std::ostream& console_;
    bool written_ = false;
};

// A long operation that shows its progress as dots on the console and stops
// on the cancel flag; the dots' line is ended when there are some.
bool WithDots(const VerbRun& run, const std::function<bool(const disk::OperationContext&)>& operation) {
    return Report(run, [&](LastStatus& status) {
        DotsLine dots(run.console);
        std::ostream dots_stream(&dots);
        disk::OperationContext context;
        context.cancel = &run.state.cancel;
        context.status = &status;
        context.console = run.state.console_attached ? &dots_stream : nullptr;
        const bool completed = operation(context);
        if (dots.written()) run.console << std::endl;
        return completed;
    });
}

bool Clone(const VerbRun& run) {
    return WithDots(run, [&](const disk::OperationContext& context) {
        // -quiet is the console's: it answers the questions. A write error
        // is still told, or a failed clone would end without a reason.
        const CloneResult result = CloneDevice(run.operands[0], run.operands[1], context, false);
        run.declined = result == CloneResult::Declined;
        return result == CloneResult::Completed;
    });
}

// A copy of the image verbs: it stops on the flag an interrupt sets (set
// before the copy began as well), and a copy with unreadable sectors is
// complete, which the exit status tells apart.
bool ImageCopy(const VerbRun& run,
               const std::function<disk::CopyResult(const disk::OperationContext&)>& copy) {
    return Report(run, [&](LastStatus& status) {
        disk::OperationContext context;
        context.cancel = &run.state.cancel;
        context.status = &status;
        const disk::CopyResult result = copy(context);
        run.unreadable_sectors = result == disk::CopyResult::CompletedWithUnreadableSectors;
        run.declined = result == disk::CopyResult::Declined;
        return result == disk::CopyResult::Completed || run.unreadable_sectors;
    });
}

bool ImageBackup(const VerbRun& run) {
    return ImageCopy(run, [&](const disk::OperationContext& context) {
        return disk::BackupRaw(context, run.operands[0], run.operands[1], 0, 0, false);
    });
}

// Why a file cannot be restored by -image -restore, and how it can: a
// container's bytes written as they are would be no disk. "" for a file
// the restore takes (raw, LZ4, or one it cannot open: it says so itself).
std::string ContainerRefusal(const std::string& source, const std::string& destination) {
    const std::string kind = disk::ContainerName(disk::StoredFormatOfPath(source));
    if (kind.empty()) return "";
    const bool window_restores = kind == "VHD" || kind == "EWF";
    return source + " is a " + kind + " image, not a raw one: -image -restore would write its container as it is onto " +
           destination + ". Restore it from the window: " +
           (window_restores ? "\"Restore from Image\" with " + kind + " chosen, or " : std::string()) +
           "\"Disk Image Conversion\" from " + kind + " to RAW with " + destination + " as the destination";
}

bool ImageRestore(const VerbRun& run) {
    if (const std::string refusal = ContainerRefusal(run.operands[0], run.operands[1]); !refusal.empty()) {
        run.errors << refusal << std::endl;
        return false;
    }
    // The restore tells an LZ4 image by its first bytes and unpacks it.
    return ImageCopy(run, [&](const disk::OperationContext& context) {
        return disk::RestoreRaw(context, run.operands[0], run.operands[1], 0, 0, false);
    });
}

// The imaging library's own account of what went wrong, kept in a log of
// its own while the verb runs and shown when it fails.
class WimLog {
public:
    WimLog() : folder_(platform::ScratchFolder::Create("tarnovell-wim-")) {
        if (!folder_) return;
        try {
            disk::LoadWimgapi("wimgapi.dll");
            if (disk::WimgapiLoaded())
                registered_ = disk::WimFunctions().WIMRegisterLogFile(path().c_str(), 0) != 0;
        } catch (const std::exception&) {
            // The capture or apply says what is missing.
        }
    }
    ~WimLog() {
        if (registered_) disk::WimFunctions().WIMUnregisterLogFile(path().c_str());
    }
    WimLog(const WimLog&) = delete;
    WimLog& operator=(const WimLog&) = delete;

    void show(std::ostream& errors) const {
        if (!registered_) return;
        std::istringstream log(platform::ReadWholeFile(folder_.file("wim.log")).value_or(""));
        for (std::string line; std::getline(log, line);)
            if (!line.empty()) errors << line << "\n";
        errors << std::flush;
    }

private:
    std::u16string path() const { return platform::Utf8ToUtf16(folder_.file("wim.log")); }
    platform::ScratchFolder folder_;
    bool registered_ = false;
};

// A WIM verb: the volume must be a volume (a disk holds no file system the
// imaging library can use), and a failure names the path it failed on.
bool Wim(const VerbRun& run, bool capture) {
    const std::string& wim_file = capture ? run.operands[1] : run.operands[0];
    const std::string& volume = capture ? run.operands[0] : run.operands[1];
    if (platform::device::IsWholeDiskPath(volume)) {
        run.errors << "WIM format is for logical drives only - " << volume << std::endl;
        return false;
    }
    WimLog log;
    return Report(run, [&](LastStatus& status) {
        std::optional<WorkerOutcome> outcome =
            capture ? WimCapture(run.state, volume, wim_file, false, 1, &status, nullptr)
                    : std::optional<WorkerOutcome>(WimApply(run.state, wim_file, volume, 1, false, &status, nullptr));
        if (!outcome) return false;  // refused, and said why
        if (outcome->succeeded()) return true;
        const std::string failed = status.failed_path();
        const std::string subject = !failed.empty() ? failed : capture ? volume + " to " + wim_file
                                                                        : wim_file + " to " + volume;
        const platform::DWORD code = outcome->exit_code.value_or(platform::ERROR_INVALID_FUNCTION);
        log.show(run.errors);
        run.errors << platform::FailureLine(TerminationStatus(*outcome), subject, code) << std::endl;
        return false;
    });
}

// -bs and -mbr: the rate of a sector copy is their status text.
bool SectorVerb(const VerbRun& run,
                bool (*verb)(const std::string&, const std::string&, const disk::OperationContext&)) {
    return Report(run, [&](LastStatus& status) {
        disk::OperationContext context;
        context.status = &status;
        return verb(run.operands[0], run.operands[1], context);
    });
}

bool Sparse(const VerbRun& run) { return SparseVerb(run.operands[0], run.operands[1], run.errors, run.declined); }

bool Wipe(const VerbRun& run) {
    return WithDots(run, [&](const disk::OperationContext& context) {
        const WipeResult result = WipeVerb(run.operands[0], context);
        run.declined = result == WipeResult::Declined;
        return result == WipeResult::Completed;
    });
}

bool InfosNotImplemented(const VerbRun& run) {
    run.console << "not implemented" << std::endl;
    return true;
}

// Every verb, in the order of the usage text.
const std::vector<Verb>& Verbs() {
    static const std::vector<Verb> verbs = {
        {"-list", "", {}, List},
        {"-image", "-backup", {"source", "destination"}, ImageBackup},
        {"-image", "-restore", {"source", "destination"}, ImageRestore},
        {"-wim", "-backup", {"source", "destination"}, [](const VerbRun& run) { return Wim(run, true); }},
        {"-wim", "-restore", {"source", "destination"}, [](const VerbRun& run) { return Wim(run, false); }},
        {"-disk", "", {"source", "destination"}, Clone},
        {"-bs", "-backup", {"source", "destination"}, [](const VerbRun& run) { return SectorVerb(run, BootSectorBackupVerb); }},
        {"-bs", "-restore", {"source", "destination"}, [](const VerbRun& run) { return SectorVerb(run, BootSectorRestoreVerb); }},
        {"-mbr", "-backup", {"source", "destination"}, [](const VerbRun& run) { return SectorVerb(run, MbrBackupVerb); }},
        {"-mbr", "-restore", {"source", "destination"}, [](const VerbRun& run) { return SectorVerb(run, MbrRestoreVerb); }},
        {"-sparse", "", {"destination", "size_in_bytes"}, Sparse},
        {"-wipe", "", {"destination"}, Wipe},
        {"-infos", "", {"source", "infos.txt"}, InfosNotImplemented},
    };
    return verbs;
}

void WriteUsage(std::ostream& out) {
    for (const auto& line : UsageLines()) out << line << "\n";
    out << std::flush;
}

// The verb the arguments name, or null after saying on `errors` why none fits.
const Verb* FindVerb(const std::vector<std::string>& args, std::ostream& errors) {
    if (args.empty()) {
        errors << "no verb given" << std::endl;
        WriteUsage(errors);
        return nullptr;
    }
    std::vector<const Verb*> named;
    for (const Verb& verb : Verbs())
        if (verb.name == args[0]) named.push_back(&verb);
    if (named.empty()) {
        errors << "unknown verb " << args[0] << std::endl;
        WriteUsage(errors);
        return nullptr;
    }
    const Verb* chosen = nullptr;
    for (const Verb* verb : named)
        if (verb->mode.empty() || (args.size() > 1 && verb->mode == args[1])) chosen = verb;
    if (!chosen) {
        std::string modes;
        for (const Verb* verb : named) modes += (modes.empty() ? "" : " or ") + std::string(verb->mode);
        errors << args[0] << " takes " << modes << "; usage:" << std::endl;
        for (const Verb* verb : named) errors << verb->usage() << std::endl;
        return nullptr;
    }
    if (args.size() != 1 + (chosen->mode.empty() ? 0 : 1) + chosen->operands.size()) {
        errors << "wrong number of arguments for " << chosen->words() << "; usage:" << std::endl
               << chosen->usage() << std::endl;
        return nullptr;
    }
    if (!chosen->action) {
        errors << chosen->words() << ": not available in this build" << std::endl;
        return nullptr;
    }
    return chosen;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& argv) {
    CommandLine line;
    for (const auto& argument : argv) {
        if (platform::EqualsNoCase(argument, "-quiet")) line.quiet = true;
        else line.args.push_back(argument);
    }
    return line;
}

std::vector<std::string> UsageLines() {
    std::vector<std::string> lines{kBanner};
    for (const Verb& verb : Verbs()) lines.push_back(verb.usage());
    lines.push_back(kPathsLine);
    lines.push_back(kQuietLine);
    lines.push_back(kHelpLine);
    lines.push_back("");
    return lines;
}

bool IsHelpRequest(const CommandLine& line) {
    return line.args.size() == 1 && (line.args[0] == "-h" || line.args[0] == "--help");
}

bool IsInfosRequest(const CommandLine& line) { return line.args.size() == 3 && line.args[0] == "-infos"; }

bool WantsCommandLineMode(const CommandLine& line) {
    return (!line.args.empty() || line.quiet) && !IsInfosRequest(line);
}

std::string ListLine(const disk::DiskListRow& row) {
    // A partition row names its volume; "PhysicalDrive" + its partition
    // number would name some other disk.
    std::string device =
        row.is_disk() ? platform::device::PhysicalDriveName(row.data) : disk::DevicePathOf("\\\\.\\" + row.description);
    // Then which disk or volume of this machine it is: the number alone
    // would not tell two disks of one model apart.
    return device + "\t" + PadRight(platform::Trim(row.description), ' ', 16) + "\t" + row.size + "MB" +
           (row.node.empty() ? "" : "\t" + row.node);
}

int RunCommandLine(const CommandLine& line, MainState& state, std::ostream& console, std::ostream& errors) {
    platform::InterruptHandlers interrupts({&state.cancel});
    if (line.quiet) {
        state.quiet = true;
        console << "mode quiet" << std::endl;
    }
    if (IsInfosRequest(line)) {
        // Answered here; the window opens after it, with no "Done".
        InfosNotImplemented(VerbRun{line.args, state, console, errors});
        return 0;
    }
    if (IsHelpRequest(line)) {
        // Asked for: on standard output, and no mistake.
        WriteUsage(console);
        return 0;
    }
    bool completed = false;
    bool unreadable_sectors = false;
    bool declined = false;
    const Verb* verb = FindVerb(line.args, errors);
    if (!verb) {
        // Arguments that name no verb are a mistake of the caller's, told
        // apart from an operation that failed.
        if (state.console_attached) console << "Done" << std::endl;
        return kUsageError;
    }
    {
        // A machine that cannot be told (a manifest that cannot be read or
        // is malformed) would look like one without disks: every verb stops.
        const std::string problem = platform::device::Registry::instance().problem();
        if (!problem.empty()) {
            errors << problem << std::endl;
        } else {
            const std::size_t first_operand = verb->mode.empty() ? 1 : 2;
            const std::vector<std::string> operands(line.args.begin() + static_cast<std::ptrdiff_t>(first_operand),
                                                    line.args.end());
            // The disks and volumes named are chosen as they are now: one
            // that another takes the place or number of before the first
            // byte (while a question waits) is not written.
            for (const auto& operand : operands) platform::device::ChooseAsItIsNow(operand);
            const VerbRun run{operands, state, console, errors};
            completed = verb->action(run);
            unreadable_sectors = run.unreadable_sectors;
            declined = run.declined;
        }
    }
    // Ctrl-C or SIGTERM at a question ended the run there, with nothing
    // written: the run is not done, it was stopped.
    if (const int signal_number = platform::SignalAtQuestion(); signal_number != 0) return 128 + signal_number;
    // A No at the question ends the run as a failure would: it says which.
    if (!completed && declined) errors << kDeclined << std::endl;
    if (state.console_attached) console << "Done" << std::endl;
    if (!completed) return 1;
    return unreadable_sectors ? kExitUnreadableSectors : 0;
}

}  // namespace tarnovell
