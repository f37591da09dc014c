// The WIM hub's and mount window's commands, checked with wimlib-imagex:
// the information XML, the list of images, the boot image, an image's
// information field (markup stored as typed), the library's description,
// and mounting an image for reading or for writing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "main/operations/wim_image_tools.h"
#include "platform/base/win_error.h"
#include "support/test_support.h"
#include "support/wim_fixtures.h"

using test_support::Quote;
namespace ts = test_support;
using test_support::TempDir;
using wim_test::WimlibInfo;

namespace {

class WimImageTools : public ::testing::Test {
protected:
    void SetUp() override {
        if (!wim_test::HaveWimlib()) GTEST_SKIP() << "wimlib-imagex is not installed";
        source_ = wim_test::MakeSourceFolder(dir_);
        wim_ = dir_.file("two.wim");
        auto made = wim_test::MakeTwoImageWim(wim_, source_, "First One", source_ + "/sub", "Second");
        ASSERT_EQ(made.exit_code, 0) << made.output;
    }

    // The value wimlib-imagex shows for `field` of image `index`.
    std::string Field(int index, const std::string& field) {
        const std::string info = ts::Run("wimlib-imagex info " + wim_ + " " + std::to_string(index)).output;
        const std::string key = "\n" + field + ":";
        const std::size_t at = info.find(key);
        if (at == std::string::npos) return "<none>";
        std::size_t start = info.find_first_not_of(' ', at + key.size());
        return info.substr(start, info.find('\n', start) - start);
    }

    TempDir dir_;
    std::string source_, wim_;
};

TEST_F(WimImageTools, InformationOfAWimAndAnEsdAndOfWhatIsNone) {
    const std::string xml = tarnovell::WimInformationText(wim_);
    EXPECT_EQ(xml.rfind("<WIM>", 0), 0u) << xml;
    EXPECT_NE(xml.find("<IMAGE INDEX=\"2\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<NAME>First One</NAME>"), std::string::npos) << xml;

    const std::string esd = dir_.file("one.esd");
    ASSERT_EQ(ts::Run("wimlib-imagex export " + wim_ + " 2 " + esd + " --solid").exit_code, 0);
    EXPECT_NE(tarnovell::WimInformationText(esd).find("<NAME>Second</NAME>"), std::string::npos);

    wim_test::WriteFile(dir_.file("text.wim"), "no image here");
    for (const std::string& file : {dir_.file("text.wim"), dir_.file("absent.wim")}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(tarnovell::WimInformationText(file), "WIMGetImageInformation failed");
        EXPECT_TRUE(tarnovell::WimImages(file).empty());
    }
}

TEST_F(WimImageTools, TheImagesWithTheirNames) {
    const std::vector<tarnovell::WimImageEntry> images = tarnovell::WimImages(wim_);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].index, 1);
    EXPECT_EQ(images[0].name, "First One");
    EXPECT_EQ(images[1].index, 2);
    EXPECT_EQ(images[1].name, "Second");
}

TEST_F(WimImageTools, BootImage) {
    const tarnovell::WimCommandResult set = tarnovell::SetWimBootImage(wim_, 2);
    EXPECT_TRUE(set.ok) << set.text;
    EXPECT_EQ(set.text, "WIMSetBootImage OK");
    EXPECT_NE(WimlibInfo(wim_).find("Boot Index:     2"), std::string::npos) << WimlibInfo(wim_);

    const tarnovell::WimCommandResult beyond = tarnovell::SetWimBootImage(wim_, 3);
    EXPECT_FALSE(beyond.ok);
    EXPECT_EQ(beyond.text, "WIMSetBootImage failed," + std::to_string(platform::ERROR_INVALID_PARAMETER));
    const tarnovell::WimCommandResult absent = tarnovell::SetWimBootImage(dir_.file("absent.wim"), 1);
    EXPECT_FALSE(absent.ok);
    EXPECT_EQ(absent.text, "WIMCreateFile failed," + std::to_string(platform::ERROR_FILE_NOT_FOUND));
    EXPECT_NE(WimlibInfo(wim_).find("Boot Index:     2"), std::string::npos);
}

