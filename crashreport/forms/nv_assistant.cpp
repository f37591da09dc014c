#include "crashreport/forms/nv_assistant.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>

#include "crashreport/os/map_file.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/settings/component_stream.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

bool StreamBoolean(const std::string& text) {
    return SameTextLatin(text, "yes") || SameTextLatin(text, "true") || text == "1";
}

int StreamInteger(const std::string& text) {
    if (text.empty()) return 0;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return 0;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) return 0;
    }
    return static_cast<int>(text[0] == '-' ? -value : value);
}

void TNVItem::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "Spacing")
        spacing_ = StreamInteger(value);
    else if (name == "Enabled")
        enabled_ = StreamBoolean(value);
    else if (name == "OutputType")
        SetOutputType(PosTextInRange("ownSection", value) ? NVOutputType::OwnSection : NVOutputType::Header);
    else if (name == "OutputName")
        output_name_ = value;
}

void TNVItem::SetEnabled(bool enabled) {
    enabled_ = enabled;
    Changed();
}

void TNVItem::SetForceDisabled(bool off) {
    if (force_disabled_ == off) return;
    force_disabled_ = off;
    Changed();
}

void TNVItem::Changed() {
    if (form_ && form_->view()) form_->view()->ItemChanged(*this);
}

void TNVButton::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "MinWidth")
        min_width_ = StreamInteger(value);
    else if (name == "Caption")
        caption_ = value;
    else if (name == "NoOwnerDraw")
        no_owner_draw_ = StreamBoolean(value);
    else if (name == "Visible")
        invisible_ = !StreamBoolean(value);
    else
        TNVItem::ApplyStreamProperty(name, value);
}

void TNVButton::SetCaption(const std::string& caption) {
    caption_ = caption;
    Changed();
}

void TNVLabel::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "Caption")
        caption_ = value;
    else
        TNVItem::ApplyStreamProperty(name, value);
}

void TNVLabel::SetCaption(const std::string& caption) {
    caption_ = caption;
    Changed();
}

bool TNVLabel::IsHeadLabel() const {
    const std::string caption = Caption();
    return !caption.empty() && (caption.back() == ':' || caption.back() == '?') &&
           caption.find_first_of("\r\n") == std::string::npos;
}

void TNVEdit::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "Text") {
        text_ = value;
        ReplaceSubStrNoCase(text_, "%lf%", "\r\n", false);
    } else if (name == "Lines") {
        lines_ = StreamInteger(value);
    } else if (name == "Optional") {
        optional_ = StreamBoolean(value);
    } else if (name == "Colored") {
        colored_ = StreamBoolean(value);
    } else if (name == "Valid") {
        valid_ = StreamBoolean(value);
    } else {
        TNVItem::ApplyStreamProperty(name, value);
    }
}

void TNVEdit::SetText(const std::string& text) {
    if (text_ == text) return;
    text_ = text;
    Changed();
    if (form_) {
        form_->ReportAction(kFormItemAction, this);
        form_->RecheckContinue();
    }
}

void TNVEdit::SetColored(bool colored) {
    colored_ = colored;
    Changed();
}

void TNVEdit::SetValid(bool valid) {
    valid_ = valid;
    Changed();
    if (form_) form_->RecheckContinue();
}

void TNVEdit::SetOutputType(NVOutputType type) {
    if (type == NVOutputType::OwnSection && lines_ <= 1) return;
    output_type_ = type;
}

void TNVCheckBox::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "Caption" || name == "Text")
        caption_ = value;
    else if (name == "Checked")
        checked_ = StreamBoolean(value);
    else
        TNVItem::ApplyStreamProperty(name, value);
}

void TNVCheckBox::SetCaption(const std::string& caption) {
    caption_ = caption;
    Changed();
}

void TNVCheckBox::SetChecked(bool checked) {
    checked_ = checked;
    Changed();
}

void TNVImage::ApplyStreamProperty(const std::string& name, const std::string& value) {
    if (name == "Width")
        width_ = StreamInteger(value);
    else if (name == "Height")
        height_ = StreamInteger(value);
    else if (name == "File")
        file_ = value;
    else if (name == "Clickable")
        clickable_ = StreamBoolean(value);
    else if (name == "Border")
        border_ = StreamBoolean(value);
    else
        TNVItem::ApplyStreamProperty(name, value);
}

void TNVImage::SetBitmap(INVBitmapRef bitmap) {
    bitmap_ = std::move(bitmap);
    Changed();
}

namespace {

std::mutex g_presenter_lock;
FormPresenter& Presenter() {
    static FormPresenter presenter;
    return presenter;
}

// Routines found by name in the program's debug information, called with
// the callback's own signature.
using ExportedFormHandler = void (*)(TNVForm&, std::uint8_t, TNVItem*, TIZESettings*);

}  // namespace

