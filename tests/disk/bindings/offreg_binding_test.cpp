// The offline registry binding: loading offreg.dll, and values read and
// typed as text. What we write is read back by hivexget/hivexsh, and what
// hivexsh writes is read by us.
#include "disk/bindings/offreg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/modules/module.h"
#include "platform/base/wide_text.h"
#include "support/hive_fixture.h"
#include "support/hivex_shell.h"
#include "support/test_support.h"

namespace {

using namespace platform;
using namespace platform::offreg;
using disk::offreg;
using test_support::TempDir;

using test_support::ErrorOf;

// hivexsh's "hex(type):" notation of some bytes.
std::string HexNotation(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        char item[4];
        std::snprintf(item, sizeof item, "%02x", byte);
        if (!text.empty()) text += ",";
        text += item;
    }
    return text;
}

TEST(OffregLoading, AHiddenLibraryCannotBeLoaded) {
    HideModuleForTesting("offreg.dll", true);
    const std::string error = ErrorOf([] { disk::LoadOffreg(); });
    HideModuleForTesting("offreg.dll", false);
    EXPECT_EQ(error, "could not loadlibrary:126");
}

TEST(OffregLoading, GetOSVersionAnswersTheWindowsVersionTheProgramFollows) {
    DWORD major = 0, minor = 99;
    ASSERT_TRUE(disk::GetOSVersion(major, minor));
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
}

class OffregBindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            disk::LoadOffreg();
        } catch (const std::exception& e) {
            GTEST_SKIP() << "offreg.dll does not load (libhivex.so.0 missing?): " << e.what();
        }
        hive_path = dir.file("SYSTEM");
        test_support::WriteEmptyHive(hive_path);
        hive = Open(hive_path);
        key = Create(hive, "Key");
    }

    void TearDown() override { CloseAll(); }

    void CloseAll() {
        if (key) {
            EXPECT_EQ(offreg().ORCloseKey.load()(key), ERROR_SUCCESS);
        }
        if (hive) {
            EXPECT_EQ(offreg().ORCloseHive.load()(hive), ERROR_SUCCESS);
        }
        key = hive = nullptr;
    }

    static ORHKEY Open(const std::string& path) {
        ORHKEY opened = nullptr;
        EXPECT_EQ(offreg().OROpenHive.load()(Utf8ToUtf16(path).c_str(), &opened), ERROR_SUCCESS);
        return opened;
    }

    static ORHKEY Create(ORHKEY parent, const std::string& path) {
        ORHKEY created = nullptr;
        EXPECT_EQ(offreg().ORCreateKey.load()(parent, Utf8ToUtf16(path).c_str(), nullptr, 0, nullptr, &created,
                                              nullptr),
                  ERROR_SUCCESS);
        return created;
    }

    // Saves the hive as it stands, closes it and opens the saved file in
    // its place, with `key` on "Key" again.
    std::string SaveAndReopen() {
        const std::string saved = dir.file("saved-" + std::to_string(++saves_));
        EXPECT_EQ(offreg().ORSaveHive.load()(hive, Utf8ToUtf16(saved).c_str(), 6, 1), ERROR_SUCCESS);
        CloseAll();
        hive = Open(saved);
        EXPECT_EQ(offreg().OROpenKey.load()(hive, u"Key", &key), ERROR_SUCCESS);
        return saved;
    }

    std::string Text(const std::string& name) {
        std::string text = "(unread)";
        EXPECT_TRUE(disk::OffregGetValue(key, name, text)) << name;
        return text;
    }

    // The stored size, or -1 when there is no such value.
    long long StoredSize(const std::string& name) {
        DWORD size = 0;
        DWORD result = offreg().ORGetValue.load()(key, nullptr, Utf8ToUtf16(name).c_str(), nullptr, nullptr, &size);
        return result == ERROR_SUCCESS ? static_cast<long long>(size) : -1;
    }

    // Makes a hive with hivexsh: `values` are setval lines for "\Key".
    std::string HiveWrittenByHivexShell(const std::vector<std::string>& values) {
        std::string script = "load " + hive_path + "\nadd Key\ncd Key\nsetval " + std::to_string(values.size() / 2);
        for (const std::string& line : values) script += "\n" + line;
        const std::string written = dir.file("by-hivexsh");
        script += "\ncommit " + written;
        const auto result = test_support::RunHivexShell(dir, script, true);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        return written;
    }

    void OpenInstead(const std::string& path) {
        CloseAll();
        hive = Open(path);
        ASSERT_EQ(offreg().OROpenKey.load()(hive, u"Key", &key), ERROR_SUCCESS);
    }

    static bool HaveHivexTools() { return test_support::HaveTool("hivexsh") && test_support::HaveTool("hivexget"); }

    TempDir dir;
    std::string hive_path;
    ORHKEY hive = nullptr;
    ORHKEY key = nullptr;

