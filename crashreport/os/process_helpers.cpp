#include "crashreport/os/process_helpers.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <list>
#include <mutex>
#include <sstream>
#include <system_error>

#include "crashreport/os/file_access.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/text/string_toolkit.h"
#include "platform/os/temp_folder.h"

namespace crashreport {

void ListOwnThreadIds(std::vector<std::uint32_t>& ids) {
    ids.clear();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const std::string name = entry.path().filename().string();
        ids.push_back(static_cast<std::uint32_t>(std::strtoul(name.c_str(), nullptr, 10)));
    }
}

namespace {

// The fields of /proc/self/task/<id>/stat after the command name, which may
// hold blanks and parentheses: they follow the last ")". False when the
// thread has ended, including one still on its way out: pthread_join
// returns once the kernel has cleared the thread's id word, before the
// kernel takes the thread out of /proc, and a thread past that point is
// gone for every purpose of ours.
bool LiveThreadStat(std::uint32_t thread_id, std::vector<std::string>& fields) {
    if (thread_id == 0) return false;
    std::ifstream stat("/proc/self/task/" + std::to_string(thread_id) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    fields.clear();
    std::istringstream words(text.substr(close + 2));
    for (std::string word; words >> word;) fields.push_back(word);
    // State, then flags as the 7th field after it; PF_EXITING is set as the
    // thread starts to end.
    constexpr unsigned long kExiting = 0x4;
    if (fields.size() < 17 || fields[0] == "Z" || fields[0] == "X" || fields[0] == "x") return false;
    return (std::strtoul(fields[6].c_str(), nullptr, 10) & kExiting) == 0;
}

}  // namespace

std::string KernelThreadName(std::uint32_t thread_id) {
    std::ifstream comm("/proc/self/task/" + std::to_string(thread_id) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool ThreadIsAlive(std::uint32_t thread_id) {
    std::vector<std::string> fields;
    return LiveThreadStat(thread_id, fields);
}

bool ThreadState(std::uint32_t thread_id, bool& stopped, int& priority) {
    std::vector<std::string> fields;
    if (!LiveThreadStat(thread_id, fields)) return false;
    stopped = fields[0] == "T" || fields[0] == "t";
    // Field 19 (nice) is the 17th after the state.
    priority = std::atoi(fields[16].c_str());
    return true;
}

namespace {

struct ThreadNameEntry {
    std::uint32_t thread_id = 0;
    std::string name;
    std::string class_name;
    std::uintptr_t creator_address = 0;
    std::uint32_t creator_thread_id = 0;
};

struct ThreadNameList {
    std::timed_mutex lock;
    std::list<ThreadNameEntry> entries;
};

ThreadNameList& Names() {
    // Never destroyed: threads still running at exit may name themselves.
    static ThreadNameList& list = *new ThreadNameList;
    return list;
}

}  // namespace

void SetThreadDisplayName(std::uint32_t thread_id, const std::string& name, std::uint32_t creator_thread_id,
                          std::uintptr_t creator_address, const std::string& class_name) {
    ThreadNameList& list = Names();
    std::lock_guard guard(list.lock);
    ThreadNameEntry old;
    for (auto it = list.entries.begin(); it != list.entries.end(); ++it) {
        if (it->thread_id == thread_id) {
            old = *it;
            list.entries.erase(it);
            break;
        }
    }
    if (!name.empty() || creator_address != 0) {
        ThreadNameEntry entry;
        entry.thread_id = thread_id;
        entry.name = name.empty() ? old.name : name;
        entry.class_name = class_name.empty() ? old.class_name : class_name;
        entry.creator_address = creator_address != 0 ? creator_address : old.creator_address;
        entry.creator_thread_id = creator_thread_id != 0 ? creator_thread_id : old.creator_thread_id;
        list.entries.push_front(std::move(entry));
    }
    for (auto it = list.entries.begin(); it != list.entries.end(); ++it) {
        if (!ThreadIsAlive(it->thread_id)) {
            list.entries.erase(it);
            break;
        }
    }
}

void ClearThreadDisplayName(std::uint32_t thread_id) { SetThreadDisplayName(thread_id, {}, 0, 0, {}); }

void NameThreadForDebugger(std::uint32_t thread_id, const std::string& name) {
    SetThreadDisplayName(thread_id, name);
    if (!name.empty() && thread_id == CurrentThreadId())
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string GetThreadDisplayName(std::uint32_t thread_id, bool include_internal, std::uintptr_t* creator_address,
                                 std::uint32_t* creator_thread_id) {
    if (creator_address != nullptr) *creator_address = 0;
    if (creator_thread_id != nullptr) *creator_thread_id = 0;
    const std::string id_text = CardToHexPadded(thread_id, 1, '0');
    ThreadNameList& list = Names();
    std::unique_lock guard(list.lock, std::chrono::milliseconds(50));
    if (!guard.owns_lock()) return "thread " + id_text;
    std::string name, class_name;
    for (const ThreadNameEntry& entry : list.entries) {
        if (entry.thread_id != thread_id) continue;
        name = entry.name;
        class_name = entry.class_name;
        if (creator_address != nullptr) *creator_address = entry.creator_address;
        if (creator_thread_id != nullptr) *creator_thread_id = entry.creator_thread_id;
        break;
    }
    if (!include_internal)
        for (const char* internal : kInternalThreadNames)
            if (name == internal) return {};
    if (!name.empty() && name != "-") return name + " (" + id_text + ")";
    // A thread a library started is known by the name it gave itself
    // ("QDBusConnection", "gmain", "Thread (pooled)").
    if (class_name.empty()) {
        const std::string own = KernelThreadName(thread_id);
        if (!own.empty() && own != KernelThreadName(OwnProcessId())) class_name = own;
    }
    std::string text = "thread " + id_text;
    if (!class_name.empty()) text += " (" + class_name + ")";
    return text;
}

namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

std::size_t LastSeparator(std::u16string_view path) {
    for (std::size_t i = path.size(); i > 0; --i)
        if (IsSeparator(path[i - 1])) return i - 1;
    return std::u16string_view::npos;
}

}  // namespace

std::u16string FileNameOfPathW(std::u16string_view path) {
    const std::size_t at = LastSeparator(path);
    return std::u16string(at == std::u16string_view::npos ? path : path.substr(at + 1));
}

std::u16string FolderOfPathW(std::u16string_view path) {
    const std::size_t at = LastSeparator(path);
    return at == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, at + 1));
}

std::u16string PathWithoutExtW(std::u16string_view name) {
    const std::size_t dot = name.rfind(u'.');
    return std::u16string(dot == std::u16string_view::npos ? name : name.substr(0, dot));
}

std::u16string DriveOfPathW(std::u16string_view path) {
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        int separators = 0;
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (IsSeparator(path[i]) && ++separators == 4) return std::u16string(path.substr(0, i)) + u'\\';
        }
        return std::u16string(path) + u'\\';
    }
    if (path.size() >= 2 && path[1] == u':') return std::u16string(1, path[0]) + u":\\";
    if (!path.empty() && path[0] == u'/') return u"/";
    return std::u16string(path);
}

