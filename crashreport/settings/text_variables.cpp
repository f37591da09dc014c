#include "crashreport/settings/text_variables.h"

#include <cxxabi.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <typeinfo>

#include "crashreport/os/modules.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/settings/settings.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

std::string TwoDigits(int v) { return IntToTextPadded(v, 2, '0'); }

std::string ModulePath(std::uintptr_t module) {
    for (const auto& m : ListModulesByVirtualQuery())
        if (m.base == module) return m.path;
    return ExecutablePath();
}

std::string VersionText(std::uintptr_t module) {
    std::string version;
    if (module == ExecutableModule()) {
        if (const IZESettings main = MainSettings()) version = main->VersionVariable();
    }
    if (version.empty()) version = GetFileVersionText(ModulePath(module));
    return version.empty() ? "?" : version;
}

}  // namespace

void ExpandSettingsVars(std::uintptr_t module, std::string& text, const std::string& exception_class,
                        const std::string& bug_report, const std::string& exception_message) {
    if (text.find('%') == std::string::npos) return;
    auto replace = [&](const char* name, const std::string& value) { ReplaceSubStrNoCase(text, name, value, false); };
    const std::string executable = ExecutablePath();
    replace("%appname%", WideToUtf8Text(FileNameOfPathW(Utf8ToWideText(executable))));
    replace("%modname%", WideToUtf8Text(FileNameOfPathW(Utf8ToWideText(ModulePath(module)))));
    if (PosTextInRange("%appversion%", text)) replace("%appversion%", VersionText(ExecutableModule()));
    if (PosTextInRange("%modversion%", text)) replace("%modversion%", VersionText(module));
    replace("%exceptClass%", exception_class);
    replace("%exceptMsg%", exception_message.empty() ? "Unknown" : exception_message);
    replace("%bugReport%", bug_report);
    replace("%LF%", "\r\n");
    if (PosTextInRange("%date", text) || PosTextInRange("%time%", text)) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
        std::tm local{};
        localtime_r(&seconds, &local);
        const std::string date = IntToTextPadded(local.tm_year + 1900, 4, '0') + "-" + TwoDigits(local.tm_mon + 1) +
                                 "-" + TwoDigits(local.tm_mday);
        const std::string time = TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" +
                                 TwoDigits(local.tm_sec) + ", " + std::to_string(ms) + "ms";
        replace("%datetime%", date + ", " + time);
        replace("%date%", date);
        replace("%time%", time);
    }
    if (PosTextInRange("%computerName%", text)) replace("%computerName%", GetComputerNameText());
    if (PosTextInRange("%desktop%", text))
        replace("%desktop%", WideToUtf8Text(SpecialFolderPath(SpecialFolder::Desktop, false)));
    if (PosTextInRange("%userappdata%", text))
        replace("%userappdata%", WideToUtf8Text(SpecialFolderPath(SpecialFolder::UserAppData, false)));
    if (PosTextInRange("%commonappdata%", text))
        replace("%commonappdata%", WideToUtf8Text(SpecialFolderPath(SpecialFolder::CommonAppData, false)));
}

void ExpandSettingsVarsW(std::uintptr_t module, std::u16string& text, const std::string& exception_class,
                         const std::string& bug_report, const std::string& exception_message) {
    std::string narrow = WideToUtf8Text(text);
    ExpandSettingsVars(module, narrow, exception_class, bug_report, exception_message);
    text = Utf8ToWideText(narrow);
}

std::u16string SpecialFolderPath(SpecialFolder folder, bool trailing_separator) {
    const std::string home = EnvironmentText("HOME");
    std::string path;
    switch (folder) {
        case SpecialFolder::Desktop:
            if (!home.empty()) path = home + "/Desktop";
            break;
        case SpecialFolder::UserAppData:
            path = EnvironmentText("XDG_CONFIG_HOME");
            if (path.empty() && !home.empty()) path = home + "/.config";
            break;
        case SpecialFolder::CommonAppData: path = "/var/lib"; break;
    }
    std::u16string result = path.empty() ? FolderOfPathW(Utf8ToWideText(ExecutablePath())) : Utf8ToWideText(path);
    while (result.size() > 1 && (result.back() == u'/' || result.back() == u'\\')) result.pop_back();
    if (trailing_separator) result += u'/';
    return result;
}

