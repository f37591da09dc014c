// The lists a person picks a source or destination from: the drive combo
// entries and the rows of the device list, built afresh from the system on
// each call. Rows are plain data; the window and the console both show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/device_identity.h"

namespace disk {

// One row of the device list: a disk, or a partition (a volume) on it.
struct DiskListRow {
    std::string caption;      // column 0: disk number, or partition number
    int data = -1;            // the disk number for disk rows, -1 for partitions
    std::string device;       // "DISK 0", "PART 0,1"
    std::string description;  // product name, or "C:" + " [label]"
    std::string size;
    std::string used;
    std::string unused;
    std::string file_system;
    // Which disk or volume of this machine the row is: its device node (the
    // image file on the embedded host), and a volume's mount folder.
    std::string node;
    // What the row's disk or volume was as the list was filled: a command
    // that acts on the row writes only while its name still means it.
    std::optional<platform::device::DeviceIdentity> identity;

    bool is_disk() const { return !device.empty() && device[0] == 'D'; }
};

// One of the 26 volume slots behind the device list.
struct TVolumeSlot {
    std::uint8_t DiskNumber = 255;
    std::uint8_t PartitionNumber = 255;
    std::string Path;  // "C:" plus " [label]" when the volume has one
    std::string Kind;  // "PART" when filled
    std::int64_t Total = 0;  // MiB
    std::int64_t Used = 0;
    std::int64_t Free = 0;
    std::string FileSystem;
};

// A disk the machine has that could not be opened to be listed, and why.
struct UnopenedDisk {
    int number = -1;
    std::string backing;  // what the disk is on this machine: device node or image file
    std::uint32_t error = 0;  // the system's error of the open
};

// view_mode: 0 disks and their partitions, 1 partitions only, 2 disks only.
// units: "MB", "S" (disk sizes in sectors) or anything else (bytes).
// A disk that cannot be opened is left out of the rows; with `unopened`
// given it is named there (no root, or a sandbox that refuses the disks).
std::vector<DiskListRow> FillDiskList(int view_mode, const std::string& units,
                                      std::vector<UnopenedDisk>* unopened = nullptr);

// The sorted entries of a drive combo for `mode` (0, 1, 2, 3, 10, 11, 12, 20, 30, 99).
std::vector<std::string> FillDriveCombo(int mode);

// What a drive combo entry stands for, to be found again after the lists
// are refilled, when numbers and letters may have moved: "disk " + the
// disk's identity for a physical drive, "volume " + its GUID for a volume,
// "entry " + the text for anything else (a file, the image entry). "" for
// a disk or volume the machine does not have.
std::string DriveComboEntryIdentity(const std::string& entry);

// Makes the disk or volume a drive combo entry stood for when it was listed
// (`entry_identity`, as DriveComboEntryIdentity gave it) the choice of
// `path`, the name a command derived from the entry: what the command
// writes through that name must still be it (Registry::choose).
void ChooseDriveComboEntry(const std::string& path, const std::string& entry_identity);

// Volume GUID paths of the machine, without CD-ROM and floppy volumes.
std::vector<std::string> list_volumes();

// Bit n set for each drive letter 'A' + n in use (A: itself is never set).
std::uint32_t GetDosDriveMask();
bool IsFloppyDevice(const std::string& name);

// The multi-section text report of a disk or volume; its last section,
// "->Linux Device", says which disk or volume of this machine it is.
void DiskInfoReport(const std::string& path, std::vector<std::string>& lines);

}  // namespace disk