private:
    int saves_ = 0;
};

TEST_F(OffregBindingTest, LoadingAgainKeepsEverySlotBound) {
    EXPECT_TRUE(disk::LoadOffreg());
    const disk::OffregBinding& slots = offreg();
    const std::vector<bool> bound = {
        slots.ORGetVersion.load() != nullptr, slots.OROpenHive.load() != nullptr,
        slots.ORCloseHive.load() != nullptr,  slots.ORSaveHive.load() != nullptr,
        slots.OROpenKey.load() != nullptr,    slots.ORCloseKey.load() != nullptr,
        slots.ORGetValue.load() != nullptr,   slots.ORSetValue.load() != nullptr,
        slots.ORDeleteValue.load() != nullptr, slots.ORDeleteKey.load() != nullptr,
        slots.ORCreateKey.load() != nullptr,  slots.OREnumKey.load() != nullptr,
        slots.OREnumValue.load() != nullptr,
    };
    EXPECT_EQ(bound, std::vector<bool>(13, true));
}

TEST_F(OffregBindingTest, EveryTypeIsStoredAsHivexReadsIt) {
    if (!HaveHivexTools()) GTEST_SKIP() << "hivexsh/hivexget are not installed";
    struct Case {
        const char* name;
        DWORD type;
        std::string text;
        long long size;         // bytes stored
        std::string shown;      // what hivexget prints
        std::string listed;     // hivexsh's listing of it
        std::string read_back;  // our text form of the saved value
    };
    const std::string usb_list = platform::Utf16ToLeBytes(std::u16string(u"usbhub\0usbstor\0\0", 16));
    const Case cases[] = {
        {"Group", REG_SZ, "System Bus Extender", 40, "System Bus Extender\n", "\"Group\"=\"System Bus Extender\"",
         "System Bus Extender"},
        {"ImagePath", REG_EXPAND_SZ, "system32\\DRIVERS\\atapi.sys", 54, "system32\\DRIVERS\\atapi.sys\n",
         "\"ImagePath\"=str(2):\"system32\\\\DRIVERS\\\\atapi.sys\"", "system32\\DRIVERS\\atapi.sys"},
        {"Services", REG_MULTI_SZ, "usbhub usbstor", 32, "usbhub\nusbstor\n",
         "\"Services\"=hex(7):" + HexNotation(usb_list), std::string("usbhub\0usbstor", 14)},
        {"Start", REG_DWORD, "0", 4, "0\n", "\"Start\"=dword:00000000", "0"},
        {"PollBootPartitionTimeout", REG_DWORD, "3000", 4, "3000\n",
         "\"PollBootPartitionTimeout\"=dword:00000bb8", "3000"},
        {"InstallTime", REG_QWORD, "1234605616436508552", 8, "1234605616436508552\n",
         "\"InstallTime\"=hex(11):88,77,66,55,44,33,22,11", "1234605616436508552"},
        {"Signature", REG_BINARY, "0A,ff,00", 3, "", "\"Signature\"=hex(3):0a,ff,00", "0A,FF,00"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(disk::OffregSetValue(key, c.name, c.text, c.type)) << c.name;
        EXPECT_EQ(StoredSize(c.name), c.size) << c.name;
    }
    const std::string saved = SaveAndReopen();
    const std::string listing = test_support::HivexValueListing(dir, saved, "\\Key");
    for (const Case& c : cases) {
        if (!c.shown.empty()) {
            const std::string shown = test_support::Run("hivexget " + saved + " '\\Key' " + c.name).output;
            EXPECT_EQ(shown.substr(0, c.shown.size()), c.shown) << c.name;
        }
        EXPECT_NE(listing.find(c.listed + "\n"), std::string::npos) << c.name << " in\n" << listing;
        EXPECT_EQ(Text(c.name), c.read_back) << c.name;
    }
}

TEST_F(OffregBindingTest, ValuesWrittenByHivexShellReadAsText) {
    if (!HaveHivexTools()) GTEST_SKIP() << "hivexsh is not installed";
    struct Case {
        const char* name;
        const char* setval;  // hivexsh's notation
        std::string text;
    } cases[] = {
        {"hardwareid", "string:acpiapic_up", "acpiapic_up"},
        {"ImagePath", "expandstring:%SystemRoot%\\x.sys", "%SystemRoot%\\x.sys"},
        {"Group", "hex:7:61,00,00,00,62,00,63,00,00,00,00,00", std::string("a\0bc", 4)},
        {"Current", "dword:0x2a", "42"},
        {"Largest", "dword:0xffffffff", "4294967295"},
        {"Stamp", "hex:11:88,77,66,55,44,33,22,11", "1234605616436508552"},
        {"Data", "hex:3:0a,ff,7f", "0A,FF,7F"},
        {"Other", "hex:99:01,02", ""},
        {"Nothing", "none", ""},
        // Data that does not end where its type says: nothing is read past it.
        {"Unterminated", "hex:1:61,00,62,00", "ab"},
        {"EmbeddedNul", "hex:1:61,00,00,00,62,00,00,00", "a"},
        {"OddLength", "hex:1:61,00,62", "a"},
        {"OpenList", "hex:7:61,00,00,00,62,00", std::string("a\0b", 3)},
        {"LongDword", "hex:4:01,00,00,00,ff,ff", "1"},
    };
    std::vector<std::string> lines;
    for (const Case& c : cases) {
        lines.push_back(c.name);
        lines.push_back(c.setval);
    }
    OpenInstead(HiveWrittenByHivexShell(lines));
    for (const Case& c : cases) EXPECT_EQ(Text(c.name), c.text) << c.name;
}

TEST_F(OffregBindingTest, NumbersShorterThanTheirTypeAreErrors) {
    if (!HaveHivexTools()) GTEST_SKIP() << "hivexsh is not installed";
    OpenInstead(HiveWrittenByHivexShell({"ShortDword", "hex:4:01,02", "ShortQword", "hex:11:01,02,03,04"}));
    std::string text = "untouched";
    EXPECT_EQ(ErrorOf([&] { disk::OffregGetValue(key, "ShortDword", text); }),
              "getvalue error:REG_DWORD value holds 2 bytes, not 4");
    EXPECT_EQ(ErrorOf([&] { disk::OffregGetValue(key, "ShortQword", text); }),
              "getvalue error:REG_QWORD value holds 4 bytes, not 8");
    EXPECT_EQ(text, "untouched");
}

TEST_F(OffregBindingTest, NumbersAndBytesAreReadInTheirWholeRange) {
    struct Case {
        DWORD type;
        const char* written;
        const char* read;
        long long size;
    } cases[] = {
        {REG_DWORD, "-1", "4294967295", 4},
        {REG_DWORD, "4294967295", "4294967295", 4},
        {REG_DWORD, "-2147483648", "2147483648", 4},
        {REG_DWORD, " 42 ", "42", 4},
        {REG_DWORD, "+7", "7", 4},
        {REG_QWORD, "-1", "18446744073709551615", 8},
        {REG_QWORD, "18446744073709551615", "18446744073709551615", 8},
        {REG_QWORD, "0", "0", 8},
        {REG_BINARY, "0a, ff ,1", "0A,FF,01", 3},
        {REG_BINARY, "", "", 0},
        {REG_SZ, "", "", 2},
        {REG_MULTI_SZ, "", "", 4},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "v" + std::to_string(index++);
        ASSERT_TRUE(disk::OffregSetValue(key, name, c.written, c.type)) << c.written;
        EXPECT_EQ(StoredSize(name), c.size) << c.written;
        EXPECT_EQ(Text(name), c.read) << c.written;
    }
}

TEST_F(OffregBindingTest, MalformedNumbersRaiseAndWriteNothing) {
    ASSERT_TRUE(disk::OffregSetValue(key, "Start", "5", REG_DWORD));
    struct Case {
        DWORD type;
        const char* text;
        const char* error;
    } cases[] = {
        {REG_DWORD, "abc", "setvalue error:'abc' is not a valid integer value"},
        {REG_DWORD, "", "setvalue error:'' is not a valid integer value"},
        {REG_DWORD, "12a", "setvalue error:'12a' is not a valid integer value"},
        {REG_DWORD, "0x10", "setvalue error:'0x10' is not a valid integer value"},
        {REG_DWORD, "1 2", "setvalue error:'1 2' is not a valid integer value"},
        {REG_DWORD, "-", "setvalue error:'-' is not a valid integer value"},
        {REG_DWORD, "4294967296", "setvalue error:'4294967296' is not a valid integer value"},
        {REG_DWORD, "-2147483649", "setvalue error:'-2147483649' is not a valid integer value"},
        {REG_QWORD, "18446744073709551616", "setvalue error:'18446744073709551616' is not a valid integer value"},
        {REG_QWORD, "--1", "setvalue error:'--1' is not a valid integer value"},
        {REG_BINARY, "0A,,FF", "setvalue error:'' is not a valid hexadecimal byte"},
        {REG_BINARY, "0A,", "setvalue error:'' is not a valid hexadecimal byte"},
        {REG_BINARY, "1FF", "setvalue error:'1FF' is not a valid hexadecimal byte"},
        {REG_BINARY, "G1", "setvalue error:'G1' is not a valid hexadecimal byte"},
        {REG_BINARY, "$0A", "setvalue error:'$0A' is not a valid hexadecimal byte"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { disk::OffregSetValue(key, "Start", c.text, c.type); }), c.error) << c.text;
        EXPECT_EQ(ErrorOf([&] { disk::OffregSetValue(key, "Fresh", c.text, c.type); }), c.error) << c.text;
    }
    EXPECT_EQ(Text("Start"), "5");
    EXPECT_EQ(StoredSize("Fresh"), -1);
}

