// The reporter's exception object: what was caught (class, message,
// address, thread, registers, the stack taken at the fault), the options
// the class filters chose for it, and its bug report: a header of named
// items built at once, and sections (a call stack per thread, registers,
// stack dump, disassembly, modules) completed by a background thread while
// the box is already up. The report text is laid out from the two lists
// whenever it is asked for; listeners hear of every change.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/forms/nv_assistant.h"
#include "crashreport/image/bitmap.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/settings.h"
#include "crashreport/settings/text_variables.h"

namespace crashreport {

enum class ExceptionType : std::uint8_t { Ordinary = 0, Frozen = 1, Hidden = 2 };

// Where an exception was caught (the source codes of the report request).
enum ExceptionSource : std::uint8_t {
    kSourceTrace = 0, kSourceFreeze = 1, kSourceTerminate = 3, kSourceNotify = 5, kSourceSignal = 13,
    kSourceHidden = 15, kSourceThreadFrame = 16
};

class TIZEException;
using IZEException = std::shared_ptr<TIZEException>;
using ReportCallback = std::function<void(bool complete, const std::string& text, TIZEException& exception)>;

// The actions the box and the automatic actions hand to handlers.
enum ReportAction : std::uint8_t {
    kActionSend = 0, kActionSave = 1, kActionPrint = 2, kActionSendAfterAssistant = 3, kActionSaveAfterAssistant = 4,
    kActionPrintAfterAssistant = 5, kActionShow = 6, kActionHelp = 7, kActionContinue = 8, kActionRestart = 9,
    kActionClose = 10
};

struct ThreadRecord {
    std::uint32_t thread_id = 0;
    std::string title;
    bool crashed = false;
    bool has_stack = false;
    std::uintptr_t current_address = 0;
    TDAPreStackItem stack;
    std::uintptr_t creator_address = 0;
    std::uint32_t creator_thread_id = 0;
};

class TIZEException : public TIZESettings, public ScreenshotHolder {
public:
    // Settings of `module` (the reporter's own), time of creation now.
    explicit TIZEException(std::uintptr_t module);
    ~TIZEException() override;

    // --- what was caught (filled by the handling flow) ---
    ExceptionType type = ExceptionType::Ordinary;
    ExceptionObjectInfo object;
    std::uintptr_t address = 0;
    std::uint32_t crashed_thread = 0;
    std::uintptr_t stack_pointer = 0;
    std::uintptr_t frame_pointer = 0;
    bool has_context = false;
    std::array<std::uint64_t, kCpuRegisterCount> registers{};
    std::uint8_t source = 0;
    std::string related_object;
    bool has_prepared_stack = false;
    TDAPreStackItem prepared_stack;
    bool processor_exception = false;  // a fault, not a thrown exception
    // The settings of the module the exception happened in.
    IZEModuleSettings faulting_settings;

    std::uint8_t Phase() const { return phase_; }
    // Phase 3 on a complete report becomes 4.
    void SetPhase(std::uint8_t phase);
    bool CanContinue() const { return can_continue_; }
    // Only an exception that could continue at creation can again.
    void SetCanContinue(bool can);
    void InitCanContinue(bool can) { can_continue_ = can_continue_at_creation_ = can; }
    std::string ExceptionClass() const { return ExceptionClassName(object); }
    std::string ExceptionMessage() const;
    void SetExceptionMessage(const std::string& message);
    std::uint32_t CallstackCrc(int index) const { return index >= 0 && index < 3 ? crc_[index] : 0; }

    // --- per-exception options (class filters) ---
    bool report_wanted = true;
    bool screenshot_wanted = false;
    bool handlers_wanted = true;
    bool pause_threads = false;
    int show_setting = 0;
    std::string assistant_name;

    // --- the report ---
    IZEFields Header() { return header_; }
    IZEFields Sections() { return sections_; }
    // The report text; with `must_complete` waits for the sections.
    std::string GetReportText(bool must_complete);
    // A text given by a handler replaces the built one.
    void SetReportText(const std::string& text);
    // The header items and sections the report shows: those of a report
    // text handed in whole (SetReportText) taken apart again, else the
    // lists being built.
    void ReportItems(std::vector<std::pair<std::string, std::string>>& header,
                     std::vector<std::pair<std::string, std::string>>& sections);
    bool Complete() const { return complete_; }
    void BeginUpdate();
    void EndUpdate();
    // Adds a listener (or only updates its "critical" mark); a new one is
    // called at once. Returns its id.
    int RegisterReportCallback(ReportCallback callback, bool critical, int id = 0);
    void UnregisterReportCallback(int id);
    bool CriticalCallbackExists() const;
    // Builds the header once; lists the sections and starts completing them
    // (`delay`: the first request for the text completes them).
    void BuildHeader();
    void StartCompletion(bool delay);
    // From now on the please-wait box of this report is `alert` (the one the
    // crash-box instance shows when this process's windows cannot be used),
    // at the area the report has reached.
    void ShowPleaseWaitThrough(IProgressAlertRef alert);

