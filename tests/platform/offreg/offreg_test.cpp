// offreg.dll over hivex: hives are opened, changed in memory, saved to new
// files that hivexsh reads, and keys and values behave as the Windows entry
// points promise (sizes, ERROR_MORE_DATA, enumeration ends, refusals).
#include "platform/offreg/offreg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/modules/module.h"
#include "platform/base/wide_text.h"
#include "support/hive_fixture.h"
#include "support/hivex_shell.h"
#include "support/test_support.h"

namespace {

using namespace platform;
using namespace platform::offreg;
using test_support::TempDir;

std::u16string W(const std::string& text) { return Utf8ToUtf16(text); }

struct OffregApi {
    ORGetVersion_fn GetVersion;
    OROpenHive_fn OpenHive;
    ORCloseHive_fn CloseHive;
    ORSaveHive_fn SaveHive;
    OROpenKey_fn OpenKey;
    ORCloseKey_fn CloseKey;
    ORGetValue_fn GetValue;
    ORSetValue_fn SetValue;
    ORDeleteValue_fn DeleteValue;
    ORDeleteKey_fn DeleteKey;
    ORCreateKey_fn CreateKey;
    OREnumKey_fn EnumKey;
    OREnumValue_fn EnumValue;
};

class OfflineRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA("offreg.dll");
        if (!module_) GTEST_SKIP() << "libhivex.so.0 is not installed";
        auto bind = [this](auto& slot, const char* name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(GetProcAddress(module_, name));
            ASSERT_NE(slot, nullptr) << name;
        };
        bind(api.GetVersion, "ORGetVersion");
        bind(api.OpenHive, "OROpenHive");
        bind(api.CloseHive, "ORCloseHive");
        bind(api.SaveHive, "ORSaveHive");
        bind(api.OpenKey, "OROpenKey");
        bind(api.CloseKey, "ORCloseKey");
        bind(api.GetValue, "ORGetValue");
        bind(api.SetValue, "ORSetValue");
        bind(api.DeleteValue, "ORDeleteValue");
        bind(api.DeleteKey, "ORDeleteKey");
        bind(api.CreateKey, "ORCreateKey");
        bind(api.EnumKey, "OREnumKey");
        bind(api.EnumValue, "OREnumValue");
        hive_path = dir.file("SYSTEM");
        test_support::WriteEmptyHive(hive_path);
    }

    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    static bool HaveHivexShell() { return test_support::HaveTool("hivexsh"); }

    ORHKEY OpenFixture() {
        ORHKEY hive = nullptr;
        EXPECT_EQ(api.OpenHive(W(hive_path).c_str(), &hive), ERROR_SUCCESS);
        return hive;
    }

    ORHKEY Create(ORHKEY parent, const std::string& path, DWORD* disposition = nullptr) {
        ORHKEY key = nullptr;
        EXPECT_EQ(api.CreateKey(parent, W(path).c_str(), nullptr, 0, nullptr, &key, disposition), ERROR_SUCCESS)
            << path;
        return key;
    }

    void SetBytes(ORHKEY key, const std::string& name, DWORD type, const std::string& bytes) {
        ASSERT_EQ(api.SetValue(key, W(name).c_str(), type, bytes.data(), static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }

    std::string GetBytes(ORHKEY key, const std::string& name, DWORD* type = nullptr) {
        DWORD size = 0;
        EXPECT_EQ(api.GetValue(key, nullptr, W(name).c_str(), type, nullptr, &size), ERROR_SUCCESS) << name;
        std::string bytes(size, '\0');
        EXPECT_EQ(api.GetValue(key, nullptr, W(name).c_str(), type, bytes.data(), &size), ERROR_SUCCESS) << name;
        return bytes;
    }

    std::vector<std::string> SubkeyNames(ORHKEY key) {
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char16_t name[64];
            DWORD size = 64;
            DWORD result = api.EnumKey(key, index, name, &size, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(result, ERROR_SUCCESS);
            if (result != ERROR_SUCCESS) break;
            names.push_back(Utf16ToUtf8(std::u16string_view(name, size)));
        }
        return names;
    }

    std::string Save(ORHKEY hive, const std::string& name) {
        const std::string path = dir.file(name);
        EXPECT_EQ(api.SaveHive(hive, W(path).c_str(), 6, 1), ERROR_SUCCESS);
        return path;
    }

    TempDir dir;
    std::string hive_path;
    OffregApi api{};

private:
    HMODULE module_ = nullptr;
};

TEST_F(OfflineRegistryTest, ModuleStandsOnLibhivexAndAnswersItsVersion) {
    HMODULE module = LoadLibraryA("offreg.dll");
    ASSERT_NE(module, nullptr);
    const std::string file = GetModuleFileNameA(module);
    EXPECT_NE(file.find("libhivex.so.0"), std::string::npos) << file;
    EXPECT_TRUE(std::filesystem::exists(file)) << file;
    FreeLibrary(module);

    DWORD major = 99, minor = 99;
    api.GetVersion(&major, &minor);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 0u);
}

