// The window's clone onto a blank disk of an image-file machine, with the
// device monitor running as it always does: the volumes the clone's own
// writes make appear to a refresh half-way, and must not stop it. Every
// clone of ten in a row is byte for byte its source.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <memory>
#include <string>
#include <vector>

#include "main/dialogs/dlg_disk.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/window_test_helpers.h"

namespace {

using window_test::AnswerTarget;

using test_support::Quote;

// A disk like the demo's system disk: ext4 and FAT on an MBR.
test_support::DiskSpec SystemDisk() {
    test_support::DiskSpec spec;
    spec.size = 64 << 20;
    spec.prepare = {"printf 'label: dos\\nstart=2048,size=40960,type=83\\nstart=45056,size=86016,type=6\\n' | sfdisk -q %s",
                    "mkfs.ext4 -q -F -L system -E offset=1048576 %s 20480",
                    "mkfs.fat -F 16 -n DATA --offset 45056 %s 43008 >/dev/null"};
    return spec;
}

TEST(CloneWindow, TenClonesOntoABlankDiskEachEqualTheSource) {
    test_support::TestApplication();
    test_support::DiskSpec blank;
    blank.size = 96 << 20;
    test_support::EmbeddedMachine machine({SystemDisk(), blank});
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    tarnovell::MainState state;
    auto window = std::make_unique<tarnovell::Tfrmmain>(state);
    auto* list = window->findChild<QTreeWidget*>("lvdisks");
    auto* clone = window->findChild<QPushButton*>(QString::fromStdString(tarnovell::SideBarButtonName("Clone", "Tarnovell")));
    ASSERT_TRUE(list && clone);

    for (int round = 1; round <= 10; ++round) {
        SCOPED_TRACE("clone " + std::to_string(round));
        // Blank again, and the list shows it so.
        ASSERT_TRUE(test_support::Run("truncate -s 0 " + Quote(machine.image(1)) + " && truncate -s 96M " +
                                      Quote(machine.image(1))).exit_code == 0);
        platform::device::Registry::instance().refresh();
        window->RefreshDrives1Click();
        ASSERT_TRUE(window_test::SelectDevice(list, "DISK 0"));
        const std::size_t said = ui.texts().size();
        AnswerTarget("DISK 1");
        clone->click();
        // Nothing but the question: a write refused half-way would be told.
        const std::vector<std::string> texts = ui.texts();
        EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<std::ptrdiff_t>(said), texts.end()),
                  std::vector<std::string>{"Clone \\\\.\\PhysicalDrive0 to \\\\.\\PhysicalDrive1?"});
        EXPECT_EQ(test_support::Run("cmp -n " + std::to_string(64 << 20) + " " + Quote(machine.image(0)) + " " +
                                    Quote(machine.image(1))).exit_code, 0);
        EXPECT_EQ(platform::device::Registry::instance().locked_volume_count(), 0u);
    }
    window.reset();
}

}  // namespace
