// The reporter's small dialog engine: forms (one page each: a message line,
// items, and the three main buttons Continue, Skip and Cancel) described by
// binary component streams carried as resources ("TZE" + the form name),
// and assistants that show forms in sequence. This is the engine's model:
// items, their properties, the rules for Continue and the action callbacks.
// The window that shows a form is the window layer's (SetFormPresenter).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/image/bitmap.h"
#include "crashreport/settings/settings.h"

namespace crashreport {

class TNVForm;
class TNVAssistant;
using INVForm = std::shared_ptr<TNVForm>;
using INVAssistant = std::shared_ptr<TNVAssistant>;

enum class NVOutputType { Header, OwnSection };

// Form actions: 0 created (after its stream was read), 1 about to be shown,
// 2 closing, 3 an item action (a click, a changed edit text, or a timer tick
// with no item).
enum : std::uint8_t { kFormCreated = 0, kFormShowing = 1, kFormClosing = 2, kFormItemAction = 3 };
// Modal results.
enum : int { kResultContinue = 1, kResultSkip = 2, kResultCancel = 3 };

class TNVItem {
public:
    virtual ~TNVItem() = default;
    virtual const char* ClassName() const = 0;
    // Unknown names are ignored.
    virtual void ApplyStreamProperty(const std::string& name, const std::string& value);
    virtual bool AllowsContinue() const { return true; }

    const std::string& name() const { return name_; }
    bool enabled() const { return enabled_; }
    // Enabled and not forced off: whether the control takes input.
    bool EffectivelyEnabled() const { return enabled_ && !force_disabled_; }
    void SetEnabled(bool enabled);
    void SetForceDisabled(bool off);
    int spacing() const { return spacing_; }
    bool tab_stop() const { return tab_stop_; }
    NVOutputType output_type() const { return output_type_; }
    virtual void SetOutputType(NVOutputType type) { output_type_ = type; }
    const std::string& output_name() const { return output_name_; }
    void SetOutputName(const std::string& name) { output_name_ = name; }
    TNVForm* form() const { return form_; }
    int index() const { return index_; }

protected:
    friend class TNVForm;
    void Changed();