std::u16string ExpandPathAgainst(std::u16string_view name, std::u16string_view executable) {
    std::u16string path;
    const bool rooted = !name.empty() && IsSeparator(name[0]);
    const bool drive = name.size() >= 2 && name[1] == u':';
    if (name.size() < 3 || (!rooted && !drive)) {
        path = FolderOfPathW(executable) + std::u16string(name);
    } else if (rooted && !(name.size() >= 2 && IsSeparator(name[1]))) {
        std::u16string root = DriveOfPathW(executable);
        path = root + std::u16string(name.substr(1));
    } else {
        path = std::u16string(name);
    }
    // Resolve "./" and "../" steps with whichever separator the path uses.
    const char16_t separator = path.find(u'\\') != std::u16string::npos && path.find(u'/') == std::u16string::npos
                                   ? u'\\'
                                   : u'/';
    std::u16string here{separator, u'.', separator};
    while (ReplaceSubStrCaseW(path, here, std::u16string(1, separator), true)) {
    }
    const std::u16string up{separator, u'.', u'.', separator};
    for (std::size_t at = path.find(up); at != std::u16string::npos; at = path.find(up)) {
        const std::size_t previous = at == 0 ? std::u16string::npos : path.rfind(separator, at - 1);
        if (previous == std::u16string::npos) {
            path.erase(at, up.size() - 1);
        } else {
            path.erase(previous, at + up.size() - 1 - previous);
        }
    }
    return path;
}

std::u16string ExpandPathW(std::u16string_view name) {
    return ExpandPathAgainst(name, Utf8ToWideText(ExecutablePath()));
}

namespace {

struct RunFolder {
    std::mutex lock;
    std::string parent;
    std::filesystem::path path;
};

RunFolder& ThisRunsFolder() {
    // Never destroyed: a report may still be written while statics go.
    static RunFolder& folder = *new RunFolder;
    return folder;
}

std::string RunFolderPrefix(bool with_pid) {
    std::string prefix = std::filesystem::path(ExecutablePath()).stem().string() + ".zelExcept-";
    if (with_pid) prefix += std::to_string(OwnProcessId()) + "-";
    return prefix;
}

}  // namespace

