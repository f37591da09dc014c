// The offline registry repairs on a SYSTEM hive built by hivexsh: every
// change is read back with hivexget, the unchanged hive must be the ".old"
// beside it, and a repair that fails must leave every file as it was.
#include "main/operations/registry_repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/base/wide_text.h"
#include "support/case_name.h"
#include "support/system_hive_fixture.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using tarnovell::OfflineRepair;
using test_support::HivexGet;
using test_support::HivexHasKey;
using test_support::ReadWholeFile;
using test_support::TempDir;

namespace {

using test_support::ErrorOf;

// Every file of a folder with the size and a hash of its contents: enough
// to see a change, short enough to read in a failure.
std::map<std::string, std::string> FilesIn(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string contents = entry.is_regular_file() ? ReadWholeFile(entry.path().string()) : "(folder)";
        files[entry.path().filename().string()] =
            std::to_string(contents.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(contents));
    }
    return files;
}

class RegistryRepair : public ::testing::Test {
public:
    void SetUp() override {
        if (!test_support::HaveTool("hivexsh") || !test_support::HaveTool("hivexget"))
            GTEST_SKIP() << "hivexsh and hivexget are needed";
        try {
            disk::LoadOffreg();
        } catch (const std::exception& e) {
            GTEST_SKIP() << "offreg.dll does not load (libhivex.so.0 missing?): " << e.what();
        }
        fs::create_directories(config_);
    }

    void MakeHive(const test_support::SystemHiveSpec& spec = {}) { test_support::WriteSystemHive(dir_, hive_, spec); }

    // Runs a hivexsh script on the hive and commits it in place.
    void EditHive(const std::string& script) {
        const auto result = test_support::RunHivexShell(dir_, "load " + hive_ + "\n" + script + "\ncommit", true);
        ASSERT_EQ(result.exit_code, 0) << result.output;
    }

    std::string Get(const std::string& key, const std::string& name) { return HivexGet(hive_, key, name); }
    std::string GetOld(const std::string& key, const std::string& name) { return HivexGet(old_, key, name); }

    TempDir dir_;
    const std::string config_ = dir_.file("Windows/System32/config");
    const std::string hive_ = config_ + "/SYSTEM";
    const std::string old_ = config_ + "/SYSTEM.old";
};

TEST(RegistryRepairNames, ControlSetsAreNumberedWithThreeDigits) {
    const std::pair<const char*, const char*> good[] = {
        {"1", "ControlSet001"}, {"2", "ControlSet002"}, {"10", "ControlSet010"}, {"999", "ControlSet999"}};
    for (const auto& [current, name] : good) EXPECT_EQ(tarnovell::ControlSetName(current), name) << current;
    for (const char* bad : {"", "0", "1000", "-1", "abc", "1 ", "0x1"})
        EXPECT_NE(ErrorOf([bad] { tarnovell::ControlSetName(bad); }).find("select\\Current holds no control set number"),
                  std::string::npos)
            << bad;
}

TEST(RegistryRepairNames, TheUnchangedHiveIsCalledOld) {
    const std::pair<const char*, const char*> cases[] = {
        {"/mnt/w/Windows/System32/config/SYSTEM", "/mnt/w/Windows/System32/config/SYSTEM.old"},
        {"/backups/system.sav", "/backups/system.old"},
        {"/backups.d/SYSTEM", "/backups.d/SYSTEM.old"},
        {"/backups/.system", "/backups/.system.old"},
        // Where the rule would give the hive's own name.
        {"/backups/SYSTEM.old", "/backups/SYSTEM.old.old"},
    };
    for (const auto& [hive, old] : cases) EXPECT_EQ(tarnovell::OldHiveName(hive), old) << hive;
}