TEST_F(WimImageTools, InformationFieldsAreStoredAsTyped) {
    EXPECT_EQ(tarnovell::ImageInformationXml("NAME", "Test"), "<IMAGE><NAME>Test</NAME></IMAGE>");
    EXPECT_EQ(tarnovell::ImageInformationXml("NAME", "a<b>&c"), "<IMAGE><NAME>a&lt;b&gt;&amp;c</NAME></IMAGE>");
    struct Case {
        const char* attribute;
        const char* value;
        const char* field;  // as wimlib-imagex names it
    };
    for (const Case& c : {Case{"NAME", "Test", "Name"}, Case{"DESCRIPTION", "<b>bold</b> & \"quoted\"", "Description"},
                          Case{"DISPLAYNAME", "</DISPLAYNAME><NAME>hijacked</NAME><DISPLAYNAME>", "Display Name"},
                          Case{"NAME", "Ünïcödé ✓", "Name"}}) {
        SCOPED_TRACE(c.value);
        const tarnovell::WimCommandResult result = tarnovell::SetWimImageInformation(wim_, 2, c.attribute, c.value);
        EXPECT_TRUE(result.ok) << result.text;
        EXPECT_EQ(result.text, "WIMSetImageInformation OK");
        EXPECT_EQ(Field(2, c.field), c.value);
    }
    EXPECT_EQ(Field(2, "Name"), "Ünïcödé ✓");
    EXPECT_EQ(Field(1, "Name"), "First One");
    EXPECT_EQ(ts::Run("wimlib-imagex verify " + wim_).exit_code, 0);
}

TEST_F(WimImageTools, WhatCannotBeSetIsRefused) {
    const std::string before = test_support::ReadWholeFile(wim_);
    struct Case {
        const char* attribute;
        int index;
        std::string file;
        std::string text;
        bool attempted;
    };
    const std::vector<Case> cases = {
        {"NA ME", 1, wim_, "'NA ME' is not a valid attribute name", false},
        {"NAME><X", 1, wim_, "'NAME><X' is not a valid attribute name", false},
        {"", 1, wim_, "'' is not a valid attribute name", false},
        {"1NAME", 1, wim_, "'1NAME' is not a valid attribute name", false},
        {"NAME", 3, wim_, "WIMCreateFile failed," + std::to_string(platform::ERROR_INVALID_PARAMETER), true},
        {"NAME", 1, dir_.file("absent.wim"), "WIMCreateFile failed," + std::to_string(platform::ERROR_FILE_NOT_FOUND),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const tarnovell::WimCommandResult result = tarnovell::SetWimImageInformation(c.file, c.index, c.attribute, "x");
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.text, c.text);
        EXPECT_EQ(result.attempted, c.attempted);
    }
    EXPECT_EQ(test_support::ReadWholeFile(wim_), before);
    for (const char* name : {"NAME", "_x", "WINDOWS.EDITION-ID", "Ä1"}) EXPECT_TRUE(tarnovell::IsElementName(name)) << name;
}

TEST_F(WimImageTools, TheLibraryInUse) {
    const tarnovell::WimgapiDescription description = tarnovell::DescribeWimgapi();
    ASSERT_TRUE(description.ok) << description.problem;
    ASSERT_EQ(description.lines.size(), 2u);
    EXPECT_EQ(description.lines[0].rfind("path=/", 0), 0u) << description.lines[0];
    EXPECT_NE(description.lines[0].find("libwim"), std::string::npos) << description.lines[0];
    // libwim.so.15.x.y: the version is read from the library's file name.
    EXPECT_EQ(description.lines[1].rfind("version=15.", 0), 0u) << description.lines[1];
}

