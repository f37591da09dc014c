// The crash reporter's settings: a component stream compiled into the
// program (resource RCDATA "TZELEXCEPT", made at build time from
// resources/crashreport/zelexcept.dfm), parsed once per module into typed
// properties, read through a settings object with a getter and a setter per
// key. A key the stream leaves out takes its built-in default, or, for a
// module other than the one owning the main settings, the main settings'
// value. Texts come back with their %variables% expanded.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/settings/fields.h"

namespace crashreport {

enum class PropertyKind : std::uint8_t { String = 0, Integer = 1, Boolean = 2 };

struct SettingsProperty {
    std::string name;
    PropertyKind kind = PropertyKind::String;
    bool bool_value = false;
    std::int32_t int_value = 0;
    std::optional<std::string> text;  // none: no buffer (an empty text is stored as none)
    std::optional<std::u16string> wide;  // set when stored through the wide setter
};

// Parses a settings stream ("TPF0", "TZelExcept", "zelExcept", properties).
// A stream with another head gives no properties. An unknown value type
// stops the parse: what came before it is kept, `bad_type` names it and the
// result is false.
bool ParseSettingsStream(std::string_view stream, std::vector<SettingsProperty>& properties,
                         std::uint8_t& bad_type);

// The built-in defaults, one per key the reporter knows.
struct SettingsDefault {
    const char* key;
    PropertyKind kind;
    std::int32_t number;  // Boolean: 0/1
    const char* text;
};
const std::vector<SettingsDefault>& BuiltInSettingsDefaults();
const SettingsDefault* FindBuiltInDefault(std::string_view key);

// One parsed stream, shared by every settings object of its module.
struct ModuleSettingsRecord {
    std::uintptr_t module = 0;
    std::recursive_mutex lock;
    std::vector<SettingsProperty> properties;
    IZEFields form_cache = std::make_shared<TIZEFields>(true);
    std::string version_variable;
    std::string source;  // the stream it was parsed from
};

// The program's own image (the settings' "executable module").
std::uintptr_t ExecutableModule();

#define ZE_BOOLEAN_KEYS(X)                                                                                           \
    X(Enabled) X(NoSettings) X(CheckFileCrc) X(CheckFreeze) X(AutoSave) X(AutoSaveIfNotSent) X(AutoSend)             \
    X(AutoSendBox) X(AutoClip) X(PauseThreads) X(PlWaitBox) X(AutoContinue) X(SendBtnVis) X(SaveBtnVis)              \
    X(PrintBtnVis) X(ShowBtnVis) X(ContinueBtnVis) X(RestartBtnVis) X(CloseBtnVis) X(AutoShowBugRep) X(UglyBtns)     \
    X(SendInBackgr) X(MailAsSmtpServer) X(MailAsSmtpClient) X(UploadViaHttp) X(MailViaMapi) X(MailViaMailto)         \
    X(AttachBugRep) X(AttachBugRepFile) X(DelBugRepFile) X(ScrShotAppOnly) X(AppendBugReps) X(NoDupExcepts)          \
    X(NoDupFreezes) X(ListThreads) X(CpuRegs) X(StackDump) X(ShowDisAsm) X(HideUglyItems) X(ShowRelAddrs)             \
    X(ShowRelLines) X(FormatDisAsm)
#define ZE_INTEGER_KEYS(X)                                                                                           \
    X(FreezeTimeout) X(AutoRestart) X(AutoClose) X(AutoDelay) X(FocusedBtn) X(SmtpPort) X(HttpPort) X(ScrShotDepth) \
    X(BugRepFileSize) X(DupExceptDef) X(DupFreezeDef) X(LimitDisAsm) X(VersionVar)
#define ZE_TEXT_KEYS(X)                                                                                              \
    X(SendAssis) X(SaveAssis) X(PrintAssis) X(MailAddr) X(SmtpServer) X(SmtpAccount) X(SmtpPassword) X(HttpServer)   \
    X(HttpAccount) X(HttpPassword) X(MailFrom) X(BugRepSendAs) X(BugRepZip) X(ScrShotSendAs) X(ScrShotZip)           \
    X(BugRepFile) X(Plugins) X(F1Classes) X(F2Classes) X(TitleBar) X(ExceptMsg) X(FrozenMsg) X(BitFaultMsg)          \
    X(SendBtnTxt) X(SaveBtnTxt) X(PrintBtnTxt) X(ShowBtnTxt) X(ContinueBtnTxt) X(RestartBtnTxt) X(CloseBtnTxt)       \
    X(OkBtnTxt) X(DetailsBtnTxt) X(PlWaitTitle) X(PlWaitText) X(MailSubj) X(MailBody) X(SendBoxTitle) X(PrepAttMsg)  \
    X(MxLookMsg) X(ConnMsg) X(AuthMsg) X(SendMailMsg) X(FieldMsg) X(SendAttMsg) X(SendFinalMsg) X(SendFailMsg)

class TIZESettings;
using IZESettings = std::shared_ptr<TIZESettings>;
using IZEModuleSettings = std::shared_ptr<TIZESettings>;

// The class filters an exception is sorted into.
enum class FilterSet { F1, F2, Gn };
const char* FilterPrefix(FilterSet set);

class TIZESettings : public FieldsOwner, public std::enable_shared_from_this<TIZESettings> {
public:
    // With `load` the module's parsed stream is used (shared with every
    // other object of that module); without, the object starts empty.
    TIZESettings(std::uintptr_t module, bool load);
    ~TIZESettings() override;