void SetFormPresenter(FormPresenter presenter) {
    std::lock_guard guard(g_presenter_lock);
    Presenter() = std::move(presenter);
}

TNVForm::TNVForm(TNVAssistant* assistant, int page_count, int page_number, TIZESettings* exception,
                 std::string_view stream, const std::string& title)
    : assistant_(assistant), title_(title), exception_(exception), page_number_(page_number), page_count_(page_count) {
    const char* const names[] = {"ContinueBtn", "SkipBtn", "CancelBtn"};
    const char* const captions[] = {"Next >", "Skip", "Cancel"};
    for (int i = 0; i < 3; ++i) {
        auto button = std::make_unique<TNVButton>();
        button->name_ = names[i];
        button->ApplyStreamProperty("Caption", captions[i]);
        button->form_ = this;
        button->index_ = i;
        items_.push_back(std::move(button));
    }
    if (stream.substr(0, 4) == "TPF0") ReadStream(stream);
    ReportAction(kFormCreated, nullptr);
}

namespace {

struct StreamItemFactory {
    const char* class_name;
    std::unique_ptr<TNVItem> (*make)();
};

const StreamItemFactory kItemClasses[] = {
    {"TNVButton", [] { return std::unique_ptr<TNVItem>(new TNVButton); }},
    {"TNVLabel", [] { return std::unique_ptr<TNVItem>(new TNVLabel); }},
    {"TNVEdit", [] { return std::unique_ptr<TNVItem>(new TNVEdit); }},
    {"TNVCheckBox", [] { return std::unique_ptr<TNVItem>(new TNVCheckBox); }},
    {"TNVImage", [] { return std::unique_ptr<TNVItem>(new TNVImage); }},
};

}  // namespace

void TNVForm::ReadStream(std::string_view stream) {
    ComponentStreamReader reader(stream, 4);
    static const std::vector<std::uint8_t> kAccepted = {2, 3, 4, 6, 7, 8, 9, 12};
    // Reads one object and its children; false when reading must stop.
    int depth = 0;
    std::function<bool()> read_object = [&]() -> bool {
        // Forms are flat; a deeper stream is damaged.
        if (++depth > 8) return false;
        struct Leave {
            int& d;
            ~Leave() { --d; }
        } leave{depth};
        const auto class_name = reader.ReadShortString();
        auto object_name = reader.ReadShortString();
        if (!class_name || !object_name) return false;
        if (*object_name == "AbortBtn") *object_name = "CancelBtn";
        std::string cls = *class_name;
        if (!cls.empty()) cls[0] = 'T';
        TNVItem* target = nullptr;
        bool form_object = true;
        for (const auto& entry : kItemClasses)
            if (cls == entry.class_name) {
                form_object = false;
                if (cls == "TNVButton" && (*object_name == "ContinueBtn" || *object_name == "SkipBtn" ||
                                           *object_name == "CancelBtn")) {
                    target = Button(*object_name);
                } else {
                    auto item = entry.make();
                    item->name_ = *object_name;
                    item->form_ = this;
                    item->index_ = static_cast<int>(items_.size());
                    target = item.get();
                    items_.push_back(std::move(item));
                }
            }
        if (form_object && name_.empty()) name_ = *object_name;
        for (;;) {
            const auto property = reader.ReadShortString();
            if (!property) return false;
            if (property->empty()) break;
            const auto type = reader.ReadByte();
            if (!type) return false;
            const auto value = reader.ReadValue(*type, kAccepted);
            if (!value) {
                if (std::find(kAccepted.begin(), kAccepted.end(), *type) == kAccepted.end())
                    ShowReporterMessage("Internal error: Invalid assistant resource (" +
                                            CardToHexPadded(*type, 0, '0') + ").",
                                        "zelExcept", MessageIcon::None);
                return false;
            }
            if (target)
                target->ApplyStreamProperty(*property, value->text);
            else if (form_object)
                ApplyFormProperty(*property, value->text);
        }
        for (;;) {
            const auto next = reader.ReadByte();
            if (!next) return false;
            if (*next == 0) return true;
            // Not a terminator: the length byte of the next child's class name.
            reader = ComponentStreamReader(stream, reader.position() - 1);
            if (!read_object()) return false;
        }
    };
    read_object();
}

