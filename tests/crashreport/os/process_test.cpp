#include "crashreport/os/process_helpers.h"

#include <gtest/gtest.h>
#include <gnu/libc-version.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "crashreport/os/memory.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/package_files.h"
#include "crashreport/os/stack_capture.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/text/string_toolkit.h"
#include "support/test_support.h"

namespace crashreport {
namespace {

TEST(SafeMemory, ReadsWhatIsMappedAndRefusesWhatIsNot) {
    const char text[] = "readable";
    char copy[9] = {};
    EXPECT_TRUE(SafeReadMemory(text, copy, sizeof text));
    EXPECT_STREQ(copy, "readable");
    EXPECT_FALSE(SafeReadMemory(reinterpret_cast<const void*>(16), copy, 4));

    // Two pages: the second one has no access, as a guard page.
    const long page = 4096;
    auto* region = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    ASSERT_EQ(mprotect(region + page, page, PROT_NONE), 0);
    EXPECT_TRUE(SafeReadMemory(region + page - 4, copy, 4));
    EXPECT_FALSE(SafeReadMemory(region + page - 4, copy, 8));  // runs into the guard page
    EXPECT_TRUE(IsReadableMemory(region, page));
    EXPECT_FALSE(IsReadableMemory(region, page + 1));
    EXPECT_FALSE(IsReadableMemory(region + page, 1));
    const MemoryMapSnapshot snapshot = MemoryMapSnapshot::Take();
    EXPECT_TRUE(snapshot.readable(reinterpret_cast<std::uintptr_t>(region), page));
    EXPECT_FALSE(snapshot.readable(reinterpret_cast<std::uintptr_t>(region + page), 1));
    EXPECT_FALSE(SafeReadMemory(region + page, copy, 1, &snapshot));
    munmap(region, 2 * page);
}

TEST(Modules, ListsTheProgramFirstAndFindsTheImageOfAnAddress) {
    const std::vector<ModuleInfo> modules = ListModulesByVirtualQuery();
    ASSERT_FALSE(modules.empty());
    EXPECT_EQ(modules.front().file_name, "crashreport_tests");
    ModuleInfo module;
    ASSERT_TRUE(FindModuleOfAddr(reinterpret_cast<std::uintptr_t>(&ListOwnThreadIds), module));
    EXPECT_EQ(module.file_name, "crashreport_tests");
    EXPECT_LE(module.code_start, reinterpret_cast<std::uintptr_t>(&ListOwnThreadIds));
    EXPECT_GT(module.code_end, reinterpret_cast<std::uintptr_t>(&ListOwnThreadIds));
    EXPECT_FALSE(FindModuleOfAddr(16, module));
    const auto exported = FindExportByName("inflateInit2_");
    if (exported != 0) {
        EXPECT_EQ(ExportNameOfAddr(exported, false), "inflateInit2_");
    }
}

TEST(Threads, ListsAndNamesTheThreadsOfTheProcess) {
    std::atomic<std::uint32_t> worker_id{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        worker_id = CurrentThreadId();
        while (!stop) std::this_thread::yield();
    });
    while (worker_id == 0) std::this_thread::yield();
    std::vector<std::uint32_t> ids;
    ListOwnThreadIds(ids);
    EXPECT_NE(std::find(ids.begin(), ids.end(), CurrentThreadId()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), worker_id.load()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), MainThreadId()), ids.end());

    const std::uint32_t id = worker_id;
    const std::string hex = CardToHexPadded(id, 1, '0');
    EXPECT_EQ(GetThreadDisplayName(id, false), "thread " + hex);
    SetThreadDisplayName(id, "copy worker", CurrentThreadId(), 0x1234, "TCopyThread");
    std::uintptr_t creator = 0;
    std::uint32_t creator_thread = 0;
    EXPECT_EQ(GetThreadDisplayName(id, false, &creator, &creator_thread), "copy worker (" + hex + ")");
    EXPECT_EQ(creator, 0x1234u);
    EXPECT_EQ(creator_thread, CurrentThreadId());
    SetThreadDisplayName(id, "-");  // "-" marks a thread kept out of thread lists
    EXPECT_EQ(GetThreadDisplayName(id, false), "");
    EXPECT_EQ(GetThreadDisplayName(id, true), "thread " + hex + " (TCopyThread)");
    SetThreadDisplayName(id, "zelExcept - HandleExceptionThread");
    EXPECT_EQ(GetThreadDisplayName(id, false), "");
    EXPECT_EQ(GetThreadDisplayName(id, true), "zelExcept - HandleExceptionThread (" + hex + ")");
    ClearThreadDisplayName(id);
    EXPECT_EQ(GetThreadDisplayName(id, true), "thread " + hex);

    bool stopped = true;
    int priority = 99;
    EXPECT_TRUE(ThreadState(id, stopped, priority));
    EXPECT_FALSE(stopped);
    stop = true;
    worker.join();
    EXPECT_FALSE(ThreadIsAlive(id));
    EXPECT_FALSE(ThreadState(id, stopped, priority));
}

