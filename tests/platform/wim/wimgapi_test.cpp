// The imaging module "wimgapi.dll" over wimlib, called as the program calls
// it: through LoadLibraryA/GetProcAddress with the Windows entry points.
// What it writes is read back with wimlib-imagex, what wimlib-imagex writes
// is read with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/device/registry.h"
#include "platform/modules/module.h"
#include "platform/base/wide_text.h"
#include "platform/wim/xml.h"
#include "platform/wim/wimgapi.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

using namespace platform;
using namespace platform::wim;
using test_support::Quote;
using test_support::TempDir;

namespace {

constexpr DWORD kInvalidData = 13;

// The entry points the tests call, looked up by name as the program does.
struct Wimgapi {
    HMODULE module = nullptr;
    WIMCreateFile_fn CreateFile = nullptr;
    WIMCloseHandle_fn CloseHandle = nullptr;
    WIMSetTemporaryPath_fn SetTemporaryPath = nullptr;
    WIMCaptureImage_fn CaptureImage = nullptr;
    WIMLoadImage_fn LoadImage = nullptr;
    WIMApplyImage_fn ApplyImage = nullptr;
    WIMExportImage_fn ExportImage = nullptr;
    WIMDeleteImage_fn DeleteImage = nullptr;
    WIMGetImageCount_fn GetImageCount = nullptr;
    WIMGetAttributes_fn GetAttributes = nullptr;
    WIMSetBootImage_fn SetBootImage = nullptr;
    WIMGetImageInformation_fn GetImageInformation = nullptr;
    WIMSetImageInformation_fn SetImageInformation = nullptr;
    WIMRegisterMessageCallback_fn RegisterMessageCallback = nullptr;
    WIMUnregisterMessageCallback_fn UnregisterMessageCallback = nullptr;
    WIMGetMessageCallbackCount_fn GetMessageCallbackCount = nullptr;
    WIMMountImage_fn MountImage = nullptr;
    WIMUnmountImage_fn UnmountImage = nullptr;
    WIMGetMountedImages_fn GetMountedImages = nullptr;
    WIMExtractImagePath_fn ExtractImagePath = nullptr;

    template <typename Fn>
    void bind(Fn& slot, const char* name) {
        slot = reinterpret_cast<Fn>(GetProcAddress(module, name));
        ASSERT_NE(slot, nullptr) << name;
    }
};

// What a callback saw, and how it answers.
struct Listener {
    std::vector<std::u16string> processed;
    std::vector<int> percents;
    std::vector<std::pair<std::u16string, DWORD>> errors;
    int scanning = 0;
    std::vector<std::u16string> exclude;  // compared as the main window does
    DWORD abort_on = 0;                   // message that answers WIM_MSG_ABORT_IMAGE
};

DWORD ListenerCallback(DWORD message, WPARAM wparam, LPARAM lparam, void* user_data) {
    auto& listener = *static_cast<Listener*>(user_data);
    switch (message) {
    case WIM_MSG_PROCESS: {
        std::u16string path = reinterpret_cast<const char16_t*>(wparam);
        listener.processed.push_back(path);
        std::u16string below = path.substr(2);
        for (char16_t& c : below)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (std::find(listener.exclude.begin(), listener.exclude.end(), below) != listener.exclude.end())
            *reinterpret_cast<BOOL*>(lparam) = 0;
        break;
    }
    case WIM_MSG_PROGRESS: listener.percents.push_back(static_cast<int>(wparam)); break;
    case WIM_MSG_SCANNING: ++listener.scanning; break;
    case WIM_MSG_ERROR:
        listener.errors.emplace_back(reinterpret_cast<const char16_t*>(wparam), static_cast<DWORD>(lparam));
        break;
    default: break;
    }
    return message == listener.abort_on ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
}

std::u16string W(const std::string& text) { return Utf8ToUtf16(text); }

void MakeTree(const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "sub" / "deeper");
    test_support::WriteWholeFile((root / "keep.txt").string(), "kept at the root\n");
    test_support::WriteWholeFile((root / "skip.txt").string(), "left out at the root\n");
    test_support::WriteWholeFile((root / "sub" / "skip.txt").string(), "same name, kept in the sub-folder\n");
    test_support::WriteWholeFile((root / "sub" / "deeper" / "data.bin"), std::string(300000, 'x') + "end");
}

std::string ImagexOutput(const std::string& arguments) {
    test_support::CommandResult result = test_support::Run("wimlib-imagex " + arguments + " 2>&1");
    EXPECT_EQ(result.exit_code, 0) << arguments << "\n" << result.output;
    return result.output;
}

// The value after "Field:" in wimlib-imagex info's output.
std::string InfoField(const std::string& info, const std::string& field) {
    const std::size_t at = info.find("\n" + field + ":");
    if (at == std::string::npos) return {};
    std::size_t start = info.find_first_not_of(' ', at + field.size() + 2);
    return info.substr(start, info.find('\n', start) - start);
}

class WimgapiTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("wimlib-imagex")) GTEST_SKIP() << "wimlib-imagex is not installed";
        api.module = LoadLibraryA("wimgapi.dll");
        ASSERT_NE(api.module, nullptr) << "libwim could not be loaded: " << GetLastError();
        api.bind(api.CreateFile, "WIMCreateFile");
        api.bind(api.CloseHandle, "WIMCloseHandle");
        api.bind(api.SetTemporaryPath, "WIMSetTemporaryPath");
        api.bind(api.CaptureImage, "WIMCaptureImage");
        api.bind(api.LoadImage, "WIMLoadImage");
        api.bind(api.ApplyImage, "WIMApplyImage");
        api.bind(api.ExportImage, "WIMExportImage");
        api.bind(api.DeleteImage, "WIMDeleteImage");
        api.bind(api.GetImageCount, "WIMGetImageCount");
        api.bind(api.GetAttributes, "WIMGetAttributes");
        api.bind(api.SetBootImage, "WIMSetBootImage");
        api.bind(api.GetImageInformation, "WIMGetImageInformation");
        api.bind(api.SetImageInformation, "WIMSetImageInformation");
        api.bind(api.RegisterMessageCallback, "WIMRegisterMessageCallback");
        api.bind(api.UnregisterMessageCallback, "WIMUnregisterMessageCallback");
        api.bind(api.GetMessageCallbackCount, "WIMGetMessageCallbackCount");
        api.bind(api.MountImage, "WIMMountImage");
        api.bind(api.UnmountImage, "WIMUnmountImage");
        api.bind(api.GetMountedImages, "WIMGetMountedImages");
        api.bind(api.ExtractImagePath, "WIMExtractImagePath");
        source = dir.path() / "source";
        MakeTree(source);
    }
    void TearDown() override {
        if (api.module) FreeLibrary(api.module);
    }

    WimHandle Create(const std::string& file, DWORD compression = WIM_COMPRESS_XPRESS, DWORD flags = 0) {
        DWORD created = 99;
        WimHandle wim = api.CreateFile(W(file).c_str(), WIM_GENERIC_WRITE, WIM_CREATE_ALWAYS, flags, compression,
                                       &created);
        EXPECT_NE(wim, nullptr) << GetLastError();
        EXPECT_EQ(created, DWORD{WIM_CREATED_NEW});
        return wim;
    }
    WimHandle Open(const std::string& file, DWORD access = WIM_GENERIC_READ) {
        WimHandle wim =
            api.CreateFile(W(file).c_str(), access, WIM_OPEN_EXISTING, WIM_FLAG_VERIFY, WIM_COMPRESS_NONE, nullptr);
        EXPECT_NE(wim, nullptr) << GetLastError();
        return wim;
    }
    // A capture as the main window's worker does it: create, register,
    // temporary path, capture, close the image, close the file.
    bool Capture(const std::string& file, const std::string& from, Listener& listener,
                 DWORD compression = WIM_COMPRESS_XPRESS, DWORD flags = 0) {
        WimHandle wim = Create(file, compression, flags);
        if (!wim) return false;
        EXPECT_NE(api.RegisterMessageCallback(wim, &ListenerCallback, &listener), DWORD{INVALID_CALLBACK_VALUE});
        EXPECT_TRUE(api.SetTemporaryPath(wim, W(dir.path().string()).c_str()));
        WimHandle image = api.CaptureImage(wim, W(from).c_str(), 0);
        const DWORD capture_error = image ? ERROR_SUCCESS : GetLastError();
        if (image) {
            EXPECT_TRUE(api.CloseHandle(image));
        }
        EXPECT_TRUE(api.CloseHandle(wim)) << GetLastError();
        SetLastError(capture_error);
        return image != nullptr;
    }

    Wimgapi api;
    TempDir dir;
    std::filesystem::path source;
};

TEST_F(WimgapiTest, CaptureLeavesOutWhatTheCallbackExcludesAndReportsPathsFromTheRoot) {
    Listener listener;
    listener.exclude = {u"\\skip.txt"};
    const std::string file = dir.file("backup.wim");
    ASSERT_TRUE(Capture(file, source.string(), listener)) << GetLastError();

    const std::string listing = ImagexOutput("dir " + Quote(file) + " 1");
    EXPECT_NE(listing.find("/keep.txt\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\n/skip.txt\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/skip.txt\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/deeper/data.bin\n"), std::string::npos) << listing;

    // A folder capture has no drive: "?:" stands in front of the path.
    auto& seen = listener.processed;
    for (const char16_t* expected : {u"?:\\keep.txt", u"?:\\skip.txt", u"?:\\sub\\skip.txt", u"?:\\sub\\deeper\\data.bin"})
        EXPECT_NE(std::find(seen.begin(), seen.end(), expected), seen.end()) << Utf16ToUtf8(expected);
    EXPECT_GE(listener.scanning, 1);
    ASSERT_FALSE(listener.percents.empty());
    EXPECT_EQ(listener.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(listener.percents.begin(), listener.percents.end()));

    const std::string info = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(info, "Image Count"), "1") << info;
    // The main window's -wim -backup passes a path with a trailing separator.
    Listener again;
    ASSERT_TRUE(Capture(dir.file("trailing.wim"), source.string() + "/", again));
    EXPECT_NE(std::find(again.processed.begin(), again.processed.end(), u"?:\\keep.txt"), again.processed.end());
}

