// What the reporter's Qt-free layers need from a user interface: message
// boxes, the clipboard and the progress-alert window. The window layer
// installs the real ones at start-up; without it messages go to standard
// error and progress is not shown, so the reporter works without a display.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace crashreport {

enum class MessageIcon { None, Error, Information };

struct ReporterUi {
    std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)> message_box;
    std::function<void(const std::string& text)> copy_to_clipboard;
    std::function<void()> beep;
    // The save dialog (".txt" filter); empty when cancelled.
    std::function<std::u16string(const std::u16string& initial_path, const std::string& title)> ask_save_path;
    // Prints a text in a fixed font under a document name; false when cancelled.
    std::function<bool(const std::string& text, const std::string& document)> print_text;
};
void SetReporterUi(ReporterUi ui);
void ShowReporterMessage(const std::string& text, const std::string& caption, MessageIcon icon);
void CopyTextToClipboard(const std::string& text);
void ReporterBeep();
// Without a user interface nothing is asked (empty) and nothing printed.
std::u16string AskSaveFilePath(const std::u16string& initial_path, const std::string& title);
bool PrintReportText(const std::string& text, const std::string& document);

// Progress is given per weighted work area, 0-1000 within the current one;
// this is the arithmetic that maps it onto one bar of 0-1000.
class ProgressAreas {
public:
    struct Area {
        std::int64_t start = 0;
        std::int64_t weight = 0;
        std::string text;
    };
    void Add(const std::string& text, std::int64_t weight);
    void Clear();
    // Nothing when n equals the current area, is negative or exceeds the
    // count; n equal to the count means every area is done.
    void SetCurrent(int n);
    void Done() { SetCurrent(current_ + 1); }
    int current() const { return current_; }
    int position() const { return position_; }
    void set_position(int p) { position_ = p; }
    std::int64_t sum() const { return sum_; }
    const std::vector<Area>& areas() const { return areas_; }
    std::string CurrentText() const;
    int BarValue() const;

private:
    std::vector<Area> areas_;
    std::int64_t sum_ = 0;
    int current_ = 0;
    int position_ = 0;
};

class IProgressAlert {
public:
    virtual ~IProgressAlert() = default;
    virtual std::string GetTitle() = 0;
    virtual void SetTitle(const std::string& title) = 0;
    virtual int GetPosition() = 0;
    virtual void SetPosition(int position) = 0;
    virtual void AddArea(const std::string& text, std::int64_t weight) = 0;
    virtual void ClearAreas() = 0;
    virtual void AreaDone() = 0;
    virtual int GetCurrentArea() = 0;
    virtual void SetCurrentArea(int n) = 0;
    virtual void ProcessMessages() = 0;
    // False when it already shows.
    virtual bool Show(bool activate) = 0;
    virtual void Close() = 0;
};
using IProgressAlertRef = std::shared_ptr<IProgressAlert>;

// The window layer's factory; without one, a progress alert that only keeps
// its areas (and shows nothing).
using ProgressAlertFactory = std::function<IProgressAlertRef(const std::string& title, const std::string& image)>;
void SetProgressAlertFactory(ProgressAlertFactory factory);
IProgressAlertRef CreateProgressAlert(const std::string& title, const std::string& image_resource);

}  // namespace crashreport
