// What the bug report says about the machine and the program: the operating
// system, file versions, time, the computer and user, memory and disks, and
// the program's embedded resources.
//
// The report keeps the Windows reporter's version classes, since the rest of
// the reporter picks its code paths by them; on Linux the system always
// counts as the newest NT-family class, and the description names the real
// system (distribution, kernel, architecture).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace crashreport {

// Version classes with their names: index = class.
extern const std::array<const char*, 19> kVersionClassNames;
inline constexpr std::uint8_t kVersionClassNtNew = 18;

struct OsInformation {
    std::uint32_t major = 0, minor = 0, build = 0;
    std::string service_pack;
    bool is_9x = false;
    std::uint8_t class_9x = 0;
    bool is_nt = false;
    std::uint8_t class_nt = 0;
    std::uint8_t version_class = 0;
    bool is_x64 = false;
    std::uint32_t service_pack_number = 0;
    std::string description;
};

// The Windows rule that turns a version into a class: platform 1 (9x) or 2
// (NT), `workstation` for product type 1.
std::uint8_t ClassifyWindowsVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor,
                                    std::uint32_t build, bool workstation);
// Filled on the first call, then copied.
void GetOsVersionText(OsInformation& info);

// Four decimal numbers joined by ".", from the high and low words of the two
// halves of a file version.
std::string FileVersionNumberText(std::uint32_t low, std::uint32_t high);
// A file's version: as a shared library's file name carries it
// ("libz.so.1.2.13" gives "1.2.13"), else its package's version; empty for
// files without either.
std::string GetFileVersionText(const std::string& path);

// Milliseconds of a 32-bit tick counter since `start`, across one wrap.
std::uint32_t TickCount();
std::uint32_t TicksSince(std::uint32_t start);
std::uint32_t TicksBetween(std::uint32_t start, std::uint32_t now);
// Seconds since 1601-01-01 UTC.
std::int64_t UtcSecondsNow();

std::string GetComputerNameText();
// The user the program runs as, and whether that user is an administrator
// (root, or a member of the sudo or wheel group).
std::string UserNameText(bool& administrator);
std::uint32_t OwnProcessId();
std::uint32_t CurrentThreadId();
std::uint32_t MainThreadId();
std::string ProcessorNameText();
unsigned ProcessorCount();
double SystemUpTimeSeconds();
// Free and total physical memory in bytes; false when unknown.
bool PhysicalMemoryStatus(std::uint64_t& free_bytes, std::uint64_t& total_bytes);
// Bytes free for the program's user on the file system holding `path`; -1
// when unknown.
std::int64_t FreeDiskBytes(const std::filesystem::path& path);
// The program's command line, arguments after the program itself.
std::vector<std::string> CommandLineArguments();
// Committed memory that belongs to no loaded image (heap, stacks, mappings).
std::uint64_t AllocatedMemoryOutsideModules();

// The resources the program carries (settings, form descriptions, debug
// information) are registered here at start-up by whoever holds them; names
// and types match without regard to case, as on Windows.
void RegisterResource(std::string_view type, std::string_view name, std::string data);
// The resource's bytes; empty when absent.
std::string LoadResourceText(std::string_view type, std::string_view name);

}  // namespace crashreport