// Mounting needs FUSE and root (the helper's FUSE daemon mounts for us).
class WimMount : public WimImageTools {
protected:
    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "mounting an image needs root";
        if (!std::filesystem::exists("/dev/fuse")) GTEST_SKIP() << "mounting an image needs FUSE";
        WimImageTools::SetUp();
    }
    void TearDown() override {
        // Whatever a failed test left mounted goes.
        ts::Run("wimlib-imagex unmount " + Quote(folder_) + " 2>/dev/null");
    }
    std::string folder_ = dir_.file("mounted/here");
};

TEST_F(WimMount, ReadOnlyMountIsListedAndUnmounted) {
    const std::string before = test_support::ReadWholeFile(wim_);
    // The folder is made when it is not there.
    const tarnovell::WimCommandResult mounted = tarnovell::MountWimImage(folder_, wim_, 1, false);
    ASSERT_TRUE(mounted.ok) << mounted.text;
    EXPECT_EQ(mounted.text, "WIMMountImage success");
    EXPECT_EQ(wim_test::Listing(folder_), (std::vector<std::string>{"keep.txt", "secret.tmp", "sub"}));
    EXPECT_EQ(test_support::ReadWholeFile(folder_ + "/sub/deeper/data.bin"), std::string(100000, 'x'));
    EXPECT_FALSE(std::ofstream(folder_ + "/new.txt")) << "a read-only mount takes no new file";

    // The same folder cannot take a second image meanwhile.
    const tarnovell::WimCommandResult again = tarnovell::MountWimImage(folder_, wim_, 2, false);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.text, "WIMMountImage failed," + std::to_string(platform::ERROR_ALREADY_EXISTS));

    const tarnovell::WimCommandResult unmounted = tarnovell::UnmountWimImage(folder_, wim_, 1, true);
    EXPECT_TRUE(unmounted.ok) << unmounted.text;
    EXPECT_EQ(unmounted.text, "WIMUnMountImage success");
    EXPECT_TRUE(wim_test::Listing(folder_).empty());
    EXPECT_EQ(test_support::ReadWholeFile(wim_), before);

    const tarnovell::WimCommandResult twice = tarnovell::UnmountWimImage(folder_, wim_, 1, false);
    EXPECT_FALSE(twice.ok);
    EXPECT_EQ(twice.text, "WIMUnMountImage failed," + std::to_string(platform::ERROR_NOT_FOUND));
}

TEST_F(WimMount, ReadWriteMountKeepsChangesOnlyWhenCommitted) {
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit);
        const std::string name = commit ? "kept.txt" : "dropped.txt";
        ASSERT_TRUE(tarnovell::MountWimImage(folder_, wim_, 2, true).ok);
        std::ofstream(folder_ + "/" + name) << "written in the mount";
        ASSERT_TRUE(tarnovell::UnmountWimImage(folder_, wim_, 2, commit).ok);
        EXPECT_EQ(wim_test::WimlibDir(wim_, 2).find("/" + name) != std::string::npos, commit);
    }
    EXPECT_EQ(ts::Run("wimlib-imagex verify " + wim_).exit_code, 0);
}

TEST_F(WimMount, WhatCannotBeMountedSaysWhy) {
    const tarnovell::WimCommandResult beyond = tarnovell::MountWimImage(folder_, wim_, 3, false);
    EXPECT_FALSE(beyond.ok);
    EXPECT_TRUE(beyond.attempted);
    EXPECT_EQ(beyond.text, "WIMMountImage failed," + std::to_string(platform::ERROR_INVALID_PARAMETER));
    // A folder that cannot be made: nothing is tried.
    wim_test::WriteFile(dir_.file("plain"), "a file");
    const tarnovell::WimCommandResult no_folder = tarnovell::MountWimImage(dir_.file("plain/below"), wim_, 1, false);
    EXPECT_FALSE(no_folder.ok);
    EXPECT_FALSE(no_folder.attempted);
    EXPECT_FALSE(no_folder.text.empty());
}

}  // namespace