    TNVForm* form_ = nullptr;
    int index_ = 0;
    std::string name_;
    bool enabled_ = true;
    bool force_disabled_ = false;
    bool tab_stop_ = false;
    int spacing_ = 0;
    NVOutputType output_type_ = NVOutputType::Header;
    std::string output_name_;
};

class TNVButton : public TNVItem {
public:
    TNVButton() { tab_stop_ = true; }
    const char* ClassName() const override { return "TNVButton"; }
    void ApplyStreamProperty(const std::string& name, const std::string& value) override;
    // The name when no caption is set.
    std::string Caption() const { return caption_.empty() ? name_ : caption_; }
    void SetCaption(const std::string& caption);
    int min_width() const { return min_width_; }
    bool no_owner_draw() const { return no_owner_draw_; }
    bool invisible() const { return invisible_; }

private:
    int min_width_ = 0;
    std::string caption_;
    bool no_owner_draw_ = false;
    bool invisible_ = false;
};

class TNVLabel : public TNVItem {
public:
    const char* ClassName() const override { return "TNVLabel"; }
    void ApplyStreamProperty(const std::string& name, const std::string& value) override;
    std::string Caption() const { return caption_.empty() ? name_ : caption_; }
    void SetCaption(const std::string& caption);
    // A head label ends in ":" or "?" and takes one line.
    bool IsHeadLabel() const;

private:
    std::string caption_;
};

class TNVEdit : public TNVItem {
public:
    TNVEdit() { tab_stop_ = true; }
    const char* ClassName() const override { return "TNVEdit"; }
    void ApplyStreamProperty(const std::string& name, const std::string& value) override;
    // Optional, or valid with a text.
    bool AllowsContinue() const override { return optional_ || (valid_ && !text_.empty()); }
    int lines() const { return lines_; }
    bool optional() const { return optional_; }
    const std::string& text() const { return text_; }
    // Reports an item action to the form.
    void SetText(const std::string& text);
    bool colored() const { return colored_; }
    void SetColored(bool colored);
    bool valid() const { return valid_; }
    void SetValid(bool valid);
    // The own-section kind only for an edit of more than one line.
    void SetOutputType(NVOutputType type) override;

private:
    int lines_ = 1;
    bool optional_ = false;
    std::string text_;
    bool colored_ = true;
    bool valid_ = true;
};

class TNVCheckBox : public TNVItem {
public:
    TNVCheckBox() { tab_stop_ = true; }
    const char* ClassName() const override { return "TNVCheckBox"; }
    void ApplyStreamProperty(const std::string& name, const std::string& value) override;
    std::string Caption() const { return caption_.empty() ? name_ : caption_; }
    void SetCaption(const std::string& caption);
    bool checked() const { return checked_; }
    void SetChecked(bool checked);

private:
    std::string caption_;
    bool checked_ = false;
};

class TNVImage : public TNVItem {
public:
    const char* ClassName() const override { return "TNVImage"; }
    void ApplyStreamProperty(const std::string& name, const std::string& value) override;
    const std::string& file() const { return file_; }
    INVBitmapRef bitmap() const { return bitmap_; }
    void SetBitmap(INVBitmapRef bitmap);
    bool clickable() const { return clickable_; }
    bool border() const { return border_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::string file_;
    INVBitmapRef bitmap_;
    bool clickable_ = false;
    bool border_ = false;
    int width_ = 0;
    int height_ = 0;
};

// "yes"/"true" (any case) or exactly "1".
bool StreamBoolean(const std::string& text);
// Decimal digits with an optional leading "-"; 0 otherwise.
int StreamInteger(const std::string& text);

// The exception object as the handlers see it: settings plus its screenshot.
class ScreenshotHolder {
public:
    virtual ~ScreenshotHolder() = default;
    virtual INVBitmapRef Screenshot() = 0;
    virtual void SetScreenshot(INVBitmapRef bitmap) = 0;
    virtual bool ScreenshotAppend() = 0;
    virtual void SetScreenshotAppend(bool append) = 0;
};

using FormActionCallback = std::function<void(TNVForm& form, std::uint8_t action, TNVItem* item, TIZESettings* exception)>;

// What shows a form while it is shown, told of changes made by handlers.
class FormView {
public:
    virtual ~FormView() = default;
    virtual void ItemChanged(TNVItem& item) = 0;
    virtual void ContinueStateChanged() = 0;
};

class TNVForm {
public:
    // Adds the main buttons "Next >", "Skip", "Cancel", reads the stream
    // when it starts with "TPF0", then reports action 0.
    TNVForm(TNVAssistant* assistant, int page_count, int page_number, TIZESettings* exception,
            std::string_view stream, const std::string& title);

    TNVAssistant* assistant() const { return assistant_; }
    const std::string& name() const { return name_; }
    const std::string& title() const { return title_; }
    void SetTitle(const std::string& title) { title_ = title; }
    const std::string& message() const { return message_; }
    void SetMessage(const std::string& message) { message_ = message; }
    int page_number() const { return page_number_; }
    int page_count() const { return page_count_; }
    int min_width() const { return min_width_; }
    int ItemCount() const { return static_cast<int>(items_.size()); }
    TNVItem* Item(int index) const;
    // The gap the engine lays out between item `index` and the next one.
    int GapAfter(int index) const;
    TNVButton* ContinueBtn() const;
    TNVButton* SkipBtn() const;
    TNVButton* CancelBtn() const;
    const std::string& active_control() const { return active_control_; }
    void SetActiveControl(const std::string& name) { active_control_ = name; }
    int timer() const { return timer_ms_; }
    int modal_result() const { return modal_result_; }
    const FormActionCallback& action_callback() const { return callback_; }
    void SetActionCallback(FormActionCallback callback) { callback_ = std::move(callback); }
    TNVEdit* Edit(const std::string& name) const;
    TNVLabel* Label(const std::string& name) const;
    TNVButton* Button(const std::string& name) const;
    TNVCheckBox* CheckBox(const std::string& name) const;
    TNVImage* Image(const std::string& name) const;
    void Skip() { skip_ = true; }
    bool skipped() const { return skip_; }
    TIZESettings* exception() const { return exception_; }
    void SetException(TIZESettings* exception) { exception_ = exception; }
    // Kept for the form's handler between its actions.
    std::shared_ptr<void> handler_value;