TEST_F(OfflineRegistryTest, OpenHiveRefusesWhatIsNoHive) {
    std::string bad_checksum = test_support::EmptyHiveBytes();
    bad_checksum[0x1FC] ^= 0x55;
    std::string no_root = test_support::EmptyHiveBytes();
    no_root.replace(0x1000 + test_support::hive_layout::kRootCell + 4, 2, "xx");
    struct Case {
        const char* what;
        std::string contents;  // empty: the file is not there
        DWORD expected;
    } cases[] = {
        {"missing file", "", ERROR_FILE_NOT_FOUND},
        {"zero bytes of hive size", std::string(0x2000, '\0'), ERROR_BADDB},
        {"text file", std::string(0x2000, 'x'), ERROR_BADDB},
        {"damaged checksum", bad_checksum, ERROR_BADDB},
        {"root cell is no key", no_root, ERROR_BADDB},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(std::string("case-") + c.what);
        if (!c.contents.empty()) test_support::WriteWholeFile(path, c.contents);
        ORHKEY hive = nullptr;
        EXPECT_EQ(api.OpenHive(W(path).c_str(), &hive), c.expected) << c.what;
    }
    ORHKEY hive = nullptr;
    EXPECT_EQ(api.OpenHive(nullptr, &hive), ERROR_INVALID_PARAMETER);
}