    bool Valid() const { return valid_; }
    std::uintptr_t Module() const { return module_; }
    // The program's version text (shared by every object of the module).
    std::string VersionVariable() const;
    void SetVersionVariable(std::string text);

    bool GetBool(std::string_view key);
    std::int32_t GetInt(std::string_view key);
    std::uint32_t GetDword(std::string_view key) { return static_cast<std::uint32_t>(GetInt(key)); }
    // Variables expanded.
    std::string GetString(std::string_view key);
    std::u16string GetWide(std::string_view key);
    // Setters work only on a valid object and only on a key of their kind.
    bool SetBool(std::string_view key, bool value);
    bool SetInt(std::string_view key, std::int32_t value);
    bool SetString(std::string_view key, const std::string& value);
    bool SetWide(std::string_view key, const std::u16string& value);

#define ZE_BOOLEAN_ACCESS(key) \
    bool key() { return GetBool(#key); } \
    bool Set##key(bool v) { return SetBool(#key, v); }
#define ZE_INTEGER_ACCESS(key) \
    std::int32_t key() { return GetInt(#key); } \
    bool Set##key(std::int32_t v) { return SetInt(#key, v); }
#define ZE_TEXT_ACCESS(key) \
    std::string key() { return GetString(#key); } \
    bool Set##key(const std::string& v) { return SetString(#key, v); }
    ZE_BOOLEAN_KEYS(ZE_BOOLEAN_ACCESS)
    ZE_INTEGER_KEYS(ZE_INTEGER_ACCESS)
    ZE_TEXT_KEYS(ZE_TEXT_ACCESS)
#undef ZE_BOOLEAN_ACCESS
#undef ZE_INTEGER_ACCESS
#undef ZE_TEXT_ACCESS

    // The per-filter keys ("F1NoBugRep", "GnShowCfg", ...).
    bool FilterBool(FilterSet set, const char* what) { return GetBool(std::string(FilterPrefix(set)) + what); }
    std::int32_t FilterInt(FilterSet set, const char* what) { return GetInt(std::string(FilterPrefix(set)) + what); }
    std::string FilterText(FilterSet set, const char* what) { return GetString(std::string(FilterPrefix(set)) + what); }
    // True when the key holds a text (the identification of a separate
    // debug-information file).
    bool MinDebugInfo() { return !GetString("MinDebugInfo").empty(); }
    // Membership in the "|"-separated plug-in list.
    bool HasPlugin(const std::string& name);
    void SetPlugin(const std::string& name, bool member);
    std::u16string BugRepFileW() { return GetWide("BugRepFile"); }

    // Made on first use from "AddFields" / "AddAttachs", written back on
    // every change.
    IZEFields AdditionalFields();
    IZEAttachments AdditionalAttachments();
    // Form values remembered between assistants ("+"/"-" for check boxes).
    IZEFields FormCache();

    // Parses the module's stream again.
    void Reload();

    // Expands the variables of a settings text; a plain settings object
    // leaves the exception's variables as they are.
    virtual void ExpandStringVariables(std::string& text);

    // Internal property access: found or not, without variables.
    virtual std::optional<SettingsProperty> LookupProperty(std::string_view name, bool use_defaults,
                                                           PropertyKind kind);

protected:
    bool UsesDefaults() const;
    bool StoreProperty(std::string_view name, const SettingsProperty& value);
    void FieldsChanged(const std::string&) override {}

    std::uintptr_t module_ = 0;
    bool valid_ = false;
    std::shared_ptr<ModuleSettingsRecord> record_;

private:
    class ListBinding;
    std::unique_ptr<ListBinding> fields_binding_;
    std::unique_ptr<ListBinding> attachments_binding_;
    IZEFields additional_fields_;
    IZEAttachments additional_attachments_;
    std::mutex lists_lock_;
};

// The record of a module, parsed on first request (none when the module
// carries no settings resource).
std::shared_ptr<ModuleSettingsRecord> LoadModuleSettings(std::uintptr_t module);
// The settings a module works with: its own, or, when it has none of its
// own (or says NoSettings), the program's.
IZEModuleSettings GetModuleSettings(std::uintptr_t module);
IZEModuleSettings FindSettingsForAddress(std::uintptr_t address);
// The settings every other module falls back on (installed at start-up).
void SetMainSettings(IZESettings settings);
IZESettings MainSettings();

// Values of the stored passwords: "~" and Base64 of a Blowfish cipher keyed
// by the server and account names; anything else is the plain value.
std::string UnscrambleStoredPassword(const std::string& stored, const std::string& server,
                                     const std::string& account);
std::string ScramblePasswordForStorage(const std::string& plain, const std::string& server,
                                       const std::string& account);

}  // namespace crashreport
