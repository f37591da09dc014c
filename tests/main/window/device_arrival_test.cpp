// A disk that appears while the window is open shows up in its list, with
// the notice beside the status line saying which letter arrived.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>

#include "main/window/ufrmmain.h"
#include "platform/device/registry.h"
#include "support/test_application.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;

TEST(DeviceArrival, NewDiskIsListedAndAnnounced) {
    test_support::TestApplication();
    DiskSpec one_volume{8 << 20, {"printf 'label: dos\\nstart=2048,size=4096,type=7\\n' | sfdisk -q %s"}, ""};
    EmbeddedMachine machine({one_volume, one_volume});
    std::string full = test_support::ReadWholeFile(machine.manifest());
    test_support::WriteWholeFile(machine.manifest(), full.substr(0, full.find("[disk1]")));
    platform::device::Registry::instance().refresh();

    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    ASSERT_EQ(window->rows().size(), 2u);  // disk 0 and its volume
    test_support::WriteWholeFile(machine.manifest(), full);

    auto* notice = window->findChild<QLabel*>("lblDeviceNotice");
    ASSERT_NE(notice, nullptr);
    test_support::SettleDevices();
    EXPECT_TRUE(notice->text().startsWith("D: device inserted ")) << notice->text().toStdString();
    EXPECT_EQ(window->rows().size(), 4u);
    delete window;
}
