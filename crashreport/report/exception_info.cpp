#include "crashreport/report/exception_info.h"

#include <chrono>
#include <ctime>
#include <filesystem>

#include "crashreport/disasm/disassembly_text.h"
#include "crashreport/disasm/function_analysis.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/os/memory.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/os/thread_hooks.h"
#include "crashreport/codec/zip.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/report/report_actions.h"
#include "crashreport/stack/stack_tracer.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

constexpr const char* kSoon = "will be calculated soon";
std::atomic<std::uint64_t> g_exception_number{0};
std::atomic<bool> g_trace_active{false};
std::atomic<std::int64_t> g_start_ms{0};
// Counted from the program's start unless the reporter says otherwise.
const bool g_start_marked = (g_start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch()).count(), true);

std::int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::mutex g_plugins_lock;
std::vector<BugReportPlugin>& Plugins() {
    static std::vector<BugReportPlugin> plugins = [] {
        std::vector<BugReportPlugin> list;
        list.push_back({"modules", "list of loaded modules",
                        [](TIZEException& e) { return ModulesPluginText(e.VersionVariable()); }, true});
        return list;
    }();
    return plugins;
}

std::mutex g_taker_lock;
ScreenshotTaker& Taker() {
    static ScreenshotTaker taker;
    return taker;
}

DisplayModeSource& DisplayMode() {
    static DisplayModeSource source;
    return source;
}

std::string Two(int v) { return IntToTextPadded(v, 2, '0'); }

std::string Hex(std::uint64_t value, int digits) {
    std::string text = LowerCopy(Int64ToHex(value));
    while (static_cast<int>(text.size()) < digits) text.insert(text.begin(), '0');
    return text;
}

// Line breaks and runs of blanks of a header value become single blanks.
std::string HeaderValue(const std::string& value) {
    std::string text = value;
    ReplaceSubStrCase(text, "\r\n", " ", false);
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    ReplaceSubStrCase(text, "  ", " ", true);
    return text;
}

}  // namespace

void SetTraceActive(bool active) { g_trace_active = active; }
bool TraceActive() { return g_trace_active; }
void MarkReporterStart() { g_start_ms = MonotonicMs(); }
std::int64_t ReporterUpMilliseconds() { return MonotonicMs() - g_start_ms.load(); }

void SetDisplayModeSource(DisplayModeSource source) {
    std::lock_guard guard(g_taker_lock);
    DisplayMode() = std::move(source);
}

void SetScreenshotTaker(ScreenshotTaker taker) {
    std::lock_guard guard(g_taker_lock);
    Taker() = std::move(taker);
}

void AddBugReportPlugin(BugReportPlugin plugin) {
    std::lock_guard guard(g_plugins_lock);
    Plugins().push_back(std::move(plugin));
}

void RemoveBugReportPlugin(const std::string& name) {
    std::lock_guard guard(g_plugins_lock);
    auto& list = Plugins();
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->name == name) {
            list.erase(it);
            return;
        }
}

std::vector<BugReportPlugin> BugReportPlugins() {
    std::lock_guard guard(g_plugins_lock);
    return Plugins();
}

std::string DurationText(std::int64_t seconds) {
    const std::int64_t days = seconds / 86400, hours = (seconds / 3600) % 24, minutes = (seconds / 60) % 60,
                       secs = seconds % 60;
    auto unit = [](std::int64_t n, const char* name) -> std::string {
        if (n == 0) return {};
        return n == 1 ? std::string("1 ") + name + " " : std::to_string(n) + " " + name + "s ";
    };
    if (days) return unit(days, "day") + unit(hours, "hour");
    if (hours) return unit(hours, "hour") + unit(minutes, "minute");
    return unit(minutes, "minute") + unit(secs, "second");
}

