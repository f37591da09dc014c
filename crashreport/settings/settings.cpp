#include "crashreport/settings/settings.h"

#include <algorithm>
#include <map>

#include "crashreport/codec/crypt.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/memory.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/settings/component_stream.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/text_variables.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

bool ParseSettingsStream(std::string_view stream, std::vector<SettingsProperty>& properties,
                         std::uint8_t& bad_type) {
    properties.clear();
    bad_type = 0;
    static constexpr std::string_view kHead = "TPF0\x0ATZelExcept\x09zelExcept";
    if (stream.substr(0, kHead.size()) != kHead) return true;
    ComponentStreamReader reader(stream, kHead.size());
    static const std::vector<std::uint8_t> kAccepted = {2, 3, 4, 6, 8, 9, 12, 18, 20};
    for (;;) {
        const auto name = reader.ReadShortString();
        if (!name || name->empty()) return true;
        const auto type = reader.ReadByte();
        if (!type) return true;
        const auto value = reader.ReadValue(*type, kAccepted);
        if (!value) {
            if (std::find(kAccepted.begin(), kAccepted.end(), *type) != kAccepted.end()) return true;  // cut short
            bad_type = *type;
            return false;
        }
        SettingsProperty property;
        property.name = *name;
        if (*type <= 4) {
            property.kind = PropertyKind::Integer;
            property.int_value = value->integer;
        } else if (*type == 8 || *type == 9) {
            property.kind = PropertyKind::Boolean;
            property.bool_value = value->boolean;
        } else {
            property.kind = PropertyKind::String;
            if (!value->text.empty()) property.text = value->text;
        }
        properties.push_back(std::move(property));
    }
}

