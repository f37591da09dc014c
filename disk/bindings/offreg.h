// The offline registry library (offreg.dll), bound at run time, and the
// text forms the registry tools read and type values in.
//
// LoadOffreg fills process-wide slots with the 13 entry points; the registry
// tools call OROpenHive, OROpenKey, ORSaveHive and the rest through them and
// use the three helpers below for values and keys.
//
// Text forms by value type:
//   REG_SZ, REG_EXPAND_SZ  the text (up to its first NUL)
//   REG_MULTI_SZ           the strings joined by NUL characters; when written,
//                          every blank separates two strings
//   REG_DWORD, REG_QWORD   decimal; written from -2^31..2^32-1 or
//                          -2^63..2^64-1, read back unsigned
//   REG_BINARY             two-digit upper-case hexadecimal bytes joined by
//                          commas, for example 0A,FF
//   any other type         read as the empty text, never written
#pragma once

#include <atomic>
#include <string>

#include "platform/offreg/offreg.h"

namespace disk {

using platform::offreg::ORHKEY;

// The process-wide entry-point slots, filled by LoadOffreg.
struct OffregBinding {
    std::atomic<platform::offreg::ORGetVersion_fn> ORGetVersion{nullptr};
    std::atomic<platform::offreg::OROpenHive_fn> OROpenHive{nullptr};
    std::atomic<platform::offreg::ORCloseHive_fn> ORCloseHive{nullptr};
    std::atomic<platform::offreg::ORSaveHive_fn> ORSaveHive{nullptr};
    std::atomic<platform::offreg::OROpenKey_fn> OROpenKey{nullptr};
    std::atomic<platform::offreg::ORCloseKey_fn> ORCloseKey{nullptr};
    std::atomic<platform::offreg::ORGetValue_fn> ORGetValue{nullptr};
    std::atomic<platform::offreg::ORSetValue_fn> ORSetValue{nullptr};
    std::atomic<platform::offreg::ORDeleteValue_fn> ORDeleteValue{nullptr};
    std::atomic<platform::offreg::ORDeleteKey_fn> ORDeleteKey{nullptr};
    std::atomic<platform::offreg::ORCreateKey_fn> ORCreateKey{nullptr};
    std::atomic<platform::offreg::OREnumKey_fn> OREnumKey{nullptr};
    std::atomic<platform::offreg::OREnumValue_fn> OREnumValue{nullptr};
};

OffregBinding& offreg();

// Loads offreg.dll and binds the 13 entry points; true when done. Raises
// "could not loadlibrary:" + the load's error code, or "init error:" + the
// reason an entry point could not be bound. Every call loads and binds
// again; the library is held once for the life of the process.
bool LoadOffreg();

// The text form of value `value_name` of `key`. Raises "getvalue error:" +
// the reason, e.g. "ORGetValue failed:2:The system cannot find the file
// specified" for a missing value, or a REG_DWORD or REG_QWORD shorter than
// its type.
bool OffregGetValue(ORHKEY key, const std::string& value_name, std::string& text);

// Converts `text` for `type` and stores it; false (nothing written) for a
// type without a text form. Raises "setvalue error:" + the reason, also for a
// malformed number or byte list, in which case nothing is written.
bool OffregSetValue(ORHKEY key, const std::string& value_name, const std::string& text, platform::DWORD type);

// Deletes subkey `sub_key` of `key` (it must have no subkeys of its own).
// Raises "deletekey error:ORDeleteKey failed:" + code + ":" + text.
bool OffregDeleteKey(ORHKEY key, const std::string& sub_key);

// The running system's version; false when it cannot be asked.
bool GetOSVersion(platform::DWORD& major, platform::DWORD& minor);

}  // namespace disk
