#include "main/operations/copy_files.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "platform/device/volume_folder.h"
#include "platform/os/child_process.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {


// What both ends of the stream agree on: every kind of metadata is carried.
const std::vector<std::string> kMetadata = {"--acls", "--xattrs", "--xattrs-include=*", "--numeric-owner"};

// The volume a text names, as the registry knows it ("{GUID}"); empty for
// a folder or a name that is no volume.
std::string VolumeOf(const std::string& given) {
    platform::device::DevicePath path;
    std::string rest;
    if (!platform::device::NamesVolume(given, path, rest) || !rest.empty()) return "";
    platform::device::Registry& registry = platform::device::Registry::instance();
    auto snap = registry.snapshot();
    const platform::device::VolumeInfo* volume = registry.resolve_volume(*snap, path);
    return volume ? platform::device::GuidToString(volume->guid) : "";
}

// The same tree named twice, told before anything is mounted or asked: the
// same volume under any of its names, or folders of one file system.
bool NamesSameTree(const std::string& source, const std::string& destination) {
    const std::string source_volume = VolumeOf(source), destination_volume = VolumeOf(destination);
    if (!source_volume.empty() || !destination_volume.empty()) return source_volume == destination_volume;
    // Two folders of one file system: the same, or one inside the other, or
    // a bind mount of it; any of them would have the copy read what it writes.
    const auto a = platform::FileFactsOf(source), b = platform::FileFactsOf(destination);
    return a && b && a->file_system == b->file_system;
}

std::string HowItEnded(const std::string& which, const platform::ChildResult& result) {
    if (!result.started) return "the archiver " + which + " could not be started";
    std::string text = "the archiver " + which + " ended with code " + std::to_string(result.exit_code);
    const std::string said = result.reason();
    return said.empty() ? text : text + ": " + said;
}

CopyFilesResult Fail(const disk::OperationContext& context, const std::string& why) {
    context.post_status("Copyfile failed");
    context.ui().inform("Copyfile failed: " + why, platform::kProgramCaption);
    return CopyFilesResult::Failed;
}

}  // namespace

std::vector<std::string> ArchiverPackCommand(const std::string& source_folder) {
    std::vector<std::string> argv = {"tar", "--create", "--file=-", "--directory=" + source_folder,
                                     "--one-file-system", "--sparse"};
    argv.insert(argv.end(), kMetadata.begin(), kMetadata.end());
    argv.push_back(".");
    return argv;
}

std::vector<std::string> ArchiverUnpackCommand(const std::string& destination_folder) {
    std::vector<std::string> argv = {"tar", "--extract", "--file=-", "--directory=" + destination_folder,
                                     "--preserve-permissions", "--same-owner"};
    argv.insert(argv.end(), kMetadata.begin(), kMetadata.end());
    return argv;
}

CopyFilesResult CopyVolumeFiles(const std::string& source, const std::string& destination,
                                const disk::OperationContext& context) {
    if (NamesSameTree(source, destination)) {
        context.ui().inform(kCopyFilesSameSource, platform::kProgramCaption);
        return CopyFilesResult::Refused;
    }
    if (!context.ui().confirm("Copy " + source + " to " + destination + "?", platform::kProgramCaption))
        return CopyFilesResult::Declined;

    platform::device::VolumeFolder from, to;
    std::string problem;
    if (!platform::device::OpenVolumeFolder(source, false, from, problem)) return Fail(context, source + ": " + problem);
    if (!platform::device::OpenVolumeFolder(destination, true, to, problem))
        return Fail(context, destination + ": " + problem);
    // One file system under two names (a bind mount, a folder of the source)
    // would have the copy read what it writes.
    const auto from_facts = platform::FileFactsOf(from.path()), to_facts = platform::FileFactsOf(to.path());
    if (!from_facts || !to_facts) return Fail(context, "the folders of the two volumes cannot be looked at");
    if (from_facts->file_system == to_facts->file_system) {
        context.ui().inform(kCopyFilesSameSource, platform::kProgramCaption);
        return CopyFilesResult::Refused;
    }

    const std::optional<std::int64_t> used = platform::UsedBytesOf(from.path());
    if (context.progress) context.progress->set_max(100);
    bool turn = false;
    platform::RelayOptions options;
    options.cancel = context.cancel;
    options.on_tick = [&](std::uint64_t relayed) {
        context.post_status(turn ? "Copyfile in progress -" : "Copyfile in progress |");
        turn = !turn;
        if (used && *used > 0 && context.progress)
            context.progress->set_position(
                std::min<std::int64_t>(99, static_cast<std::int64_t>(relayed) * 100 / *used));
        platform::pump();
    };
    const platform::RelayResult result =
        platform::RunRelayed(ArchiverPackCommand(from.path()), ArchiverUnpackCommand(to.path()), options);
    if (result.cancelled) {
        context.post_status("Copyfile cancelled");
        return CopyFilesResult::Cancelled;
    }
    // Either side failing is a failed copy; when both did, both say why (a
    // reader that died leaves the writer a cut stream, and the other way round).
    std::vector<std::string> failures;
    if (!result.producer.succeeded() && result.consumer.started)
        failures.push_back(HowItEnded("reading " + source, result.producer));
    if (!result.consumer.succeeded()) failures.push_back(HowItEnded("writing " + destination, result.consumer));
    if (!failures.empty()) {
        std::string why = failures.front();
        for (std::size_t i = 1; i < failures.size(); ++i) why += "; " + failures[i];
        return Fail(context, why);
    }
    // The files are on the destination's medium before the copy says so.
    if (!to.mounted_by_us() && !platform::RunChild({"sync", "--file-system", to.path()}).succeeded())
        return Fail(context, destination + " could not be synced");
    if (!to.release()) return Fail(context, destination + " could not be unmounted after the copy");
    if (context.progress) context.progress->set_position(100);
    context.post_status(kCopyFilesDone);
    return CopyFilesResult::Done;
}

}  // namespace tarnovell