std::string ModulesPluginText(const std::string& program_version) {
    const std::vector<ModuleInfo> modules = ListModulesByVirtualQuery();
    const std::string executable = ExecutablePath();
    std::size_t name_width = 0, version_width = 0;
    std::vector<std::string> versions;
    for (const auto& m : modules) {
        // The program's file carries no version of its own: it is the
        // program's version.
        versions.push_back(m.path == executable && !program_version.empty() ? program_version
                                                                             : GetFileVersionText(m.path));
        name_width = std::max(name_width, m.file_name.size());
        version_width = std::max(version_width, versions.back().size());
    }
    std::string text;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const auto& m = modules[i];
        if (!text.empty()) text += "\r\n";
        std::string folder = m.path.substr(0, m.path.size() - m.file_name.size());
        text += Hex(m.base, 16) + " " + PadText(m.file_name, -static_cast<int>(name_width + 1), ' ') +
                PadText(versions[i], -static_cast<int>(version_width + 1), ' ') + folder;
    }
    return text;
}

std::string CpuRegistersText(const std::array<std::uint64_t, kCpuRegisterCount>& registers) {
    std::string text;
    for (int i = 0; i < kCpuRegisterCount; ++i) {
        if (i) text += "\r\n";
        text += PadText(kCpuRegisterNames[static_cast<std::size_t>(i)], -6, ' ') + " = " +
                Hex(registers[static_cast<std::size_t>(i)], 16);
    }
    return text;
}

std::string StackDumpText(std::uintptr_t stack_pointer) {
    const MemoryMapSnapshot map = MemoryMapSnapshot::Take();
    const MemoryMapSnapshot::Range* range = map.find(stack_pointer);
    if (!range) return {};
    std::string text;
    for (int line = 0; line < 20; ++line) {
        const std::uintptr_t at = stack_pointer + static_cast<std::uintptr_t>(line) * 16;
        if (at >= range->end) break;
        std::string hex, chars;
        for (int i = 0; i < 16; ++i) {
            if (i == 8) hex += at + 8 < range->end ? "- " : "  ";
            unsigned char byte = 0;
            if (at + static_cast<std::uintptr_t>(i) < range->end &&
                SafeReadMemory(reinterpret_cast<const void*>(at + static_cast<std::uintptr_t>(i)), &byte, 1, &map)) {
                hex += Hex(byte, 2) + " ";
                chars.push_back(byte >= 33 && byte <= 126 ? static_cast<char>(byte) : '.');
            } else {
                hex += "   ";
                chars.push_back(' ');
            }
        }
        if (!text.empty()) text += "\r\n";
        text += Hex(at, 16) + "  " + hex + chars;
    }
    return text;
}

std::string LayoutReportText(const std::vector<std::pair<std::string, std::string>>& header,
                             const std::vector<std::pair<std::string, std::string>>& sections) {
    std::size_t width = 0;
    for (const auto& item : header) width = std::max(width, item.first.size());
    std::string text;
    for (const auto& [name, value] : header) {
        if (!text.empty()) text += "\r\n";
        text += PadText(name, -static_cast<int>(width + 1), ' ') + ": " + HeaderValue(value);
    }
    for (const auto& [title, body] : sections) {
        text += "\r\n\r\n" + title;
        if (title.find(':') == std::string::npos) text += ":";
        std::size_t start = 0;
        while (start <= body.size()) {
            std::size_t end = body.find_first_of("\r\n", start);
            std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
            while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') line.pop_back();
            text += "\r\n" + (line.empty() ? std::string(".") : line);
            if (end == std::string::npos) break;
            start = end + ((body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n') ? 2 : 1);
            if (start == body.size()) break;
        }
    }
    return text;
}

void ParseReportText(const std::string& text, std::vector<std::pair<std::string, std::string>>& header,
                     std::vector<std::pair<std::string, std::string>>& sections) {
    header.clear();
    sections.clear();
    auto split = [](const std::string& whole, const std::string& separator) {
        std::vector<std::string> parts;
        for (std::size_t start = 0;;) {
            const std::size_t end = whole.find(separator, start);
            parts.push_back(whole.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + separator.size();
        }
        return parts;
    };
    const std::vector<std::string> blocks = split(text, "\r\n\r\n");
    for (const std::string& line : split(blocks.front(), "\r\n")) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        header.emplace_back(name, line.substr(colon + 2));
    }
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].empty()) continue;
        std::vector<std::string> lines = split(blocks[i], "\r\n");
        std::string title = lines.front();
        // The layout adds a colon to a title without one; a thread's title
        // has its own.
        if (!title.empty() && title.back() == ':' && title.find('$') == std::string::npos) title.pop_back();
        std::string body;
        for (std::size_t k = 1; k < lines.size(); ++k) body += (k > 1 ? "\r\n" : "") + (lines[k] == "." ? "" : lines[k]);
        sections.emplace_back(title, body);
    }
}