namespace {

constexpr PropertyKind B = PropertyKind::Boolean;
constexpr PropertyKind I = PropertyKind::Integer;
constexpr PropertyKind S = PropertyKind::String;

std::vector<SettingsDefault> MakeDefaults() {
    std::vector<SettingsDefault> d = {
        {"Enabled", B, 0, nullptr}, {"NoSettings", B, 1, nullptr}, {"CheckFileCrc", B, 1, nullptr},
        {"CheckFreeze", B, 0, nullptr}, {"FreezeTimeout", I, 60, nullptr}, {"AutoSave", B, 1, nullptr},
        {"AutoSaveIfNotSent", B, 1, nullptr}, {"AutoSend", B, 0, nullptr}, {"AutoSendBox", B, 0, nullptr},
        {"AutoClip", B, 1, nullptr}, {"PauseThreads", B, 0, nullptr}, {"PlWaitBox", B, 1, nullptr},
        {"AutoContinue", B, 0, nullptr}, {"AutoRestart", I, 0, nullptr}, {"AutoClose", I, 0, nullptr},
        {"AutoDelay", I, 60, nullptr}, {"SendBtnVis", B, 1, nullptr}, {"SaveBtnVis", B, 0, nullptr},
        {"PrintBtnVis", B, 0, nullptr}, {"ShowBtnVis", B, 1, nullptr}, {"ContinueBtnVis", B, 1, nullptr},
        {"RestartBtnVis", B, 1, nullptr}, {"CloseBtnVis", B, 1, nullptr}, {"FocusedBtn", I, 0, nullptr},
        {"SendAssis", S, 0, ""}, {"SaveAssis", S, 0, ""}, {"PrintAssis", S, 0, ""},
        {"AutoShowBugRep", B, 0, nullptr}, {"UglyBtns", B, 0, nullptr}, {"MailAddr", S, 0, ""},
        {"SendInBackgr", B, 1, nullptr}, {"MailAsSmtpServer", B, 0, nullptr}, {"MailAsSmtpClient", B, 0, nullptr},
        {"UploadViaHttp", B, 0, nullptr}, {"MailViaMapi", B, 1, nullptr}, {"MailViaMailto", B, 1, nullptr},
        {"SmtpServer", S, 0, ""}, {"SmtpPort", I, 25, nullptr}, {"SmtpAccount", S, 0, ""},
        {"SmtpPassword", S, 0, ""}, {"HttpServer", S, 0, ""}, {"HttpPort", I, 80, nullptr},
        {"HttpAccount", S, 0, ""}, {"HttpPassword", S, 0, ""}, {"MailFrom", S, 0, ""},
        {"AttachBugRep", B, 1, nullptr}, {"AttachBugRepFile", B, 1, nullptr}, {"DelBugRepFile", B, 1, nullptr},
        {"BugRepSendAs", S, 0, "bugreport.txt"}, {"BugRepZip", S, 0, ""}, {"ScrShotDepth", I, 0, nullptr},
        {"ScrShotAppOnly", B, 1, nullptr}, {"ScrShotSendAs", S, 0, "screenshot.png"}, {"ScrShotZip", S, 0, ""},
        {"AddAttachs", S, 0, ""}, {"AddFields", S, 0, ""}, {"BugRepFile", S, 0, "bugreport.txt"},
        {"AppendBugReps", B, 1, nullptr}, {"BugRepFileSize", I, 100000, nullptr}, {"NoDupExcepts", B, 1, nullptr},
        {"NoDupFreezes", B, 1, nullptr}, {"DupExceptDef", I, 1, nullptr}, {"DupFreezeDef", I, 2, nullptr},
        {"ListThreads", B, 1, nullptr}, {"CpuRegs", B, 1, nullptr}, {"StackDump", B, 1, nullptr},
        {"ShowDisAsm", B, 1, nullptr}, {"HideUglyItems", B, 0, nullptr}, {"ShowRelAddrs", B, 1, nullptr},
        {"ShowRelLines", B, 1, nullptr}, {"FormatDisAsm", B, 0, nullptr}, {"LimitDisAsm", I, 5, nullptr},
        {"Plugins", S, 0, "modules|processes|hardware"}, {"F1Classes", S, 0, ""}, {"F2Classes", S, 0, ""},
        {"VersionVar", I, 0, nullptr},
        {"TitleBar", S, 0, "%appname%"}, {"ExceptMsg", S, 0, "An error occurred in the application."},
        {"FrozenMsg", S, 0, "The application seems to be frozen."},
        {"BitFaultMsg", S, 0, "The file \"%modname%\" seems to be corrupt!"},
        {"SendBtnTxt", S, 0, "send bug report"}, {"SaveBtnTxt", S, 0, "save bug report"},
        {"PrintBtnTxt", S, 0, "print bug report"}, {"ShowBtnTxt", S, 0, "show bug report"},
        {"ContinueBtnTxt", S, 0, "continue application"}, {"RestartBtnTxt", S, 0, "restart application"},
        {"CloseBtnTxt", S, 0, "close application"}, {"OkBtnTxt", S, 0, "&OK"}, {"DetailsBtnTxt", S, 0, "&Details"},
        {"PlWaitTitle", S, 0, "Information"}, {"PlWaitText", S, 0, "Please wait a moment..."},
        {"MailSubj", S, 0, "bug report"}, {"MailBody", S, 0, "please find the bug report attached"},
        {"SendBoxTitle", S, 0, "Sending bug report..."}, {"PrepAttMsg", S, 0, "Prepare attachments..."},
        {"MxLookMsg", S, 0, "Searching for mail server..."}, {"ConnMsg", S, 0, "Connecting to server..."},
        {"AuthMsg", S, 0, "Authentication..."}, {"SendMailMsg", S, 0, "Sending mail..."},
        {"FieldMsg", S, 0, "Setting fields..."}, {"SendAttMsg", S, 0, "Sending attachments..."},
        {"SendFinalMsg", S, 0, "Finalizing..."}, {"SendFailMsg", S, 0, "Sorry, sending the bug report didn't work."},
    };
    // The per-filter keys.
    static const char* const kFilterBooleans[] = {"NoBugRep", "NoScrShot", "NoHandlers", "NoSuspend"};
    static std::vector<std::string> names;  // storage for the composed key texts
    if (names.empty())
        for (const char* prefix : {"F1", "F2", "Gn"}) {
            for (const char* what : kFilterBooleans) names.push_back(std::string(prefix) + what);
            names.push_back(std::string(prefix) + "ShowCfg");
            names.push_back(std::string(prefix) + "Assis");
        }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        const PropertyKind kind = n.find("ShowCfg") != std::string::npos ? I
                                  : n.find("Assis") != std::string::npos ? S
                                                                          : B;
        d.push_back({n.c_str(), kind, 0, kind == S ? "" : nullptr});
    }
    return d;
}

}  // namespace

const std::vector<SettingsDefault>& BuiltInSettingsDefaults() {
    static const std::vector<SettingsDefault> defaults = MakeDefaults();
    return defaults;
}

