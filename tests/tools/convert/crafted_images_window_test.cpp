// The converter window over images made to hurt a reader (see
// support/crafted_images.h), as a person would run it: source kind,
// destination RAW, the two paths and GO. Each is refused with a clear
// message, the window goes on, and the destination is left byte for byte.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <filesystem>

#include "disk/copy/copy_loop.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "support/case_name.h"
#include "support/converter_window.h"
#include "support/crafted_images.h"
#include "support/embedded_machine.h"
#include "support/net_peers.h"
#include "support/scoped_environment.h"
#include "support/test_application.h"
#include "tools/convert/ufrmconvert.h"

namespace {

namespace ts = test_support;

class CraftedImagesInTheWindow : public ::testing::TestWithParam<ts::CraftedImage> {
protected:
    static void SetUpTestSuite() { ts::TestApplication(); }
    void SetUp() override {
        for (const char* tool : {"qemu-img", "ewfacquire"})
            if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
        ui_.set_default_confirm(true);
        platform::set_pump([] { QCoreApplication::processEvents(); });
        window_ = new tarnovell::Tfrmconvert;
        window_->show();
    }
    void TearDown() override {
        if (window_) window_->close();
        QApplication::processEvents();
        platform::set_pump(nullptr);
    }
    void Convert(const QString& from, const std::string& source, const std::string& destination) {
        ts::RunConversion(*window_, from, source, "RAW", destination);
    }
    std::vector<std::string> told() const { return ts::Told(ui_); }

    ts::EmbeddedMachine machine_{{}};
    ts::ScopedEnvironment reader_{"TARNOVELL_IMAGE_READER", TARNOVELL_EXECUTABLE};
    ts::TempDir dir_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    QPointer<tarnovell::Tfrmconvert> window_;
};

TEST_P(CraftedImagesInTheWindow, AreRefusedWithAClearMessage) {
    const ts::CraftedImage& c = GetParam();
    const std::string destination = dir_.file(c.destination);
    ts::Run("head -c 1048576 /dev/urandom > " + ts::Quote(destination));
    const std::string image = c.make(dir_.path().string(), destination);
    const std::string before = ts::ReadWholeFile(destination);
    Convert(c.kind, image, destination);
    const auto texts = told();
    ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
    EXPECT_NE(texts[0].find(c.told), std::string::npos) << texts[0];
    EXPECT_EQ(ts::ReadWholeFile(destination), before);
    ASSERT_TRUE(window_);
    EXPECT_TRUE(window_->isVisible());
}

// All but those whose destination has a name nobody types into a field (a
// line break in it).
std::vector<ts::CraftedImage> TypedImages() {
    std::vector<ts::CraftedImage> typed;
    for (const auto& c : ts::CraftedImages())
        if (std::string(c.destination).find('\n') == std::string::npos) typed.push_back(c);
    return typed;
}

INSTANTIATE_TEST_SUITE_P(Converter, CraftedImagesInTheWindow, ::testing::ValuesIn(TypedImages()),
                         test_support::CaseName());

TEST_F(CraftedImagesInTheWindow, ADevioPeerOfNoSizeIsAFailure) {
    const std::string destination = dir_.file("received.raw");
    ts::WriteWholeFile(destination, "kept");
    ts::DevioServer peer(std::string(), 0);
    Convert("DEVIO", "127.0.0.1:" + std::to_string(peer.port()), destination);
    EXPECT_EQ(told(), std::vector<std::string>{"the devio peer reports a device of size 0: nothing to copy"});
    EXPECT_EQ(ts::ReadWholeFile(destination), "kept");
}

// A reader child that takes long to open the image (as our check of a large
// one may) leaves the window alive: its messages are pumped while it waits,
// and closing it stops the wait at once, without a word.
TEST_F(CraftedImagesInTheWindow, ClosingTheWindowStopsTheWaitForAReaderThatTakesLong) {
    const std::string reader = dir_.file("slow-reader");
    ts::WriteWholeFile(reader, "#!/bin/sh\ntimeout 60 head -c 1 >/dev/null\n");
    std::filesystem::permissions(reader, std::filesystem::perms::owner_all);
    ts::ScopedEnvironment slow("TARNOVELL_IMAGE_READER", reader.c_str());
    const std::string destination = dir_.file("out.raw");
    ts::WriteWholeFile(destination, "kept");
    bool closed_while_waiting = false;
    QTimer::singleShot(0, window_, [&] {
        closed_while_waiting = true;
        window_->close();
    });
    Convert("QCOW", ts::crafted::TruncatedQcow2(dir_.path().string(), 100), destination);
    // Closing stopped the run through the cancel flag; the next test has no
    // run to clear it.
    disk::copy_cancel = false;
    EXPECT_TRUE(closed_while_waiting);
    EXPECT_TRUE(!window_ || !window_->isVisible());
    EXPECT_EQ(told(), std::vector<std::string>{});
    EXPECT_EQ(ts::ReadWholeFile(destination), "kept");
}

// The VHD worker's closing status says what failed and why, not only the
// worker's exit code.
TEST_F(CraftedImagesInTheWindow, ABrokenVhdThroughTheWorkerIsNamedInTheStatus) {
    const std::string junk = dir_.file("junk.vhd"), destination = dir_.file("out.raw");
    ts::WriteWholeFile(junk, std::string(4096, 'x'));
    Convert("VHD", junk, destination);
    const std::string status = window_->StatusBar1->currentMessage().toStdString();
    EXPECT_NE(status.find(" terminated with failure:"), std::string::npos) << status;
    EXPECT_NE(status.find(" - " + junk + ": "), std::string::npos) << status;
    EXPECT_FALSE(std::filesystem::exists(destination));
}

}  // namespace
