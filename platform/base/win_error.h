// Windows error codes, the thread's last error and our texts for them.
//
// The disk library reports failures the way the Windows API does: a routine
// fails, and the reason is left behind as an error code that the caller turns
// into " failed:" + text. Everything in platform/ that can fail sets it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

using DWORD = std::uint32_t;

enum : DWORD {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_INVALID_DRIVE = 15,
    ERROR_WRITE_PROTECT = 19,
    ERROR_NOT_READY = 21,
    ERROR_CRC = 23,
    ERROR_SECTOR_NOT_FOUND = 27,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_NO_MORE_FILES = 18,
    ERROR_HANDLE_EOF = 38,
    ERROR_HANDLE_DISK_FULL = 39,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_DEV_NOT_EXIST = 55,
    ERROR_FILE_EXISTS = 80,
    ERROR_CANNOT_MAKE = 82,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_OPEN_FAILED = 110,
    ERROR_DISK_FULL = 112,
    ERROR_CALL_NOT_IMPLEMENTED = 120,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_NEGATIVE_SEEK = 131,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_NOT_LOCKED_VOLUME = 158,
    ERROR_BUSY = 170,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_BAD_FILE_TYPE = 222,
    ERROR_MORE_DATA = 234,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_NOT_FOUND = 1168,
    ERROR_REQUEST_ABORTED = 1235,
    ERROR_CANCELLED = 1223,
    ERROR_UNRECOGNIZED_VOLUME = 1005,
    ERROR_BADDB = 1009,
    ERROR_KEY_DELETED = 1018,
    ERROR_MEDIA_CHANGED = 1110,
    ERROR_IO_DEVICE = 1117,
    ERROR_DEVICE_NOT_CONNECTED = 1167,
    ERROR_TIMEOUT = 1460,
    ERROR_DEVICE_IN_USE = 2404,
    ERROR_VIRTDISK_NOT_VIRTUAL_DISK = 0xC03A0015,
    ERROR_VIRTDISK_PROVIDER_NOT_FOUND = 0xC03A0014,
    ERROR_VIRTUAL_DISK_LIMITATION = 0xC03A001A,

    // Windows Sockets codes: on Windows WSAGetLastError is the last error.
    WSAEINTR = 10004,
    WSAEACCES = 10013,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
};

DWORD GetLastError();
void SetLastError(DWORD code);

// The text for an error code, without trailing period or line end, so that it
// reads well after a " failed:" prefix.
std::string SysErrorMessage(DWORD code);

// Maps an errno value to the Windows code that means the same to a caller.
DWORD ErrorFromErrno(int err);

// Sets the last error from errno and returns the Windows code.
DWORD SetLastErrorFromErrno(int err);

// For a routine that answers false with the last error set and `problem`
// saying why in words: sets both, and gives false.
bool FailWithProblem(DWORD code, std::string& problem, std::string text);

// The operating-system error exception: what a failed call raises when the
// caller asks for "the standard error for the last error".
class OSError : public std::runtime_error {
public:
    explicit OSError(DWORD code);
    DWORD code() const { return code_; }

private:
    DWORD code_;
};

[[noreturn]] void RaiseLastOSError();

}  // namespace platform
