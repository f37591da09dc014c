#include "main/operations/command_line.h"

#include <algorithm>
#include <mutex>
#include <ostream>
#include <streambuf>

#include "disk/engines/copy_engine.h"
#include "disk/device/device_query.h"
#include "main/operations/clone.h"
#include "main/operations/maintenance_verbs.h"
#include "main/operations/text_helpers.h"
#include "main/operations/wim_commands.h"
#include "platform/base/ascii.h"
#include "platform/device/path.h"

namespace tarnovell {

namespace {

// The command line has no status line: it keeps the last status text and
// shows it when the operation is over; message-box texts are written at
// once. Workers post from their own threads.
class LastStatus : public platform::OperationTarget {
public:
    explicit LastStatus(std::ostream& errors) : errors_(errors) {}
    void post(int, platform::OperationKind kind, std::int64_t, const std::string& text) override {
        std::lock_guard guard(mutex_);
        if (kind == platform::OperationKind::Message) errors_ << text << std::endl;
        if (kind != platform::OperationKind::Percent) last_ = text;
    }
    std::string text() const {
        std::lock_guard guard(mutex_);
        return last_;
    }

private:
    std::ostream& errors_;
    mutable std::mutex mutex_;
    std::string last_;
};

// Runs one operation; false when it did not complete.
template <typename Operation>
bool Report(Operation operation, std::ostream& console, std::ostream& errors) {
    LastStatus status(errors);
    bool completed = false;
    try {
        completed = operation(status);
    } catch (const std::exception& e) {
        errors << e.what() << std::endl;
    }
    if (!status.text().empty()) console << status.text() << std::endl;
    return completed;
}

// The console as the progress dots reach it, remembering whether any came,
// so that their line is ended only when there is one.
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

// True when the arguments name a verb with its mode and argument count.
bool KnownVerb(const std::vector<std::string>& args) {
    const std::size_t count = args.size();
    const std::string verb = count > 0 ? args[0] : "";
    const std::string mode = count > 1 ? args[1] : "";
    const bool backup_or_restore = mode == "-backup" || mode == "-restore";
    if (verb == "-list") return count == 1;
    if (verb == "-image" || verb == "-wim" || verb == "-bs" || verb == "-mbr") return count == 4 && backup_or_restore;
    if (verb == "-disk" || verb == "-sparse") return count == 3;
    if (verb == "-wipe") return count == 2;
    return false;
}

}  // namespace

std::vector<std::string> UsageLines() {
    return {
        "Tarnovell 2.3.8 - disk cloning, imaging and maintenance",
        "tarnovell -list",
        "tarnovell -image -backup source destination",
        "tarnovell -image -restore source destination",
        "tarnovell -wim -backup source destination",
        "tarnovell -wim -restore source destination",
        "tarnovell -disk source destination",
        "tarnovell -bs -backup source destination",
        "tarnovell -bs -restore source destination",
        "tarnovell -mbr -backup source destination",
        "tarnovell -mbr -restore source destination",
        "tarnovell -sparse destination size_in_bytes",
        "tarnovell -wipe destination",
        "tarnovell -infos source infos.txt",
        "source/destination can either be logical \\\\.\\C: or physical \\\\.\\PhysicalDrive0",
        "",
    };
}

bool IsInfosRequest(const std::vector<std::string>& args) { return args.size() == 3 && args[0] == "-infos"; }

bool WantsCommandLineMode(const std::vector<std::string>& args) { return !args.empty() && !IsInfosRequest(args); }

std::string ListLine(const disk::DiskListRow& row) {
    // A partition row names its volume; "PhysicalDrive" + its partition
    // number would name some other disk.
    std::string device =
        row.is_disk() ? platform::device::PhysicalDriveName(row.data) : disk::DevicePathOf("\\\\.\\" + row.description);
    return device + "\t" + PadRight(platform::Trim(row.description), ' ', 16) + "\t" + row.size + "MB";
}

int RunCommandLine(const std::vector<std::string>& args, MainState& state, std::ostream& console,
                   std::ostream& errors) {
    int exit_code = 0;
    std::string whole;
    for (const auto& a : args) whole += platform::ToLower(a) + " ";
    if (whole.find("-quiet") != std::string::npos) {
        state.quiet = true;
        console << "mode quiet" << std::endl;
    }
    const std::string verb = args.empty() ? "" : args[0];

    if (verb == "-list" && state.console_attached)
        for (const auto& row : disk::FillDiskList(state.view_mode, state.units)) console << ListLine(row) << "\n";

    if (IsInfosRequest(args)) {
        console << "not implemented" << std::endl;
        return 0;
    }
    const std::size_t count = args.size();
    const std::string mode = count > 1 ? args[1] : "";
    if (verb == "-disk" && count > 2) {
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                disk::OperationContext context;
                context.cancel = &state.cancel;
                context.status = &status;
                context.console = state.console_attached ? &console : nullptr;
                CloneResult result = CloneDevice(args[1], args[2], context, state.quiet);
                if (context.console) console << std::endl;
                return result == CloneResult::Completed;
            },
            console, errors);
        if (!ok) exit_code = 1;
    }
    if (verb == "-image" && count > 3 && (mode == "-backup" || mode == "-restore")) {
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                disk::CopyResult result = mode == "-backup"
                                              ? disk::BackupRaw(args[2], args[3], nullptr, 0, 0, false, &status)
                                              : disk::RestoreRaw(args[2], args[3], nullptr, 0, 0, false, &status);
                return result == disk::CopyResult::Completed;
            },
            console, errors);
        if (!ok) exit_code = 1;
    }
    if (verb == "-wim" && count > 3 && (mode == "-backup" || mode == "-restore")) {
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                if (mode == "-backup") {
                    std::optional<WorkerOutcome> outcome =
                        WimCapture(state, args[2], args[3], false, 1, &status, nullptr);
                    return outcome && outcome->succeeded();
                }
                return WimApply(state, args[2], args[3], 1, false, &status, nullptr).succeeded();
            },
            console, errors);
        if (!ok) exit_code = 1;
    }
    // "-quiet" may stand anywhere; the verbs below count what is left.
    std::vector<std::string> plain;
    for (const auto& a : args)
        if (!platform::EqualsNoCase(a, "-quiet")) plain.push_back(a);
    const bool backup_or_restore = plain.size() > 1 && (plain[1] == "-backup" || plain[1] == "-restore");
    if ((verb == "-bs" || verb == "-mbr") && plain.size() == 4 && backup_or_restore) {
        const std::string& how = plain[1];
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                disk::OperationContext context;
                context.status = &status;
                if (verb == "-bs")
                    return how == "-backup" ? BootSectorBackupVerb(plain[2], plain[3], context)
                                            : BootSectorRestoreVerb(plain[2], plain[3], context);
                return how == "-backup" ? MbrBackupVerb(plain[2], plain[3], context)
                                        : MbrRestoreVerb(plain[2], plain[3], context);
            },
            console, errors);
        if (!ok) exit_code = 1;
    }
    if (verb == "-sparse" && plain.size() == 3 && !SparseVerb(plain[1], plain[2], errors)) exit_code = 1;
    if (verb == "-wipe" && plain.size() == 2) {
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                DotsLine dots(console);
                std::ostream dots_stream(&dots);
                disk::OperationContext context;
                context.cancel = &state.cancel;
                context.status = &status;
                context.console = state.console_attached ? &dots_stream : nullptr;
                WipeResult result = WipeVerb(plain[1], context);
                if (dots.written()) console << std::endl;
                return result == WipeResult::Completed;
            },
            console, errors);
        if (!ok) exit_code = 1;
    }
    if (!KnownVerb(plain)) {
        for (const auto& line : UsageLines()) errors << line << "\n";
        errors << std::flush;
        return 2;
    }
    if (state.console_attached) console << "Done" << std::endl;
    return exit_code;
}

}  // namespace tarnovell
