// The two built-in handlers of the reporter's forms: the contact form (the
// reporting user's name and address, remembered on request) and the
// screenshot form (show the picture, attach it or not, edit it in the
// user's image program).
#include <cctype>
#include <filesystem>
#include <mutex>

#include "crashreport/forms/nv_assistant.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

constexpr const char* kContactKey = "Software\\Kolvar\\ContactForm";

// The picture being edited and the editor working on it.
struct EditTracking {
    std::filesystem::file_time_type stamp{};
    int editor_pid = 0;
    bool saved = false;
};

std::filesystem::path EditedScreenshotFile() { return GetZelTempFolder() / "screenShot.bmp"; }

std::mutex g_loader_lock;
BitmapFileLoader& Loader() {
    static BitmapFileLoader loader;
    return loader;
}

INVBitmapRef LoadEditedPicture(const std::filesystem::path& file) {
    BitmapFileLoader loader;
    {
        std::lock_guard guard(g_loader_lock);
        loader = Loader();
    }
    return loader ? loader(file) : nullptr;
}

}  // namespace

void SetBitmapFileLoader(BitmapFileLoader loader) {
    std::lock_guard guard(g_loader_lock);
    Loader() = std::move(loader);
}

bool IsPlausibleEmailAddress(const std::string& address) {
    if (address.empty() || address.front() == ' ' || address.back() == ' ') return false;
    const std::size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0) return false;
    if (address.find('.', at) == std::string::npos) return false;
    if (address.front() == '.' || address.back() == '.' || (at + 1 < address.size() && address[at + 1] == '.'))
        return false;
    std::string rest;
    for (const char c : address)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '_') rest.push_back(c);
    if (rest.size() == address.size()) return false;
    std::string without_dots;
    for (const char c : rest)
        if (c != '.') without_dots.push_back(c);
    if (without_dots.size() == rest.size()) return false;
    return without_dots == "@";
}

void HandleContactForm(TNVForm& form, std::uint8_t action, TNVItem* item, TIZESettings* exception) {
    TNVEdit* name_edit = form.Edit("NameEdit");
    TNVEdit* email_edit = form.Edit("EmailEdit");
    TNVCheckBox* remember = form.CheckBox("MemCheck");
    if (action == kFormCreated) {
        const std::string name = RegistryReadText(RegistryRoot::CurrentUser, kContactKey, "RememberName");
        const std::string email = RegistryReadText(RegistryRoot::CurrentUser, kContactKey, "RememberEmail");
        if (name.empty() && email.empty()) return;
        if (name_edit) name_edit->SetText(name);
        if (email_edit) {
            email_edit->SetText(email);
            email_edit->SetValid(IsPlausibleEmailAddress(email));
        }
        if (remember) remember->SetChecked(true);
        form.RecheckContinue();
        if (form.ContinueBtn()->EffectivelyEnabled()) form.SetActiveControl("ContinueBtn");
    } else if (action == kFormItemAction && item && item->name() == "EmailEdit" && email_edit) {
        email_edit->SetValid(IsPlausibleEmailAddress(email_edit->text()));
    } else if (action == kFormClosing && form.modal_result() == kResultContinue) {
        const std::string name = name_edit ? name_edit->text() : std::string();
        const std::string email = email_edit ? email_edit->text() : std::string();
        if (remember && remember->checked()) {
            RegistryWriteText(RegistryRoot::CurrentUser, kContactKey, "RememberName", name);
            RegistryWriteText(RegistryRoot::CurrentUser, kContactKey, "RememberEmail", email);
        } else {
            RegistryDeleteValue(RegistryRoot::CurrentUser, kContactKey, "RememberName");
            RegistryDeleteValue(RegistryRoot::CurrentUser, kContactKey, "RememberEmail");
        }
        if (exception && !name.empty()) exception->SetMailFrom(name + " <" + email + ">");
    }
}

void HandleScreenshotForm(TNVForm& form, std::uint8_t action, TNVItem* item, TIZESettings* exception) {
    auto* holder = dynamic_cast<ScreenshotHolder*>(exception);
    if (!holder) return;
    TNVImage* image = form.Image("ScrShotImg");
    TNVCheckBox* attach = form.CheckBox("AttachCheck");
    auto tracking = std::static_pointer_cast<EditTracking>(form.handler_value);
    if (action == kFormCreated) {
        if (image) image->SetBitmap(holder->Screenshot());
        if (attach) attach->SetChecked(holder->ScreenshotAppend());
    } else if (action == kFormClosing) {
        form.handler_value.reset();
        std::error_code error;
        std::filesystem::remove(EditedScreenshotFile(), error);
        if (attach) holder->SetScreenshotAppend(attach->checked());
    } else if (action == kFormItemAction && item && item == image) {
        if (!image->bitmap()) return;
        if (!tracking) {
            tracking = std::make_shared<EditTracking>();
            form.handler_value = tracking;
        }
        std::error_code error;
        if (!tracking->saved) {
            if (!image->bitmap()->SaveAsBmp(EditedScreenshotFile())) {
                ReporterBeep();
                return;
            }
            tracking->stamp = std::filesystem::last_write_time(EditedScreenshotFile(), error);
            tracking->saved = true;
        }
        if (tracking->editor_pid == 0 || !ProcessExists(tracking->editor_pid)) {
            tracking->editor_pid = StartProcess({"xdg-open", EditedScreenshotFile().string()});
            if (tracking->editor_pid == 0) ReporterBeep();
        }
    } else if (action == kFormItemAction && !item && tracking && tracking->saved) {
        std::error_code error;
        const auto stamp = std::filesystem::last_write_time(EditedScreenshotFile(), error);
        if (error || stamp == tracking->stamp) return;
        if (INVBitmapRef edited = LoadEditedPicture(EditedScreenshotFile())) {
            tracking->stamp = stamp;
            holder->SetScreenshot(edited);
            if (image) image->SetBitmap(edited);
        }
    }
}

}  // namespace crashreport