    // Shows the form through the window layer; the modal result.
    int ShowModal();
    // The form's callback, then the assistant's.
    void ReportAction(std::uint8_t action, TNVItem* item);
    // Continue is forced off while an item does not allow continuing.
    void RecheckContinue();
    // A main button or a close request ends the form: the result, and
    // action 2 (closing).
    void Finish(int result);
    void SetView(FormView* view) { view_ = view; }
    FormView* view() const { return view_; }

    void ApplyFormProperty(const std::string& name, const std::string& value);

private:
    template <typename T>
    T* Find(const std::string& name) const;
    void ReadStream(std::string_view stream);

    TNVAssistant* assistant_;
    std::string name_;
    std::string title_;
    TIZESettings* exception_;
    int page_number_;
    int page_count_;
    std::vector<std::unique_ptr<TNVItem>> items_;
    FormActionCallback callback_;
    int min_width_ = 0;
    std::string message_;
    std::string active_control_;
    int timer_ms_ = 0;
    int modal_result_ = 0;
    bool skip_ = false;
    FormView* view_ = nullptr;
};

class TNVAssistant {
public:
    TNVAssistant(const std::string& title, const std::vector<std::string>& streams, TIZESettings* exception);
    const std::string& title() const { return title_; }
    void SetTitle(const std::string& title);
    int FormCount() const { return static_cast<int>(forms_.size()); }
    TNVForm* Form(int index) const;
    // Ignoring case; the last match wins.
    TNVForm* FormByName(const std::string& name) const;
    int modal_result() const { return modal_result_; }
    const FormActionCallback& action_callback() const { return callback_; }
    void SetActionCallback(FormActionCallback callback) { callback_ = std::move(callback); }
    // Each form in order; Cancel ends with 3, otherwise 1 after the last.
    int ShowModal();
    TIZESettings* exception() const { return exception_; }
    void SetException(TIZESettings* exception);

private:
    std::string title_;
    std::vector<std::unique_ptr<TNVForm>> forms_;
    int modal_result_ = 0;
    FormActionCallback callback_;
    TIZESettings* exception_;
};

// Builds an assistant from the form resources "TZE" + upper-case name.
INVAssistant LoadAssistantForms(const std::string& title, const std::vector<std::string>& form_names,
                                TIZESettings* exception);
// The assistant named by one of the "Assistant1", "Assistant2" ... settings
// ("name|title|form|form..."), with the form cache read into it. Nothing
// when no such setting exists.
INVAssistant FindAssistant(TIZESettings& settings, const std::string& name, bool has_screenshot);
// Remembers the values of the completed forms; gives them back.
void FillFormCache(TIZESettings& settings, const TNVAssistant& assistant);
void ReadFormCache(TIZESettings& settings, TNVAssistant& assistant);

// Shows a form modally and gives its result; the window layer installs it.
// Without one, a form cannot be shown and counts as cancelled.
using FormPresenter = std::function<int(TNVForm& form)>;
void SetFormPresenter(FormPresenter presenter);

// Reads a picture file (the window layer installs the reader; without it
// nothing can be read).
using BitmapFileLoader = std::function<INVBitmapRef(const std::filesystem::path& file)>;
void SetBitmapFileLoader(BitmapFileLoader loader);

// The two built-in handlers, selected by the forms' "OnAction" property.
void HandleContactForm(TNVForm& form, std::uint8_t action, TNVItem* item, TIZESettings* exception);
void HandleScreenshotForm(TNVForm& form, std::uint8_t action, TNVItem* item, TIZESettings* exception);
// The contact form's test of an e-mail address.
bool IsPlausibleEmailAddress(const std::string& address);

}  // namespace crashreport
