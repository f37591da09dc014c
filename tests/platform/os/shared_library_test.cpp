// The one binder of libraries loaded at run time.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/base/win_error.h"
#include "platform/modules/module.h"
#include "platform/os/shared_library.h"

namespace fs = std::filesystem;
using platform::EntryPoint;
using platform::MissingEntryPoint;
using platform::SharedLibrary;

namespace {

using CompressBound = int (*)(int);
using VersionNumber = int (*)();

bool Mapped(const std::string& file) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(file) != std::string::npos) return true;
    return false;
}

TEST(SharedLibrary, KnowsTheRealFileAndLetsItGoWhenItGoes) {
    std::string file;
    {
        SharedLibrary library("libhivex.so.0");
        if (!library) GTEST_SKIP() << "libhivex.so.0 is not installed";
        file = library.file();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << file << " is a link, not what was loaded";
        EXPECT_EQ(fs::path(file).filename().string().rfind("libhivex.so.0", 0), 0u) << file;
        EXPECT_TRUE(Mapped(file));
        SharedLibrary moved = std::move(library);
        EXPECT_FALSE(library);
        EXPECT_EQ(moved.file(), file);
    }
    EXPECT_FALSE(Mapped(file)) << "still loaded after the last holder went";
}

TEST(SharedLibrary, AMissingLibrarySaysWhy) {
    platform::SetLastError(platform::ERROR_SUCCESS);
    SharedLibrary library("libtarnovell-not-installed.so.3");
    EXPECT_FALSE(library);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_MOD_NOT_FOUND);
    EXPECT_NE(library.error().find("libtarnovell-not-installed.so.3"), std::string::npos) << library.error();
    EXPECT_EQ(library.file(), "");
    EXPECT_EQ(library.symbol("anything"), nullptr);
}

TEST(SharedLibrary, BindsAWholeTableOrNothing) {
    SharedLibrary library("liblz4.so.1");
    ASSERT_TRUE(library) << library.error();
    CompressBound bound = nullptr;
    VersionNumber version = nullptr;
    VersionNumber missing = nullptr;

    auto bind_with_a_gap = [&](MissingEntryPoint missing_policy) {
        return library.bind(
            {{bound, "LZ4_compressBound"}, {missing, "LZ4_no_such_entry"}, {version, "LZ4_versionNumber"}},
            missing_policy);
    };
    platform::SetLastError(platform::ERROR_SUCCESS);
    EXPECT_STREQ(bind_with_a_gap(MissingEntryPoint::Fails), "LZ4_no_such_entry");
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(bound, nullptr) << "a table that failed to bind was filled in part";
    EXPECT_EQ(version, nullptr);

    EXPECT_STREQ(bind_with_a_gap(MissingEntryPoint::LeavesSlotEmpty), "LZ4_no_such_entry");
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(missing, nullptr);
    EXPECT_GT(bound(100), 100);
    EXPECT_GE(version(), 10000);

    VersionNumber again = nullptr;
    EXPECT_EQ(library.bind({{again, "LZ4_versionNumber"}}), nullptr);
    EXPECT_EQ(again, version);
}

TEST(SharedLibrary, AnAtomicSlotIsFilledOnceAndNeverChanged) {
    SharedLibrary library("liblz4.so.1");
    ASSERT_TRUE(library);
    std::atomic<CompressBound> empty{nullptr};
    const CompressBound earlier = [](int) { return 1; };
    std::atomic<CompressBound> taken{earlier};
    EXPECT_EQ(library.bind({{empty, "LZ4_compressBound"}, {taken, "LZ4_compressBound"}}), nullptr);
    EXPECT_EQ(empty.load(), reinterpret_cast<CompressBound>(library.symbol("LZ4_compressBound")));
    EXPECT_EQ(taken.load(), earlier) << "a slot others may be calling through was changed";
}

TEST(SharedLibrary, ATableLoadRaisesTheGivenTextForWhateverIsMissing) {
    CompressBound bound = nullptr;
    auto raised = [&](const std::string& library, const char* entry) -> std::string {
        try {
            platform::LoadSharedLibrary(library, {{bound, entry}}, "could not load the compressor");
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(raised("libtarnovell-not-installed.so.3", "LZ4_compressBound"), "could not load the compressor");
    EXPECT_EQ(raised("liblz4.so.1", "LZ4_no_such_entry"), "could not load the compressor");
    EXPECT_EQ(bound, nullptr);
    EXPECT_EQ(raised("liblz4.so.1", "LZ4_compressBound"), "");
    EXPECT_NE(bound, nullptr);
}

TEST(ModuleReference, BindsTablesFromAStandInAsFromALibrary) {
    using OpenProc = void* (*)();
    OpenProc open = nullptr, missing = nullptr;
    try {
        platform::ModuleReference module =
            platform::LoadModule("VirtDisk.dll", {{open, "OpenVirtualDisk"}}, "could not load Open from virtdisk.dll");
        EXPECT_NE(open, nullptr);
        EXPECT_FALSE(module.file().empty());
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "VirtDisk.dll does not load here (qemu-img missing?)";
    }
    EXPECT_THROW(platform::LoadModule("VirtDisk.dll", {{missing, "NoSuchEntryPoint"}}, "could not load it"),
                 std::runtime_error);
    EXPECT_THROW(platform::LoadModule("nosuch.dll", {{missing, "OpenVirtualDisk"}}, "could not load it"),
                 std::runtime_error);
    EXPECT_EQ(missing, nullptr);
}

}  // namespace
