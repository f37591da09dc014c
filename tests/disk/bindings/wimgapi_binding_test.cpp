#include <gtest/gtest.h>

#include <filesystem>

#include "disk/bindings/wimgapi.h"
#include "platform/modules/module.h"

namespace {

// The slots as an array, in member order.
void* const* Slots(const disk::WimFunctionTable& table) { return reinterpret_cast<void* const*>(&table); }

class WimgapiBinding : public ::testing::Test {
protected:
    void TearDown() override {
        disk::UnloadWimgapi();
        platform::HideModuleForTesting("wimgapi.dll", false);
    }
};

TEST_F(WimgapiBinding, LoadFillsEachSlotWithTheEntryPointOfItsName) {
    static_assert(sizeof(disk::WimFunctionTable) == disk::kWimFunctionCount * sizeof(void*));
    disk::LoadWimgapi();
    ASSERT_TRUE(disk::WimgapiLoaded());

    platform::HMODULE module = platform::LoadLibraryA("wimgapi.dll");
    ASSERT_NE(module, nullptr);
    int bound = 0;
    for (int i = 0; i < disk::kWimFunctionCount; ++i) {
        void* expected = platform::GetProcAddress(module, disk::kWimFunctionNames[i]);
        EXPECT_EQ(Slots(disk::WimFunctions())[i], expected) << disk::kWimFunctionNames[i];
        bound += expected != nullptr;
    }
    platform::FreeLibrary(module);

    // The entry points the program calls are all there.
    const disk::WimFunctionTable& table = disk::WimFunctions();
    for (void* slot : {reinterpret_cast<void*>(table.WIMCreateFile), reinterpret_cast<void*>(table.WIMCloseHandle),
                       reinterpret_cast<void*>(table.WIMCaptureImage), reinterpret_cast<void*>(table.WIMApplyImage),
                       reinterpret_cast<void*>(table.WIMLoadImage), reinterpret_cast<void*>(table.WIMExportImage),
                       reinterpret_cast<void*>(table.WIMRegisterMessageCallback),
                       reinterpret_cast<void*>(table.WIMMountImage), reinterpret_cast<void*>(table.WIMUnmountImage),
                       reinterpret_cast<void*>(table.WIMGetImageInformation)})
        EXPECT_NE(slot, nullptr);
    // A name the module lacks stays empty: there is no export of that name.
    EXPECT_EQ(table.WIMMessageCallback, nullptr);
    EXPECT_GT(bound, 20);
}

TEST_F(WimgapiBinding, NamesAreTheThirtySixEntryPointsInTableOrder) {
    EXPECT_STREQ(disk::kWimFunctionNames[0], "WIMCreateFile");
    EXPECT_STREQ(disk::kWimFunctionNames[10], "WIMCaptureImage");
    EXPECT_STREQ(disk::kWimFunctionNames[18], "WIMMessageCallback");
    EXPECT_STREQ(disk::kWimFunctionNames[33], "WIMExtractImagePath");
    EXPECT_STREQ(disk::kWimFunctionNames[35], "WIMSetFileIOCallbackTemporaryPath");
}

TEST_F(WimgapiBinding, PathNamesTheRealLibraryFile) {
    disk::LoadWimgapi("wimgapi.dll");
    ASSERT_TRUE(disk::WimgapiLoaded());
    const std::string path = disk::WimgapiPath();
    EXPECT_NE(path.find("libwim.so"), std::string::npos) << path;
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
}

TEST_F(WimgapiBinding, SecondLoadIsANoOpAndUnloadClearsTheState) {
    disk::LoadWimgapi();
    ASSERT_TRUE(disk::WimgapiLoaded());
    const auto create = disk::WimFunctions().WIMCreateFile;
    const std::string path = disk::WimgapiPath();
    disk::LoadWimgapi("C:\\Windows\\System32\\wimgapi.dll");
    EXPECT_EQ(disk::WimFunctions().WIMCreateFile, create);
    EXPECT_EQ(disk::WimgapiPath(), path);

    disk::UnloadWimgapi();
    EXPECT_FALSE(disk::WimgapiLoaded());
    EXPECT_EQ(disk::WimgapiPath(), "");
    // The table is not cleared by an unload.
    EXPECT_EQ(disk::WimFunctions().WIMCreateFile, create);
    disk::UnloadWimgapi();  // harmless when not loaded
    EXPECT_FALSE(disk::WimgapiLoaded());
}

TEST_F(WimgapiBinding, MissingLibraryLeavesItUnloaded) {
    platform::HideModuleForTesting("wimgapi.dll", true);
    disk::LoadWimgapi();
    EXPECT_FALSE(disk::WimgapiLoaded());
    EXPECT_EQ(disk::WimgapiPath(), "");
    disk::LoadWimgapi("notthere.dll");
    EXPECT_FALSE(disk::WimgapiLoaded());

    platform::HideModuleForTesting("wimgapi.dll", false);
    disk::LoadWimgapi();
    EXPECT_TRUE(disk::WimgapiLoaded());
}

}  // namespace
