// What the volume window lists, read without a window: every volume of the
// machine with its mount path, disk and partition numbers, NT device name,
// size and serial number; on request also the drive letters no listed
// volume answers to, and the shadow copies (device-mapper snapshots).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnovell {

// One record of the volume table.
struct TVolumeRecord {
    std::string VolumeName;  // \\?\Volume{GUID}\ .
    std::string DeviceName;  // \Device\HarddiskVolumeK
    std::uint8_t DiskNumber = 255;
    std::uint8_t PartitionNumber = 255;  // 255: not known
    std::string MountPath;
    std::int64_t Size = 0;
    std::string Serial;
};

// One record of the DOS-device table, a drive letter.
struct TDosDeviceRecord {
    std::uint8_t DiskNumber = 255;
    std::uint8_t PartitionNumber = 255;
    std::string Letter;      // "X:"
    std::string DeviceName;  // what the letter stands for
};

// A row of the list, in the order of its columns.
struct VolumeRow {
    std::string caption;  // "Volume": the volume name; empty for DOS-device and shadow-copy rows
    std::string path;     // "PathName": the first mount path
    int disk = 255;
    int partition = 255;
    std::string device;   // "Dos Device"
    std::int64_t size = 0;
    std::string serial;
    // A shadow copy's bytes (its device-mapper node): what a backup of the
    // row reads, as the row's NT-style name opens nothing here.
    std::string shadow_node;
};

// Disk and partition numbers of a volume, as the storage stack numbers it.
// Raises "GetVolume_Storage:" + the system's text.
void GetVolume_Storage(const std::string& volume_name, int& disk, int& partition);
// Disk number, start and length of the volume's first extent. Raises
// "_GetVolumeExtent:" + the reason.
void _GetVolumeExtent(const std::string& volume_name, int& disk, std::int64_t& start, std::int64_t& length);

// Size of the file system at `path` (ending in "\"): bytes per sector x
// sectors per cluster x clusters; 0 when it cannot be asked.
std::int64_t VolumePathSize(const std::string& path);
// Its serial number as hexadecimal, at least four digits; empty when none.
std::string VolumePathSerial(const std::string& path);

// Every volume of the machine but CD-ROM and floppy volumes; raises
// "list_volumes:" + the reason when the scan cannot go on.
std::vector<TVolumeRecord> list_volumes();

// The drive letters and what each stands for; removable floppies, CD-ROM
// and network drives are left out.
std::vector<TDosDeviceRecord> list_dos_devices();

// The rows of the list: one per volume; with `dos_devices`, also a row per
// letter no volume row shows and a row per shadow copy. `notice` says why
// shadow copies could not be listed ("" when they could, or were not asked for).
std::vector<VolumeRow> FillVolumeRows(const std::vector<TVolumeRecord>& volumes, bool dos_devices,
                                      std::string& notice);

// What "Backup to file", "Restore from file" and "Volume to Volume" copy: the
// volume name when the row has one (without its trailing backslash), else
// the letter's volume, else the device; a shadow copy's own bytes.
std::string CopySourceOf(const VolumeRow& row);
// How much of it they copy: all of it (0), except for a shadow copy, whose
// own size, or the size of the volume it is a picture of, bounds it.
std::int64_t CopyLengthOf(const VolumeRow& row, const std::vector<TVolumeRecord>& volumes);

}  // namespace tarnovell
