#include "platform/base/win_error.h"

#include <cerrno>
#include <utility>

namespace platform {

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

std::string SysErrorMessage(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully";
    case ERROR_INVALID_FUNCTION: return "Incorrect function";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified";
    case ERROR_ACCESS_DENIED: return "Access is denied";
    case ERROR_INVALID_DATA: return "The data is invalid";
    case ERROR_INVALID_HANDLE: return "The handle is invalid";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory is available to process this command";
    case ERROR_INVALID_DRIVE: return "The system cannot find the drive specified";
    case ERROR_WRITE_PROTECT: return "The media is write protected";
    case ERROR_NOT_READY: return "The device is not ready";
    case ERROR_CRC: return "Data error (cyclic redundancy check)";
    case ERROR_SECTOR_NOT_FOUND: return "The drive cannot find the sector requested";
    case ERROR_WRITE_FAULT: return "The system cannot write to the specified device";
    case ERROR_READ_FAULT: return "The system cannot read from the specified device";
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process";
    case ERROR_LOCK_VIOLATION:
        return "The process cannot access the file because another process has locked a portion of the file";
    case ERROR_NO_MORE_FILES: return "There are no more files";
    case ERROR_HANDLE_EOF: return "Reached the end of the file";
    case ERROR_HANDLE_DISK_FULL: return "The disk is full";
    case ERROR_NOT_SUPPORTED: return "The request is not supported";
    case ERROR_DEV_NOT_EXIST: return "The specified network resource or device is no longer available";
    case ERROR_FILE_EXISTS: return "The file exists";
    case ERROR_CANNOT_MAKE: return "The directory or file cannot be created";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect";
    case ERROR_OPEN_FAILED: return "The system cannot open the device or file specified";
    case ERROR_DISK_FULL: return "There is not enough space on the disk";
    case ERROR_CALL_NOT_IMPLEMENTED: return "This function is not supported on this system";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small";
    case ERROR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect";
    case ERROR_MOD_NOT_FOUND: return "The specified module could not be found";
    case ERROR_PROC_NOT_FOUND: return "The specified procedure could not be found";
    case ERROR_NEGATIVE_SEEK: return "An attempt was made to move the file pointer before the beginning of the file";
    case ERROR_DIR_NOT_EMPTY: return "The directory is not empty";
    case ERROR_NOT_LOCKED_VOLUME: return "The volume is not locked";
    case ERROR_BUSY: return "The requested resource is in use";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists";
    case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long";
    case ERROR_MORE_DATA: return "More data is available";
    case ERROR_NO_MORE_ITEMS: return "No more data is available";
    case ERROR_DIRECTORY: return "The directory name is invalid";
    case ERROR_BAD_FILE_TYPE: return "The file is neither a regular file nor a block device";
    case ERROR_UNRECOGNIZED_VOLUME: return "The volume does not contain a recognized file system";
    case ERROR_BADDB: return "The configuration registry database is corrupt";
    case ERROR_KEY_DELETED:
        return "Illegal operation attempted on a registry key that has been marked for deletion";
    // What a write is refused with when the name it was given has come to
    // mean another disk or volume since it was chosen.
    case ERROR_MEDIA_CHANGED: return "The disk or volume is no longer the one that was chosen";
    case ERROR_IO_DEVICE: return "The request could not be performed because of an I/O device error";
    case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected";
    case ERROR_NOT_FOUND: return "Element not found";
    case ERROR_CANCELLED: return "The operation was canceled by the user";
    case ERROR_REQUEST_ABORTED: return "The request was aborted";
    case ERROR_TIMEOUT: return "This operation returned because the timeout period expired";
    case ERROR_DEVICE_IN_USE: return "The device is in use by an active process and cannot be disconnected";
    case ERROR_VIRTDISK_PROVIDER_NOT_FOUND: return "The specified disk type is not supported";
    case ERROR_VIRTDISK_NOT_VIRTUAL_DISK: return "The file is not a virtual disk";
    case ERROR_VIRTUAL_DISK_LIMITATION: return "The requested operation is not supported for this type of virtual disk";
    case WSAEINTR: return "A blocking call was interrupted";
    case WSAEACCES: return "Permission to use the socket was denied";
    case WSAEINVAL: return "An invalid argument was supplied";
    case WSAEMFILE: return "Too many open sockets";
    case WSAEADDRINUSE: return "The address is already in use";
    case WSAEADDRNOTAVAIL: return "The requested address is not valid in its context";
    case WSAENETDOWN: return "The network is down";
    case WSAENETUNREACH: return "The network cannot be reached";
    case WSAECONNABORTED: return "The connection was aborted by this computer";
    case WSAECONNRESET: return "The connection was reset by the remote host";
    case WSAENOBUFS: return "No buffer space is available for the socket";
    case WSAENOTCONN: return "The socket is not connected";
    case WSAESHUTDOWN: return "The connection has been shut down";
    case WSAETIMEDOUT: return "The connection attempt timed out";
    case WSAECONNREFUSED: return "The remote host refused the connection";
    case WSAEHOSTDOWN: return "The remote host is down";
    case WSAEHOSTUNREACH: return "The remote host cannot be reached";
    default: return "Unknown error " + std::to_string(code);
    }
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EIO: return ERROR_IO_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_DISK_FULL;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case ENOTTY:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_DIRECTORY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    default: return ERROR_INVALID_FUNCTION;
    }
}

DWORD SetLastErrorFromErrno(int err) {
    DWORD code = ErrorFromErrno(err);
    SetLastError(code);
    return code;
}

bool FailWithProblem(DWORD code, std::string& problem, std::string text) {
    problem = std::move(text);
    SetLastError(code);
    return false;
}

OSError::OSError(DWORD code)
    : std::runtime_error("System Error.  Code: " + std::to_string(code) + ".\n" + SysErrorMessage(code)),
      code_(code) {}

void RaiseLastOSError() { throw OSError(GetLastError()); }

}  // namespace platform
