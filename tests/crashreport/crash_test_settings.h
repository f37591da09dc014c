// Settings streams for the reporter's tests: the program's own keys where a
// test does not say otherwise, registered as the process's settings
// resource.
#pragma once

#include <map>
#include <string>
#include <variant>

#include "crashreport/os/system_facts.h"
#include "crashreport/settings/component_stream.h"
#include "crashreport/settings/settings.h"

namespace crashreport_test {

using SettingValue = std::variant<bool, int, std::string>;
using SettingsMap = std::map<std::string, SettingValue>;

inline std::string SettingsStream(const SettingsMap& values) {
    crashreport::StreamObject root;
    root.class_name = "TZelExcept";
    root.name = "zelExcept";
    for (const auto& [key, value] : values) {
        if (const bool* b = std::get_if<bool>(&value))
            root.properties.emplace_back(key, crashreport::BooleanValue(*b));
        else if (const int* i = std::get_if<int>(&value))
            root.properties.emplace_back(key, crashreport::IntegerValue(*i));
        else
            root.properties.emplace_back(key, crashreport::TextValue(std::get<std::string>(value)));
    }
    return crashreport::WriteComponentStream(root);
}

// Registers the stream and drops every settings object made before, so the
// next one parses it afresh.
inline void UseSettings(const SettingsMap& values) {
    crashreport::SetMainSettings(nullptr);
    crashreport::RegisterResource("RCDATA", "TZELEXCEPT", SettingsStream(values));
}

// What every reporter test starts from: enabled, with own settings.
inline SettingsMap BaseSettings() {
    return {{"Enabled", true}, {"NoSettings", false}, {"ListThreads", true}, {"ShowDisAsm", true},
            {"Plugins", std::string("modules")}};
}

}  // namespace crashreport_test

namespace crashreport {
void RegisterCrashReporterResources();
}

namespace crashreport_test {
// The program's own resources, as the program registers them.
inline void RegisterCrashReporterResourcesForTest() { crashreport::RegisterCrashReporterResources(); }
}  // namespace crashreport_test