namespace {

std::mutex g_times_lock;
ExceptionTimes g_times{};

}  // namespace

ExceptionTimes GetExceptionTimes() {
    std::lock_guard guard(g_times_lock);
    return g_times;
}

void SetExceptionTimes(const ExceptionTimes& times) {
    std::lock_guard guard(g_times_lock);
    g_times = times;
}

void RecordExceptionTime(std::int64_t utc_seconds) {
    std::lock_guard guard(g_times_lock);
    for (std::size_t i = g_times.size() - 1; i > 0; --i) g_times[i] = g_times[i - 1];
    g_times[0] = utc_seconds;
}

bool CheckAutoActionAt(std::int32_t value, const ExceptionTimes& times, std::int64_t now) {
    if (value <= 0) return false;
    if (value == 1) return true;
    for (const std::int64_t t : times)
        if (t == 0 || now - t > value) return false;
    return true;
}

bool CheckAutoAction(std::int32_t value) { return CheckAutoActionAt(value, GetExceptionTimes(), UtcSecondsNow()); }

namespace {

std::string Demangled(const std::type_info& type) { return DemangleSymbol(type.name()); }

// The class and the classes it derives from, as the run time's type
// information records them (single and multiple inheritance).
void CollectClassChain(const std::type_info& type, std::vector<std::string>& chain, int depth = 0) {
    if (depth > 32) return;
    chain.push_back(Demangled(type));
    if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(&type)) {
        CollectClassChain(*single->__base_type, chain, depth + 1);
    } else if (const auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(&type)) {
        for (unsigned i = 0; i < multiple->__base_count; ++i)
            CollectClassChain(*multiple->__base_info[i].__base_type, chain, depth + 1);
    }
}

}  // namespace

ExceptionObjectInfo DescribeException(const std::exception_ptr& exception) {
    ExceptionObjectInfo info;
    if (!exception) return info;
    info.present = true;
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        CollectClassChain(typeid(e), info.class_chain);
        info.has_message = true;
        info.message = e.what();
    } catch (...) {
        if (const std::type_info* type = abi::__cxa_current_exception_type())
            CollectClassChain(*type, info.class_chain);
    }
    info.class_name = info.class_chain.empty() ? "Unknown" : info.class_chain.front();
    return info;
}

ExceptionObjectInfo MakeExceptionInfo(const std::string& class_name, const std::string& message,
                                      std::vector<std::string> bases) {
    ExceptionObjectInfo info;
    info.present = true;
    info.class_name = class_name;
    info.class_chain.push_back(class_name);
    for (auto& base : bases) info.class_chain.push_back(std::move(base));
    info.has_message = true;
    info.message = message;
    return info;
}

bool ExceptionIsOfClass(const ExceptionObjectInfo& info, const std::string& name) {
    const std::string wanted = TrimmedCopy(name);
    if (wanted.empty()) return false;
    for (const auto& cls : info.class_chain) {
        if (SameTextLatin(cls, wanted)) return true;
        const std::size_t colons = cls.rfind("::");
        if (colons != std::string::npos && SameTextLatin(cls.substr(colons + 2), wanted)) return true;
    }
    return false;
}

std::string ExceptionClassName(const ExceptionObjectInfo& info) {
    return info.present && !info.class_name.empty() ? info.class_name : "Unknown";
}

std::string GetExceptionText(const ExceptionObjectInfo& info) {
    if (!info.present) return "Unknown";
    std::string text = info.has_message ? info.message : info.class_name;
    std::string clean;
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 32 || c == '\r' || c == '\n') clean.push_back(c);
    clean = TrimmedCopy(clean);
    return clean.empty() ? "Unknown" : clean;
}

std::string SentenceEnding(const std::string& text) {
    std::string result = text;
    while (!result.empty() && (result.back() == '.' || result.back() == '!')) result.pop_back();
    return result + ".";
}

}  // namespace crashreport