// hivex reads a damaged hive but could end the process changing it, so the
// hive opens for reading and every change is refused with the reason.
TEST_F(OfflineRegistryTest, ADamagedHiveIsReadButNeverChanged) {
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Key");
    ASSERT_EQ(api.SetValue(key, u"Name", REG_DWORD, "\x01\x00\x00\x00", 4), ERROR_SUCCESS);
    ASSERT_EQ(api.SaveHive(hive, W(dir.file("saved")).c_str(), 6, 1), ERROR_SUCCESS);
    api.CloseHive(hive);
    // The security cell's forward link now names the root key.
    std::string bytes = test_support::ReadWholeFile(dir.file("saved"));
    StoreLe32(&bytes[0x1000 + test_support::hive_layout::kSecurityCell + 8], test_support::hive_layout::kRootCell);
    test_support::WriteWholeFile(dir.file("damaged"), bytes);

    ASSERT_EQ(api.OpenHive(W(dir.file("damaged")).c_str(), &hive), ERROR_SUCCESS);
    ASSERT_EQ(api.OpenKey(hive, u"Key", &key), ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(api.GetValue(key, nullptr, u"Name", nullptr, &value, &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    ORHKEY created = nullptr;
    EXPECT_EQ(api.SetValue(key, u"Name", REG_DWORD, "\x02\x00\x00\x00", 4), ERROR_BADDB);
    EXPECT_EQ(api.DeleteValue(key, u"Name"), ERROR_BADDB);
    EXPECT_EQ(api.CreateKey(key, u"Sub", nullptr, 0, nullptr, &created, nullptr), ERROR_BADDB);
    EXPECT_EQ(api.DeleteKey(hive, u"Key"), ERROR_BADDB);
    EXPECT_EQ(api.GetValue(key, nullptr, u"Name", nullptr, &value, &size), ERROR_SUCCESS);
    api.CloseHive(hive);
}

TEST_F(OfflineRegistryTest, ChangesStayInMemoryUntilSavedToANewFile) {
    const std::string original = test_support::ReadWholeFile(hive_path);
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Select");
    SetBytes(key, "Current", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(test_support::ReadWholeFile(hive_path), original) << "the opened file must not change";

    const std::string saved = Save(hive, "SYSTEM.bak");
    EXPECT_EQ(test_support::ReadWholeFile(hive_path), original);

    // An existing file is never replaced, not even by the hive's own file.
    const std::string saved_bytes = test_support::ReadWholeFile(saved);
    EXPECT_EQ(api.SaveHive(hive, W(saved).c_str(), 6, 1), ERROR_FILE_EXISTS);
    EXPECT_EQ(api.SaveHive(hive, W(hive_path).c_str(), 6, 1), ERROR_FILE_EXISTS);
    EXPECT_EQ(test_support::ReadWholeFile(saved), saved_bytes);
    EXPECT_EQ(test_support::ReadWholeFile(hive_path), original);
    EXPECT_EQ(api.SaveHive(hive, W(dir.file("no-folder/SYSTEM")).c_str(), 6, 1), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(api.SaveHive(key, W(dir.file("through-a-key")).c_str(), 6, 1), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(std::filesystem::exists(dir.file("through-a-key")));

    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);

    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    EXPECT_EQ(test_support::Run("hivexget " + saved + " '\\Select' Current").output, "1\n");
    // The saved hive opens again and is changed on from there.
    ORHKEY again = nullptr;
    ASSERT_EQ(api.OpenHive(W(saved).c_str(), &again), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(again), std::vector<std::string>{"Select"});
    EXPECT_EQ(api.CloseHive(again), ERROR_SUCCESS);
}

TEST_F(OfflineRegistryTest, KeysAreCreatedAlongTheirPathAndFoundWithoutRegardToCase) {
    ORHKEY hive = OpenFixture();
    DWORD disposition = 0;
    ORHKEY app = Create(hive, "Software\\Vendor\\App", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ORHKEY same = Create(hive, "software\\VENDOR\\app", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ORHKEY controls = Create(hive, "ControlSet001\\Services\\atapi");
    ORHKEY vendor = nullptr;
    EXPECT_EQ(api.OpenKey(hive, u"SOFTWARE\\vendor", &vendor), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(vendor), std::vector<std::string>{"App"});
    EXPECT_EQ(SubkeyNames(hive), (std::vector<std::string>{"ControlSet001", "Software"}));

    ORHKEY missing = nullptr;
    EXPECT_EQ(api.OpenKey(hive, u"Software\\Nobody", &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(api.OpenKey(hive, u"Software\\Vendor\\App\\Deeper", &missing), ERROR_FILE_NOT_FOUND);
    for (ORHKEY key : {app, same, controls, vendor}) EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);

    const std::string saved = Save(hive, "saved");
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    EXPECT_EQ(test_support::HivexSubkeyListing(dir, saved, "\\ControlSet001\\Services"), "atapi\n");
    EXPECT_EQ(test_support::HivexSubkeyListing(dir, saved, "\\Software\\Vendor"), "App\n");
}

TEST_F(OfflineRegistryTest, EnumKeySaysHowLongANameIsWhenTheBufferIsShort) {
    ORHKEY hive = OpenFixture();
    const std::string long_name(300, 'k');
    ORHKEY key = Create(hive, long_name);
    char16_t small[8];
    DWORD size = 8;
    EXPECT_EQ(api.EnumKey(hive, 0, small, &size, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(size, 301u) << "the name and its NUL";
    std::u16string name(size, u'?');
    char16_t class_name[4] = u"abc";
    DWORD class_size = 4;
    FILETIME written{0xAAAAAAAAu, 0xAAAAAAAAu};
    EXPECT_EQ(api.EnumKey(hive, 0, name.data(), &size, class_name, &class_size, &written), ERROR_SUCCESS);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(Utf16ToUtf8(name.c_str()), long_name);
    EXPECT_EQ(class_size, 0u);
    EXPECT_EQ(class_name[0], u'\0');
    // hivex gives new keys no time stamp of their own; what it has is handed on.
    EXPECT_EQ(written.dwLowDateTime, 0u);
    EXPECT_EQ(written.dwHighDateTime, 0u);
    EXPECT_EQ(api.EnumKey(hive, 1, name.data(), &size, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
}

TEST_F(OfflineRegistryTest, GetValueAsksTheSizeFirstAndNeverWritesPastTheBuffer) {
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Control\\Data");
    std::string blob(3000, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7);
    SetBytes(key, "Blob", REG_BINARY, blob);

    DWORD type = 0, size = 0;
    EXPECT_EQ(api.GetValue(key, nullptr, u"blob", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 3000u);

    std::string buffer(4000, '#');
    size = 100;
    EXPECT_EQ(api.GetValue(key, nullptr, u"Blob", nullptr, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3000u);
    EXPECT_EQ(buffer, std::string(4000, '#'));

    size = 4000;
    EXPECT_EQ(api.GetValue(hive, u"Control\\Data", u"Blob", &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3000u);
    EXPECT_EQ(buffer.substr(0, 3000), blob);
    EXPECT_EQ(buffer.substr(3000), std::string(1000, '#'));

    EXPECT_EQ(api.GetValue(key, nullptr, u"Nothing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(api.GetValue(hive, u"Control\\None", u"Blob", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(api.GetValue(key, nullptr, u"Blob", &type, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);

    // The unnamed value is the key's default value.
    SetBytes(key, "", REG_SZ, std::string("d\0\0\0", 4));
    size = 0;
    EXPECT_EQ(api.GetValue(key, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);

    const std::string saved = Save(hive, "saved");
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    EXPECT_EQ(test_support::Run("hivexget " + saved + " '\\Control\\Data' @").output, "d\n");
    const std::string listing = test_support::HivexValueListing(dir, saved, "\\Control\\Data");
    EXPECT_NE(listing.find("\"Blob\"=hex(3):00,07,0e,15,"), std::string::npos) << listing;
}

TEST_F(OfflineRegistryTest, ValuesLargerThanOneCellRoundTrip) {
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Big");
    std::string blob(40000, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i % 251);
    SetBytes(key, "Blob", REG_BINARY, blob);
    EXPECT_EQ(GetBytes(key, "Blob"), blob);
    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);
    const std::string saved = Save(hive, "saved");
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);

    ORHKEY again = nullptr;
    ASSERT_EQ(api.OpenHive(W(saved).c_str(), &again), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(api.GetValue(again, u"Big", u"Blob", &type, nullptr, &size), ERROR_SUCCESS);
    std::string read(size, '\0');
    EXPECT_EQ(api.GetValue(again, u"Big", u"Blob", &type, read.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, blob);
    EXPECT_EQ(api.CloseHive(again), ERROR_SUCCESS);
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    const std::string listing = test_support::HivexValueListing(dir, saved, "\\Big");
    EXPECT_NE(listing.find("\"Blob\"=hex(3):00,01,02,"), std::string::npos) << listing.substr(0, 200);
}

TEST_F(OfflineRegistryTest, EnumValueGivesNameTypeAndDataAndBothSizesWhenShort) {
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Env");
    SetBytes(key, "PROCESSOR_ARCHITECTURE", REG_SZ, std::string("x\0" "8\0" "6\0\0\0", 8));
    SetBytes(key, "Count", REG_DWORD, std::string("\x05\0\0\0", 4));

    char16_t name[4];
    DWORD name_size = 4, data_size = 2, type = 0;
    char data[2];
    EXPECT_EQ(api.EnumValue(key, 0, name, &name_size, &type, data, &data_size), ERROR_MORE_DATA);
    EXPECT_EQ(name_size, 23u);
    EXPECT_EQ(data_size, 8u);
    EXPECT_EQ(type, REG_SZ);

    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char16_t buffer[64];
        char bytes[16];
        DWORD size = 64, bytes_size = 16;
        DWORD result = api.EnumValue(key, index, buffer, &size, &type, bytes, &bytes_size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(result, ERROR_SUCCESS);
        names.push_back(Utf16ToUtf8(std::u16string_view(buffer, size)) + "/" + std::to_string(type) + "/" +
                        std::to_string(bytes_size));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"PROCESSOR_ARCHITECTURE/1/8", "Count/4/4"}));
    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
}

TEST_F(OfflineRegistryTest, DeleteValueKeepsTheOtherValuesIntact) {
    ORHKEY hive = OpenFixture();
    ORHKEY key = Create(hive, "Key");
    const std::string long_data(2000, 'L');
    SetBytes(key, "first", REG_BINARY, std::string("\x01\x02", 2));
    SetBytes(key, "middle", REG_DWORD, std::string("\x07\0\0\0", 4));
    SetBytes(key, "last", REG_BINARY, long_data);

    EXPECT_EQ(api.DeleteValue(key, u"MIDDLE"), ERROR_SUCCESS);
    EXPECT_EQ(api.DeleteValue(key, u"middle"), ERROR_FILE_NOT_FOUND);
    DWORD type = 0;
    EXPECT_EQ(GetBytes(key, "first", &type), std::string("\x01\x02", 2));
    EXPECT_EQ(GetBytes(key, "last"), long_data);
    DWORD size = 0;
    EXPECT_EQ(api.GetValue(key, nullptr, u"middle", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(api.CloseKey(key), ERROR_SUCCESS);

    const std::string saved = Save(hive, "saved");
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    const std::string listing = test_support::HivexValueListing(dir, saved, "\\Key");
    EXPECT_NE(listing.find("\"first\"=hex(3):01,02\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"last\"=hex(3):4c,4c,"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("middle"), std::string::npos) << listing;
}

TEST_F(OfflineRegistryTest, DeleteKeyRefusesRootAndKeysWithSubkeys) {
    ORHKEY hive = OpenFixture();
    ORHKEY enum_key = Create(hive, "ControlSet001\\Enum\\Root\\ACPI_HAL");
    ORHKEY mounted = Create(hive, "MountedDevices");
    SetBytes(mounted, "\\DosDevices\\C:", REG_BINARY, std::string(12, '\x11'));

    EXPECT_EQ(api.DeleteKey(hive, u"ControlSet001\\Enum"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(api.DeleteKey(hive, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(api.DeleteKey(hive, u"Nothing"), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(api.DeleteKey(hive, u"mounteddevices"), ERROR_SUCCESS);
    // The handle still open on it now only closes.
    DWORD size = 0;
    EXPECT_EQ(api.GetValue(mounted, nullptr, u"\\DosDevices\\C:", nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(api.SetValue(mounted, u"x", REG_BINARY, "x", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(api.CloseKey(mounted), ERROR_SUCCESS);

    // A key deletes itself when no subkey is named.
    EXPECT_EQ(api.DeleteKey(enum_key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseKey(enum_key), ERROR_SUCCESS);
    EXPECT_EQ(api.DeleteKey(hive, u"ControlSet001\\Enum\\Root"), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(hive), std::vector<std::string>{"ControlSet001"});

    const std::string saved = Save(hive, "saved");
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    EXPECT_EQ(test_support::HivexSubkeyListing(dir, saved, ""), "ControlSet001\n");
    EXPECT_EQ(test_support::HivexSubkeyListing(dir, saved, "\\ControlSet001\\Enum"), "");
}

TEST_F(OfflineRegistryTest, ClosedHandlesAreRefusedAndClosingTheHiveDropsItsKeys) {
    ORHKEY hive = OpenFixture();
    ORHKEY first = Create(hive, "One");
    ORHKEY second = Create(hive, "Two");
    EXPECT_EQ(api.CloseKey(first), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseKey(first), ERROR_INVALID_HANDLE);
    ORHKEY result = nullptr;
    EXPECT_EQ(api.OpenKey(first, nullptr, &result), ERROR_INVALID_HANDLE);
    EXPECT_EQ(api.CloseKey(hive), ERROR_INVALID_HANDLE) << "a hive is closed by ORCloseHive";
    EXPECT_EQ(api.CloseHive(second), ERROR_INVALID_HANDLE) << "a key is not a hive";
    EXPECT_EQ(api.OpenKey(nullptr, u"One", &result), ERROR_INVALID_HANDLE);

    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseHive(hive), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(api.GetValue(second, nullptr, u"x", nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(api.CloseKey(second), ERROR_INVALID_HANDLE);
}

TEST_F(OfflineRegistryTest, ReadsAHiveThatHivexShellWrote) {
    if (!HaveHivexShell()) GTEST_SKIP() << "hivexsh is not installed";
    const std::string written = dir.file("written");
    const auto result = test_support::RunHivexShell(dir,
                                                    "load " + hive_path +
                                                        "\nadd Select\ncd Select\nsetval 2\nCurrent\ndword:3\n"
                                                        "Name\nstring:abc\ncommit " + written,
                                                    true);
    ASSERT_EQ(result.exit_code, 0) << result.output;
    ORHKEY hive = nullptr;
    ASSERT_EQ(api.OpenHive(W(written).c_str(), &hive), ERROR_SUCCESS);
    ORHKEY select = nullptr;
    ASSERT_EQ(api.OpenKey(hive, u"select", &select), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(GetBytes(select, "current", &type), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(GetBytes(select, "Name", &type), std::string("a\0b\0c\0\0\0", 8));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(api.CloseKey(select), ERROR_SUCCESS);
    EXPECT_EQ(api.CloseHive(hive), ERROR_SUCCESS);
}

}  // namespace
