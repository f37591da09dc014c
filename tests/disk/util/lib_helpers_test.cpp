#include "disk/util/lib_helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/os/system.h"
#include "support/test_support.h"

namespace {

using platform::OSVERSIONINFOA;

OSVERSIONINFOA Version(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor,
                       const char* csd = "") {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = platformId;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    std::strncpy(info.szCSDVersion, csd, sizeof(info.szCSDVersion) - 1);
    return info;
}

TEST(LibHelpers, WindowsVersionClassTable) {
    struct Case {
        std::uint32_t platformId, major, minor;
        const char* csd;
        int expected;
    } cases[] = {
        {0, 10, 0, "", 0},                 // Win32s and unknown platforms
        {3, 10, 0, "", 0},
        {1, 4, 10, "", 1},                 // 9x, whatever the version
        {2, 3, 51, "", 2},
        {2, 4, 0, "Service Pack 6", 2},
        {2, 5, 0, "", 3},
        {2, 5, 1, "", 4},
        {2, 5, 1, "Service Pack 3", 4},
        {2, 5, 1, "Service Pack 2", 5},
        {2, 5, 1, "Service Pack 2, v.3264", 5},
        {2, 5, 2, "Service Pack 2", 6},    // the pack only matters on XP
        {2, 5, 3, "", 0},
        {2, 6, 0, "", 7},
        {2, 6, 1, "", 8},
        {2, 6, 2, "", 9},
        {2, 6, 3, "", 0},                  // 8.1 is not one of ours
        {2, 7, 0, "", 0},
        {2, 10, 0, "", 10},
        {2, 10, 1, "", 10},
        {2, 11, 0, "", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(disk::WindowsVersionClassOf(Version(c.platformId, c.major, c.minor, c.csd)), c.expected)
            << "platform " << c.platformId << " version " << c.major << "." << c.minor << " '" << c.csd << "'";
    }
}

TEST(LibHelpers, ServicePackTextNeedNotBeTerminated) {
    OSVERSIONINFOA info = Version(2, 5, 1);
    std::memset(info.szCSDVersion, 'x', sizeof(info.szCSDVersion));
    std::memcpy(info.szCSDVersion + sizeof(info.szCSDVersion) - 14, "Service Pack 2", 14);
    EXPECT_EQ(disk::WindowsVersionClassOf(info), 5);
}

TEST(LibHelpers, GetVersionExAInsistsOnTheWindowsSize) {
    for (std::uint32_t size : {0u, 147u, 149u, 156u, 284u}) {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = size;
        info.dwMajorVersion = 77;
        EXPECT_FALSE(platform::GetVersionExA(info)) << "size " << size;
        EXPECT_EQ(info.dwMajorVersion, 77u) << "a rejected call must not fill anything in";
    }

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 148;
    std::memset(info.szCSDVersion, 'x', sizeof(info.szCSDVersion));
    ASSERT_TRUE(platform::GetVersionExA(info));
    EXPECT_EQ(info.dwPlatformId, 2u);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.szCSDVersion[0], '\0');
    EXPECT_EQ(disk::GetWindowsVersionClass(), 10);
}

TEST(LibHelpers, BinaryTextBothWays) {
    struct Case {
        int value;
        std::string bits;
    } cases[] = {
        {0, std::string(32, '0')},
        {1, "1"},
        {5, "101"},
        {-5, "101"},
        {255, "11111111"},
        {INT_MAX, std::string(31, '1')},
        {INT_MIN, "1" + std::string(31, '0')},
        {-1, "1"},
    };
    for (const Case& c : cases) EXPECT_EQ(disk::IntToBin(c.value), c.bits) << c.value;

    struct Back {
        std::string bits;
        int value;
    } back[] = {
        {"", 0},
        {"0", 0},
        {"101", 5},
        {"000101", 5},
        {std::string(32, '0'), 0},
        {std::string(31, '1'), INT_MAX},
        {"1" + std::string(31, '0'), INT_MIN},
        {std::string(32, '1'), -1},
    };
    for (const Back& b : back) EXPECT_EQ(disk::BinToInt(b.bits), b.value) << "'" << b.bits << "'";

    for (const char* bad : {"102", "2", "1 0", "0b101", "-1", "10\n"}) {
        EXPECT_THROW(
            {
                try {
                    disk::BinToInt(bad);
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ(e.what(), "It is not a binary number");
                    throw;
                }
            },
            std::runtime_error)
            << "'" << bad << "'";
    }
}

TEST(LibHelpers, PowerOfTwo) {
    struct Case {
        int n, expected;
    } cases[] = {{INT_MIN, 1}, {-3, 1}, {0, 1}, {1, 2}, {10, 1024}, {30, 1 << 30}, {31, INT_MIN}, {32, 0}, {40, 0}};
    for (const Case& c : cases) EXPECT_EQ(disk::PowerOfTwo(c.n), c.expected) << c.n;
}

TEST(LibHelpers, BitsTakeTheirIndexModulo32) {
    struct Case {
        std::uint32_t value;
        int n;
        bool set;
        std::uint32_t after_set;
    } cases[] = {
        {0x00000000u, 0, false, 0x00000001u},
        {0x00000001u, 0, true, 0x00000001u},
        {0x80000000u, 31, true, 0x80000000u},
        {0x00000000u, 31, false, 0x80000000u},
        {0x00000002u, 33, true, 0x00000002u},   // 33 and 31 = 1
        {0x00000000u, 32, false, 0x00000001u},
        {0x00000000u, -1, false, 0x80000000u},  // -1 and 31 = 31
        {0xFFFFFFFEu, 0, false, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(disk::BitIsSet(c.value, c.n), c.set) << std::hex << c.value << " bit " << std::dec << c.n;
        EXPECT_EQ(disk::BitSet(c.value, c.n), c.after_set) << std::hex << c.value << " bit " << std::dec << c.n;
    }
}

TEST(LibHelpers, CtlCodeMatchesKnownWindowsCodes) {
    struct Case {
        std::uint32_t type, function, method, access, expected;
    } cases[] = {
        {0x07, 0x0000, 0, 0, 0x00070000u},  // IOCTL_DISK_GET_DRIVE_GEOMETRY
        {0x07, 0x0014, 0, 0, 0x00070050u},  // IOCTL_DISK_GET_DRIVE_LAYOUT_EX
        {0x07, 0x0015, 0, 3, 0x0007C054u},  // IOCTL_DISK_SET_DRIVE_LAYOUT_EX
        {0x07, 0x0017, 0, 1, 0x0007405Cu},  // IOCTL_DISK_GET_LENGTH_INFO
        {0x09, 0x0006, 0, 0, 0x00090018u},  // FSCTL_LOCK_VOLUME
        {0x2D, 0x0500, 0, 0, 0x002D1400u},  // IOCTL_STORAGE_QUERY_PROPERTY
        {0x56, 0x0000, 0, 0, 0x00560000u},  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS
        {0x09, 0x001B, 3, 0, 0x0009006Fu},  // FSCTL_GET_VOLUME_BITMAP (METHOD_NEITHER)
        {0x09, 0x001C, 3, 0, 0x00090073u},  // FSCTL_GET_RETRIEVAL_POINTERS
    };
    for (const Case& c : cases)
        EXPECT_EQ(disk::CtlCode(c.type, c.function, c.method, c.access), c.expected) << std::hex << c.expected;
}

TEST(LibHelpers, ByteSumIsTheComplementOfTheSum) {
    const std::vector<unsigned char> zeros(512, 0);
    EXPECT_EQ(disk::ByteSum(zeros.data(), zeros.size()), 0xFFFFFFFFu);
    EXPECT_EQ(disk::ByteSum(nullptr, 0), 0xFFFFFFFFu);

    // Bytes count as unsigned: 0xFF adds 255, not -1.
    const std::vector<unsigned char> high(1000, 0xFF);
    EXPECT_EQ(disk::ByteSum(high.data(), high.size()), ~std::uint32_t{255000});

    const unsigned char some[] = {1, 2, 3, 0x80};
    EXPECT_EQ(disk::ByteSum(some, sizeof(some)), ~std::uint32_t{134});
}

TEST(LibHelpers, Swaps) {
    struct Case32 {
        std::uint32_t in, swap16, swap32;
    } cases[] = {
        {0x00000000u, 0x00000000u, 0x00000000u},
        {0x12345678u, 0x12347856u, 0x78563412u},
        {0x000000FFu, 0x0000FF00u, 0xFF000000u},
        {0xABCD0001u, 0xABCD0100u, 0x0100CDABu},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const Case32& c : cases) {
        EXPECT_EQ(disk::Swap16(c.in), c.swap16) << std::hex << c.in;
        EXPECT_EQ(disk::Swap32(c.in), c.swap32) << std::hex << c.in;
    }

    struct Case64 {
        std::uint64_t in, out;
    } cases64[] = {
        {0x0000000000000000u, 0x0000000000000000u},
        {0x0102030405060708u, 0x0807060504030201u},
        {0x00000000000000FFu, 0xFF00000000000000u},  // the result is negative as int64
        {0x8000000000000000u, 0x0000000000000080u},
        {0xFFFFFFFFFFFFFFFEu, 0xFEFFFFFFFFFFFFFFu},
    };
    for (const Case64& c : cases64) {
        EXPECT_EQ(static_cast<std::uint64_t>(disk::Swap64(static_cast<std::int64_t>(c.in))), c.out)
            << std::hex << c.in;
    }
}

TEST(LibHelpers, TextHelpers) {
    struct CharSet {
        const char* text;
        bool ok;
    } sets[] = {{"", true}, {"192.168.0.1", true}, {"...", true}, {"0123456789", true},
                {"1.2.a", false}, {"1,2", false}, {" 1", false}, {"-1", false}, {"1/2", false}, {"1:2", false}};
    for (const CharSet& c : sets) EXPECT_EQ(disk::IsInCharSet(c.text), c.ok) << "'" << c.text << "'";

    struct Pad {
        const char* in;
        const char* out;
    } pads[] = {{"", ""}, {"A", "0A"}, {"AB", "AB"}, {"ABC", "0ABC"}};
    for (const Pad& p : pads) EXPECT_EQ(disk::PadHexEven(p.in), p.out) << p.in;

    EXPECT_EQ(disk::BoolToText(true), "True");
    EXPECT_EQ(disk::BoolToText(false), "False");
}

TEST(LibHelpers, EnvironmentAndSystemFolder) {
    EXPECT_EQ(disk::GetWindowsDir(), "/");

    const char* name = "TARNOVELL_LIB_HELPERS_TEST_VAR";
    unsetenv(name);
    bool exists = true;
    EXPECT_EQ(platform::GetEnvironmentVariableA(name, exists), "");
    EXPECT_FALSE(exists);
    EXPECT_EQ(disk::GetEnvVar(name), "");

    setenv(name, "", 1);
    EXPECT_EQ(platform::GetEnvironmentVariableA(name, exists), "");
    EXPECT_TRUE(exists) << "an empty variable still exists";

    setenv(name, "some value", 1);
    EXPECT_EQ(disk::GetEnvVar(name), "some value");
    unsetenv(name);
}

struct FileVersion {
    std::uint16_t major = 91, minor = 92, release = 93, build = 94;  // untouched markers
    bool found = false;
};

FileVersion VersionOf(const std::string& path) {
    FileVersion v;
    v.found = disk::FileVersionOf(path, v.major, v.minor, v.release, v.build);
    return v;
}

TEST(LibHelpers, FileVersionComesFromTheResolvedName) {
    test_support::TempDir dir;
    const std::string real = dir.file("libx.so.1.2.3");
    test_support::WriteWholeFile(real, "x");
    std::filesystem::create_symlink(real, dir.file("libx.so"));

    const FileVersion via_link = VersionOf(dir.file("libx.so"));
    ASSERT_TRUE(via_link.found);
    EXPECT_EQ(via_link.major, 1);
    EXPECT_EQ(via_link.minor, 2);
    EXPECT_EQ(via_link.release, 3);
    EXPECT_EQ(via_link.build, 0);

    // The link's own name is not what counts: a versioned link to an
    // unversioned file has no version.
    const std::string plain = dir.file("libplain");
    test_support::WriteWholeFile(plain, "x");
    std::filesystem::create_symlink(plain, dir.file("libplain.so.7.7"));
    std::filesystem::create_symlink(dir.file("libgone.so.1"), dir.file("libdangling.so.3"));

    struct Case {
        std::string name;
        bool create;  // make a small file of this name first
        bool found;
        std::uint16_t major = 0, minor = 0, release = 0, build = 0;
    } cases[] = {
        {"libwim.so.15.4.0", true, true, 15, 4, 0, 0},
        {"libz.so.1", true, true, 1, 0, 0, 0},
        {"libq.so.1.2.3.4", true, true, 1, 2, 3, 4},
        {"libq.so.5.6.7.8.9", true, true, 5, 6, 7, 8},
        {"liby.so.65535.0", true, true, 65535, 0, 0, 0},
        {"libfoo.so.bar.so.2", true, true, 2, 0, 0, 0},
        {"libplain", false, false},
        {"libplain.so.7.7", false, false},
        {"libdangling.so.3", false, false},
        {"libnothere.so.1.0", false, false},
        {"libe.so", true, false},
        {"libe.so.", true, false},
        {"libe.so.1.", true, false},
        {"libe.so.1..2", true, false},
        {"libe.so.1a", true, false},
        {"libe.so.-1", true, false},
        {"libe.so.65536", true, false},
        {"notes.txt", true, false},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        if (c.create) test_support::WriteWholeFile(path, "x");
        const FileVersion v = VersionOf(path);
        EXPECT_EQ(v.found, c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(v.major, c.major) << c.name;
            EXPECT_EQ(v.minor, c.minor) << c.name;
            EXPECT_EQ(v.release, c.release) << c.name;
            EXPECT_EQ(v.build, c.build) << c.name;
        } else {
            EXPECT_EQ(v.major, 91) << c.name << ": outputs must stay untouched";
            EXPECT_EQ(v.minor, 92) << c.name;
            EXPECT_EQ(v.release, 93) << c.name;
            EXPECT_EQ(v.build, 94) << c.name;
        }
    }

    std::filesystem::create_directory(dir.file("libdir.so.1"));
    EXPECT_FALSE(VersionOf(dir.file("libdir.so.1")).found) << "a folder has no version";
}

TEST(LibHelpers, FileSizes) {
    test_support::TempDir dir;
    const std::int64_t five_gib = std::int64_t{5} << 30;
    test_support::WriteWholeFile(dir.file("empty"), "");
    test_support::WriteWholeFile(dir.file("small"), "hello");
    test_support::MakeSparseFile(dir.file("sparse"), five_gib);
    std::filesystem::create_symlink(dir.file("small"), dir.file("link"));

    struct Case {
        std::string path;
        std::int64_t size;
    } cases[] = {
        {dir.file("absent"), 0},
        {dir.file("empty"), 0},
        {dir.file("small"), 5},
        {dir.file("sparse"), five_gib},  // past 4 GiB: no 32-bit truncation
        {dir.file("link"), 5},
        {dir.path().string(), 0},        // a folder has no size
    };
    for (const Case& c : cases) {
        EXPECT_EQ(disk::FileSize64(c.path), c.size) << c.path;
        std::int64_t size = -1;
        disk::FileSizeByFind(c.path, size);
        EXPECT_EQ(size, c.size) << c.path;
    }
}

}  // namespace
