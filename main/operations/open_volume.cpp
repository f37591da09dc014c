#include "main/operations/open_volume.h"

#include "platform/device/registry.h"
#include "platform/device/volume_folder.h"
#include "platform/os/child_process.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

std::string ShowVolumeInFileManager(const std::string& volume) {
    std::string folder;
    platform::device::DevicePath path;
    std::string rest;
    if (platform::device::NamesVolume(volume, path, rest)) {
        platform::device::Registry& registry = platform::device::Registry::instance();
        auto snap = registry.snapshot();
        const platform::device::VolumeInfo* info = registry.resolve_volume(*snap, path);
        if (!info) return "no such volume: " + volume;
        // Nothing is mounted to be looked at: a file manager's view would
        // end with the window, and the mount with it.
        if (info->mount_points.empty()) return volume + " is not mounted on this machine";
        folder = info->mount_points.front() + (rest.empty() ? "" : "/" + rest);
    } else {
        const auto facts = platform::FileFactsOf(volume);
        if (!facts || facts->kind != platform::FileKind::Folder) return "no such folder: " + volume;
        folder = volume;
    }
    if (platform::FindOnPath("xdg-open").empty()) return "there is no file manager to open it with (xdg-open)";
    // The file manager lives on after we have gone; setsid lets it go at once.
    const platform::ChildResult started = platform::RunChild({"setsid", "--fork", "xdg-open", folder});
    if (!started.succeeded()) return "the file manager could not be started (xdg-open)";
    return "";
}

}  // namespace tarnovell