void TNVForm::ApplyFormProperty(const std::string& name, const std::string& value) {
    if (name == "MinWidth") {
        min_width_ = StreamInteger(value);
    } else if (name == "Message") {
        message_ = value;
    } else if (name == "ActiveControl") {
        active_control_ = value;
    } else if (name == "Timer") {
        timer_ms_ = StreamInteger(value);
    } else if (name == "OnAction") {
        if (SameTextLatin(value, "zelExcept.HandleContactForm")) {
            callback_ = HandleContactForm;
        } else if (SameTextLatin(value, "zelExcept.HandleScreenshotForm")) {
            callback_ = HandleScreenshotForm;
        } else {
            const std::size_t dot = value.rfind('.');
            const std::string unit = dot == std::string::npos ? std::string() : value.substr(0, dot);
            const std::string routine = dot == std::string::npos ? value : value.substr(dot + 1);
            callback_ = nullptr;
            if (const auto map = MapFileForAddr(0); map && map->valid())
                if (const std::uintptr_t address = map->FindPublicByName(true, unit, true, routine))
                    callback_ = reinterpret_cast<ExportedFormHandler>(address);
        }
    }
}

TNVItem* TNVForm::Item(int index) const {
    return index >= 0 && index < ItemCount() ? items_[static_cast<std::size_t>(index)].get() : nullptr;
}
namespace {

bool IsHeadLabel(const TNVItem* item) {
    const auto* label = dynamic_cast<const TNVLabel*>(item);
    return label != nullptr && label->IsHeadLabel();
}

bool SameClass(const TNVItem* a, const TNVItem* b) {
    return a != nullptr && b != nullptr && std::string_view(a->ClassName()) == b->ClassName();
}

}  // namespace

int TNVForm::GapAfter(int index) const {
    const TNVItem* item = Item(index);
    const TNVItem* next = Item(index + 1);
    if (item == nullptr || next == nullptr) return 0;
    if (item->spacing() != 0) return item->spacing();
    if (IsHeadLabel(item)) return 4;
    if (SameClass(item, next)) {
        if (dynamic_cast<const TNVButton*>(item)) return 4;
        if (dynamic_cast<const TNVEdit*>(item)) return 6;
        return 8;
    }
    // Pairs of a head label and its item stand closer to each other than
    // to what follows them.
    if (IsHeadLabel(Item(index - 1)) && IsHeadLabel(next) && SameClass(Item(index + 2), item)) return 8;
    return 12;
}

TNVButton* TNVForm::ContinueBtn() const { return static_cast<TNVButton*>(items_[0].get()); }
TNVButton* TNVForm::SkipBtn() const { return static_cast<TNVButton*>(items_[1].get()); }
TNVButton* TNVForm::CancelBtn() const { return static_cast<TNVButton*>(items_[2].get()); }

template <typename T>
T* TNVForm::Find(const std::string& name) const {
    for (const auto& item : items_)
        if (item->name() == name)
            if (auto* typed = dynamic_cast<T*>(item.get())) return typed;
    return nullptr;
}

TNVEdit* TNVForm::Edit(const std::string& name) const { return Find<TNVEdit>(name); }
TNVLabel* TNVForm::Label(const std::string& name) const { return Find<TNVLabel>(name); }
TNVButton* TNVForm::Button(const std::string& name) const { return Find<TNVButton>(name); }
TNVCheckBox* TNVForm::CheckBox(const std::string& name) const { return Find<TNVCheckBox>(name); }
TNVImage* TNVForm::Image(const std::string& name) const { return Find<TNVImage>(name); }

void TNVForm::ReportAction(std::uint8_t action, TNVItem* item) {
    // A callback may throw: a form must not take the reporter down with it.
    try {
        if (callback_) callback_(*this, action, item, exception_);
        if (assistant_ && assistant_->action_callback())
            assistant_->action_callback()(*this, action, item, exception_);
    } catch (...) {
    }
}

void TNVForm::RecheckContinue() {
    bool allowed = true;
    for (std::size_t i = 3; i < items_.size(); ++i)
        if (!items_[i]->AllowsContinue()) allowed = false;
    ContinueBtn()->SetForceDisabled(!allowed);
    if (view_) view_->ContinueStateChanged();
}

void TNVForm::Finish(int result) {
    modal_result_ = result;
    ReportAction(kFormClosing, nullptr);
}

int TNVForm::ShowModal() {
    if (skip_) return kResultSkip;
    modal_result_ = 0;
    RecheckContinue();
    ReportAction(kFormShowing, nullptr);
    if (skip_) return kResultSkip;
    FormPresenter presenter;
    {
        std::lock_guard guard(g_presenter_lock);
        presenter = Presenter();
    }
    if (!presenter) {
        Finish(kResultCancel);
        return kResultCancel;
    }
    const int result = presenter(*this);
    if (modal_result_ == 0) Finish(result == 0 ? kResultCancel : result);
    return modal_result_;
}

