// The "Virtual Hard Disk" page of the side bar: create, open and attach,
// detach, expand, merge, compact and resize virtual disks through the
// virtual-disk service, the VHD report, and the footer that makes a raw
// image a fixed VHD. The controller keeps the disks it attached.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {
class Handle;
}

namespace tarnovell {

class PageHost;

class VirtualDiskCommands : public QObject {
    Q_OBJECT

public:
    VirtualDiskCommands(PageHost& host, QObject* parent);
    ~VirtualDiskCommands() override;

    // Runs the command a "Virtual Hard Disk" button's caption names; an
    // error of the service is shown in a box.
    void RunVirtualDiskCommand(const std::string& caption);
    void CreateVhd();
    void OpenVhd();
    void DetachVhd();
    void ExpandVhd();
    void MergeVhd();
    void CompactVhd();
    void ResizeVhd();
    void VhdInformations();
    // "Add VHD footer to a RAW file".
    void AddVhdFooterToRaw();

private:
    bool PickVirtualDisk(const std::string& filter, std::string& file);
    // Opens a virtual disk, makes one call of the service on it and says
    // how that went: `failed` + the system text in a box, `done` in the
    // status line.
    void VirtualDiskStep(const std::string& file, std::uint32_t access, std::uint32_t depth,
                         const std::function<std::uint32_t(platform::Handle&)>& call, const std::string& failed,
                         const std::string& done);

    PageHost& host_;
    // Virtual disks attached here without the permanent flag: attached as
    // long as their handle, and so the program, lives.
    std::map<std::string, std::unique_ptr<platform::Handle>> attached_disks_;  // by image file
    std::string open_dialog_filter_ = "All Files (*.*)|*.*";
};

}  // namespace tarnovell