void TIZEException::ReportItems(std::vector<std::pair<std::string, std::string>>& header,
                                std::vector<std::pair<std::string, std::string>>& sections) {
    {
        std::lock_guard guard(report_lock_);
        if (has_text_override_) {
            ParseReportText(text_override_, header, sections);
            return;
        }
    }
    header = header_->Items();
    sections = sections_->Items();
}

TIZEException::TIZEException(std::uintptr_t module) : TIZESettings(module, false) {
    valid_ = true;
    faulting_settings = GetModuleSettings(module);
    if (faulting_settings) SetVersionVariable(faulting_settings->VersionVariable());
    const auto now = std::chrono::system_clock::now();
    created_local_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    header_ = std::make_shared<TIZEFields>(true);
    sections_ = std::make_shared<TIZEFields>(true);
    header_->Bind(this);
    sections_->Bind(this);
}

TIZEException::~TIZEException() {
    aborted_ = true;
    completion_signal_.notify_all();
    if (completion_thread_.joinable()) completion_thread_.join();
    header_->Bind(nullptr);
    sections_->Bind(nullptr);
    JoinSendThread();
}

void TIZEException::JoinSendThread() {
    std::lock_guard guard(send_thread_lock);
    if (send_thread.joinable()) send_thread.join();
}

void TIZEException::SetPhase(std::uint8_t phase) { phase_ = phase == 3 && complete_ ? 4 : phase; }

void TIZEException::SetCanContinue(bool can) { can_continue_ = can && can_continue_at_creation_; }

std::string TIZEException::ExceptionMessage() const {
    if (has_message_override_) return message_override_;
    if (type == ExceptionType::Frozen) return {};
    return GetExceptionText(object);
}

void TIZEException::SetExceptionMessage(const std::string& message) {
    message_override_ = message;
    has_message_override_ = true;
}

std::optional<SettingsProperty> TIZEException::LookupProperty(std::string_view name, bool use_defaults,
                                                               PropertyKind kind) {
    if (auto own = TIZESettings::LookupProperty(name, false, kind)) return own;
    if (faulting_settings)
        if (auto theirs = faulting_settings->LookupProperty(name, true, kind)) return theirs;
    return TIZESettings::LookupProperty(name, use_defaults, kind);
}

void TIZEException::ExpandStringVariables(std::string& text) {
    ExpandSettingsVars(module_, text, ExceptionClass(), "%bugReport%", ExceptionMessage());
}

void TIZEException::FieldsChanged(const std::string&) {
    if (update_depth_ > 0) {
        dirty_ = true;
        return;
    }
    MarkReportChanged();
}

void TIZEException::BeginUpdate() { ++update_depth_; }

void TIZEException::EndUpdate() {
    if (--update_depth_ == 0 && dirty_.exchange(false)) MarkReportChanged();
}

int TIZEException::RegisterReportCallback(ReportCallback callback, bool critical, int id) {
    {
        std::lock_guard guard(callbacks_lock_);
        for (auto& entry : callbacks_)
            if (id != 0 && entry.id == id) {
                entry.critical = critical;
                return id;
            }
        id = next_callback_id_++;
        callbacks_.push_back({id, callback, critical});
    }
    callback(complete_, GetReportText(false), *this);
    return id;
}