const SettingsDefault* FindBuiltInDefault(std::string_view key) {
    for (const auto& entry : BuiltInSettingsDefaults())
        if (key == entry.key) return &entry;
    return nullptr;
}

const char* FilterPrefix(FilterSet set) { return set == FilterSet::F1 ? "F1" : set == FilterSet::F2 ? "F2" : "Gn"; }

std::uintptr_t ExecutableModule() {
    static const std::uintptr_t base = [] {
        const auto modules = ListModulesByVirtualQuery();
        return modules.empty() ? std::uintptr_t{0} : modules.front().base;
    }();
    return base;
}

namespace {

std::mutex g_records_lock;
std::map<std::uintptr_t, std::weak_ptr<ModuleSettingsRecord>>& Records() {
    static std::map<std::uintptr_t, std::weak_ptr<ModuleSettingsRecord>> records;
    return records;
}

std::mutex g_main_lock;
IZESettings& MainSlot() {
    static IZESettings main;
    return main;
}

// Only the program itself carries a settings resource here: the reporter is
// linked into the executable, never into a separate module.
std::string SettingsResourceOf(std::uintptr_t module) {
    if (module != ExecutableModule()) return {};
    return LoadResourceText("RCDATA", "TZELEXCEPT");
}

void ParseInto(ModuleSettingsRecord& record, const std::string& stream) {
    std::uint8_t bad_type = 0;
    if (!ParseSettingsStream(stream, record.properties, bad_type))
        ShowReporterMessage("Internal error: Invalid settings resource (" + CardToHexPadded(bad_type, 0, '0') + ").",
                            "zelExcept", MessageIcon::Error);
}

}  // namespace

std::shared_ptr<ModuleSettingsRecord> LoadModuleSettings(std::uintptr_t module) {
    const std::string stream = SettingsResourceOf(module);
    if (stream.empty()) return nullptr;
    std::lock_guard guard(g_records_lock);
    // A record is shared while its stream stays the one it was parsed from.
    if (auto existing = Records()[module].lock(); existing && existing->source == stream) return existing;
    auto record = std::make_shared<ModuleSettingsRecord>();
    record->module = module;
    record->source = stream;
    ParseInto(*record, stream);
    Records()[module] = record;
    return record;
}

class TIZESettings::ListBinding : public FieldsOwner {
public:
    ListBinding(TIZESettings& owner, const char* key) : owner_(owner), key_(key) {}
    void FieldsChanged(const std::string& serialised) override { owner_.SetString(key_, serialised); }

private:
    TIZESettings& owner_;
    const char* key_;
};

TIZESettings::TIZESettings(std::uintptr_t module, bool load) : module_(module) {
    if (load) record_ = LoadModuleSettings(module);
    valid_ = record_ != nullptr;
    if (!record_) record_ = std::make_shared<ModuleSettingsRecord>();
    record_->module = module;
    if (load && valid_) {
        const std::int32_t offset = GetInt("VersionVar");
        if (offset != 0) {
            char text[256] = {};
            // The text lies in the module's own memory; a bad offset reads nothing.
            for (std::size_t i = 0; i + 1 < sizeof text; ++i) {
                if (!SafeReadMemory(reinterpret_cast<const void*>(module + static_cast<std::uintptr_t>(offset) + i),
                                    &text[i], 1) ||
                    text[i] == 0)
                    break;
            }
            std::lock_guard guard(record_->lock);
            if (record_->version_variable.empty()) record_->version_variable = text;
        }
    }
}

TIZESettings::~TIZESettings() {
    if (additional_fields_) additional_fields_->Bind(nullptr);
    if (additional_attachments_) additional_attachments_->Bind(nullptr);
}

std::string TIZESettings::VersionVariable() const {
    std::lock_guard guard(record_->lock);
    return record_->version_variable;
}

void TIZESettings::SetVersionVariable(std::string text) {
    std::lock_guard guard(record_->lock);
    record_->version_variable = std::move(text);
}

bool TIZESettings::UsesDefaults() const {
    const IZESettings main = MainSettings();
    return !main || main->Module() == module_;
}

