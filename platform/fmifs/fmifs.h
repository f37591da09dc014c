// The file-system utility interface (fmifs.dll) as the program calls it:
// FormatEx and Chkdsk, carried out by the Linux tools of each file system
// (mkntfs, mkfs.fat, mkfs.exfat, mkudffs; fsck.fat, fsck.exfat, ntfsfix)
// run through the one child-process runner. Callers reach the entry points
// through GetProcAddress on the module "fmifs.dll" (platform/modules), which
// loads when the tools of at least one file system are installed.
//
// Both calls are synchronous: they report through the callback on the
// caller's thread and return once the run is over. What a tool prints comes
// back line by line as OUTPUT, percentages it prints as PROGRESS, and its
// end as DONE with a Boolean; a callback that answers FALSE stops the tool.
//
// The volume is worked on through a device node of its own (a loop device,
// which takes root). Formatting and repairing lock the volume for the whole
// run and refuse, as "volume in use", a volume that is mounted here.
#pragma once

#include <cstdint>

#include "platform/base/win_error.h"
#include "platform/os/stand_in_module.h"

namespace platform::fmifs {

using BOOL = int;
using BOOLEAN = unsigned char;

// What a callback is told, by the numbers callers of fmifs.dll go by.
enum CALLBACKCOMMAND : DWORD {
    PROGRESS = 0,             // argument: DWORD percent
    STRUCTURECREATED = 1,     // a format has laid down its file system
    INSUFFICIENTRIGHTS = 6,
    FSNOTSUPPORTED = 7,
    VOLUMEINUSE = 8,
    CANTQUICKFORMAT = 9,
    DONE = 11,                // argument: BOOLEAN success
    OUTPUT = 14,              // argument: TEXTOUTPUT
    STRUCTUREPROGRESS = 15,
    CLUSTERSIZETOOSMALL = 16,
};

// The argument of OUTPUT: one line of text, without its line end.
struct TEXTOUTPUT {
    DWORD Lines;
    const char* Output;
};

// Media kinds FormatEx takes.
enum : DWORD { FMIFS_REMOVABLE = 8, FMIFS_HARDDISK = 12 };

// Answers TRUE to go on, FALSE to stop.
using PFMIFSCALLBACK = BOOLEAN (*)(CALLBACKCOMMAND command, DWORD sub_action, void* action_info);

// Formats the volume at `drive_root` ("E:\", a volume GUID path) with the
// named file system ("NTFS", "FAT", "FAT32", "exFAT", "UDF"); a cluster
// size of 0 lets the tool choose.
void FormatEx(const char16_t* drive_root, DWORD media_flag, const char16_t* format, const char16_t* label,
              BOOL quick_format, DWORD cluster_size, PFMIFSCALLBACK callback);

// Checks the file system on the volume at `drive_root`; with
// `correct_errors` it repairs what it finds. `scan_drive` also looks for
// unreadable clusters where the tool can (FAT, when repairing). A volume
// is checked all the same when `check_only_if_dirty` is set: the tools here
// cannot tell a dirty volume first.
void Chkdsk(const char16_t* drive_root, const char16_t* format, BOOL correct_errors, BOOL verbose,
            BOOL check_only_if_dirty, BOOL scan_drive, void* unused1, void* unused2, PFMIFSCALLBACK callback);

using FormatExProc = decltype(&FormatEx);
using ChkdskProc = decltype(&Chkdsk);

}  // namespace platform::fmifs

namespace platform {
// The stand-in LoadLibraryA hands out for this library.
const StandInModule& FmifsModule();
}  // namespace platform