__attribute__((noinline)) void SpinInKnownPlace(std::atomic<bool>& running, std::atomic<bool>& stop) {
    running = true;
    while (!stop) asm volatile("" ::: "memory");
}

TEST(StackCapture, TakesTheStackOfAnotherThread) {
    std::atomic<bool> running{false}, stop{false};
    std::atomic<std::uint32_t> id{0};
    std::thread worker([&] {
        id = CurrentThreadId();
        SpinInKnownPlace(running, stop);
    });
    while (!running) std::this_thread::yield();
    TDAPreStackItem items;
    std::uintptr_t current = 0;
    // The spinning thread answers as soon as it is scheduled, which on a
    // loaded machine may take longer than the reporter's usual patience.
    ASSERT_TRUE(CollectThreadStackItems(id, items, current, std::chrono::seconds(60)));
    stop = true;
    worker.join();
    ModuleInfo module;
    ASSERT_TRUE(FindModuleOfAddr(current, module));
    EXPECT_EQ(module.file_name, "crashreport_tests");
    EXPECT_GE(current, reinterpret_cast<std::uintptr_t>(&SpinInKnownPlace));
    EXPECT_LT(current, reinterpret_cast<std::uintptr_t>(&SpinInKnownPlace) + 256);
    EXPECT_FALSE(items.empty());
    // A thread that is gone does not answer.
    EXPECT_FALSE(CollectThreadStackItems(id, items, current, std::chrono::milliseconds(200)));
}

TEST(PathText, ExpandsAndSplitsWindowsAndLinuxPaths) {
    EXPECT_EQ(ExpandPathAgainst(u"..\\x.txt", u"C:\\a\\b\\prog.exe"), u"C:\\a\\x.txt");
    EXPECT_EQ(ExpandPathAgainst(u"\\x.txt", u"C:\\a\\b\\prog.exe"), u"C:\\x.txt");
    EXPECT_EQ(ExpandPathAgainst(u"x.txt", u"C:\\a\\b\\prog.exe"), u"C:\\a\\b\\x.txt");
    EXPECT_EQ(ExpandPathAgainst(u"D:\\r\\.\\x", u"C:\\a\\prog.exe"), u"D:\\r\\x");
    EXPECT_EQ(ExpandPathAgainst(u"report.txt", u"/opt/tarnovell/tarnovell"), u"/opt/tarnovell/report.txt");
    EXPECT_EQ(ExpandPathAgainst(u"../logs/r.txt", u"/opt/tarnovell/tarnovell"), u"/opt/logs/r.txt");
    EXPECT_EQ(ExpandPathAgainst(u"/var/tmp/r.txt", u"/opt/tarnovell/tarnovell"), u"/var/tmp/r.txt");
    EXPECT_EQ(DriveOfPathW(u"\\\\srv\\share\\dir\\f"), u"\\\\srv\\share\\");
    EXPECT_EQ(DriveOfPathW(u"C:\\dir\\f"), u"C:\\");
    EXPECT_EQ(DriveOfPathW(u"/home/x"), u"/");
    EXPECT_EQ(FileNameOfPathW(u"C:\\a\\b.txt"), u"b.txt");
    EXPECT_EQ(FolderOfPathW(u"/a/b.txt"), u"/a/");
    EXPECT_EQ(PathWithoutExtW(u"prog.tar.gz"), u"prog.tar");
}