TNVAssistant::TNVAssistant(const std::string& title, const std::vector<std::string>& streams,
                           TIZESettings* exception)
    : title_(title), exception_(exception) {
    const int count = static_cast<int>(streams.size());
    for (int i = 0; i < count; ++i)
        forms_.push_back(std::make_unique<TNVForm>(this, count, i + 1, exception, streams[static_cast<std::size_t>(i)],
                                                   title));
}

void TNVAssistant::SetTitle(const std::string& title) {
    title_ = title;
    for (auto& form : forms_) form->SetTitle(title);
}

TNVForm* TNVAssistant::Form(int index) const {
    return index >= 0 && index < FormCount() ? forms_[static_cast<std::size_t>(index)].get() : nullptr;
}

TNVForm* TNVAssistant::FormByName(const std::string& name) const {
    TNVForm* found = nullptr;
    for (const auto& form : forms_)
        if (SameTextLatin(form->name(), name)) found = form.get();
    return found;
}

void TNVAssistant::SetException(TIZESettings* exception) {
    exception_ = exception;
    for (auto& form : forms_) form->SetException(exception);
}

int TNVAssistant::ShowModal() {
    modal_result_ = kResultContinue;
    for (auto& form : forms_)
        if (form->ShowModal() == kResultCancel) {
            modal_result_ = kResultCancel;
            break;
        }
    return modal_result_;
}

INVAssistant LoadAssistantForms(const std::string& title, const std::vector<std::string>& form_names,
                                TIZESettings* exception) {
    std::vector<std::string> streams;
    for (const auto& name : form_names)
        streams.push_back(LoadResourceText("RCDATA", "TZE" + WideToUtf8Text(UpperCopyW(Utf8ToWideText(name)))));
    return std::make_shared<TNVAssistant>(title, streams, exception);
}

INVAssistant FindAssistant(TIZESettings& settings, const std::string& name, bool has_screenshot) {
    for (int n = 1;; ++n) {
        const std::string definition = settings.GetString("Assistant" + std::to_string(n));
        if (definition.empty()) return nullptr;
        if (!SameTextLatin(GetPart(definition, 1, '|'), name)) continue;
        const bool without_screenshot = !has_screenshot || settings.ScrShotDepth() == 0;
        std::vector<std::string> forms;
        const int parts = CountParts(definition, '|');
        for (int i = 3; i <= parts; ++i) {
            const std::string form = GetPart(definition, i, '|');
            if (form.empty() || (without_screenshot && SameTextLatin(form, "ScrShotForm"))) continue;
            forms.push_back(form);
        }
        INVAssistant assistant = LoadAssistantForms(GetPart(definition, 2, '|'), forms, &settings);
        ReadFormCache(settings, *assistant);
        return assistant;
    }
}

void FillFormCache(TIZESettings& settings, const TNVAssistant& assistant) {
    const IZEFields cache = settings.FormCache();
    for (int f = 0; f < assistant.FormCount(); ++f) {
        const TNVForm* form = assistant.Form(f);
        if (form->modal_result() != kResultContinue) continue;
        for (int i = 3; i < form->ItemCount(); ++i) {
            TNVItem* item = form->Item(i);
            if (auto* edit = dynamic_cast<TNVEdit*>(item)) {
                if (edit->text().empty())
                    cache->DeleteByName(edit->name());
                else
                    cache->Set(edit->name(), edit->text());
            } else if (auto* check = dynamic_cast<TNVCheckBox*>(item)) {
                cache->Set(check->name(), PlusMinusText(check->checked()));
            }
        }
    }
}

void ReadFormCache(TIZESettings& settings, TNVAssistant& assistant) {
    const IZEFields cache = settings.FormCache();
    for (int f = 0; f < assistant.FormCount(); ++f) {
        TNVForm* form = assistant.Form(f);
        bool all_found = true;
        bool any = false;
        for (int i = 3; i < form->ItemCount(); ++i) {
            TNVItem* item = form->Item(i);
            auto* edit = dynamic_cast<TNVEdit*>(item);
            auto* check = dynamic_cast<TNVCheckBox*>(item);
            if (!edit && !check) continue;
            any = true;
            if (cache->Find(item->name()) < 0) {
                all_found = false;
                continue;
            }
            const std::string value = cache->Get(item->name());
            if (edit)
                edit->SetText(value);
            else
                check->SetChecked(value == "+");
        }
        if (any && all_found) {
            form->RecheckContinue();
            if (form->ContinueBtn()->EffectivelyEnabled()) form->SetActiveControl("ContinueBtn");
        }
    }
}

}  // namespace crashreport