TEST_F(OffregBindingTest, TypesWithoutATextFormAreNotWritten) {
    for (DWORD type : std::vector<DWORD>{REG_NONE, REG_DWORD_BIG_ENDIAN, REG_LINK, REG_RESOURCE_LIST, 0x99}) {
        EXPECT_FALSE(disk::OffregSetValue(key, "Value", "1", type)) << type;
        EXPECT_EQ(StoredSize("Value"), -1) << type;
    }
}

TEST_F(OffregBindingTest, LongValuesAndNamesRoundTrip) {
    std::string long_text;
    while (long_text.size() < 3000) long_text += "Ärger über 32€ ";
    std::string word_list, word_text;
    for (int i = 0; i < 600; ++i) {
        word_list += (i ? " " : "") + std::string("drv") + std::to_string(i);
        word_text += (i ? std::string(1, '\0') : "") + std::string("drv") + std::to_string(i);
    }
    std::string bytes_text;
    for (int i = 0; i < 2000; ++i) bytes_text += (i ? "," : "") + std::string(i % 2 ? "A5" : "5A");
    const std::string long_name(600, 'n');

    ASSERT_TRUE(disk::OffregSetValue(key, "Description", long_text, REG_SZ));
    ASSERT_TRUE(disk::OffregSetValue(key, "Drivers", word_list, REG_MULTI_SZ));
    ASSERT_TRUE(disk::OffregSetValue(key, "Blob", bytes_text, REG_BINARY));
    ASSERT_TRUE(disk::OffregSetValue(key, long_name, "12345", REG_DWORD));
    EXPECT_EQ(StoredSize("Blob"), 2000);
    const std::string saved = SaveAndReopen();

    EXPECT_EQ(Text("Description"), long_text);
    EXPECT_EQ(Text("Drivers"), word_text);
    EXPECT_EQ(Text("Blob"), bytes_text);
    EXPECT_EQ(Text(long_name), "12345");
    if (!HaveHivexTools()) GTEST_SKIP() << "hivexget is not installed";
    EXPECT_EQ(test_support::Run("hivexget " + saved + " '\\Key' Description").output, long_text + "\n");
    EXPECT_EQ(test_support::Run("hivexget " + saved + " '\\Key' " + long_name).output, "12345\n");
}

