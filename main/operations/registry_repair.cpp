#include "main/operations/registry_repair.h"

#include <charconv>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/base/replace_file.h"
#include "platform/base/wide_text.h"
#include "platform/device/handle.h"
#include "platform/os/file_facts.h"
#include "platform/os/folders.h"

namespace tarnovell {

using namespace platform;
using namespace platform::offreg;

namespace {

// Deeper than any key path a hive can hold (Windows stops at 512 levels); a
// damaged hive whose keys lead back to themselves stops here.
constexpr int kMaxKeyDepth = 512;

[[noreturn]] void RaiseResult(const std::string& prefix, DWORD result) {
    throw std::runtime_error(prefix + std::to_string(result) + ":" + SysErrorMessage(result));
}

// A hive opened from its file and changed in memory. Save and Close say
// what went wrong; a hive left open by an exception is dropped unsaved.
class OfflineHive {
public:
    explicit OfflineHive(const std::string& file) {
        const DWORD result = disk::offreg().OROpenHive.load()(Utf8ToUtf16(file).c_str(), &hive_);
        if (result != ERROR_SUCCESS) {
            hive_ = nullptr;
            RaiseResult("OROpenHive failed:", result);
        }
    }
    ~OfflineHive() {
        if (hive_) disk::offreg().ORCloseHive.load()(hive_);
    }
    OfflineHive(const OfflineHive&) = delete;
    OfflineHive& operator=(const OfflineHive&) = delete;

    ORHKEY root() const { return hive_; }

    void Save(const std::string& file, DWORD major, DWORD minor) {
        const DWORD result = disk::offreg().ORSaveHive.load()(hive_, Utf8ToUtf16(file).c_str(), major, minor);
        if (result != ERROR_SUCCESS) throw std::runtime_error("saved to " + file + " failed," + std::to_string(result));
    }

    void Close() {
        const DWORD result = disk::offreg().ORCloseHive.load()(std::exchange(hive_, nullptr));
        if (result != ERROR_SUCCESS) throw std::runtime_error("ORCloseHive failed, " + std::to_string(result));
    }

private:
    ORHKEY hive_ = nullptr;
};

class OfflineKey {
public:
    OfflineKey(ORHKEY parent, const std::string& path) {
        const DWORD result = disk::offreg().OROpenKey.load()(parent, Utf8ToUtf16(path).c_str(), &key_);
        if (result != ERROR_SUCCESS) {
            key_ = nullptr;
            RaiseResult("OROpenKey failed:", result);
        }
    }
    ~OfflineKey() {
        if (key_) disk::offreg().ORCloseKey.load()(key_);
    }
    OfflineKey(const OfflineKey&) = delete;
    OfflineKey& operator=(const OfflineKey&) = delete;