std::optional<SettingsProperty> TIZESettings::LookupProperty(std::string_view name, bool use_defaults,
                                                              PropertyKind kind) {
    {
        std::lock_guard guard(record_->lock);
        for (const auto& property : record_->properties)
            if (property.name == name) return property;
    }
    if (!use_defaults) return std::nullopt;
    const SettingsDefault* entry = FindBuiltInDefault(name);
    if (!entry) return std::nullopt;
    SettingsProperty property;
    property.name = std::string(name);
    property.kind = entry->kind;
    property.bool_value = entry->number != 0;
    property.int_value = entry->number;
    if (entry->text && *entry->text) property.text = entry->text;
    (void)kind;
    return property;
}

namespace {

// Asks the main settings when this object has no value of its own.
template <typename Get>
auto FromMain(TIZESettings& self, Get get) -> decltype(get(self)) {
    const IZESettings main = MainSettings();
    if (main && main.get() != &self) return get(*main);
    return {};
}

}  // namespace

bool TIZESettings::GetBool(std::string_view key) {
    const bool defaults = UsesDefaults();
    if (const auto p = LookupProperty(key, defaults, PropertyKind::Boolean))
        return p->kind == PropertyKind::Boolean ? p->bool_value : p->kind == PropertyKind::Integer && p->int_value;
    if (!defaults) return FromMain(*this, [&](TIZESettings& s) { return s.GetBool(key); });
    return false;
}

std::int32_t TIZESettings::GetInt(std::string_view key) {
    const bool defaults = UsesDefaults();
    if (const auto p = LookupProperty(key, defaults, PropertyKind::Integer))
        return p->kind == PropertyKind::Integer ? p->int_value : p->kind == PropertyKind::Boolean ? p->bool_value : 0;
    if (!defaults) return FromMain(*this, [&](TIZESettings& s) { return s.GetInt(key); });
    return 0;
}

std::string TIZESettings::GetString(std::string_view key) {
    const bool defaults = UsesDefaults();
    std::string text;
    if (const auto p = LookupProperty(key, defaults, PropertyKind::String)) {
        if (p->kind == PropertyKind::String && p->text) text = *p->text;
    } else if (!defaults) {
        const IZESettings main = MainSettings();
        if (main && main.get() != this) {
            const auto q = main->LookupProperty(key, true, PropertyKind::String);
            if (q && q->kind == PropertyKind::String && q->text) text = *q->text;
        }
    }
    if (key == "SmtpPassword" || key == "HttpPassword") {
        const bool smtp = key == "SmtpPassword";
        const auto server = LookupProperty(smtp ? "SmtpServer" : "HttpServer", true, PropertyKind::String);
        const auto account = LookupProperty(smtp ? "SmtpAccount" : "HttpAccount", true, PropertyKind::String);
        text = UnscrambleStoredPassword(text, server && server->text ? *server->text : "",
                                        account && account->text ? *account->text : "");
    }
    ExpandStringVariables(text);
    return text;
}

std::u16string TIZESettings::GetWide(std::string_view key) {
    const bool defaults = UsesDefaults();
    if (const auto p = LookupProperty(key, defaults, PropertyKind::String); p && p->wide) {
        std::string expanded = WideToUtf8Text(*p->wide);
        ExpandStringVariables(expanded);
        return Utf8ToWideText(expanded);
    }
    return Utf8ToWideText(GetString(key));
}

bool TIZESettings::StoreProperty(std::string_view name, const SettingsProperty& value) {
    if (!valid_) return false;
    std::lock_guard guard(record_->lock);
    for (auto& property : record_->properties)
        if (property.name == name) {
            if (property.kind != value.kind) return false;
            property = value;
            property.name = std::string(name);
            return true;
        }
    record_->properties.push_back(value);
    record_->properties.back().name = std::string(name);
    return true;
}

bool TIZESettings::SetBool(std::string_view key, bool value) {
    SettingsProperty p;
    p.kind = PropertyKind::Boolean;
    p.bool_value = value;
    return StoreProperty(key, p);
}

bool TIZESettings::SetInt(std::string_view key, std::int32_t value) {
    SettingsProperty p;
    p.kind = PropertyKind::Integer;
    p.int_value = value;
    return StoreProperty(key, p);
}

bool TIZESettings::SetString(std::string_view key, const std::string& value) {
    SettingsProperty p;
    p.kind = PropertyKind::String;
    if (!value.empty()) p.text = value;
    return StoreProperty(key, p);
}