void TIZEException::UnregisterReportCallback(int id) {
    std::lock_guard guard(callbacks_lock_);
    for (auto it = callbacks_.begin(); it != callbacks_.end(); ++it)
        if (it->id == id) {
            callbacks_.erase(it);
            return;
        }
}

bool TIZEException::CriticalCallbackExists() const {
    std::lock_guard guard(callbacks_lock_);
    for (const auto& entry : callbacks_)
        if (entry.critical) return true;
    return false;
}

void TIZEException::MarkReportChanged() {
    {
        std::lock_guard guard(report_lock_);
        ++change_counter_;
    }
    std::vector<CallbackEntry> copy;
    {
        std::lock_guard guard(callbacks_lock_);
        copy = callbacks_;
    }
    if (copy.empty()) return;
    const std::string text = GetReportText(false);
    for (const auto& entry : copy) entry.callback(complete_, text, *this);
}

void TIZEException::SetReportText(const std::string& text) {
    {
        std::lock_guard guard(report_lock_);
        text_override_ = text;
        has_text_override_ = true;
    }
    MarkReportChanged();
}

INVBitmapRef TIZEException::Screenshot() {
    std::lock_guard guard(screenshot_lock_);
    if (!screenshot_taken_ && screenshot_wanted) {
        screenshot_taken_ = true;
        ScreenshotTaker taker;
        {
            std::lock_guard taker_guard(g_taker_lock);
            taker = Taker();
        }
        if (taker) screenshot_ = taker(ScrShotAppOnly());
        if (!screenshot_) screenshot_wanted = false;
    }
    return screenshot_;
}

void TIZEException::SetScreenshot(INVBitmapRef bitmap) {
    std::lock_guard guard(screenshot_lock_);
    screenshot_ = std::move(bitmap);
    screenshot_taken_ = true;
}

