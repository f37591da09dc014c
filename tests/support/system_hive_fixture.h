// A SYSTEM hive shaped like a Windows installation's, small enough to read
// at a glance: "Select", "MountedDevices" and a current control set with the
// services, control keys and device tree the registry repairs touch, plus a
// second set that no repair may touch. Built with hivexsh from the empty
// hive, so that what our code reads was written by hivex's own tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/hive_fixture.h"
#include "support/hivex_shell.h"
#include "support/test_support.h"

namespace test_support {

// "ControlSet" and `number` in three digits.
inline std::string ControlSetKey(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "ControlSet%03d", number);
    return name;
}

// hivexsh's "hex:<type>:" form of a list of strings stored as REG_MULTI_SZ.
inline std::string MultiStringHex(const std::vector<std::string>& strings) {
    std::string hex = "hex:7:";
    auto add_unit = [&hex](unsigned char low) {
        char item[8];
        std::snprintf(item, sizeof item, "%02x,00,", low);
        hex += item;
    };
    for (const std::string& text : strings) {
        for (unsigned char c : text) add_unit(c);
        add_unit(0);
    }
    add_unit(0);
    hex.pop_back();
    return hex;
}

struct SystemHiveSpec {
    int current = 1;               // "select\Current"
    bool mounted_devices = true;   // with a "MountedDevices" key
    std::vector<std::string> also_sets;  // further control sets, e.g. a decoy "ControlSet0010"
};

// The keys of one control set and their values (hivexsh setval lines).
inline std::vector<std::pair<std::string, std::vector<std::string>>> ControlSetContents() {
    std::vector<std::pair<std::string, std::vector<std::string>>> keys = {
        {"Control", {"SystemBootDevice", "string:multi(0)disk(0)rdisk(0)partition(1)"}},
        {"Control\\PnP", {}},
        {"Control\\CrashControl", {"AutoReboot", "dword:1", "CrashDumpEnabled", "dword:7"}},
        {"Control\\Session Manager", {}},
        {"Control\\Session Manager\\Environment",
         {"PROCESSOR_ARCHITECTURE", "string:AMD64", "PROCESSOR_IDENTIFIER",
          "string:Intel64 Family 6 Model 158 Stepping 10, GenuineIntel"}},
        {"Enum", {}},
        {"Enum\\Root", {}},
        {"Enum\\Root\\ACPI_HAL", {}},
        {"Enum\\Root\\ACPI_HAL\\0000", {"HardwareID", MultiStringHex({"acpiapic_mp", "*acpiapic_mp"})}},
        {"Enum\\PCI", {}},
        {"Enum\\PCI\\VEN_8086&DEV_2922", {}},
        {"Enum\\PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA", {"Service", "string:storahci"}},
        {"Enum\\PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA\\Device Parameters", {"FirmwareIdentified", "dword:1"}},
        {"Enum\\PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA\\Device Parameters\\Interrupt Management", {}},
        {"Enum\\USBSTOR", {}},
        {"Enum\\USBSTOR\\Disk&Ven_Kingston", {}},
        {"Enum\\USBSTOR\\Disk&Ven_Kingston\\0019E06B9C85", {"FriendlyName", "string:Kingston DataTraveler"}},
        {"Services", {}},
    };
    for (const char* service : {"viaide", "intelide", "atapi", "pciide", "usbhub", "usbstor", "usbehci", "usbohci",
                                "usbuhci"})
        keys.push_back({std::string("Services\\") + service,
                        {"Start", "dword:3", "Type", "dword:1", "Group", "string:Base", "ImagePath",
                         std::string("expandstring:System32\\drivers\\") + service + ".sys"}});
    return keys;
}

// Writes the hive to `path`; fails the test when hivexsh does.
inline void WriteSystemHive(const TempDir& dir, const std::string& path, const SystemHiveSpec& spec = {}) {
    const std::string empty = dir.file("empty-hive");
    WriteEmptyHive(empty, "SYSTEM");
    std::string script = "load " + empty + "\n";
    auto add_key = [&script](const std::string& parent, const std::string& name, const std::vector<std::string>& values) {
        script += "cd \\" + parent + "\nadd " + name + "\ncd " + name + "\nsetval " + std::to_string(values.size() / 2) + "\n";
        for (const std::string& line : values) script += line + "\n";
    };
    const std::string current = "dword:" + std::to_string(spec.current);
    add_key("", "Select", {"Current", current, "Default", current, "LastKnownGood", "dword:2"});
    if (spec.mounted_devices)
        add_key("", "MountedDevices",
                {"\\DosDevices\\C:", "hex:3:6c,5b,aa,10,00,00,10,00,00,00,00,00",
                 "\\??\\Volume{a5c9a5f0-1b3a-11ef-9c4a-806e6f6e6963}", "hex:3:6c,5b,aa,10,00,00,10,00,00,00,00,00"});
    std::vector<std::string> sets = {ControlSetKey(spec.current), ControlSetKey(2)};
    sets.insert(sets.end(), spec.also_sets.begin(), spec.also_sets.end());
    for (const std::string& set : sets) {
        add_key("", set, {});
        for (const auto& [key, values] : ControlSetContents()) {
            const std::string full = set + "\\" + key;
            const std::size_t cut = full.rfind('\\');
            add_key(full.substr(0, cut), full.substr(cut + 1), values);
        }
    }
    script += "commit " + path + "\n";
    const CommandResult result = RunHivexShell(dir, script, true);
    ASSERT_EQ(result.exit_code, 0) << result.output;
}

// hivexget's answer for value `name` of `key` ("\A\B"), without its newline;
// "(missing)" when hivexget finds no such key or value.
inline std::string HivexGet(const std::string& hive, const std::string& key, const std::string& name) {
    const CommandResult result = Run("hivexget " + Quote(hive) + " " + Quote(key) + " " + Quote(name));
    if (result.exit_code != 0) return "(missing)";
    std::string text = result.output;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// True when hivexget finds `key`.
inline bool HivexHasKey(const std::string& hive, const std::string& key) {
    return Run("hivexget " + Quote(hive) + " " + Quote(key)).exit_code == 0;
}

}  // namespace test_support
