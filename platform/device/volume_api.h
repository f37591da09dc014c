// The Windows volume-management calls, answered by the device registry:
// volume enumeration, mount points (drive letters), DOS device names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/base/win_error.h"

namespace platform {

// Volume enumeration over the current registry picture.
struct FindVolumeState;
using HFINDVOLUME = FindVolumeState*;
HFINDVOLUME FindFirstVolumeA(char* name, DWORD length);  // nullptr when there is none
bool FindNextVolumeA(HFINDVOLUME find, char* name, DWORD length);
bool FindVolumeClose(HFINDVOLUME find);

// The mount paths of a volume ("C:\" first, then the Linux folders it is
// mounted at) as a NUL-separated list ending in an empty string. With too
// small a buffer: ERROR_MORE_DATA and `returned` says how much is needed.
bool GetVolumePathNamesForVolumeNameA(const std::string& volume_name, char* buffer, DWORD length, DWORD* returned);
std::vector<std::string> VolumePathNames(const std::string& volume_name);

// "C:\" -> "\\?\Volume{...}\".
bool GetVolumeNameForVolumeMountPointA(const std::string& mount_point, char* buffer, DWORD length);

// Drive letters: "D:\" as the mount point gives the volume letter D.
bool SetVolumeMountPointA(const std::string& mount_point, const std::string& volume_name);
bool DeleteVolumeMountPointA(const std::string& mount_point);

// DOS device names: with an empty name the list of all names, NUL-separated,
// ending in an empty string; with a name its target (e.g. "C:" ->
// "\Device\HarddiskVolume2"). Returns the characters stored, 0 on failure
// (ERROR_INSUFFICIENT_BUFFER when the buffer is too small).
DWORD QueryDosDeviceA(const std::string& name, char* buffer, DWORD length);

// DefineDosDeviceA's flags.
enum : DWORD {
    DDD_RAW_TARGET_PATH = 1,
    DDD_REMOVE_DEFINITION = 2,
    DDD_EXACT_MATCH_ON_REMOVE = 4,
};

// Drive letters as DOS device names: "X:" is defined as the volume `target`
// names ("\Device\HarddiskVolumeK", or any of the volume's own names), or
// with DDD_REMOVE_DEFINITION taken away again; a target given then must be
// what the letter names. Only drive letters can be defined (anything else:
// ERROR_INVALID_PARAMETER), and, as volumes keep one letter each, only for
// a volume that has none. Like a mount point, the letter lasts.
bool DefineDosDeviceA(DWORD flags, const std::string& name, const std::string& target);

// Bit n set when letter 'A'+n names a volume.
DWORD GetLogicalDrives();

enum : unsigned {
    DRIVE_UNKNOWN = 0,
    DRIVE_NO_ROOT_DIR = 1,
    DRIVE_REMOVABLE = 2,
    DRIVE_FIXED = 3,
    DRIVE_REMOTE = 4,
    DRIVE_CDROM = 5,
    DRIVE_RAMDISK = 6,
};
unsigned GetDriveTypeA(const std::string& root);

// Label, serial number and file-system name of the volume at `root` ("C:\",
// "\\.\C:", a volume GUID path). Fails with ERROR_UNRECOGNIZED_VOLUME
// when the volume holds no file system we know.
struct VolumeInformation {
    std::string label;
    DWORD serial = 0;
    DWORD max_component_length = 255;
    DWORD flags = 0;
    std::string file_system;
};
bool GetVolumeInformationA(const std::string& root, VolumeInformation& info);

// Cluster geometry and free space: from the file system itself where the
// volume is mounted here, else from what its superblock records.
bool GetDiskFreeSpaceA(const std::string& root, DWORD* sectors_per_cluster, DWORD* bytes_per_sector,
                       DWORD* free_clusters, DWORD* total_clusters);

}  // namespace platform
