#include "disk/bindings/offreg.h"

#include <mutex>
#include <stdexcept>

#include "disk/bindings/registry_text.h"
#include "platform/modules/module.h"
#include "platform/os/system.h"
#include "platform/base/wide_text.h"

namespace disk {

using namespace platform;
using namespace platform::offreg;

namespace {

std::mutex load_mutex;

const char* BindAll(const ModuleReference& module) {
    OffregBinding& slots = offreg();
    return module.bind({
        {slots.ORGetVersion, "ORGetVersion"},
        {slots.OROpenHive, "OROpenHive"},
        {slots.ORCloseHive, "ORCloseHive"},
        {slots.ORSaveHive, "ORSaveHive"},
        {slots.OROpenKey, "OROpenKey"},
        {slots.ORCloseKey, "ORCloseKey"},
        {slots.ORGetValue, "ORGetValue"},
        {slots.ORSetValue, "ORSetValue"},
        {slots.ORDeleteValue, "ORDeleteValue"},
        {slots.ORDeleteKey, "ORDeleteKey"},
        {slots.ORCreateKey, "ORCreateKey"},
        {slots.OREnumKey, "OREnumKey"},
        {slots.OREnumValue, "OREnumValue"},
    });
}

template <typename Fn>
Fn Slot(const std::atomic<Fn>& slot) {
    Fn fn = slot.load();
    if (!fn) throw std::runtime_error("offreg.dll is not loaded");
    return fn;
}

void CheckResult(DWORD result, const char* call) {
    if (result != ERROR_SUCCESS)
        throw std::runtime_error(std::string(call) + " failed:" + std::to_string(result) + ":" +
                                 SysErrorMessage(result));
}

// Asks the size, then reads into a buffer of that size. Should the value
// grow between the two calls, the buffer follows it.
DWORD ReadRawValue(ORHKEY key, const std::u16string& name, std::string& bytes) {
    const auto get = Slot(offreg().ORGetValue);
    DWORD type = REG_NONE;
    DWORD size = 0;
    CheckResult(get(key, nullptr, name.c_str(), &type, nullptr, &size), "ORGetValue");
    bytes.clear();
    for (int attempt = 0; size != 0; ++attempt) {
        bytes.resize(size);
        const DWORD result = get(key, nullptr, name.c_str(), &type, bytes.data(), &size);
        if (result == ERROR_MORE_DATA && attempt < 3) continue;
        CheckResult(result, "ORGetValue");
        bytes.resize(size);
        break;
    }
    return type;
}

}  // namespace

OffregBinding& offreg() {
    static OffregBinding binding;
    return binding;
}

bool LoadOffreg() {
    // The one reference the slots point into; never freed, so the slots stay
    // valid for the life of the process.
    static ModuleReference& held = *new ModuleReference;
    std::lock_guard guard(load_mutex);
    ModuleReference module("offreg.dll");
    if (!module) throw std::runtime_error("could not loadlibrary:" + std::to_string(GetLastError()));
    if (const char* missing = BindAll(module))
        throw std::runtime_error("init error:" + std::string(missing) + ":" + SysErrorMessage(GetLastError()));
    if (!held) held = std::move(module);  // the same module; one reference is enough
    return true;
}

bool OffregGetValue(ORHKEY key, const std::string& value_name, std::string& text) {
    try {
        std::string bytes;
        const DWORD type = ReadRawValue(key, Utf8ToUtf16(value_name), bytes);
        text = RegistryValueText(type, bytes);
        return true;
    } catch (const std::exception& e) {
        throw std::runtime_error("getvalue error:" + std::string(e.what()));
    }
}

bool OffregSetValue(ORHKEY key, const std::string& value_name, const std::string& text, DWORD type) {
    try {
        const std::optional<std::string> bytes = RegistryValueBytes(type, text);
        if (!bytes) return false;
        const std::u16string name = Utf8ToUtf16(value_name);
        CheckResult(Slot(offreg().ORSetValue)(key, name.c_str(), type, bytes->data(),
                                             static_cast<DWORD>(bytes->size())),
                    "ORsetValue");
        return true;
    } catch (const std::exception& e) {
        throw std::runtime_error("setvalue error:" + std::string(e.what()));
    }
}

bool OffregDeleteKey(ORHKEY key, const std::string& sub_key) {
    try {
        const std::u16string name = Utf8ToUtf16(sub_key);
        CheckResult(Slot(offreg().ORDeleteKey)(key, name.c_str()), "ORDeleteKey");
        return true;
    } catch (const std::exception& e) {
        throw std::runtime_error("deletekey error:" + std::string(e.what()));
    }
}

bool GetOSVersion(DWORD& major, DWORD& minor) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(info)) return false;
    major = info.dwMajorVersion;
    minor = info.dwMinorVersion;
    return true;
}

}  // namespace disk