    ORHKEY get() const { return key_; }

private:
    ORHKEY key_ = nullptr;
};

std::string ValueText(ORHKEY key, const std::string& name) {
    std::string text;
    disk::OffregGetValue(key, name, text);
    return text;
}

// The current control set's key, from "select\Current".
std::string CurrentControlSet(ORHKEY hive) {
    OfflineKey select(hive, "select");
    return ControlSetName(ValueText(select.get(), "Current"));
}

// ---- The changes. ----

struct ValueChange {
    const char* key;  // below the control set
    const char* name;
    const char* text;
    DWORD type;
};

std::vector<ValueChange> ChangesOf(OfflineRepair repair) {
    switch (repair) {
    case OfflineRepair::DiskControllers:
        return {{"services\\viaide", "start", "0", REG_DWORD},
                {"services\\intelide", "start", "0", REG_DWORD},
                {"services\\atapi", "start", "0", REG_DWORD},
                {"services\\pciide", "start", "0", REG_DWORD}};
    case OfflineRepair::UsbBoot:
        return {{"services\\usbhub", "start", "0", REG_DWORD},
                {"services\\usbhub", "group", "System Bus Extender", REG_SZ},
                {"services\\usbstor", "start", "0", REG_DWORD},
                {"services\\usbstor", "group", "SCSI miniport", REG_SZ},
                {"services\\usbehci", "start", "0", REG_DWORD},
                {"services\\usbehci", "group", "Boot Bus Extender", REG_SZ},
                {"services\\usbohci", "start", "0", REG_DWORD},
                {"services\\usbohci", "group", "Boot Bus Extender", REG_SZ},
                {"services\\usbuhci", "start", "0", REG_DWORD},
                {"services\\usbuhci", "group", "Boot Bus Extender", REG_SZ}};
    case OfflineRepair::BootDrivers:
        // 3,000 ms here: a partition that does not come in three seconds is
        // not waited for any longer at boot.
        return {{"control", "BootDriverFlags", "6", REG_DWORD},
                {"control\\pnp", "PollBootPartitionTimeout", "3000", REG_DWORD}};
    case OfflineRepair::AutoReboot: return {{"Control\\CrashControl", "AutoReboot", "0", REG_DWORD}};
    case OfflineRepair::MountedDevices:
    case OfflineRepair::DeviceEnumeration: break;
    }
    return {};
}

void SetValues(ORHKEY hive, const std::string& control_set, const std::vector<ValueChange>& changes) {
    for (const ValueChange& change : changes) {
        OfflineKey key(hive, control_set + "\\" + change.key);
        if (!disk::OffregSetValue(key.get(), change.name, change.text, change.type))
            throw std::runtime_error("setvalue failed");
    }
}

void DeleteKey(ORHKEY parent, const std::string& name) {
    if (!disk::OffregDeleteKey(parent, name)) throw std::runtime_error("deletekey failed");
}

void Change(OfflineRepair repair, ORHKEY hive) {
    if (repair == OfflineRepair::MountedDevices) return DeleteKey(hive, "MountedDevices");
    const std::string control_set = CurrentControlSet(hive);
    if (repair == OfflineRepair::DeviceEnumeration) {
        {
            OfflineKey enumeration(hive, control_set + "\\enum");
            DeleteOfflineKeyTree(enumeration.get());
        }
        OfflineKey set(hive, control_set);
        return DeleteKey(set.get(), "enum");
    }
    SetValues(hive, control_set, ChangesOf(repair));
}

// The name of subkey `index` of `key`; false past the last.
bool SubkeyAt(ORHKEY key, DWORD index, std::string& name) {
    char16_t buffer[256];
    DWORD size = 256;
    const DWORD result = disk::offreg().OREnumKey.load()(key, index, buffer, &size, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return false;
    if (result != ERROR_SUCCESS) RaiseResult("OREnumKey failed:", result);
    name = Utf16ToUtf8(std::u16string_view(buffer, size));
    return true;
}

void DeleteSubkeys(ORHKEY key, int depth) {
    if (depth > kMaxKeyDepth) throw std::runtime_error("the key tree is deeper than " + std::to_string(kMaxKeyDepth));
    // Always the first subkey: once it is gone the next one is first, and a
    // key that cannot go stops the deleter instead of being met again.
    std::string name, deleted;
    while (SubkeyAt(key, 0, name)) {
        if (!deleted.empty() && EqualsNoCase(name, deleted))
            throw std::runtime_error("key " + name + " is still there after it was deleted");
        {
            OfflineKey child(key, name);
            DeleteSubkeys(child.get(), depth + 1);
        }
        const DWORD result = disk::offreg().ORDeleteKey.load()(key, Utf8ToUtf16(name).c_str());
        if (result != ERROR_SUCCESS) RaiseResult("ORDeleteKey failed:", result);
        deleted = name;
    }
}

// The entry of `folder` called `name` in any case; empty when none.
std::filesystem::path EntryNamed(const std::filesystem::path& folder, const std::string& name) {
    return EntryNamedNoCase(folder.string(), name).value_or(std::string());
}

// `relative` ("System32/config/SYSTEM") below `folder`, each name in any case.
std::filesystem::path FindBelow(const std::filesystem::path& folder, const std::vector<std::string>& relative) {
    std::filesystem::path found = folder;
    for (const std::string& name : relative) {
        found = EntryNamed(found, name);
        if (found.empty()) return {};
    }
    return found;
}

template <typename Read>
std::string ReadOffline(const std::string& path, Read read) {
    const std::string file = SystemHiveOf(path);
    disk::LoadOffreg();
    OfflineHive hive(file);
    std::string text = read(hive.root(), CurrentControlSet(hive.root()));
    hive.Close();
    return text;
}

}  // namespace

std::string SystemHiveOf(const std::string& path) {
    const std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) RaiseResult("OROpenHive failed:", GetLastError());
    const std::optional<FileFacts> facts = FileFactsOf(resolved);
    if (!facts) return resolved;  // opening it says what is wrong
    // The hive is swapped by renaming: a link is followed to the file it names.
    if (facts->kind != FileKind::Folder) return ResolvedPath(resolved).value_or(resolved);
    // The installation's root, its Windows folder, System32, config.
    const std::vector<std::vector<std::string>> tails = {{"Windows", "System32", "config", "SYSTEM"},
                                                         {"System32", "config", "SYSTEM"},
                                                         {"config", "SYSTEM"},
                                                         {"SYSTEM"}};
    for (const auto& tail : tails) {
        const std::filesystem::path hive = FindBelow(resolved, tail);
        const std::optional<FileFacts> found = hive.empty() ? std::nullopt : FileFactsOf(hive.string());
        if (found && found->is_regular()) return hive.string();
    }
    throw std::runtime_error("no SYSTEM hive of a Windows installation in " + path);
}

std::string OldHiveName(const std::string& hive) {
    const std::size_t slash = hive.find_last_of("/\\");
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = hive.rfind('.');
    // A name's leading dot marks a hidden file, not an extension.
    const bool has_extension = dot != std::string::npos && dot > name_start;
    std::string old = (has_extension ? hive.substr(0, dot) : hive) + ".old";
    return old == hive ? hive + ".old" : old;
}

std::pair<DWORD, DWORD> SavedHiveVersion(DWORD major, DWORD minor) {
    if (major == 6 && minor == 2) return {6, 1};
    return {major, minor};
}

std::string ControlSetName(const std::string& current) {
    unsigned number = 0;
    const char* end = current.data() + current.size();
    const auto [stop, error] = std::from_chars(current.data(), end, number);
    if (current.empty() || error != std::errc() || stop != end || number < 1 || number > 999)
        throw std::runtime_error("select\\Current holds no control set number: '" + current + "'");
    std::string digits = std::to_string(number);
    return "ControlSet" + std::string(3 - digits.size(), '0') + digits;
}

void DeleteOfflineKeyTree(ORHKEY key) {
    try {
        DeleteSubkeys(key, 0);
    } catch (const std::exception& e) {
        throw std::runtime_error("EnumKeys error:" + std::string(e.what()));
    }
}

std::string RunOfflineRepair(OfflineRepair repair, const std::string& path, std::string* note) {
    const std::string file = SystemHiveOf(path);
    disk::LoadOffreg();
    DWORD running_major = 0, running_minor = 0;
    disk::GetOSVersion(running_major, running_minor);
    const auto [major, minor] = SavedHiveVersion(running_major, running_minor);

    OfflineHive hive(file);
    Change(repair, hive.root());

    // The changed hive goes to a new file beside the old one, which is
    // removed again on any failure before the swap.
    FileReplacement saved(file, FileReplacement::Start::NameOnly);
    if (!saved) throw std::runtime_error("saved to " + file + " failed," + std::to_string(GetLastError()));
    hive.Save(saved.path(), major, minor);
    hive.Close();
    {
        // What was written must read back as a hive before it replaces one.
        OfflineHive check(saved.path());
        check.Close();
    }

    const std::string old = OldHiveName(file);
    std::string leftover;
    if (!saved.commit_keeping_old(old, &leftover)) {
        const DWORD error = GetLastError();
        throw std::runtime_error("could not put the changed hive in place of " + file + " and keep it as " + old +
                                 ":" + std::to_string(error) + ":" + SysErrorMessage(error) +
                                 " - nothing was changed");
    }
    if (!leftover.empty() && note) *note = "The backup of the run before could not be removed: " + leftover;
    return kOfflineRegistryModified;
}

std::string ReadOfflineHal(const std::string& path) {
    return ReadOffline(path, [](ORHKEY hive, const std::string& control_set) {
        OfflineKey hal(hive, control_set + "\\Enum\\Root\\ACPI_HAL\\0000");
        std::string ids = ValueText(hal.get(), "hardwareid");
        // A list of ids comes joined by NULs, which a message cannot show.
        for (char& c : ids)
            if (c == '\0') c = '\n';
        return ids;
    });
}

std::string ReadOfflineProcessor(const std::string& path) {
    return ReadOffline(path, [](ORHKEY hive, const std::string& control_set) {
        OfflineKey environment(hive, control_set + "\\Control\\Session Manager\\Environment");
        const std::string architecture = ValueText(environment.get(), "PROCESSOR_ARCHITECTURE");
        const std::string identifier = ValueText(environment.get(), "PROCESSOR_IDENTIFIER");
        if (architecture.empty() && identifier.empty()) return std::string();
        return architecture + " - " + identifier;
    });
}

}  // namespace tarnovell
