// The reporter's view of its own process: the threads and their display
// names, path text, the per-run temporary folder, the small value store that
// stands in for the registry, and a few plausibility tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace crashreport {

// Ids of every thread of the own process.
void ListOwnThreadIds(std::vector<std::uint32_t>& ids);
bool ThreadIsAlive(std::uint32_t thread_id);
// The name the system knows the thread by (what pthread_setname_np gave
// it, else the program's name); empty when it is gone.
std::string KernelThreadName(std::uint32_t thread_id);
// Scheduling facts of a thread: whether it is stopped (by a debugger or a
// stop signal) and its nice value; false when the thread is gone.
bool ThreadState(std::uint32_t thread_id, bool& stopped, int& priority);

// The reporter's own threads, hidden in thread lists unless asked for.
inline constexpr const char* kInternalThreadNames[] = {
    "-", "zelExcept - AntiFreezeThread", "zelExcept - HandleExceptionThread", "zelExcept - TraceProcessThread"};

// Replaces the thread's entry in the thread-name list. Anything not given
// (empty text, 0) is taken over from the old entry. With neither a name nor
// a creator address the entry is dropped. One entry of an ended thread is
// swept out each time.
void SetThreadDisplayName(std::uint32_t thread_id, const std::string& name, std::uint32_t creator_thread_id = 0,
                          std::uintptr_t creator_address = 0, const std::string& class_name = {});
void ClearThreadDisplayName(std::uint32_t thread_id);
// Also tells debuggers and the system (the first 15 bytes, as Linux keeps
// them) when the thread is the calling one.
void NameThreadForDebugger(std::uint32_t thread_id, const std::string& name);
// "name ($id)", or "thread $id" and " (class)" for an unnamed thread; empty
// for the reporter's internal threads unless `include_internal`. Waits at
// most 50 ms for the list, so it works while other threads are stopped.
std::string GetThreadDisplayName(std::uint32_t thread_id, bool include_internal,
                                 std::uintptr_t* creator_address = nullptr,
                                 std::uint32_t* creator_thread_id = nullptr);

// Path text. Both "/" and "\" separate folders, so Windows-style texts from
// settings and Linux paths work alike.
std::u16string FileNameOfPathW(std::u16string_view path);
std::u16string FolderOfPathW(std::u16string_view path);
std::u16string PathWithoutExtW(std::u16string_view name);
// The root of a path: "\\server\share\" of a UNC path, "X:\" of a drive
// path, "/" of an absolute Linux path; otherwise the path as it is.
std::u16string DriveOfPathW(std::u16string_view path);
// A relative name is put after `executable`'s folder, a rooted one after its
// root; "." and ".." steps are resolved.
std::u16string ExpandPathAgainst(std::u16string_view name, std::u16string_view executable);
std::u16string ExpandPathW(std::u16string_view name);

// The reporter's own folder of this run, with a trailing separator; empty
// when none can be made. The program runs as root and the temporary folder
// is shared with every user, so a fixed name there belongs to whoever makes
// it first: the folder is made fresh by mkdtemp as
// "<temp>/<program>.zelExcept-<pid>-XXXXXX" (mode 0700), and handed out only
// while it still is a real folder of ours; otherwise a new one is made.
std::filesystem::path GetZelTempFolder();
// Removes `folder` with what is in it, only when it is a real folder (no
// link) of the user we run as that no one else may enter; anything else is
// left untouched.
void DeleteFolderTree(const std::filesystem::path& folder);
// Removes this run's folder, when one was made (the next use makes a new one).
void DeleteZelTempFolder();
// Start-up: removes the folders that ended runs of this program left in the
// temporary folder (the same checks as above, and their process is gone).
void DeleteFoldersOfEndedRuns();
// Whether `folder` is a folder of our own that no one else may enter.
bool IsOwnPrivateFolder(const std::filesystem::path& folder);

// The registry's place is taken by small files, one per value, below a
// store folder (the user's configuration folder unless set otherwise).
enum class RegistryRoot { CurrentUser, LocalMachine };
void SetRegistryStoreFolder(const std::filesystem::path& folder);
std::string RegistryReadText(RegistryRoot root, std::string_view key, std::string_view value_name);
bool RegistryWriteText(RegistryRoot root, std::string_view key, std::string_view value_name, std::string_view text);
bool RegistryDeleteValue(RegistryRoot root, std::string_view key, std::string_view value_name);

// Whether work that could block on the dynamic loader's lock must be done in
// place. The lock cannot be observed on Linux; the reporter never runs its
// report inside a signal handler, so this is false.
bool IsLoaderLockBusy(int wait_ms);
bool IsIdentifierText(std::string_view text);
bool IsNilOrInRange(std::uintptr_t p, std::uintptr_t low, std::uintptr_t high);

}  // namespace crashreport