void TIZEException::BuildHeader() {
    if (!report_wanted || header_->Count() > 0) return;
    std::vector<std::pair<std::string, std::string>> items;
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty()) items.emplace_back(name, value);
    };
    auto guarded = [&](const char* name, const std::function<std::string()>& make) {
        try {
            add(name, make());
        } catch (...) {
        }
    };
    guarded("date/time", [&] {
        const std::time_t seconds = static_cast<std::time_t>(created_local_ms_ / 1000);
        std::tm local{};
        localtime_r(&seconds, &local);
        return IntToTextPadded(local.tm_year + 1900, 4, '0') + "-" + Two(local.tm_mon + 1) + "-" + Two(local.tm_mday) +
               ", " + Two(local.tm_hour) + ":" + Two(local.tm_min) + ":" + Two(local.tm_sec) + ", " +
               std::to_string(created_local_ms_ % 1000) + "ms";
    });
    guarded("computer name", [] { return GetComputerNameText(); });
    guarded("user name", [] {
        bool admin = false;
        const std::string name = UserNameText(admin);
        return name.empty() ? name : name + (admin ? "  <admin>" : "");
    });
    guarded("operating system", [] {
        OsInformation info;
        GetOsVersionText(info);
        return info.description;
    });
    guarded("system language", [] { return EnvironmentText("LANG"); });
    guarded("system up time", [] { return DurationText(static_cast<std::int64_t>(SystemUpTimeSeconds())); });
    guarded("program up time", [] {
        const std::int64_t ms = ReporterUpMilliseconds();
        return ms < 1000 ? std::to_string(ms) + " milliseconds" : DurationText(ms / 1000);
    });
    {
        const unsigned count = ProcessorCount();
        std::string name = ProcessorNameText();
        ReplaceSubStrCase(name, "  ", " ", true);
        name = TrimmedCopy(name);
        if (count > 1)
            add("processors", std::to_string(count) + "x " + name);
        else
            add("processor", name);
    }
    guarded("physical memory", [] {
        std::uint64_t free_bytes = 0, total = 0;
        if (!PhysicalMemoryStatus(free_bytes, total)) return std::string();
        return std::to_string((free_bytes + 0x80000) / 0x100000) + "/" + std::to_string((total + 0x80000) / 0x100000) +
               " MB (free/total)";
    });
    guarded("free disk space", [] {
        const std::filesystem::path exe(ExecutablePath());
        const std::int64_t free_bytes = FreeDiskBytes(exe.parent_path());
        return free_bytes < 0 ? std::string() : "(" + WideToUtf8Text(DriveOfPathW(Utf8ToWideText(exe.string()))) + ") " +
                                                    ByteSizeToText(free_bytes);
    });
    guarded("display mode", [] {
        DisplayModeSource mode;
        {
            std::lock_guard guard(g_taker_lock);
            mode = DisplayMode();
        }
        return mode ? mode() : std::string();
    });
    guarded("process id", [] { return "$" + LowerCopy(CardToHex(OwnProcessId())); });
    guarded("allocated memory", [] { return ByteSizeToText(static_cast<std::int64_t>(AllocatedMemoryOutsideModules())); });
    guarded("command line", [] {
        std::string line;
        for (const auto& a : CommandLineArguments()) line += (line.empty() ? "" : " ") + a;
        return line;
    });
    const std::string executable = ExecutablePath();
    add("executable", WideToUtf8Text(FileNameOfPathW(Utf8ToWideText(executable))));
    guarded("exec. date/time", [&] {
        std::error_code error;
        const auto stamp = std::filesystem::last_write_time(executable, error);
        if (error) return std::string();
        const auto system = std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(stamp));
        const std::time_t seconds = std::chrono::system_clock::to_time_t(system);
        std::tm local{};
        localtime_r(&seconds, &local);
        return IntToTextPadded(local.tm_year + 1900, 4, '0') + "-" + Two(local.tm_mon + 1) + "-" + Two(local.tm_mday) +
               " " + Two(local.tm_hour) + ":" + Two(local.tm_min) + "\r\n";
    });
    guarded("version", [&] {
        const std::string variable = VersionVariable();
        return variable.empty() ? GetFileVersionText(executable) : variable;
    });
#if defined(__clang__)
    add("compiled with", "Clang " __clang_version__);
#else
    add("compiled with", "GCC " __VERSION__);
#endif
    add("zelExcept version", "3.0o");
    for (const auto& plugin : BugReportPlugins())
        if (!plugin.own_section && ContainsItemNoCase(Plugins(), plugin.name, '|')) {
            try {
                add(plugin.name.c_str(), plugin.text(*this));
            } catch (...) {
            }
        }
    const int insert_at = static_cast<int>(items.size());
    items.emplace_back("callstack crc", kSoon);
    items.emplace_back("exception number", std::to_string(++g_exception_number));
    if (type == ExceptionType::Frozen) {
        add("exception message", FrozenMsg());
    } else {
        const std::string cls = ExceptionClass();
        add("exception class", cls);
        const std::string message = ExceptionMessage();
        if (message != cls) {
            std::string flat = message;
            for (char& c : flat)
                if (c == '\r' || c == '\n') c = ' ';
            ReplaceSubStrCase(flat, "  ", " ", true);
            add("exception message", flat);
        }
    }
    header_->Lock();
    for (const auto& [name, value] : items) header_->Set(name, value);
    // Items added later (handlers, assistants) go before "callstack crc".
    header_->SetInsertIndex(insert_at);
    header_->Unlock();
}

