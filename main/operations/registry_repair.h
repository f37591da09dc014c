// The registry repairs of the Advanced tab, for another Windows installation
// (a restored or cloned disk that does not start): a few values of the
// current control set of its SYSTEM hive changed or read through the offline
// registry library. A change is saved to a new file, checked, and swapped in,
// so that the unchanged hive stays beside it as "<hive>.old"; until that
// swap nothing on disk changes.
#pragma once

#include <string>
#include <utility>

#include "disk/bindings/offreg.h"

namespace tarnovell {

enum class OfflineRepair {
    MountedDevices,     // "MountedDevices" deleted: drive letters found anew at the next start
    DiskControllers,    // viaide, intelide, atapi, pciide started at boot
    UsbBoot,            // the USB hub, storage and host controllers started at boot
    BootDrivers,        // VHD, SD and USB boot drivers loaded (Windows 7 SP1 and later)
    AutoReboot,         // no automatic restart after a stop error
    DeviceEnumeration,  // the control set's "enum" deleted: hardware detected anew
};

inline constexpr char kOfflineRegistryModified[] = "Offline Registry modified - backup made";
inline constexpr char kOfflineRegistryRead[] = "Offline Registry read";
// What the commands that work on the running Windows, or through its
// outside helpers, say here.
inline constexpr char kOnlineRegistryUnavailable[] =
    "The online registry edits change the registry of the running Windows; there is none on Linux.";
inline constexpr char kRegistryDumpUnavailable[] =
    "The registry dump and import run dumpreg through psexec, which exist on Windows only.";
inline constexpr char kPsexecUnavailable[] =
    "Launch CMD as system runs psexec, which exists on Windows only; Tarnovell already runs as root here.";

// The SYSTEM hive a chosen path stands for. A file is taken as it is; a
// folder of a Windows installation (its root, its Windows folder, System32
// or System32\config) leads to the SYSTEM hive inside, names matched without
// regard to case, as NTFS does. "X:\..." paths are read inside volume X.
// Raises when nothing fits.
std::string SystemHiveOf(const std::string& path);

// The name the unchanged hive keeps: the hive's name with the extension
// ".old" (its own extension replaced), or ".old" added where that would be
// the hive's own name.
std::string OldHiveName(const std::string& hive);

// The Windows version a hive is saved for, given the running system's:
// 6.2 is saved as 6.1, any other as it is.
std::pair<platform::DWORD, platform::DWORD> SavedHiveVersion(platform::DWORD major, platform::DWORD minor);

// "ControlSet" and the current set's number in three digits, from the text
// of "select\Current"; raises for a text that is no set number (1 to 999).
std::string ControlSetName(const std::string& current);

// Makes one change and swaps the changed hive in; returns the status text.
// Raises with the message to show; the hive and its backup are then as they
// were. `note` gets what the user should know of a change that was made (an
// earlier backup that could not be removed), or stays as it was.
std::string RunOfflineRepair(OfflineRepair repair, const std::string& path, std::string* note = nullptr);

// "Read HAL": the hardware id of the installation's HAL, several ids one a line.
std::string ReadOfflineHal(const std::string& path);
// "Read Processor Details": "<architecture> - <identifier>"; empty when both are.
std::string ReadOfflineProcessor(const std::string& path);

// Deletes every key below `key`, deepest first, and ends: each step deletes
// one key or raises "EnumKeys error:" + the reason.
void DeleteOfflineKeyTree(platform::offreg::ORHKEY key);

}  // namespace tarnovell
