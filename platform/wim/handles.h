// The objects behind WIM and image handles: an open (or still unwritten) WIM
// file over a wimlib WIMStruct, and an image of one. Handles are the
// objects' addresses, checked against a table of live handles so a stale or
// foreign value fails with ERROR_INVALID_HANDLE instead of crashing.
//
// When a WIM file is written: a capture or an export writes its image before
// the call returns (so the long work, and its progress, happens inside the
// call the caller watches), a new file first to a temporary name beside it
// and then renamed into place, so a failed or cancelled capture never leaves
// a broken file nor destroys the file it was to replace. The other changes
// (boot image, image information, deleting an image) are written before
// their call returns too, so the file, and what WIMGetImageInformation reads
// from it, always shows them; closing the WIM handle writes whatever an
// earlier write could not.
#pragma once

#include <wimlib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wim/library.h"
#include "platform/wim/messages.h"
#include "platform/wim/wimgapi.h"

namespace platform::wim {

struct WimFile {
    WimFile() = default;
    ~WimFile();
    WimFile(const WimFile&) = delete;
    WimFile& operator=(const WimFile&) = delete;

    WimlibReference library;  // declared first: released last
    WIMStruct* wim = nullptr;
    std::string path;
    DWORD access = 0;
    DWORD flags = 0;
    bool is_new = false;      // nothing written to `path` yet
    bool solid = false;       // resources go into one LZMS solid block (an .esd)
    bool dirty = false;       // changed since last written
    std::string temporary_path;
    std::vector<std::string> references;  // reference files, kept across a reopen
    std::vector<RegisteredCallback> callbacks;
    std::recursive_mutex mutex;  // one operation at a time on the WIMStruct

    bool writable() const { return (access & WIM_GENERIC_WRITE) != 0; }
    int image_count() const;
};

struct WimImage {
    std::shared_ptr<WimFile> file;
    int index = 0;
    std::string mount_folder;  // set while mounted through WIMMountImageHandle
};

// Handle table.
WimHandle AddFileHandle(std::shared_ptr<WimFile> file);
WimHandle AddImageHandle(std::shared_ptr<WimImage> image);
// The object behind a handle, or nullptr with ERROR_INVALID_HANDLE.
std::shared_ptr<WimFile> FileOf(WimHandle handle);
std::shared_ptr<WimImage> ImageOf(WimHandle handle);
// Removes a handle from the table and hands back what it held.
std::shared_ptr<WimFile> TakeFileHandle(WimHandle handle);
std::shared_ptr<WimImage> TakeImageHandle(WimHandle handle);
// The live image handles of one file.
std::vector<std::shared_ptr<WimImage>> ImagesOf(const WimFile& file);

// Message callbacks: per WIM handle, or for every handle (a null handle).
DWORD RegisterCallback(WimHandle wim, WIMMessageCallback callback, void* user_data);
bool UnregisterCallback(WimHandle wim, WIMMessageCallback callback);
DWORD CallbackCount(WimHandle wim);
// What an operation on these files reports to: the callbacks for every
// handle, then those of each file (a callback registered twice hears once).
std::vector<RegisteredCallback> CallbacksFor(const WimFile* first, const WimFile* second = nullptr);

// Writes the file's pending changes (a new file to a temporary name, then
// renamed into place and reopened for appending). False with the last error.
bool CommitWimFile(WimFile& file, MessageRelay& relay);

// Sets the last error for a failed wimlib call (ERROR_REQUEST_ABORTED when
// the relay was aborted) and returns false.
bool FailWimlib(int error, const MessageRelay* relay = nullptr);
bool Fail(DWORD code);

// The log file named by WIMRegisterLogFile; our own texts go there too.
void SetLogFile(const std::string& path);
void LogText(const std::string& text);

}  // namespace platform::wim