TEST(RegistryRepairNames, Windows8HivesAreSavedAsWindows7Ones) {
    using Version = std::pair<platform::DWORD, platform::DWORD>;
    const std::pair<Version, Version> cases[] = {
        {{6, 2}, {6, 1}}, {{6, 1}, {6, 1}}, {{6, 3}, {6, 3}}, {{10, 0}, {10, 0}}, {{5, 1}, {5, 1}}};
    for (const auto& [running, saved] : cases)
        EXPECT_EQ(tarnovell::SavedHiveVersion(running.first, running.second), saved) << running.first << "." << running.second;
}

struct ValueCheck {
    const char* key;  // below the current control set, or from the root with a leading backslash
    const char* name;
    const char* expected;  // after the repair
    const char* before;    // in the unchanged hive
};

struct RepairCase {
    const char* name;
    OfflineRepair repair;
    std::vector<ValueCheck> values;
};

class EachRepair : public RegistryRepair, public ::testing::WithParamInterface<RepairCase> {};

const std::vector<RepairCase> kRepairs = {
    {"DiskControllers",
     OfflineRepair::DiskControllers,
     {{"Services\\viaide", "Start", "0", "3"},
      {"Services\\intelide", "Start", "0", "3"},
      {"Services\\atapi", "Start", "0", "3"},
      {"Services\\pciide", "Start", "0", "3"},
      {"Services\\atapi", "Group", "Base", "Base"}}},
    {"UsbBoot",
     OfflineRepair::UsbBoot,
     {{"Services\\usbhub", "Start", "0", "3"},
      {"Services\\usbhub", "Group", "System Bus Extender", "Base"},
      {"Services\\usbstor", "Start", "0", "3"},
      {"Services\\usbstor", "Group", "SCSI miniport", "Base"},
      {"Services\\usbehci", "Group", "Boot Bus Extender", "Base"},
      {"Services\\usbohci", "Group", "Boot Bus Extender", "Base"},
      {"Services\\usbuhci", "Start", "0", "3"},
      {"Services\\usbuhci", "Group", "Boot Bus Extender", "Base"},
      {"Services\\usbuhci", "ImagePath", "System32\\drivers\\usbuhci.sys", "System32\\drivers\\usbuhci.sys"}}},
    {"BootDrivers",
     OfflineRepair::BootDrivers,
     {{"Control", "BootDriverFlags", "6", "(missing)"},
      {"Control\\PnP", "PollBootPartitionTimeout", "3000", "(missing)"},
      {"Control", "SystemBootDevice", "multi(0)disk(0)rdisk(0)partition(1)", "multi(0)disk(0)rdisk(0)partition(1)"}}},
    {"AutoReboot",
     OfflineRepair::AutoReboot,
     {{"Control\\CrashControl", "AutoReboot", "0", "1"}, {"Control\\CrashControl", "CrashDumpEnabled", "7", "7"}}},
};