TEST_F(WimgapiTest, EachCompressionIsWhatWimlibReads) {
    const struct {
        DWORD compression;
        const char* shown;
    } cases[] = {{WIM_COMPRESS_NONE, "None"}, {WIM_COMPRESS_XPRESS, "XPRESS"}, {WIM_COMPRESS_LZX, "LZX"},
                 {WIM_COMPRESS_LZMS, "LZMS"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        Listener listener;
        const std::string file = dir.file(std::string("c") + std::to_string(c.compression) + ".wim");
        ASSERT_TRUE(Capture(file, source.string(), listener, c.compression)) << GetLastError();
        const std::string info = ImagexOutput("info " + Quote(file));
        EXPECT_EQ(InfoField(info, "Compression"), c.shown) << info;
        EXPECT_EQ(ImagexOutput("info " + Quote(file) + " --blobs").find("WIM_RESHDR_FLAG_SOLID"), std::string::npos);
        ImagexOutput("verify " + Quote(file));
    }
}

TEST_F(WimgapiTest, LzmsWithTheSolidFlagWritesASolidEsd) {
    Listener listener;
    const std::string file = dir.file("backup.esd");
    ASSERT_TRUE(Capture(file, source.string(), listener, WIM_COMPRESS_LZMS, WIM_FLAG_SOLID | WIM_FLAG_SHARE_WRITE));
    const std::string info = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(info, "Version"), "3584") << info;  // the solid-resource format
    EXPECT_NE(ImagexOutput("info " + Quote(file) + " --blobs").find("WIM_RESHDR_FLAG_SOLID"), std::string::npos);
    EXPECT_EQ(InfoField(info, "Compression"), "LZMS") << info;
    ImagexOutput("verify " + Quote(file));

    // Appending to it keeps it solid.
    WimHandle wim = Open(file, WIM_GENERIC_READ | WIM_GENERIC_WRITE);
    WimHandle image = api.CaptureImage(wim, W(source.string()).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();
    api.CloseHandle(image);
    ASSERT_TRUE(api.CloseHandle(wim));
    const std::string appended = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(appended, "Image Count"), "2");
    EXPECT_EQ(InfoField(appended, "Version"), "3584");
}

TEST_F(WimgapiTest, WimBootCaptureWritesAWimBootImage) {
    // As the main window does it: the flag both on the file and the capture.
    const std::string file = dir.file("wimboot.wim");
    WimHandle wim = Create(file, WIM_COMPRESS_XPRESS, WIM_FLAG_WIM_BOOT);
    WimHandle image = api.CaptureImage(wim, W(source.string()).c_str(), WIM_FLAG_WIM_BOOT);
    ASSERT_NE(image, nullptr) << GetLastError();
    api.CloseHandle(image);
    ASSERT_TRUE(api.CloseHandle(wim));
    const std::string info = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(info, "WIMBoot compatible"), "yes") << info;
    EXPECT_EQ(InfoField(info, "Chunk Size"), "4096 bytes") << info;
}