void TIZEException::PrepareThreadSections() {
    threads.clear();
    const std::uint32_t main = MainThreadId();
    const bool trace = TraceActive();
    auto make = [&](std::uint32_t id, bool crashed) {
        ThreadRecord record;
        record.thread_id = id;
        record.crashed = crashed;
        std::string name = GetThreadDisplayName(id, trace || crashed || id == main, &record.creator_address,
                                                &record.creator_thread_id);
        if (name.empty()) return false;
        // Who created the thread and where, as the creation hook saw it; a
        // thread a library started says which.
        std::uint32_t creator_thread = 0;
        TDAPreStackItem creation;
        if (record.creator_address == 0 && ThreadCreation(id, creator_thread, creation)) {
            record.creator_address = ChooseCreatorAddress(creation);
            if (record.creator_thread_id == 0) record.creator_thread_id = creator_thread;
            ModuleInfo creator_module;
            if (record.creator_address != 0 && FindModuleOfAddr(record.creator_address, creator_module) &&
                creator_module.path != ExecutablePath())
                name += " <started by " + creator_module.file_name + ">";
        }
        // The main thread is named so even where nobody registered it.
        if (id == main && name.rfind("thread $", 0) == 0) name = "main thread ($" + name.substr(8, name.find_first_of(" ", 8) - 8) + ")";
        bool stopped = false;
        int priority = 0;
        if (ThreadState(id, stopped, priority)) {
            if (stopped) name += " <suspended>";
            if (priority != 0) name += " <priority:" + std::to_string(priority) + ">";
        }
        record.title = name + ":";
        if (crashed) {
            record.current_address = address;
            record.has_stack = has_prepared_stack;
            record.stack = prepared_stack;
        }
        threads.push_back(std::move(record));
        return true;
    };
    if (type == ExceptionType::Frozen) {
        make(main, false);
        if (crashed_thread != main && source == kSourceTrace) {
        }
    } else {
        if (crashed_thread == 0) crashed_thread = CurrentThreadId();
        make(crashed_thread, true);
        if (crashed_thread != main) make(main, false);
    }
    if (ListThreads()) {
        std::vector<std::uint32_t> ids;
        ListOwnThreadIds(ids);
        const std::uint32_t self = CurrentThreadId();
        for (const std::uint32_t id : ids) {
            if (id == main || id == crashed_thread) continue;
            // The thread building the report is the handler or trace thread.
            if (id == self && !trace) continue;
            make(id, false);
        }
    }
}

void TIZEException::StartCompletion(bool delay) {
    {
        std::lock_guard guard(completion_lock_);
        if (!report_wanted || completion_started_) return;
        completion_started_ = true;
        completion_delayed_ = delay;
    }
    PrepareThreadSections();
    std::vector<std::pair<std::string, std::string>> listed;
    const bool rel_addrs = ShowRelAddrs(), rel_lines = ShowRelLines();
    for (const auto& record : threads) {
        std::string first;
        if (record.crashed && address == 0 && !record.has_stack)
            first = ">> stack not accessible";
        else
            first = (record.crashed ? AddrToLocationText(address, rel_addrs, rel_lines) + "\r\n" : std::string()) +
                    ">> stack " + kSoon;
        listed.emplace_back(record.title, first);
    }
    for (const auto& plugin : BugReportPlugins())
        if (plugin.own_section && ContainsItemNoCase(Plugins(), plugin.name, '|'))
            listed.emplace_back(plugin.name, std::string(">> ") + kSoon);
    if (CpuRegs() && has_context) listed.emplace_back("cpu registers", std::string(">> ") + kSoon);
    if (StackDump() && has_context) listed.emplace_back("stack dump", std::string(">> ") + kSoon);
    if (ShowDisAsm()) listed.emplace_back("disassembling", std::string(">> ") + kSoon);
    sections_->Lock();
    for (const auto& [title, text] : listed) sections_->Set(title, text);
    sections_->Unlock();
    {
        std::lock_guard guard(completion_lock_);
        pending_ = sections_listed_ = static_cast<int>(listed.size());
        if (PlWaitBox()) {
            please_wait_ = CreateProgressAlert(PlWaitTitle(), "ZEIPLWAIT");
            for (int i = 0; i < sections_listed_; ++i) please_wait_->AddArea(PlWaitText(), 100);
        }
    }
    // A fault while tracing cannot be reported by the reporter that waits
    // for this thread.
    if (!delay) completion_thread_ = StartReporterThread([this] { CompleteSections(); });
}

