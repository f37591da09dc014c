// The crash box: when the thread of the windows is the one that failed, a
// fresh instance of the program shows what this one cannot. It is started
// before the report is made, shows the please-wait box while this instance
// makes it (every call of the box comes to it as a line on its standard
// input), then the report's box; its exit code is the user's choice.
#include <filesystem>
#include <memory>
#include <mutex>

#include "crashreport/codec/crypt.h"
#include "crashreport/engine/crash_engine.h"
#include "crashreport/os/file_access.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

std::mutex g_crash_box_lock;
std::vector<std::string> g_crash_box_command;

// The lines the crash-box instance reads: a word, then its values (texts in
// Base64, so that they hold no line feed).
constexpr const char* kAlert = "alert";  // title, image: the box to show from now on
constexpr const char* kTitle = "title";
constexpr const char* kArea = "area";  // weight, text
constexpr const char* kClear = "clear";
constexpr const char* kCurrent = "current";
constexpr const char* kPosition = "position";
constexpr const char* kShow = "show";  // 1: activated
constexpr const char* kClose = "close";
constexpr const char* kBox = "box";  // the report is in the file: show its box

class CommandPipe {
public:
    bool Create() { return pipe_.Create(); }
    const RecordPipe& pipe() const { return pipe_; }
    void Send(const std::string& line) {
        std::lock_guard guard(lock_);
        const std::string text = line + "\n";
        pipe_.Write(text.data(), text.size());
    }
    // The instance has its end; this one keeps only the writing end.
    void Started() { pipe_.CloseReadEnd(); }
    void Finish() { pipe_.CloseWriteEnd(); }

private:
    std::mutex lock_;
    RecordPipe pipe_;
};

// This instance's side of the please-wait box the crash-box instance shows:
// it keeps what the box's readers ask for and passes every change on.
class RelayedProgressAlert final : public IProgressAlert {
public:
    RelayedProgressAlert(std::shared_ptr<CommandPipe> commands, const std::string& title, const std::string& image)
        : commands_(std::move(commands)), title_(title) {
        commands_->Send(std::string(kAlert) + " " + Base64EncodeText(title) + " " + Base64EncodeText(image));
    }
    std::string GetTitle() override {
        std::lock_guard guard(lock_);
        return title_;
    }
    void SetTitle(const std::string& title) override {
        {
            std::lock_guard guard(lock_);
            title_ = title;
        }
        commands_->Send(std::string(kTitle) + " " + Base64EncodeText(title));
    }
    int GetPosition() override {
        std::lock_guard guard(lock_);
        return areas_.position();
    }
    void SetPosition(int position) override {
        {
            std::lock_guard guard(lock_);
            areas_.set_position(position);
        }
        commands_->Send(std::string(kPosition) + " " + std::to_string(position));
    }
    void AddArea(const std::string& text, std::int64_t weight) override {
        {
            std::lock_guard guard(lock_);
            areas_.Add(text, weight);
        }
        commands_->Send(std::string(kArea) + " " + std::to_string(weight) + " " + Base64EncodeText(text));
    }
    void ClearAreas() override {
        {
            std::lock_guard guard(lock_);
            areas_.Clear();
        }
        commands_->Send(kClear);
    }
    void AreaDone() override {
        int current = 0;
        {
            std::lock_guard guard(lock_);
            areas_.Done();
            current = areas_.current();
        }
        commands_->Send(std::string(kCurrent) + " " + std::to_string(current));
    }
    int GetCurrentArea() override {
        std::lock_guard guard(lock_);
        return areas_.current();
    }
    void SetCurrentArea(int n) override {
        {
            std::lock_guard guard(lock_);
            areas_.SetCurrent(n);
        }
        commands_->Send(std::string(kCurrent) + " " + std::to_string(n));
    }
    void ProcessMessages() override {}
    bool Show(bool activate) override {
        {
            std::lock_guard guard(lock_);
            if (shown_) return false;
            shown_ = true;
        }
        commands_->Send(std::string(kShow) + " " + (activate ? "1" : "0"));
        return true;
    }
    void Close() override {
        {
            std::lock_guard guard(lock_);
            shown_ = false;
        }
        commands_->Send(kClose);
    }

private:
    std::shared_ptr<CommandPipe> commands_;
    std::mutex lock_;
    std::string title_;
    ProgressAreas areas_;
    bool shown_ = false;
};

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t end = line.find(' ', start);
        words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return words;
}