TEST_F(WimgapiTest, OpeningExistingForAppendAddsImageTwo) {
    const std::string file = dir.file("backup.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " first --compress=xpress");
    DWORD created = 99;
    WimHandle wim = api.CreateFile(W(file).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING, 0,
                                   WIM_COMPRESS_XPRESS, &created);
    ASSERT_NE(wim, nullptr) << GetLastError();
    EXPECT_EQ(created, DWORD{WIM_OPENED_EXISTING});
    EXPECT_EQ(api.GetImageCount(wim), 1u);
    std::filesystem::remove(source / "keep.txt");
    WimHandle image = api.CaptureImage(wim, W(source.string()).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();
    EXPECT_EQ(api.GetImageCount(wim), 2u);
    api.CloseHandle(image);
    ASSERT_TRUE(api.CloseHandle(wim));

    const std::string info = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(info, "Image Count"), "2") << info;
    EXPECT_NE(ImagexOutput("dir " + Quote(file) + " 1").find("/keep.txt"), std::string::npos);
    EXPECT_EQ(ImagexOutput("dir " + Quote(file) + " 2").find("/keep.txt"), std::string::npos);
    ImagexOutput("verify " + Quote(file));
}

TEST_F(WimgapiTest, ACaptureLeavesOutTheWimItIsWrittenInto) {
    const std::string file = (source / "self.wim").string();
    Listener listener;
    ASSERT_TRUE(Capture(file, source.string(), listener)) << GetLastError();
    // Again over the file that is now in the folder, and once appended to it.
    ASSERT_TRUE(Capture(file, source.string(), listener)) << GetLastError();
    WimHandle wim = Open(file, WIM_GENERIC_READ | WIM_GENERIC_WRITE);
    WimHandle image = api.CaptureImage(wim, W(source.string()).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();
    api.CloseHandle(image);
    ASSERT_TRUE(api.CloseHandle(wim));
    for (const char* index : {"1", "2"}) {
        const std::string listing = ImagexOutput("dir " + Quote(file) + " " + index);
        EXPECT_EQ(listing.find("self.wim"), std::string::npos) << listing;
        EXPECT_NE(listing.find("/keep.txt"), std::string::npos) << listing;
    }
    ImagexOutput("verify " + Quote(file));
}

TEST_F(WimgapiTest, ACaptureStaysOnTheFileSystemOfItsRoot) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "mounting a file system needs root";
    const std::filesystem::path mounted = source / "sub" / "elsewhere";
    std::filesystem::create_directory(mounted);
    ASSERT_EQ(test_support::Run("mount -t tmpfs -o size=1m tmpfs " + Quote(mounted.string())).exit_code, 0);
    test_support::WriteWholeFile((mounted / "other.txt").string(), "on another file system\n");
    Listener listener;
    const std::string file = dir.file("one-fs.wim");
    const bool captured = Capture(file, source.string(), listener);
    test_support::Run("umount " + Quote(mounted.string()));
    ASSERT_TRUE(captured) << GetLastError();
    const std::string listing = ImagexOutput("dir " + Quote(file) + " 1");
    EXPECT_EQ(listing.find("elsewhere"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/skip.txt"), std::string::npos) << listing;
}

TEST_F(WimgapiTest, CallbackAbortFailsTheCaptureAndLeavesNoBrokenFile) {
    const struct {
        DWORD abort_on;
        const char* when;
    } cases[] = {{WIM_MSG_PROCESS, "while scanning"}, {WIM_MSG_PROGRESS, "while writing"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        const std::string file = dir.file("aborted.wim");
        test_support::WriteWholeFile(file, "an older file the capture would have replaced");
        Listener listener;
        listener.abort_on = c.abort_on;
        EXPECT_FALSE(Capture(file, source.string(), listener));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_REQUEST_ABORTED});
        // The file it was to replace is still whole, and nothing is left beside it.
        EXPECT_EQ(test_support::ReadWholeFile(file), "an older file the capture would have replaced");
        int entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            entries += entry.path().filename().string().rfind("aborted.wim", 0) == 0;
        EXPECT_EQ(entries, 1);
    }
}

TEST_F(WimgapiTest, ApplyOfAnImageWimlibMadeGivesBackTheTree) {
    const std::string file = dir.file("made.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " made --compress=lzx");
    WimHandle wim = Open(file);
    Listener listener;
    ASSERT_NE(api.RegisterMessageCallback(wim, &ListenerCallback, &listener), DWORD{INVALID_CALLBACK_VALUE});
    WimHandle image = api.LoadImage(wim, 1);
    ASSERT_NE(image, nullptr) << GetLastError();
    const std::filesystem::path target = dir.path() / "target";
    std::filesystem::create_directory(target);
    ASSERT_TRUE(api.ApplyImage(image, W(target.string()).c_str(), 0)) << GetLastError();
    api.CloseHandle(image);
    api.CloseHandle(wim);

    test_support::CommandResult diff = test_support::Run("diff -r " + Quote(source.string()) + " " + Quote(target.string()));
    EXPECT_EQ(diff.exit_code, 0) << diff.output;
    ASSERT_FALSE(listener.percents.empty());
    EXPECT_EQ(listener.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(listener.percents.begin(), listener.percents.end()));
}

TEST_F(WimgapiTest, AnApplyOfADamagedImageNamesTheFileItCouldNotWriteAndRemovesIt) {
    const std::filesystem::path tree = dir.path() / "tree";
    std::filesystem::create_directory(tree);
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
    test_support::WriteWholeFile((tree / "big.bin").string(), big);
    test_support::WriteWholeFile((tree / "small.txt").string(), "hello\n");
    const std::string file = dir.file("damaged.wim");
    ImagexOutput("capture " + Quote(tree.string()) + " " + Quote(file) + " --compress=none");
    // Stored as they are: spoil a byte in the middle of big.bin's data.
    std::string bytes = test_support::ReadWholeFile(file);
    const std::size_t at = bytes.find(big.substr(150000, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
    test_support::WriteWholeFile(file, bytes);

    WimHandle wim = Open(file);
    Listener listener;
    api.RegisterMessageCallback(wim, &ListenerCallback, &listener);
    WimHandle image = api.LoadImage(wim, 1);
    ASSERT_NE(image, nullptr);
    const std::filesystem::path target = dir.path() / "target";
    std::filesystem::create_directory(target);
    EXPECT_FALSE(api.ApplyImage(image, W(target.string()).c_str(), 0));
    api.CloseHandle(image);
    api.CloseHandle(wim);
    const std::string written = (target / "big.bin").string();
    EXPECT_FALSE(std::filesystem::exists(written)) << "left with bytes that are not the image's";
    bool named = false;
    for (const auto& [path, error] : listener.errors) named = named || path == W(written);
    EXPECT_TRUE(named);
    // What was written whole stays.
    if (std::filesystem::exists(target / "small.txt"))
        EXPECT_EQ(test_support::ReadWholeFile((target / "small.txt").string()), "hello\n");
}

TEST_F(WimgapiTest, FailuresSetTheWindowsErrors) {
    const std::string good = dir.file("good.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(good) + " --compress=none");
    const std::string not_wim = dir.file("text.wim");
    test_support::WriteWholeFile(not_wim, std::string(4096, 'z'));

    const struct {
        std::string path;
        DWORD access, disposition, error;
    } opens[] = {
        {dir.file("missing.wim"), WIM_GENERIC_READ, WIM_OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {dir.file("no/folder/x.wim"), WIM_GENERIC_WRITE, WIM_CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {good, WIM_GENERIC_WRITE, WIM_CREATE_NEW, ERROR_FILE_EXISTS},
        {good, WIM_GENERIC_READ, 9, ERROR_INVALID_PARAMETER},
        {not_wim, WIM_GENERIC_READ, WIM_OPEN_EXISTING, kInvalidData},
    };
    for (const auto& o : opens) {
        SCOPED_TRACE(o.path);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(api.CreateFile(W(o.path).c_str(), o.access, o.disposition, 0, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), o.error);
    }

    WimHandle wim = Open(good);
    for (DWORD index : {0u, 2u, 1000u}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(api.LoadImage(wim, index), nullptr) << index;
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << index;
    }
    // A read-only WIM takes no capture.
    EXPECT_EQ(api.CaptureImage(wim, W(source.string()).c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});

    // WIMBoot apply needs Windows; it says so through the callback too.
    Listener listener;
    api.RegisterMessageCallback(wim, &ListenerCallback, &listener);
    WimHandle image = api.LoadImage(wim, 1);
    ASSERT_NE(image, nullptr);
    const std::string target = dir.file("target");
    EXPECT_FALSE(api.ApplyImage(image, W(target).c_str(), WIM_FLAG_WIM_BOOT));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_SUPPORTED});
    ASSERT_EQ(listener.errors.size(), 1u);
    EXPECT_EQ(listener.errors[0].second, DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_FALSE(std::filesystem::exists(target));
    api.CloseHandle(image);
    api.CloseHandle(wim);

    // A capture of a folder that is not there.
    WimHandle fresh = Create(dir.file("fresh.wim"));
    EXPECT_EQ(api.CaptureImage(fresh, W(dir.file("nothing-here")).c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
    EXPECT_TRUE(api.CloseHandle(fresh));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fresh.wim"))) << "a WIM that never got an image is not written";

    // Handles that are not ours, or closed.
    int not_a_handle = 0;
    for (WimHandle bad : {static_cast<WimHandle>(&not_a_handle), static_cast<WimHandle>(nullptr), wim}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(api.CloseHandle(bad));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
        EXPECT_EQ(api.GetImageCount(bad), 0u);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    }
}

TEST_F(WimgapiTest, CallbacksRegisterPerHandleAndForAllHandles) {
    WimHandle wim = Create(dir.file("cb.wim"));
    Listener first, second, everyone;
    EXPECT_EQ(api.RegisterMessageCallback(wim, &ListenerCallback, &first), 0u);
    EXPECT_EQ(api.RegisterMessageCallback(wim, &ListenerCallback, &second), 1u);
    EXPECT_EQ(api.GetMessageCallbackCount(wim), 2u);
    EXPECT_EQ(api.RegisterMessageCallback(nullptr, &ListenerCallback, &everyone), 0u);
    int not_a_handle = 0;
    EXPECT_EQ(api.RegisterMessageCallback(&not_a_handle, &ListenerCallback, &first), DWORD{INVALID_CALLBACK_VALUE});

    WimHandle image = api.CaptureImage(wim, W(source.string()).c_str(), 0);
    ASSERT_NE(image, nullptr);
    for (Listener* l : {&first, &second, &everyone}) {
        EXPECT_FALSE(l->processed.empty());
        ASSERT_FALSE(l->percents.empty());
        EXPECT_EQ(l->percents.back(), 100);
    }
    EXPECT_TRUE(api.UnregisterMessageCallback(wim, &ListenerCallback));
    EXPECT_EQ(api.GetMessageCallbackCount(wim), 0u);
    EXPECT_FALSE(api.UnregisterMessageCallback(wim, &ListenerCallback));
    EXPECT_TRUE(api.UnregisterMessageCallback(nullptr, &ListenerCallback));
    EXPECT_EQ(api.GetMessageCallbackCount(nullptr), 0u);
    api.CloseHandle(image);
    api.CloseHandle(wim);
}

TEST_F(WimgapiTest, InformationBootIndexAndExportReachTheFile) {
    const std::string file = dir.file("info.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " original --compress=xpress");
    WimHandle wim = Open(file, WIM_GENERIC_READ | WIM_GENERIC_WRITE);

    void* xml = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(api.GetImageInformation(wim, &xml, &size));
    ASSERT_GE(size, 4u);
    EXPECT_EQ(static_cast<const char16_t*>(xml)[0], u'\xFEFF');
    std::u16string whole(static_cast<const char16_t*>(xml) + 1, size / 2 - 1);
    WIMFreeMemory(xml);
    EXPECT_NE(Utf16ToUtf8(whole).find("<NAME>original</NAME>"), std::string::npos);

    WimHandle image = api.LoadImage(wim, 1);
    ASSERT_NE(image, nullptr);
    // The hub's "SetInfo": an IMAGE element around one field, without a mark.
    const std::u16string set = u"<IMAGE><NAME>Test</NAME><DESCRIPTION>A &amp; B</DESCRIPTION></IMAGE>";
    ASSERT_TRUE(api.SetImageInformation(image, set.data(), static_cast<DWORD>(set.size() * 2))) << GetLastError();
    ASSERT_TRUE(api.GetImageInformation(image, &xml, &size));
    const std::string element = Utf16ToUtf8(std::u16string(static_cast<const char16_t*>(xml) + 1, size / 2 - 1));
    WIMFreeMemory(xml);
    EXPECT_EQ(element.rfind("<IMAGE INDEX=\"1\"", 0), 0u) << element;
    EXPECT_NE(element.find("<NAME>Test</NAME>"), std::string::npos) << element;
    const std::u16string broken = u"<IMAGE><NAME>Test</IMAGE>";
    EXPECT_FALSE(api.SetImageInformation(image, broken.data(), static_cast<DWORD>(broken.size() * 2)));
    EXPECT_EQ(GetLastError(), kInvalidData);
    // Nesting far beyond any image information is refused, not recursed into.
    std::u16string deep = u"<IMAGE>";
    for (int i = 0; i < 200000; ++i) deep += u"<A>";
    for (int i = 0; i < 200000; ++i) deep += u"</A>";
    deep += u"</IMAGE>";
    EXPECT_FALSE(api.SetImageInformation(image, deep.data(), static_cast<DWORD>(deep.size() * 2)));
    EXPECT_EQ(GetLastError(), kInvalidData);

    EXPECT_TRUE(api.SetBootImage(wim, 1));
    EXPECT_FALSE(api.SetBootImage(wim, 2));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    WIM_INFO attributes{};
    ASSERT_TRUE(api.GetAttributes(wim, &attributes, sizeof attributes));
    EXPECT_EQ(attributes.ImageCount, 1u);
    EXPECT_EQ(attributes.CompressionType, DWORD{WIM_COMPRESS_XPRESS});
    EXPECT_EQ(Utf16ToUtf8(attributes.WimPath), file);

    // The export window: into a file opened "always", twice, duplicates allowed.
    const std::string target = dir.file("exported.wim");
    for (int round = 0; round < 2; ++round) {
        WimHandle destination = api.CreateFile(W(target).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                               WIM_OPEN_ALWAYS, 0, WIM_COMPRESS_XPRESS, nullptr);
        ASSERT_NE(destination, nullptr) << GetLastError();
        EXPECT_TRUE(api.ExportImage(image, destination, WIM_EXPORT_ALLOW_DUPLICATES)) << GetLastError();
        EXPECT_TRUE(api.CloseHandle(destination));
    }
    api.CloseHandle(image);
    ASSERT_TRUE(api.CloseHandle(wim)) << GetLastError();

    const std::string info = ImagexOutput("info " + Quote(file));
    EXPECT_EQ(InfoField(info, "Boot Index"), "1") << info;
    EXPECT_EQ(InfoField(info, "Name"), "Test") << info;
    EXPECT_EQ(InfoField(info, "Description"), "A & B") << info;
    const std::string exported = ImagexOutput("info " + Quote(target));
    EXPECT_EQ(InfoField(exported, "Image Count"), "2") << exported;
    ImagexOutput("verify " + Quote(target));
    EXPECT_NE(ImagexOutput("dir " + Quote(target) + " 2").find("/sub/deeper/data.bin"), std::string::npos);

    // Deleting an image is written when the file is closed.
    wim = Open(target, WIM_GENERIC_READ | WIM_GENERIC_WRITE);
    EXPECT_TRUE(api.DeleteImage(wim, 1));
    EXPECT_FALSE(api.DeleteImage(wim, 5));
    EXPECT_TRUE(api.CloseHandle(wim));
    EXPECT_EQ(InfoField(ImagexOutput("info " + Quote(target)), "Image Count"), "1");
}

TEST_F(WimgapiTest, ExtractImagePathWritesOneFileWhereAsked) {
    const std::string file = dir.file("one.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " --compress=xpress");
    WimHandle wim = Open(file);
    WimHandle image = api.LoadImage(wim, 1);
    const std::string destination = dir.file("copy-of-skip.txt");
    ASSERT_TRUE(api.ExtractImagePath(image, u"\\sub\\skip.txt", W(destination).c_str(), 0)) << GetLastError();
    EXPECT_EQ(test_support::ReadWholeFile(destination), "same name, kept in the sub-folder\n");
    EXPECT_FALSE(api.ExtractImagePath(image, u"\\not\\there", W(dir.file("x")).c_str(), 0));
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
    api.CloseHandle(image);
    api.CloseHandle(wim);
}

TEST_F(WimgapiTest, MountShowsTheImageAndUnmountCommitsChanges) {
    if (!test_support::IsRoot() || ::access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "mounting needs root and /dev/fuse";
    const std::string file = dir.file("mount.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " --compress=xpress");
    const std::string folder = dir.file("mounted");
    std::filesystem::create_directory(folder);

    // Read-only: no temporary path.
    ASSERT_TRUE(api.MountImage(W(folder).c_str(), W(file).c_str(), 1, nullptr)) << GetLastError();
    EXPECT_EQ(test_support::ReadWholeFile(folder + "/keep.txt"), "kept at the root\n");
    DWORD length = 0;
    EXPECT_FALSE(api.GetMountedImages(nullptr, &length));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    std::vector<WIM_MOUNT_LIST> mounts(length / sizeof(WIM_MOUNT_LIST) + 1);
    length = static_cast<DWORD>(mounts.size() * sizeof(WIM_MOUNT_LIST));
    ASSERT_TRUE(api.GetMountedImages(mounts.data(), &length));
    bool listed = false;
    for (std::size_t i = 0; i < length / sizeof(WIM_MOUNT_LIST); ++i)
        listed = listed || (Utf16ToUtf8(mounts[i].MountPath) == std::filesystem::canonical(folder).string() &&
                            mounts[i].ImageIndex == 1 && !mounts[i].MountedForRW);
    EXPECT_TRUE(listed);
    EXPECT_FALSE(api.MountImage(W(folder).c_str(), W(file).c_str(), 1, nullptr)) << "already mounted there";
    ASSERT_TRUE(api.UnmountImage(W(folder).c_str(), W(file).c_str(), 1, 0)) << GetLastError();
    EXPECT_FALSE(std::filesystem::exists(folder + "/keep.txt"));

    // Read-write with a temporary path, committed on unmount.
    ASSERT_TRUE(api.MountImage(W(folder).c_str(), W(file).c_str(), 1, W(dir.path().string()).c_str()))
        << GetLastError();
    test_support::WriteWholeFile(folder + "/added.txt", "written into the mounted image\n");
    ASSERT_TRUE(api.UnmountImage(W(folder).c_str(), W(file).c_str(), 1, 1)) << GetLastError();
    EXPECT_NE(ImagexOutput("dir " + Quote(file) + " 1").find("/added.txt"), std::string::npos);

    EXPECT_FALSE(api.UnmountImage(W(folder).c_str(), W(file).c_str(), 1, 0));
    EXPECT_FALSE(api.MountImage(W(folder).c_str(), W(file).c_str(), 7, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

// An embedded disk with two NTFS partitions; the first is filled from a
// folder, the second is empty. mkntfs formats each as a file of its own,
// which is then placed into the disk image.
class WimgapiNtfsTest : public WimgapiTest {
protected:
    static constexpr std::int64_t kPartitionBytes = 12 << 20;
    static constexpr std::int64_t kFirstStart = 1 << 20;
    static constexpr std::int64_t kSecondStart = kFirstStart + kPartitionBytes;
    static constexpr std::int64_t kThirdStart = kSecondStart + kPartitionBytes;  // 1 MiB, no file system

    void SetUp() override {
        WimgapiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const char* tool : {"mkntfs", "sfdisk", "ntfscat"})
            if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
        const std::string seed = dir.file("seed.wim");
        ImagexOutput("capture " + Quote(source.string()) + " " + Quote(seed) + " --compress=none");
        for (int part : {1, 2}) {
            const std::string image = PartitionFile(part);
            test_support::MakeSparseFile(image, kPartitionBytes);
            ASSERT_EQ(test_support::Run("mkntfs -F -Q -q " + Quote(image) + " 2>/dev/null").exit_code, 0);
        }
        ImagexOutput("apply " + Quote(seed) + " 1 " + Quote(PartitionFile(1)));
        test_support::DiskSpec disk;
        disk.size = kThirdStart + (2 << 20);
        const std::string sectors = std::to_string(kPartitionBytes / 512);
        disk.prepare = {
            "printf 'label: dos\\nstart=2048,size=" + sectors + ",type=7\\nstart=" +
                std::to_string(kSecondStart / 512) + ",size=" + sectors + ",type=7\\nstart=" +
                std::to_string(kThirdStart / 512) + ",size=2048,type=83\\n' | sfdisk -q %s",
            "dd if=" + Quote(PartitionFile(1)) + " of=%s bs=1M seek=1 conv=notrunc status=none",
            "dd if=" + Quote(PartitionFile(2)) + " of=%s bs=1M seek=" + std::to_string(kSecondStart >> 20) +
                " conv=notrunc status=none",
        };
        machine = std::make_unique<test_support::EmbeddedMachine>(std::vector<test_support::DiskSpec>{disk});
        auto snap = device::Registry::instance().snapshot();
        for (const device::VolumeInfo& v : snap->volumes) {
            if (v.disk != 0) continue;
            if (v.start == kFirstStart) first = v;
            if (v.start == kSecondStart) second = v;
            if (v.start == kThirdStart) third = v;
        }
        ASSERT_EQ(first.filesystem, "NTFS");
        ASSERT_EQ(second.filesystem, "NTFS");
        ASSERT_NE(first.letter, 0);
        ASSERT_FALSE(second.guid_path.empty());
    }

    std::string PartitionFile(int part) const { return dir.file("part" + std::to_string(part) + ".img"); }

    // The second partition as the disk image now holds it.
    std::string SecondPartitionNow() {
        const std::string copy = dir.file("second-now.img");
        EXPECT_EQ(test_support::Run("dd if=" + Quote(machine->image(0)) + " of=" + Quote(copy) + " bs=1M skip=" +
                      std::to_string(kSecondStart >> 20) + " count=" + std::to_string(kPartitionBytes >> 20) +
                      " status=none")
                      .exit_code,
                  0);
        return copy;
    }

    std::unique_ptr<test_support::EmbeddedMachine> machine;
    device::VolumeInfo first, second, third;
};

TEST_F(WimgapiNtfsTest, UnmountedNtfsVolumeIsCapturedAndAppliedBack) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "loop devices need root";
    // The main window passes "X:\" for "\\.\X:".
    const std::string drive = std::string{first.letter, ':', '\\'};
    Listener listener;
    listener.exclude = {u"\\skip.txt"};
    const std::string file = dir.file("volume.wim");
    ASSERT_TRUE(Capture(file, drive, listener)) << GetLastError();
    const std::string listing = ImagexOutput("dir " + Quote(file) + " 1");
    EXPECT_NE(listing.find("/keep.txt\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/skip.txt\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\n/skip.txt\n"), std::string::npos) << listing;
    const std::u16string expected = Utf8ToUtf16(std::string{first.letter, ':'}) + u"\\sub\\skip.txt";
    EXPECT_NE(std::find(listener.processed.begin(), listener.processed.end(), expected), listener.processed.end());

    // Back onto the empty partition, named by its volume GUID path.
    WimHandle wim = Open(file);
    WimHandle image = api.LoadImage(wim, 1);
    ASSERT_TRUE(api.ApplyImage(image, W(second.guid_path).c_str(), 0)) << GetLastError();
    api.CloseHandle(image);
    api.CloseHandle(wim);
    const std::string now = SecondPartitionNow();
    test_support::CommandResult cat = test_support::Run("ntfscat " + Quote(now) + " /sub/deeper/data.bin | md5sum; md5sum < " +
                                          Quote((source / "sub" / "deeper" / "data.bin").string()));
    ASSERT_EQ(cat.exit_code, 0) << cat.output;
    const std::size_t newline = cat.output.find('\n');
    EXPECT_EQ(cat.output.substr(0, newline), cat.output.substr(newline + 1, newline)) << cat.output;
    EXPECT_NE(test_support::Run("ntfscat " + Quote(now) + " /skip.txt").exit_code, 0) << "excluded at capture";
    // No loop device is left behind.
    EXPECT_EQ(test_support::Run("losetup -j " + Quote(machine->image(0)) + " | grep -c loop").output, "0\n");
}

TEST_F(WimgapiNtfsTest, VolumesThatCannotBeUsedFailWithAReason) {
    ASSERT_FALSE(third.guid_path.empty());
    EXPECT_EQ(third.filesystem, "");
    const struct {
        std::string given;
        DWORD error;
    } cases[] = {
        {third.guid_path, ERROR_UNRECOGNIZED_VOLUME},  // unmounted, and no file system that mounts
        {std::string{first.letter, ':', '\\'} + "sub", ERROR_NOT_SUPPORTED},  // a folder of an unmounted volume
        {"Q:\\", ERROR_PATH_NOT_FOUND},
        {"\\\\.\\PhysicalDrive0", ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        Listener listener;
        WimHandle wim = Create(dir.file("nothing.wim"));
        api.RegisterMessageCallback(wim, &ListenerCallback, &listener);
        EXPECT_EQ(api.CaptureImage(wim, W(c.given).c_str(), 0), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        ASSERT_EQ(listener.errors.size(), 1u);
        EXPECT_EQ(listener.errors[0].first, W(c.given));
        EXPECT_EQ(listener.errors[0].second, c.error);
        api.CloseHandle(wim);
    }
    // Nor can an image be applied to them.
    const std::string file = dir.file("tree.wim");
    ImagexOutput("capture " + Quote(source.string()) + " " + Quote(file) + " --compress=none");
    WimHandle wim = Open(file);
    WimHandle image = api.LoadImage(wim, 1);
    EXPECT_FALSE(api.ApplyImage(image, W(third.guid_path).c_str(), 0));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_SUPPORTED});
    api.CloseHandle(image);
    api.CloseHandle(wim);
}

// ---- the image information reader ------------------------------------------

std::string Nested(int levels, const std::string& text) {
    std::string xml = "<IMAGE>";
    for (int i = 0; i < levels; ++i) xml += "<L" + std::to_string(i) + ">";
    xml += text;
    for (int i = levels - 1; i >= 0; --i) xml += "</L" + std::to_string(i) + ">";
    return xml + "</IMAGE>";
}

TEST(ImageInformationXml, ReadsNestingUpToItsLimitAndRefusesDeeper) {
    std::vector<std::pair<std::string, std::string>> properties;
    struct Case {
        int levels;
        bool accepted;
    } cases[] = {{1, true}, {64, true}, {65, false}, {100000, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(platform::wim::ImageProperties(Nested(c.levels, "x"), properties), c.accepted) << c.levels;
        if (c.accepted) {
            ASSERT_EQ(properties.size(), 1u) << c.levels;
            EXPECT_EQ(properties[0].second, "x");
            EXPECT_EQ(std::count(properties[0].first.begin(), properties[0].first.end(), '/'), c.levels - 1);
        }
    }
}

}  // namespace