TEST_F(OffregBindingTest, FailuresCarryTheCallAndItsCode) {
    std::string text;
    EXPECT_EQ(ErrorOf([&] { disk::OffregGetValue(key, "Current", text); }),
              "getvalue error:ORGetValue failed:2:The system cannot find the file specified");

    ORHKEY doomed = Create(key, "Doomed");
    ASSERT_EQ(offreg().ORDeleteKey.load()(key, u"Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(ErrorOf([&] { disk::OffregSetValue(doomed, "start", "0", REG_DWORD); }),
              "setvalue error:ORsetValue failed:1018:Illegal operation attempted on a registry key that has been "
              "marked for deletion");
    EXPECT_EQ(offreg().ORCloseKey.load()(doomed), ERROR_SUCCESS);

    EXPECT_EQ(ErrorOf([&] { disk::OffregDeleteKey(hive, "MountedDevices"); }),
              "deletekey error:ORDeleteKey failed:2:The system cannot find the file specified");
    ORHKEY parent = Create(hive, "ControlSet001\\Enum");
    EXPECT_EQ(offreg().ORCloseKey.load()(parent), ERROR_SUCCESS);
    EXPECT_EQ(ErrorOf([&] { disk::OffregDeleteKey(hive, "ControlSet001"); }),
              "deletekey error:ORDeleteKey failed:5:Access is denied");
}

TEST_F(OffregBindingTest, DeletedKeyIsGoneFromTheSavedHive) {
    ORHKEY mounted = Create(hive, "MountedDevices");
    ASSERT_TRUE(disk::OffregSetValue(mounted, "\\DosDevices\\C:", "0A,0B,0C", REG_BINARY));
    EXPECT_EQ(offreg().ORCloseKey.load()(mounted), ERROR_SUCCESS);
    ORHKEY select = Create(hive, "Select");
    ASSERT_TRUE(disk::OffregSetValue(select, "Current", "1", REG_DWORD));
    EXPECT_EQ(offreg().ORCloseKey.load()(select), ERROR_SUCCESS);

    EXPECT_TRUE(disk::OffregDeleteKey(hive, "mounteddevices"));
    const std::string saved = SaveAndReopen();
    if (!HaveHivexTools()) GTEST_SKIP() << "hivexsh is not installed";
    EXPECT_EQ(test_support::HivexSubkeyListing(dir, saved, ""), "Key\nSelect\n");
    EXPECT_EQ(test_support::Run("hivexget " + saved + " '\\Select' Current").output, "1\n");
}

}  // namespace