TEST_P(EachRepair, ChangesTheCurrentSetAndKeepsTheUnchangedHive) {
    const RepairCase& c = GetParam();
    MakeHive();
    std::string note = "(none)";
    EXPECT_EQ(tarnovell::RunOfflineRepair(c.repair, hive_, &note), "Offline Registry modified - backup made");
    EXPECT_EQ(note, "(none)");
    for (const ValueCheck& v : c.values) {
        const std::string key = std::string("\\ControlSet001\\") + v.key;
        EXPECT_EQ(Get(key, v.name), v.expected) << key << " " << v.name;
        EXPECT_EQ(GetOld(key, v.name), v.before) << key << " " << v.name;
        // The other control set is not the current one.
        EXPECT_EQ(Get(std::string("\\ControlSet002\\") + v.key, v.name), v.before) << v.name;
    }
    // Just the changed hive and the unchanged one: no temporary left.
    const auto files = FilesIn(config_);
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files.count("SYSTEM.old"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Repairs, EachRepair, ::testing::ValuesIn(kRepairs),
                         test_support::CaseName());

TEST_F(RegistryRepair, MountedDevicesAreForgotten) {
    MakeHive();
    EXPECT_EQ(tarnovell::RunOfflineRepair(OfflineRepair::MountedDevices, hive_), "Offline Registry modified - backup made");
    EXPECT_FALSE(HivexHasKey(hive_, "\\MountedDevices"));
    EXPECT_TRUE(HivexHasKey(old_, "\\MountedDevices"));
    EXPECT_EQ(Get("\\Select", "Current"), "1");
}

TEST_F(RegistryRepair, DeviceEnumerationIsDeletedWithEverythingBelowIt) {
    MakeHive();
    // Many keys side by side: a deleter that walks by index while it
    // deletes would step over every second one.
    std::string wide = "cd \\ControlSet001\\Enum\\Root\n";
    for (int i = 0; i < 40; ++i) wide += "add LEGACY_" + std::to_string(i) + "\n";
    EditHive(wide);
    EXPECT_EQ(tarnovell::RunOfflineRepair(OfflineRepair::DeviceEnumeration, hive_), "Offline Registry modified - backup made");
    EXPECT_FALSE(HivexHasKey(hive_, "\\ControlSet001\\Enum"));
    EXPECT_EQ(test_support::HivexSubkeyListing(dir_, hive_, "\\ControlSet001"), "Control\nServices\n");
    EXPECT_TRUE(HivexHasKey(hive_, "\\ControlSet002\\Enum\\PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA\\Device Parameters"));
    EXPECT_TRUE(HivexHasKey(old_, "\\ControlSet001\\Enum\\Root\\LEGACY_39"));
    EXPECT_EQ(Get("\\ControlSet001\\Services\\atapi", "Start"), "3");
}

TEST_F(RegistryRepair, ASetNumberedTenIsControlSet010) {
    // The decoy is the name a two-digit "controlset00" + N would give.
    MakeHive({.current = 10, .mounted_devices = true, .also_sets = {"ControlSet0010"}});
    tarnovell::RunOfflineRepair(OfflineRepair::AutoReboot, hive_);
    EXPECT_EQ(Get("\\ControlSet010\\Control\\CrashControl", "AutoReboot"), "0");
    EXPECT_EQ(Get("\\ControlSet0010\\Control\\CrashControl", "AutoReboot"), "1");
    EXPECT_EQ(tarnovell::ReadOfflineProcessor(hive_), "AMD64 - Intel64 Family 6 Model 158 Stepping 10, GenuineIntel");
}

TEST_F(RegistryRepair, RunningTwiceKeepsTheFirstRunsResultAsOld) {
    MakeHive();
    tarnovell::RunOfflineRepair(OfflineRepair::AutoReboot, hive_);
    EXPECT_EQ(GetOld("\\ControlSet001\\Control\\CrashControl", "AutoReboot"), "1");
    tarnovell::RunOfflineRepair(OfflineRepair::DiskControllers, hive_);
    EXPECT_EQ(GetOld("\\ControlSet001\\Control\\CrashControl", "AutoReboot"), "0");
    EXPECT_EQ(GetOld("\\ControlSet001\\Services\\atapi", "Start"), "3");
    EXPECT_EQ(Get("\\ControlSet001\\Services\\atapi", "Start"), "0");
    EXPECT_EQ(Get("\\ControlSet001\\Control\\CrashControl", "AutoReboot"), "0");
    EXPECT_EQ(FilesIn(config_).size(), 2u);
}

TEST_F(RegistryRepair, TheWindowsFolderLeadsToItsSystemHive) {
    // NTFS matches names in any case; the Linux mount keeps them as written.
    const std::string root = dir_.file("mnt");
    const std::string config = root + "/WINDOWS/system32/Config";
    fs::create_directories(config);
    test_support::WriteSystemHive(dir_, config + "/SYSTEM");
    const fs::path hive = fs::canonical(config + "/SYSTEM");
    for (const std::string& chosen : {root, root + "/WINDOWS", root + "/WINDOWS/system32", config, config + "/SYSTEM"})
        EXPECT_EQ(fs::canonical(tarnovell::SystemHiveOf(chosen)), hive) << chosen;

    tarnovell::RunOfflineRepair(OfflineRepair::AutoReboot, root + "/WINDOWS");
    EXPECT_EQ(HivexGet(config + "/SYSTEM", "\\ControlSet001\\Control\\CrashControl", "AutoReboot"), "0");
    EXPECT_TRUE(fs::exists(config + "/SYSTEM.old"));

    // A link to the hive: the file it names is changed, the link stays.
    fs::create_symlink(config + "/SYSTEM", dir_.file("SYSTEM-link"));
    EXPECT_EQ(tarnovell::SystemHiveOf(dir_.file("SYSTEM-link")), hive.string());
    tarnovell::RunOfflineRepair(OfflineRepair::DiskControllers, dir_.file("SYSTEM-link"));
    EXPECT_TRUE(fs::is_symlink(dir_.file("SYSTEM-link")));
    EXPECT_EQ(HivexGet(dir_.file("SYSTEM-link"), "\\ControlSet001\\Services\\atapi", "Start"), "0");

    fs::create_directories(dir_.file("empty/Windows"));
    EXPECT_EQ(ErrorOf([&] { tarnovell::SystemHiveOf(dir_.file("empty/Windows")); }),
              "no SYSTEM hive of a Windows installation in " + dir_.file("empty/Windows"));
}

TEST_F(RegistryRepair, ReadsShowTheHalAndProcessorAndWriteNothing) {
    MakeHive();
    const auto before = FilesIn(config_);
    EXPECT_EQ(tarnovell::ReadOfflineHal(hive_), "acpiapic_mp\n*acpiapic_mp");
    EXPECT_EQ(tarnovell::ReadOfflineProcessor(hive_), "AMD64 - Intel64 Family 6 Model 158 Stepping 10, GenuineIntel");
    EXPECT_EQ(FilesIn(config_), before);

    EditHive("cd \\ControlSet001\\Control\\Session Manager\\Environment\nsetval 2\nPROCESSOR_ARCHITECTURE\nstring:\n"
             "PROCESSOR_IDENTIFIER\nstring:");
    EXPECT_EQ(tarnovell::ReadOfflineProcessor(hive_), "");
}

// What each failure says, and that the hive, the user's earlier backup and
// a file of the user's that happens to bear the repair's temporary name are
// all untouched.
TEST_F(RegistryRepair, AFailedRepairChangesNoFile) {
    struct Case {
        const char* name;
        std::function<void(RegistryRepair&)> prepare;
        OfflineRepair repair;
        std::string error_start;
    };
    const Case cases[] = {
        {"not a hive", [](RegistryRepair& t) { test_support::WriteWholeFile(t.hive_, std::string(8192, 'x')); },
         OfflineRepair::AutoReboot, "OROpenHive failed:1009:"},
        {"no MountedDevices", [](RegistryRepair& t) { t.MakeHive({.current = 1, .mounted_devices = false}); },
         OfflineRepair::MountedDevices, "deletekey error:ORDeleteKey failed:2:"},
        {"no current set",
         [](RegistryRepair& t) {
             t.MakeHive();
             t.EditHive("cd \\Select\nsetval 1\nCurrent\ndword:3");
         },
         OfflineRepair::DiskControllers, "OROpenKey failed:2:"},
        {"select without Current",
         [](RegistryRepair& t) {
             t.MakeHive();
             t.EditHive("cd \\Select\nsetval 1\nDefault\ndword:1");
         },
         OfflineRepair::UsbBoot, "getvalue error:ORGetValue failed:2:"},
        {"set number 0",
         [](RegistryRepair& t) {
             t.MakeHive();
             t.EditHive("cd \\Select\nsetval 1\nCurrent\ndword:0");
         },
         OfflineRepair::BootDrivers, "select\\Current holds no control set number: '0'"},
        {"a damaged hive that could not be changed safely",
         [](RegistryRepair& t) {
             t.MakeHive();
             // The security cell's forward link names the root key.
             std::string bytes = ReadWholeFile(t.hive_);
             platform::StoreLe32(&bytes[0x1000 + test_support::hive_layout::kSecurityCell + 8],
                                 test_support::hive_layout::kRootCell);
             test_support::WriteWholeFile(t.hive_, bytes);
         },
         OfflineRepair::AutoReboot, "setvalue error:ORsetValue failed:1009:"},
        {"a service missing after others were changed",
         [](RegistryRepair& t) {
             t.MakeHive();
             t.EditHive("cd \\ControlSet001\\Services\\pciide\ndel");
         },
         OfflineRepair::DiskControllers, "OROpenKey failed:2:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(config_);
        fs::create_directories(config_);
        c.prepare(*this);
        test_support::WriteWholeFile(config_ + "/SYSTEM.old", "the user's earlier backup");
        test_support::WriteWholeFile(config_ + "/SYSTEM.bak", "a file of the user's");
        const auto before = FilesIn(config_);
        const std::string error = ErrorOf([&] { tarnovell::RunOfflineRepair(c.repair, hive_); });
        EXPECT_EQ(error.rfind(c.error_start, 0), 0u) << error;
        EXPECT_EQ(FilesIn(config_), before);
    }
}

TEST_F(RegistryRepair, AHiveThatCannotBeSavedChangesNoFile) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "mounting needs root";
    const std::string mount = dir_.file("ro");
    fs::create_directories(mount);
    ASSERT_EQ(test_support::Run("mount -t tmpfs -o size=4m tmpfs " + test_support::Quote(mount)).exit_code, 0);
    test_support::WriteSystemHive(dir_, mount + "/SYSTEM");
    test_support::WriteWholeFile(mount + "/SYSTEM.old", "the user's earlier backup");
    ASSERT_EQ(test_support::Run("mount -o remount,ro " + test_support::Quote(mount)).exit_code, 0);
    const auto before = FilesIn(mount);
    const std::string error = ErrorOf([&] { tarnovell::RunOfflineRepair(OfflineRepair::AutoReboot, mount + "/SYSTEM"); });
    EXPECT_EQ(error.rfind("saved to " + mount + "/.SYSTEM.tarnovell-", 0), 0u) << error;
    EXPECT_EQ(error.substr(error.size() - 3), ",19") << error;  // write-protected
    EXPECT_EQ(FilesIn(mount), before);
    test_support::Run("umount -l " + test_support::Quote(mount));
}

// The deleter empties a tree whatever its width and depth, and a key it
// cannot list stops it with the reason instead of being met again.
TEST_F(RegistryRepair, TheKeyTreeDeleterEmptiesATreeAndEnds) {
    MakeHive();
    using namespace platform::offreg;
    const auto& api = disk::offreg();
    ORHKEY hive = nullptr, enumeration = nullptr, stale = nullptr;
    ASSERT_EQ(api.OROpenHive.load()(platform::Utf8ToUtf16(hive_).c_str(), &hive), 0u);
    ASSERT_EQ(api.OROpenKey.load()(hive, u"ControlSet001\\Enum", &enumeration), 0u);
    tarnovell::DeleteOfflineKeyTree(enumeration);
    char16_t name[256];
    platform::DWORD size = 256;
    EXPECT_EQ(api.OREnumKey.load()(enumeration, 0, name, &size, nullptr, nullptr, nullptr), platform::ERROR_NO_MORE_ITEMS);

    // A handle whose key was deleted through another one.
    ASSERT_EQ(api.OROpenKey.load()(hive, u"ControlSet002\\Enum\\Root\\ACPI_HAL\\0000", &stale), 0u);
    ASSERT_EQ(api.ORDeleteKey.load()(hive, u"ControlSet002\\Enum\\Root\\ACPI_HAL\\0000"), 0u);
    EXPECT_EQ(ErrorOf([stale] { tarnovell::DeleteOfflineKeyTree(stale); }).rfind("EnumKeys error:OREnumKey failed:1018:", 0),
              0u);
    EXPECT_EQ(api.ORCloseHive.load()(hive), 0u);
}

}  // namespace
