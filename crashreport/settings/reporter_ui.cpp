#include "crashreport/settings/reporter_ui.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace crashreport {

namespace {

std::mutex g_ui_lock;
ReporterUi& Ui() {
    static ReporterUi ui;
    return ui;
}
ProgressAlertFactory& Factory() {
    static ProgressAlertFactory factory;
    return factory;
}

// Keeps areas and position like the window does, without a window.
class SilentProgressAlert final : public IProgressAlert {
public:
    explicit SilentProgressAlert(std::string title) : title_(std::move(title)) {}
    std::string GetTitle() override { return title_; }
    void SetTitle(const std::string& title) override { title_ = title; }
    int GetPosition() override { return areas_.position(); }
    void SetPosition(int position) override { areas_.set_position(position); }
    void AddArea(const std::string& text, std::int64_t weight) override { areas_.Add(text, weight); }
    void ClearAreas() override { areas_.Clear(); }
    void AreaDone() override { areas_.Done(); }
    int GetCurrentArea() override { return areas_.current(); }
    void SetCurrentArea(int n) override { areas_.SetCurrent(n); }
    void ProcessMessages() override {}
    bool Show(bool) override { return !std::exchange(shown_, true); }
    void Close() override { shown_ = false; }

private:
    std::string title_;
    ProgressAreas areas_;
    bool shown_ = false;
};

}  // namespace

void SetReporterUi(ReporterUi ui) {
    std::lock_guard guard(g_ui_lock);
    Ui() = std::move(ui);
}

void ShowReporterMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
    decltype(ReporterUi::message_box) sink;
    {
        std::lock_guard guard(g_ui_lock);
        sink = Ui().message_box;
    }
    if (sink)
        sink(text, caption, icon);
    else
        std::fprintf(stderr, "%s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
}

void CopyTextToClipboard(const std::string& text) {
    decltype(ReporterUi::copy_to_clipboard) sink;
    {
        std::lock_guard guard(g_ui_lock);
        sink = Ui().copy_to_clipboard;
    }
    if (sink) sink(text);
}

void ReporterBeep() {
    decltype(ReporterUi::beep) sink;
    {
        std::lock_guard guard(g_ui_lock);
        sink = Ui().beep;
    }
    if (sink) sink();
}

std::u16string AskSaveFilePath(const std::u16string& initial_path, const std::string& title) {
    decltype(ReporterUi::ask_save_path) ask;
    {
        std::lock_guard guard(g_ui_lock);
        ask = Ui().ask_save_path;
    }
    return ask ? ask(initial_path, title) : std::u16string();
}

bool PrintReportText(const std::string& text, const std::string& document) {
    decltype(ReporterUi::print_text) print;
    {
        std::lock_guard guard(g_ui_lock);
        print = Ui().print_text;
    }
    return print && print(text, document);
}

void ProgressAreas::Add(const std::string& text, std::int64_t weight) {
    Area area;
    area.start = sum_;
    area.weight = weight;
    area.text = text.empty() && !areas_.empty() ? areas_.back().text : text;
    areas_.push_back(std::move(area));
    sum_ += weight;
}

void ProgressAreas::Clear() {
    areas_.clear();
    sum_ = 0;
    current_ = 0;
}

void ProgressAreas::SetCurrent(int n) {
    const int count = static_cast<int>(areas_.size());
    if (n == current_ || n < 0 || n > count) return;
    if (n == count) {
        current_ = count - 1;
        position_ = 1000;
    } else {
        current_ = n;
        position_ = 0;
    }
}

std::string ProgressAreas::CurrentText() const {
    if (current_ < 0 || current_ >= static_cast<int>(areas_.size())) return {};
    return areas_[static_cast<std::size_t>(current_)].text;
}

int ProgressAreas::BarValue() const {
    if (sum_ <= 0 || current_ < 0 || current_ >= static_cast<int>(areas_.size())) return 0;
    const Area& area = areas_[static_cast<std::size_t>(current_)];
    return static_cast<int>((area.start + area.weight * position_ / 1000) * 1000 / sum_);
}

void SetProgressAlertFactory(ProgressAlertFactory factory) {
    std::lock_guard guard(g_ui_lock);
    Factory() = std::move(factory);
}

IProgressAlertRef CreateProgressAlert(const std::string& title, const std::string& image_resource) {
    ProgressAlertFactory factory;
    {
        std::lock_guard guard(g_ui_lock);
        factory = Factory();
    }
    if (factory)
        if (auto alert = factory(title, image_resource)) return alert;
    return std::make_shared<SilentProgressAlert>(title);
}

}  // namespace crashreport