void TIZEException::FillSection(const std::string& title, const std::string& text) {
    ReporterHeartbeat();
    if (aborted_) return;
    BeginUpdate();
    sections_->Set(title, text.empty() ? "." : text);
    bool done = false;
    IProgressAlertRef please_wait;
    int sections_done = 0;
    {
        std::lock_guard guard(completion_lock_);
        done = --pending_ <= 0;
        sections_done = sections_listed_ - pending_;
        please_wait = please_wait_;
    }
    // The area by count, not by step: a box taken over meanwhile is right too.
    if (please_wait) please_wait->SetCurrentArea(sections_done);
    if (done) {
        std::string crc;
        for (int i = 0; i < 3; ++i) crc += (i ? ", $" : "$") + Hex(crc_[static_cast<std::size_t>(i)], 8);
        header_->Set("callstack crc", crc);
    }
    EndUpdate();
    if (done) {
        {
            std::lock_guard guard(completion_lock_);
            complete_ = true;
        }
        completion_signal_.notify_all();
    }
}

void TIZEException::CompleteSections() {
    SetThreadDisplayName(CurrentThreadId(), "zelExcept - ReportThread");
    const bool hide = HideUglyItems(), rel_addrs = ShowRelAddrs(), rel_lines = ShowRelLines();
    std::uintptr_t routine_start = 0;
    const std::size_t count = ListThreads() ? threads.size() : std::min<std::size_t>(threads.size(), 1);
    for (std::size_t i = 0; i < threads.size() && !aborted_; ++i) {
        ThreadRecord& record = threads[i];
        if (i >= count) {
            // Without the thread list only the failing thread is traced.
            FillSection(record.title, ">> not traced");
            continue;
        }
        std::string text;
        try {
            TraceStackOptions options;
            options.hide_items_without_line = hide;
            options.show_relative_addresses = rel_addrs;
            options.show_relative_lines = rel_lines;
            options.abort = &aborted_;
            options.creator_address = record.creator_address;
            if (record.creator_thread_id != 0 && record.creator_address != 0)
                options.creator_caption =
                    ">> created by " + GetThreadDisplayName(record.creator_thread_id, true) + " at:";
            TDAPreStackItem stack;
            std::uintptr_t current = 0;
            if (record.has_stack) {
                stack = record.stack;
                current = record.current_address;
            } else if (!CollectThreadStackItems(record.thread_id, stack, current)) {
                FillSection(record.title, ">> stack not accessible");
                continue;
            }
            options.prepared_stack = &stack;
            options.current_address = current;
            options.is_exception = record.crashed && type != ExceptionType::Frozen;
            options.processor_exception = record.crashed && processor_exception;
            const TraceStackResult result = TraceStack(options);
            text = result.text;
            if (i == 0) {
                crc_[0] = result.check_value1;
                crc_[1] = result.check_value2;
                crc_[2] = crc_[1];
                routine_start = record.crashed ? result.first_routine_start : 0;
            } else {
                const std::uint32_t value = result.check_value1;
                crc_[2] = ~Crc32Add(~crc_[2], &value, sizeof value);
            }
        } catch (...) {
            text = InternalErrorText("GetThreadReport");
        }
        FillSection(record.title, text);
    }
    for (const auto& plugin : BugReportPlugins()) {
        if (aborted_ || !plugin.own_section || !ContainsItemNoCase(Plugins(), plugin.name, '|')) continue;
        std::string text;
        try {
            text = plugin.text(*this);
        } catch (...) {
            text = InternalErrorText("plugin");
        }
        FillSection(plugin.name, text);
    }
    if (CpuRegs() && has_context && !aborted_) FillSection("cpu registers", CpuRegistersText(registers));
    if (StackDump() && has_context && !aborted_) {
        std::string text;
        try {
            text = StackDumpText(stack_pointer);
        } catch (...) {
            text = InternalErrorText("GetStackDump");
        }
        FillSection("stack dump", text);
    }
    if (ShowDisAsm() && !aborted_) {
        std::string text;
        try {
            TFunctionInfo info;
            if (routine_start != 0 && AnalyseFunctionAt(routine_start, info)) {
                const int limit = LimitDisAsm();
                DisassembleFunctionText(routine_start, text, address, info, limit > 0 ? limit * 8 : 0);
            }
        } catch (...) {
            text = InternalErrorText("GetCleartextDisAsm");
        }
        FillSection("disassembling", text);
    }
    ClearThreadDisplayName(CurrentThreadId());
    if (!aborted_ && phase_ == 3) {
        phase_ = 4;
        FireHandlersSynced(HandlerEvent::Exception, 0, *this);
    }
}

