#include "main/command_line.h"

#include <algorithm>
#include <ostream>

#include "disk/device_query.h"
#include "main/text_helpers.h"
#include "platform/ini_file.h"

namespace tarnovell {

namespace {

// Verbs whose operations this build does not carry yet: they fail loudly
// rather than end in a "Done" that did nothing.
const char* const kNotYetAvailable[] = {"-bs", "-mbr", "-sparse", "-wipe", "-disk", "-image", "-wim"};

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
    std::string device = row.is_disk() ? "PhysicalDrive" + row.caption : disk::DevicePathOf("\\\\.\\" + row.description);
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
    if (std::find(std::begin(kNotYetAvailable), std::end(kNotYetAvailable), verb) != std::end(kNotYetAvailable)) {
        errors << verb << ": not available in this build" << std::endl;
        exit_code = 1;
    }
    if (state.console_attached) console << "Done" << std::endl;
    return exit_code;
}

}  // namespace tarnovell
