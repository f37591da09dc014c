// The program's device names. A path is a device only when it starts with
// "\\.\" or "\\?\"; everything else is a file path (with "X:\rest" meaning a
// file inside the volume that holds letter X).
#pragma once

#include <string>

namespace platform::device {

enum class PathKind {
    File,            // a plain file path
    DriveFile,       // "X:\rest": a file on the volume with letter X
    Disk,            // \\.\PhysicalDriveN
    LetterVolume,    // \\.\X:
    GuidVolume,      // \\?\Volume{GUID} or \\?\Volume{GUID}\ .
    HarddiskVolume,  // \\.\HarddiskVolumeK or \\?\GLOBALROOT\Device\HarddiskVolumeK
    UnknownDevice,   // any other \\.\ or \\?\ name
};

struct DevicePath {
    PathKind kind = PathKind::File;
    int disk = -1;          // Disk
    char letter = 0;        // LetterVolume, DriveFile (upper case)
    std::string guid;       // GuidVolume: "{...}" upper case
    int volume_index = -1;  // HarddiskVolume
    std::string rest;       // DriveFile: the part after "X:\" with '/' separators
    std::string text;       // the path as given
};

bool IsDevicePath(const std::string& path);
DevicePath ParseDevicePath(const std::string& path);

// Whole disks. A path names one only by its device prefix, never by holding
// "physicaldrive" somewhere: /images/physicaldrive.img is a file.
bool IsWholeDiskPath(const std::string& path);
// N of a path that names disk N (any case), else -1.
int DiskNumberOf(const std::string& path);
// The disk argument of the partition-editing routines, which take either the
// disk's path or its bare number ("3"); -1 when the text is neither.
int DiskNumberOfArgument(const std::string& text);

// What follows the "\\.\" of a device path: "C:" of "\\.\C:"; any other path
// as it stands.
std::string LocalDeviceName(const std::string& path);

std::string PhysicalDriveName(int disk);    // PhysicalDriveN: the name in the device namespace
std::string PhysicalDrivePath(int disk);    // \\.\PhysicalDriveN
std::string LetterVolumePath(char letter);  // \\.\X:

}  // namespace platform::device