void TIZEException::ShowPleaseWaitThrough(IProgressAlertRef alert) {
    std::lock_guard guard(completion_lock_);
    if (!please_wait_ || !alert) return;
    alert->SetTitle(please_wait_->GetTitle());
    for (int i = 0; i < sections_listed_; ++i) alert->AddArea(PlWaitText(), 100);
    alert->SetCurrentArea(sections_listed_ - pending_);
    please_wait_ = std::move(alert);
}

std::string TIZEException::LayoutText() {
    header_->Lock();
    const auto header = header_->Items();
    header_->Unlock();
    return LayoutReportText(header, sections_->Items());
}

std::string TIZEException::GetReportText(bool must_complete) {
    {
        std::lock_guard guard(report_lock_);
        if (has_text_override_) return text_override_;
    }
    if (!report_wanted) return {};
    if (header_->Count() == 0) {
        BuildHeader();
        StartCompletion(false);
    }
    if (must_complete && !complete_) {
        bool delayed = false;
        {
            std::lock_guard guard(completion_lock_);
            delayed = completion_delayed_ && !completion_thread_.joinable();
            if (delayed) completion_delayed_ = false;
        }
        if (delayed) {
            CompleteSections();
        } else {
            std::unique_lock lock(completion_lock_);
            const auto finished = [this] { return complete_.load() || aborted_.load(); };
            IProgressAlertRef please_wait = PlWaitBox() && !finished() ? please_wait_ : nullptr;
            if (please_wait) {
                // Someone waits for the report: the box says so, and its
                // window stays alive while the sections are made.
                lock.unlock();
                please_wait->Show(true);
                lock.lock();
                while (!completion_signal_.wait_for(lock, std::chrono::milliseconds(50), finished)) {
                    lock.unlock();
                    please_wait->ProcessMessages();
                    lock.lock();
                }
                lock.unlock();
                please_wait->Close();
            } else {
                completion_signal_.wait(lock, finished);
            }
        }
    }
    return LayoutText();
}

void TIZEException::SendReport() {
    if (FireHandlersSynced(HandlerEvent::Action, kActionSend, *this)) return;
    INVBitmapRef screenshot = screenshot_append_ ? Screenshot() : nullptr;
    JoinSendThread();
    const std::string report = GetReportText(true);
    std::lock_guard guard(send_thread_lock);
    SendBugReportNow(report, screenshot, false, false, shared_from_this(), SendInBackgr(), &send_thread, this);
}

void TIZEException::SaveReport() {
    if (FireHandlersSynced(HandlerEvent::Action, kActionSave, *this)) return;
    SaveBugReportFile({}, GetReportText(true), *this, false, this);
}

void TIZEException::PrintReport() {
    if (FireHandlersSynced(HandlerEvent::Action, kActionPrint, *this)) return;
    PrintBugReportText(GetReportText(true), *this);
}

}  // namespace crashreport