TEST(RegistryStore, KeepsValuesPerKeyAndDeletesThem) {
    test_support::TempDir dir;
    SetRegistryStoreFolder(dir.path());
    const char* key = "Software\\Kolvar\\ContactForm";
    EXPECT_EQ(RegistryReadText(RegistryRoot::CurrentUser, key, "RememberName"), "");
    EXPECT_TRUE(RegistryWriteText(RegistryRoot::CurrentUser, key, "RememberName", "Ann Smith"));
    EXPECT_EQ(RegistryReadText(RegistryRoot::CurrentUser, key, "RememberName"), "Ann Smith");
    EXPECT_EQ(RegistryReadText(RegistryRoot::LocalMachine, key, "RememberName"), "");
    EXPECT_TRUE(RegistryWriteText(RegistryRoot::CurrentUser, "..\\..\\escape", "v", "x"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "HKCU" / "escape" / "v"));
    EXPECT_TRUE(RegistryDeleteValue(RegistryRoot::CurrentUser, key, "RememberName"));
    EXPECT_FALSE(RegistryDeleteValue(RegistryRoot::CurrentUser, key, "RememberName"));
    SetRegistryStoreFolder({});
}

TEST(SystemFacts, ClassifiesWindowsVersionsByTheTable) {
    struct Case {
        std::uint32_t platform, major, minor, build;
        bool workstation;
        const char* name;
    };
    const Case cases[] = {
        {1, 4, 0, 950, false, "Windows 95"},      {1, 4, 0, 1111, false, "Windows 95 OSR-2"},
        {1, 4, 10, 1998, false, "Windows 98"},    {1, 4, 10, 2222, false, "Windows 98 SE"},
        {1, 4, 90, 3000, false, "Windows ME"},    {2, 4, 0, 1381, true, "Windows NT 4"},
        {2, 5, 0, 2195, true, "Windows 2000"},    {2, 5, 1, 2600, false, "Windows XP"},
        {2, 5, 2, 3790, false, "Windows 2003"},   {2, 6, 1, 7601, true, "Windows 7"},
        {2, 6, 1, 7601, false, "Windows 2008 R2"}, {2, 6, 3, 9600, true, "Windows NT New"},
        {2, 10, 0, 19045, true, "Windows NT New"}, {3, 1, 0, 0, true, "None"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(kVersionClassNames[ClassifyWindowsVersion(c.platform, c.major, c.minor, c.build, c.workstation)],
                     c.name);
    OsInformation info;
    GetOsVersionText(info);
    EXPECT_TRUE(info.is_nt);
    EXPECT_NE(info.description.find("Linux"), std::string::npos);
    EXPECT_EQ(FileVersionNumberText(0x00030004, 0x00010002), "1.2.3.4");
    EXPECT_EQ(GetFileVersionText("/usr/lib/x86_64-linux-gnu/libz.so.1.2.13"), "1.2.13");
    EXPECT_EQ(GetFileVersionText("/usr/bin/tarnovell"), "");
    // A library's whole version, not the number of its interface: from the
    // file its name links to, else from its package.
    ModuleInfo qt_core, c_library;
    for (const ModuleInfo& module : ListModulesByVirtualQuery()) {
        if (module.file_name.rfind("libQt6Core.so", 0) == 0) qt_core = module;
        if (module.file_name.rfind("libc.so", 0) == 0) c_library = module;
    }
    ASSERT_FALSE(qt_core.path.empty());
    const std::string qt_file = std::filesystem::canonical(qt_core.path).filename().string();
    const std::string qt_version = GetFileVersionText(qt_core.path);
    EXPECT_EQ(qt_version, qt_file.substr(qt_file.find(".so.") + 4));
    EXPECT_EQ(std::count(qt_version.begin(), qt_version.end(), '.'), 2) << qt_version;
    ASSERT_FALSE(c_library.path.empty());
    EXPECT_EQ(GetFileVersionText(c_library.path), gnu_get_libc_version());
    EXPECT_EQ(TicksBetween(10, 25), 15u);
    EXPECT_EQ(TicksBetween(0xFFFFFFF0u, 5), 20u);  // across the wrap, one less
    EXPECT_GT(UtcSecondsNow(), 13'000'000'000);     // after 2012 counted from 1601
    std::uint64_t free_bytes = 0, total = 0;
    EXPECT_TRUE(PhysicalMemoryStatus(free_bytes, total));
    EXPECT_GT(total, 0u);
    EXPECT_GT(FreeDiskBytes("/"), 0);
    EXPECT_FALSE(GetComputerNameText().empty());
    RegisterResource("RCDATA", "TZELEXCEPT", "TPF0");
    EXPECT_EQ(LoadResourceText("rcdata", "tzelexcept"), "TPF0");
    EXPECT_EQ(LoadResourceText("RCDATA", "TZEOTHER"), "");
}

TEST(SystemFacts, LibrariesWithoutAVersionInTheirNameHaveTheirPackagesVersion) {
    if (!test_support::HaveTool("dpkg")) GTEST_SKIP() << "not a system with dpkg";
    // The loader's name of each (dpkg lists them under /lib); their names
    // tell only the number of their interface.
    const std::pair<const char*, const char*> libraries[] = {
        {"libc.so.6", "libc6"},
        {"libm.so.6", "libc6"},
        {"ld-linux-x86-64.so.2", "libc6"},
        {"libpthread.so.0", "libc6"},
        {"libgcc_s.so.1", "libgcc-s1"},
    };
    for (const auto& [file, package] : libraries) {
        const std::string path = "/usr/lib/x86_64-linux-gnu/" + std::string(file);
        if (!std::filesystem::exists(path)) continue;
        // "ii  libc6:amd64  2.36-9+deb12u14  amd64  GNU C Library..."
        const test_support::CommandResult listed = test_support::Run("dpkg -l " + std::string(package) + " | tail -1");
        std::istringstream fields(listed.output);
        std::string state, name, version;
        fields >> state >> name >> version;
        ASSERT_EQ(state, "ii") << listed.output;
        const std::string ours = GetFileVersionText(path);
        EXPECT_EQ(version.rfind(ours + "-", 0), 0u) << file << ": " << ours << " of " << version;
        EXPECT_NE(ours.find('.'), std::string::npos) << file << ": " << ours;
    }
}

TEST(SystemFacts, PackageVersionsComeFromTheInstalledPackageThatListsTheFile) {
    // A database of two packages; the library is listed under a folder
    // that links to where it is.
    test_support::TempDir dir;
    std::filesystem::create_directories(dir.file("usr/lib"));
    std::filesystem::create_directories(dir.file("db/info"));
    std::filesystem::create_directory_symlink("usr/lib", dir.file("lib"));
    test_support::WriteWholeFile(dir.file("usr/lib/libdemo.so.3"), "library");
    test_support::WriteWholeFile(dir.file("usr/lib/libgone.so.1"), "library");
    test_support::WriteWholeFile(dir.file("db/info/libdemo3:amd64.list"), dir.file("lib") + "\n" + dir.file("lib/libdemo.so.3") + "\n");
    test_support::WriteWholeFile(dir.file("db/info/libgone1.list"), dir.file("usr/lib/libgone.so.1") + "\n");
    test_support::WriteWholeFile(dir.file("db/status"),
                                 "Package: libgone1\nStatus: deinstall ok config-files\nVersion: 1.0-1\n\n"
                                 "Package: libdemo3\nStatus: install ok installed\nArchitecture: amd64\n"
                                 "Description: demo\n a continued line: 9\nVersion: 2:3.4.5+dfsg-7~bpo12+1\n");
    SetPackageDatabaseFolder(dir.file("db"));
    EXPECT_EQ(PackageVersionOfFile(dir.file("usr/lib/libdemo.so.3")), "3.4.5");
    EXPECT_EQ(PackageVersionOfFile(dir.file("usr/lib/libgone.so.1")), "");
    EXPECT_EQ(PackageVersionOfFile(dir.file("usr/lib/absent.so")), "");
    SetPackageDatabaseFolder({});
    const std::pair<const char*, const char*> versions[] = {
        {"2.36-9+deb12u14", "2.36"}, {"1:1.2.13.dfsg-1", "1.2.13"}, {"6.4.2+dfsg-10", "6.4.2"}, {"20230311", "20230311"},
        {"git20200101-2", "git20200101"}};
    for (const auto& [version, numbers] : versions) EXPECT_EQ(UpstreamVersionNumbers(version), numbers) << version;
}

TEST(PlausibilityTests, IdentifiersAndRanges) {
    EXPECT_TRUE(IsIdentifierText("_Foo1"));
    EXPECT_FALSE(IsIdentifierText("1Foo"));
    EXPECT_FALSE(IsIdentifierText(""));
    EXPECT_FALSE(IsIdentifierText("a-b"));
    EXPECT_TRUE(IsNilOrInRange(0, 5, 9));
    EXPECT_TRUE(IsNilOrInRange(9, 5, 9));
    EXPECT_FALSE(IsNilOrInRange(10, 5, 9));
}

}  // namespace
}  // namespace crashreport
