// Small services the settings, the report and the box share: %variable%
// expansion of settings texts, the user's special folders, the class name
// and message of a caught exception, the rule for automatic actions after
// repeated crashes, and sentence endings.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace crashreport {

// Replaces, ignoring case and without re-scanning what was inserted:
// %appname%, %modname%, %appversion%, %modversion%, %exceptClass%,
// %exceptMsg% ("Unknown" when empty), %bugReport%, %LF%, %date%, %time%,
// %datetime%, %computerName%, %desktop%, %userappdata%, %commonappdata%.
// Callers without an exception pass the variable names themselves, so those
// stay in the text.
void ExpandSettingsVars(std::uintptr_t module, std::string& text, const std::string& exception_class,
                        const std::string& bug_report, const std::string& exception_message);
void ExpandSettingsVarsW(std::uintptr_t module, std::u16string& text, const std::string& exception_class,
                         const std::string& bug_report, const std::string& exception_message);

// The folders that stand in for the Windows shell folders: the desktop,
// the user's application data (XDG configuration folder) and the
// machine-wide application data. The executable's folder when unknown.
enum class SpecialFolder { Desktop, UserAppData, CommonAppData };
std::u16string SpecialFolderPath(SpecialFolder folder, bool trailing_separator);

// The ring of the last ten exception times (UTC seconds since 1601, 0 =
// empty), newest first; carried over to a restarted instance.
using ExceptionTimes = std::array<std::int64_t, 10>;
ExceptionTimes GetExceptionTimes();
void SetExceptionTimes(const ExceptionTimes& times);
void RecordExceptionTime(std::int64_t utc_seconds);
// 0: false; 1: true; n >= 2: true only when all ten entries are set and
// none is more than n seconds old.
bool CheckAutoAction(std::int32_t value);
bool CheckAutoActionAt(std::int32_t value, const ExceptionTimes& times, std::int64_t now);

// What the reporter knows of an exception object: its class (as the C++
// run time names it, with the classes it derives from) and its message.
struct ExceptionObjectInfo {
    bool present = false;
    std::string class_name;
    std::vector<std::string> class_chain;  // the class itself first, then its bases
    bool has_message = false;              // derived from std::exception
    std::string message;
};
// From an exception in flight (nothing for an empty pointer).
ExceptionObjectInfo DescribeException(const std::exception_ptr& exception);
// An object of the reporter's own making (signals, freezes).
ExceptionObjectInfo MakeExceptionInfo(const std::string& class_name, const std::string& message,
                                      std::vector<std::string> bases = {});
// True when the class or one it derives from is named `name` (with or
// without its namespace).
bool ExceptionIsOfClass(const ExceptionObjectInfo& info, const std::string& name);
// "Unknown" without an object.
std::string ExceptionClassName(const ExceptionObjectInfo& info);
// The message of a std::exception (else the class name), without control
// characters other than line breaks, trimmed, "Unknown" when empty.
std::string GetExceptionText(const ExceptionObjectInfo& info);

// Trailing "." and "!" removed, one "." appended.
std::string SentenceEnding(const std::string& text);

}  // namespace crashreport
