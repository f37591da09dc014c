// The offline registry interface (offreg.dll) as the program calls it,
// carried out by hivex. The entry points keep their Windows names, arguments
// and results; callers reach them through GetProcAddress on the module
// "offreg.dll" (platform/modules/module.h), which opens libhivex at run time.
//
// Every entry point returns ERROR_SUCCESS (0) or a Windows error code; none
// sets the last error. Names and paths are wide (UTF-16) texts; key paths
// are separated by backslashes and matched without regard to case.
//
// A hive is read whole into memory by OROpenHive and changed there; the file
// it came from is never written. ORSaveHive writes the changed hive to a new
// file, and ORCloseHive drops it together with every key still open in it.
// A damaged hive that hivex reads but could not change safely opens for
// reading only: every change to it answers ERROR_BADDB.
#pragma once

#include "platform/os/stand_in_module.h"

#include <cstdint>

#include "platform/base/win_error.h"

namespace platform::offreg {

// A key of an open hive; the handle OROpenHive gives is the hive's root key.
// Handles are never reused, so a closed one is refused, not confused with a
// later key.
using ORHKEY = struct OfflineKeyHandle*;

// Value types.
enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
    REG_RESOURCE_LIST = 8,
    REG_FULL_RESOURCE_DESCRIPTOR = 9,
    REG_RESOURCE_REQUIREMENTS_LIST = 10,
    REG_QWORD = 11,
};

// What ORCreateKey did.
enum : DWORD {
    REG_CREATED_NEW_KEY = 1,
    REG_OPENED_EXISTING_KEY = 2,
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// The version of the offline registry library itself.
using ORGetVersion_fn = void (*)(DWORD* major, DWORD* minor);

// Reads the hive file into memory, ready to be changed. ERROR_FILE_NOT_FOUND
// for a missing file, ERROR_BADDB for one that is not a sound hive.
using OROpenHive_fn = DWORD (*)(const char16_t* file_path, ORHKEY* hive);

// Drops the hive, its changes and every key handle still open in it.
using ORCloseHive_fn = DWORD (*)(ORHKEY hive);

// Writes the hive as it now stands to a new file. As on Windows an existing
// file is not replaced: ERROR_FILE_EXISTS. The target system's version is
// accepted for compatibility; the hive keeps the format it was read in.
using ORSaveHive_fn = DWORD (*)(ORHKEY hive, const char16_t* file_path, DWORD os_major_version,
                                DWORD os_minor_version);

// Opens `sub_key` below `key`; a null or empty sub_key opens `key` again.
using OROpenKey_fn = DWORD (*)(ORHKEY key, const char16_t* sub_key, ORHKEY* result);

// Closes a key from OROpenKey or ORCreateKey (a hive is closed by ORCloseHive).
using ORCloseKey_fn = DWORD (*)(ORHKEY key);

// Reads value `value_name` (null: the default value) of `key`, or of its
// subkey `sub_key` when that is not null. `type` and `data` may be null.
// With `data` null, *data_size gets the size; with a buffer too small,
// ERROR_MORE_DATA and *data_size gets the size needed. Strings come back as
// stored: UTF-16LE bytes, terminated only if they were written so.
using ORGetValue_fn = DWORD (*)(ORHKEY key, const char16_t* sub_key, const char16_t* value_name, DWORD* type,
                                void* data, DWORD* data_size);

// Creates or replaces a value; `data_size` bytes of `data` are stored as given.
using ORSetValue_fn = DWORD (*)(ORHKEY key, const char16_t* value_name, DWORD type, const void* data,
                                DWORD data_size);

using ORDeleteValue_fn = DWORD (*)(ORHKEY key, const char16_t* value_name);

// Deletes `sub_key` of `key` (null: `key` itself) with its values. As on
// Windows a key that still has subkeys is refused with ERROR_ACCESS_DENIED,
// and so is the hive's root key. Handles still open on the deleted key
// answer ERROR_KEY_DELETED afterwards.
using ORDeleteKey_fn = DWORD (*)(ORHKEY key, const char16_t* sub_key);

// Opens `sub_key`, creating it and any missing key on its path. Classes,
// options and security descriptors are accepted and not used: a new key
// shares its parent's security. `disposition` may be null.
using ORCreateKey_fn = DWORD (*)(ORHKEY key, const char16_t* sub_key, char16_t* class_name, DWORD options,
                                 void* security_descriptor, ORHKEY* result, DWORD* disposition);

// The name of the index-th subkey. *name_size holds the buffer size in
// characters; on success it gets the name's length (without the NUL), with
// ERROR_MORE_DATA the size needed including the NUL. Past the last subkey:
// ERROR_NO_MORE_ITEMS. Keys have no class here: *class_size becomes 0.
// `class_name`, `class_size` and `last_write_time` may be null.
using OREnumKey_fn = DWORD (*)(ORHKEY key, DWORD index, char16_t* name, DWORD* name_size, char16_t* class_name,
                               DWORD* class_size, FILETIME* last_write_time);

// The index-th value: its name as in OREnumKey, then type and data as in
// ORGetValue. With any buffer too small, ERROR_MORE_DATA and both sizes
// needed written back.
using OREnumValue_fn = DWORD (*)(ORHKEY key, DWORD index, char16_t* value_name, DWORD* value_name_size,
                                 DWORD* type, void* data, DWORD* data_size);

}  // namespace platform::offreg

namespace platform {
// The stand-in LoadLibraryA hands out for this library.
const StandInModule& OffregModule();
}  // namespace platform