bool TIZESettings::SetWide(std::string_view key, const std::u16string& value) {
    SettingsProperty p;
    p.kind = PropertyKind::String;
    if (!value.empty()) {
        p.text = WideToUtf8Text(value);
        p.wide = value;
    }
    return StoreProperty(key, p);
}

bool TIZESettings::HasPlugin(const std::string& name) { return ContainsItemNoCase(GetString("Plugins"), name, '|'); }

void TIZESettings::SetPlugin(const std::string& name, bool member) {
    const std::string list = GetString("Plugins");
    std::string result;
    const int parts = CountParts(list, '|');
    bool present = false;
    for (int i = 1; i <= parts; ++i) {
        const std::string part = GetPart(list, i, '|');
        if (SameTextLatin(part, name)) {
            present = true;
            if (!member) continue;
        }
        if (part.empty()) continue;
        result += (result.empty() ? "" : "|") + part;
    }
    if (member && !present) result += (result.empty() ? "" : "|") + name;
    SetString("Plugins", result);
}

IZEFields TIZESettings::AdditionalFields() {
    std::lock_guard guard(lists_lock_);
    if (!additional_fields_) {
        additional_fields_ = std::make_shared<TIZEFields>(true);
        additional_fields_->LoadSerialised(GetString("AddFields"));
        fields_binding_ = std::make_unique<ListBinding>(*this, "AddFields");
        additional_fields_->Bind(fields_binding_.get());
    }
    return additional_fields_;
}

IZEAttachments TIZESettings::AdditionalAttachments() {
    std::lock_guard guard(lists_lock_);
    if (!additional_attachments_) {
        additional_attachments_ = std::make_shared<TIZEAttachments>();
        additional_attachments_->LoadSerialised(GetString("AddAttachs"));
        attachments_binding_ = std::make_unique<ListBinding>(*this, "AddAttachs");
        additional_attachments_->Bind(attachments_binding_.get());
    }
    return additional_attachments_;
}

IZEFields TIZESettings::FormCache() { return record_->form_cache; }

void TIZESettings::Reload() {
    const std::string stream = SettingsResourceOf(module_);
    if (stream.empty()) return;
    std::lock_guard guard(record_->lock);
    ParseInto(*record_, stream);
    record_->source = stream;
}

void TIZESettings::ExpandStringVariables(std::string& text) {
    ExpandSettingsVars(module_, text, "%exceptClass%", "%bugReport%", "%exceptMsg%");
}

IZEModuleSettings GetModuleSettings(std::uintptr_t module) {
    auto own = std::make_shared<TIZESettings>(module, true);
    if (own->Valid() && !own->NoSettings()) return own;
    if (module != ExecutableModule()) {
        auto program = std::make_shared<TIZESettings>(ExecutableModule(), true);
        if (program->Valid() && !program->NoSettings()) return program;
    }
    return own;
}

IZEModuleSettings FindSettingsForAddress(std::uintptr_t address) {
    ModuleInfo module;
    if (address != 0 && FindModuleOfAddr(address, module) && module.base != ExecutableModule()) {
        auto settings = GetModuleSettings(module.base);
        if (settings->Valid()) return settings;
    }
    return GetModuleSettings(ExecutableModule());
}

void SetMainSettings(IZESettings settings) {
    std::lock_guard guard(g_main_lock);
    MainSlot() = std::move(settings);
}

IZESettings MainSettings() {
    std::lock_guard guard(g_main_lock);
    return MainSlot();
}

namespace {

std::string PasswordKey(const std::string& server, const std::string& account) {
    return "zelExcept|" + server + "|" + account;
}

}  // namespace

std::string UnscrambleStoredPassword(const std::string& stored, const std::string& server,
                                     const std::string& account) {
    if (stored.size() < 2 || stored[0] != '~') return stored;
    std::string text = Base64DecodeText(stored.substr(1));
    if (text.empty()) return {};
    BlowfishDecryptTextLE(text, PasswordKey(server, account));
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::string ScramblePasswordForStorage(const std::string& plain, const std::string& server,
                                       const std::string& account) {
    if (plain.empty()) return {};
    std::string text = plain;
    // Whole cipher blocks only, so no byte of the value stays readable.
    while (text.size() % 8 != 0) text.push_back('\0');
    BlowfishEncryptTextLE(text, PasswordKey(server, account));
    return "~" + Base64EncodeText(text);
}

}  // namespace crashreport