    // --- screenshot ---
    INVBitmapRef Screenshot() override;
    void SetScreenshot(INVBitmapRef bitmap) override;
    bool ScreenshotAppend() override { return screenshot_append_; }
    void SetScreenshotAppend(bool append) override { screenshot_append_ = append; }

    // --- send state ---
    std::atomic<bool> was_sent{false};
    std::atomic<bool> being_sent{false};
    std::atomic<int> first_completion_callback{-1};
    std::atomic<int> first_automatic_save{-1};
    std::atomic<bool> saved_automatically{false};
    std::mutex send_thread_lock;
    std::thread send_thread;
    void JoinSendThread();

    // --- actions of the box (Part of the handling flow) ---
    void SendReport();
    void SaveReport();
    void PrintReport();

    // Settings look-up: the exception's own keys, then the faulting
    // module's, then the defaults.
    std::optional<SettingsProperty> LookupProperty(std::string_view name, bool use_defaults,
                                                   PropertyKind kind) override;
    void ExpandStringVariables(std::string& text) override;

    void FieldsChanged(const std::string& serialised) override;
    void BeginFieldsUpdate() override { BeginUpdate(); }
    void EndFieldsUpdate() override { EndUpdate(); }

    // The threads the report lists (filled when the sections are listed).
    std::vector<ThreadRecord> threads;

private:
    void MarkReportChanged();
    void CompleteSections();
    void FillSection(const std::string& title, const std::string& text);
    std::string LayoutText();
    void PrepareThreadSections();

    std::uint8_t phase_ = 0;
    bool can_continue_ = true;
    bool can_continue_at_creation_ = true;
    std::string message_override_;
    bool has_message_override_ = false;
    std::array<std::uint32_t, 3> crc_{};
    std::int64_t created_local_ms_ = 0;
    IZEFields header_;
    IZEFields sections_;
    std::atomic<bool> complete_{false};
    std::atomic<bool> aborted_{false};
    bool completion_started_ = false;
    bool completion_delayed_ = false;
    std::thread completion_thread_;
    std::mutex completion_lock_;
    std::condition_variable completion_signal_;
    // The please-wait box while the report is made: one area per section.
    IProgressAlertRef please_wait_;
    int pending_ = 0, sections_listed_ = 0;

    std::mutex report_lock_;
    std::string cached_text_;
    bool has_text_override_ = false;
    std::string text_override_;
    std::uint64_t change_counter_ = 0;
    std::atomic<int> update_depth_{0};
    std::atomic<bool> dirty_{false};

    struct CallbackEntry {
        int id;
        ReportCallback callback;
        bool critical;
    };
    mutable std::mutex callbacks_lock_;
    std::vector<CallbackEntry> callbacks_;
    int next_callback_id_ = 1;

    std::mutex screenshot_lock_;
    INVBitmapRef screenshot_;
    bool screenshot_taken_ = false;
    bool screenshot_append_ = false;
    friend void ApplyClassFilters(TIZEException& exception);
};

// Items of a bug-report plugin: a text for the header (or an own section).
struct BugReportPlugin {
    std::string name;
    std::string title;
    std::function<std::string(TIZEException&)> text;
    bool own_section = false;
};
void AddBugReportPlugin(BugReportPlugin plugin);
void RemoveBugReportPlugin(const std::string& name);
std::vector<BugReportPlugin> BugReportPlugins();

// "1 day 2 hours " style durations (the text ends in a blank).
std::string DurationText(std::int64_t seconds);
// The module list of the "modules" plugin.
std::string ModulesPluginText(const std::string& program_version = {});
// The sections of registers and stack memory.
std::string CpuRegistersText(const std::array<std::uint64_t, kCpuRegisterCount>& registers);
std::string StackDumpText(std::uintptr_t stack_pointer);
// Lays out a report from its header items and sections.
// The inverse of LayoutReportText: header items and sections of a report
// text (a section's title keeps its colon when it names a thread).
void ParseReportText(const std::string& text, std::vector<std::pair<std::string, std::string>>& header,
                     std::vector<std::pair<std::string, std::string>>& sections);
std::string LayoutReportText(const std::vector<std::pair<std::string, std::string>>& header,
                             const std::vector<std::pair<std::string, std::string>>& sections);

// The screenshot taker (the window layer installs it).
using ScreenshotTaker = std::function<INVBitmapRef(bool application_windows_only)>;
void SetScreenshotTaker(ScreenshotTaker taker);
// The header's "display mode" ("1920x1080, 32 bit"), from the window layer;
// without one (no display) the item is left out.
using DisplayModeSource = std::function<std::string()>;
void SetDisplayModeSource(DisplayModeSource source);

// While a trace of all threads runs, the reporter's own threads are listed
// too.
void SetTraceActive(bool active);
bool TraceActive();

// The reporter's start as milliseconds of the monotonic clock (program up time).
void MarkReporterStart();
std::int64_t ReporterUpMilliseconds();

}  // namespace crashreport
