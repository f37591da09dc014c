// The format and check-disk component: formats a volume or checks its file
// system through the file-system utility library (fmifs.dll: FormatEx and
// Chkdsk), and hands what the library reports to two events, so that a
// window can show progress and text and stop the run.
//
// A run is synchronous: the library calls back on the caller's thread and
// the call returns when the run is over. The callbacks find their component
// through a reference kept for the calling thread while its run lasts, so
// components on different threads never meet; one component does one run at
// a time.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace disk {

class FmtChkException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Percent done; set `cancel` to stop the run.
using TProgressEvent = std::function<void(int percent, bool& cancel)>;
// A line of text; set `cancel` to stop the run.
using TInfoEvent = std::function<void(const std::string& info, bool& cancel)>;

class TMagFmtChkDsk {
public:
    TMagFmtChkDsk() = default;
    TMagFmtChkDsk(const TMagFmtChkDsk&) = delete;
    TMagFmtChkDsk& operator=(const TMagFmtChkDsk&) = delete;

    // Set by a check that met problems, or free space marked as allocated;
    // the first such line is kept (across runs, until cleared).
    bool FileSysProblem = false;
    bool FreeSpaceAlloc = false;
    std::string FirstErrorLine;
    TProgressEvent onProgressEvent;
    TInfoEvent onInfoEvent;

    // Whether the library is there (asked once per process).
    static bool LoadFmifs();

    // The file system of the volume at `root` ("E:\"), reported as a line;
    // with `exclusive` also that nobody else has the volume open. Raises
    // FmtChkException, naming `root`, for a malformed root, a volume that is
    // not there, and one in use.
    bool CheckDrive(const std::string& root, bool exclusive, std::string& file_system);

    // media 0 fixed disk, 1 removable; file system 0 NTFS, 1 FAT, 2 FAT32,
    // 3 exFAT, 4 UDF; a cluster size the library does not take becomes 0
    // (its default). False when the library is missing, for an unknown media
    // kind or file system, and when the format did not finish.
    bool RunFormat(const std::string& root, int media, int cluster_size, bool quick, const std::string& label,
                   int file_system);
    // True when the check finished, or found problems (even when it could not
    // finish). Repairs with `correct_errors`.
    bool RunCheck(const std::string& root, bool correct_errors, bool scan_drive, bool check_only_if_dirty,
                  bool verbose);

    // The events, answering their Cancel (false without a handler).
    bool DoProgress(int percent);
    bool DoInfo(const std::string& text);

    bool running() const { return running_; }

    // What a cluster size becomes for the library: one of the sizes it
    // takes (512 to 65,536, powers of two), else 0.
    static int ClusterSizeFor(int cluster_size);

private:
    friend struct FmifsCallbacks;

    bool Succeeded = false;
    bool running_ = false;
};

}  // namespace disk
