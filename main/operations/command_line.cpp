#include "main/operations/command_line.h"

#include <algorithm>
#include <mutex>
#include <ostream>

#include "disk/engines/copy_engine.h"
#include "disk/device/device_query.h"
#include "main/operations/clone.h"
#include "main/operations/text_helpers.h"
#include "main/operations/wim_commands.h"
#include "platform/base/ascii.h"
#include "platform/device/path.h"
#include "platform/os/interrupts.h"

namespace tarnovell {

namespace {

// Verbs whose operations this build does not carry yet: they fail loudly
// rather than end in a "Done" that did nothing.
const char* const kNotYetAvailable[] = {"-bs", "-mbr", "-sparse", "-wipe"};

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
    platform::InterruptHandlers interrupts({&state.cancel, &disk::copy_cancel});
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
        bool unreadable = false;
        bool ok = Report(
            [&](platform::OperationTarget& status) {
                disk::OperationContext context;
                context.cancel = &state.cancel;  // what an interrupt sets, before the copy as well
                context.status = &status;
                disk::CopyResult result = mode == "-backup" ? disk::BackupRaw(context, args[2], args[3], 0, 0, false)
                                                            : disk::RestoreRaw(context, args[2], args[3], 0, 0, false);
                unreadable = result == disk::CopyResult::CompletedWithUnreadableSectors;
                return result == disk::CopyResult::Completed || unreadable;
            },
            console, errors);
        if (!ok) exit_code = 1;
        else if (unreadable) exit_code = kExitUnreadableSectors;
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
    if (std::find(std::begin(kNotYetAvailable), std::end(kNotYetAvailable), verb) != std::end(kNotYetAvailable)) {
        errors << verb << ": not available in this build" << std::endl;
        exit_code = 1;
    }
    if (state.console_attached) console << "Done" << std::endl;
    return exit_code;
}

}  // namespace tarnovell