int NumberOf(const std::string& word) {
    return static_cast<int>(ParseNumberText(false, word.data(), static_cast<int>(word.size())));
}

}  // namespace

void SetCrashBoxCommand(std::vector<std::string> command) {
    std::lock_guard guard(g_crash_box_lock);
    g_crash_box_command = std::move(command);
}

bool IsCrashBoxInvocation(const std::vector<std::string>& args) {
    return args.size() == 2 && args[0] == kCrashBoxSwitch;
}

int ShowReportInCrashBox(TIZEException& exception, int mode) {
    const std::filesystem::path folder = GetZelTempFolder();
    if (folder.empty()) return -1;
    const std::filesystem::path file = folder / ("crashbox-" + std::to_string(OwnProcessId()) + ".txt");
    std::vector<std::string> command;
    {
        std::lock_guard guard(g_crash_box_lock);
        command = g_crash_box_command;
    }
    if (command.empty()) command.push_back(ExecutablePath());
    command.push_back(kCrashBoxSwitch);
    command.push_back(file.string());
    auto commands = std::make_shared<CommandPipe>();
    if (!commands->Create()) return -1;
    const int pid = StartProcess(command, {}, true, &commands->pipe());
    if (pid == 0) return -1;
    commands->Started();
    exception.ShowPleaseWaitThrough(
        std::make_shared<RelayedProgressAlert>(commands, exception.PlWaitTitle(), "ZEIPLWAIT"));
    const std::string handed_over = "mode=" + std::to_string(mode) + "\n" +
                                    "frozen=" + (exception.type == ExceptionType::Frozen ? "1" : "0") + "\n" +
                                    "continue=" + (exception.CanContinue() ? "1" : "0") + "\n" +
                                    "class=" + exception.ExceptionClass() + "\n" +
                                    "message=" + Base64EncodeText(exception.ExceptionMessage()) + "\n\n" +
                                    exception.GetReportText(true);
    // Without the file the instance has nothing to show and ends.
    if (WriteOwnFile(file, handed_over)) commands->Send(kBox);
    commands->Finish();
    const int code = WaitForChildProcess(pid);
    std::error_code error;
    std::filesystem::remove(file, error);
    return code == kCrashBoxContinue || code == kCrashBoxRestart || code == kCrashBoxClose ? code : -1;
}

bool ReplayCrashBoxCommand(const std::string& line, const std::function<IProgressAlertRef(const std::string& title,
                                                                                          const std::string& image)>& make,
                           IProgressAlertRef& alert) {
    const std::vector<std::string> words = Words(line);
    const std::string& word = words.front();
    auto text = [&](std::size_t index) { return index < words.size() ? Base64DecodeText(words[index]) : std::string(); };
    auto number = [&](std::size_t index) { return index < words.size() ? NumberOf(words[index]) : 0; };
    if (word == kBox) return false;
    if (word == kAlert) {
        if (alert) alert->Close();
        alert = make(text(1), text(2));
        return true;
    }
    if (!alert) return true;
    if (word == kTitle) alert->SetTitle(text(1));
    else if (word == kArea) alert->AddArea(text(2), number(1));
    else if (word == kClear) alert->ClearAreas();
    else if (word == kCurrent) alert->SetCurrentArea(number(1));
    else if (word == kPosition) alert->SetPosition(number(1));
    else if (word == kShow) alert->Show(number(1) != 0);
    else if (word == kClose) alert->Close();
    return true;
}

}  // namespace crashreport