bool IsOwnPrivateFolder(const std::filesystem::path& folder) {
    FileOwnership facts;
    return LinkFacts(folder, facts) && facts.directory && facts.owned_by_us && !facts.open_to_others;
}

std::filesystem::path GetZelTempFolder() {
    RunFolder& run = ThisRunsFolder();
    std::lock_guard guard(run.lock);
    const std::string parent = platform::TemporaryFolder();
    if (run.parent == parent && !run.path.empty() && IsOwnPrivateFolder(run.path)) return run.path / "";
    platform::ScratchFolder made = platform::ScratchFolder::Create(RunFolderPrefix(true), parent);
    if (!made) return {};
    run.parent = parent;
    run.path = made.release();
    return run.path / "";
}

void DeleteFolderTree(const std::filesystem::path& folder) {
    std::filesystem::path path = folder;
    if (!path.empty() && !path.has_filename()) path = path.parent_path();
    if (path.empty() || !IsOwnPrivateFolder(path)) return;
    platform::RemoveTreeOnOneFileSystem(path.string());
}

void DeleteZelTempFolder() {
    RunFolder& run = ThisRunsFolder();
    std::lock_guard guard(run.lock);
    if (run.path.empty()) return;
    DeleteFolderTree(run.path);
    run.path.clear();
}

void DeleteFoldersOfEndedRuns() {
    const std::string prefix = RunFolderPrefix(false);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(platform::TemporaryFolder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const int pid = std::atoi(name.c_str() + prefix.size());
        if (pid <= 0 || ProcessExists(pid)) continue;
        DeleteFolderTree(entry.path());
    }
}

namespace {

std::mutex& StoreLock() {
    static std::mutex lock;
    return lock;
}

std::filesystem::path& StoreFolderSetting() {
    static std::filesystem::path folder;
    return folder;
}

std::filesystem::path StoreFolder() {
    std::lock_guard guard(StoreLock());
    if (!StoreFolderSetting().empty()) return StoreFolderSetting();
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = config != nullptr && config[0] != 0 ? std::filesystem::path(config)
                                 : home != nullptr && home[0] != 0  ? std::filesystem::path(home) / ".config"
                                                                    : std::filesystem::temp_directory_path();
    return base / "tarnovell" / "registry";
}

// A key path of the Windows form ("Software\Vendor\Form") as folders; steps
// that could leave the store ("..", empty) are dropped.
std::filesystem::path ValuePath(RegistryRoot root, std::string_view key, std::string_view value_name) {
    std::filesystem::path path = StoreFolder() / (root == RegistryRoot::CurrentUser ? "HKCU" : "HKLM");
    std::string step;
    auto add = [&] {
        if (!step.empty() && step != "." && step != "..") path /= step;
        step.clear();
    };
    for (char c : key) {
        if (c == '\\' || c == '/') add();
        else step.push_back(c);
    }
    add();
    std::string value = value_name.empty() ? std::string("(default)") : std::string(value_name);
    for (char& c : value)
        if (c == '/' || c == '\\') c = '_';
    if (value == "." || value == "..") value = "_" + value;
    return path / value;
}

}  // namespace

void SetRegistryStoreFolder(const std::filesystem::path& folder) {
    std::lock_guard guard(StoreLock());
    StoreFolderSetting() = folder;
}

std::string RegistryReadText(RegistryRoot root, std::string_view key, std::string_view value_name) {
    std::ifstream in(ValuePath(root, key, value_name), std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A text value ends at its first zero, as REG_SZ is read.
    const std::size_t zero = text.find('\0');
    return zero == std::string::npos ? text : text.substr(0, zero);
}

bool RegistryWriteText(RegistryRoot root, std::string_view key, std::string_view value_name, std::string_view text) {
    const std::filesystem::path path = ValuePath(root, key, value_name);
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) return false;
    // Values hold account names and passwords: the user's alone.
    return WriteOwnFile(path, text);
}

bool RegistryDeleteValue(RegistryRoot root, std::string_view key, std::string_view value_name) {
    std::error_code error;
    return std::filesystem::remove(ValuePath(root, key, value_name), error);
}

bool IsLoaderLockBusy(int) { return false; }

bool IsIdentifierText(std::string_view text) {
    if (text.empty()) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(text[0])) return false;
    for (char c : text.substr(1))
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

bool IsNilOrInRange(std::uintptr_t p, std::uintptr_t low, std::uintptr_t high) {
    return p == 0 || (low <= p && p <= high);
}

}  // namespace crashreport
