// Volume arrival and removal on the embedded host: a disk added to or taken
// from the manifest shows up as the letters that came or went.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/device/device_monitor.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"

using namespace platform::device;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

struct Event {
    bool arrival;
    std::uint32_t mask;
};

class Recorder {
public:
    std::vector<Event> taken() {
        std::lock_guard guard(mutex_);
        auto result = events_;
        events_.clear();
        return result;
    }
    void add(bool arrival, std::uint32_t mask) {
        std::lock_guard guard(mutex_);
        events_.push_back({arrival, mask});
        changed_.notify_all();
    }
    // Waits (bounded) for an event with a non-empty mask.
    std::vector<Event> wait_for_letters() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            for (const auto& e : events_)
                if (e.mask) return true;
            return false;
        });
        auto result = events_;
        events_.clear();
        return result;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

DiskSpec OneVolume() {
    return DiskSpec{8 << 20, {"printf 'label: dos\\nstart=2048,size=4096,type=7\\n' | sfdisk -q %s"}, ""};
}

}  // namespace

TEST(DeviceMonitor, ReportsTheLettersOfDisksThatComeAndGo) {
    EmbeddedMachine machine({OneVolume(), OneVolume()});
    // Start with only disk0 in the manifest; disk1's image stays beside it.
    std::string full = test_support::ReadWholeFile(machine.manifest());
    std::string first_only = full.substr(0, full.find("[disk1]"));
    test_support::WriteWholeFile(machine.manifest(), first_only);
    Registry::instance().refresh();
    ASSERT_EQ(Registry::instance().snapshot()->disks.size(), 1u);

    Recorder recorder;
    DeviceMonitor monitor([&](bool arrival, std::uint32_t mask) { recorder.add(arrival, mask); });
    ASSERT_TRUE(monitor.watching());

    test_support::WriteWholeFile(machine.manifest(), full);
    auto events = recorder.wait_for_letters();
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(events.back().arrival);
    EXPECT_EQ(events.back().mask, 1u << ('D' - 'A'));

    test_support::WriteWholeFile(machine.manifest(), first_only);
    events = recorder.wait_for_letters();
    ASSERT_FALSE(events.empty());
    EXPECT_FALSE(events.back().arrival);
    EXPECT_EQ(events.back().mask, 1u << ('D' - 'A'));
}

// A test that writes a disk and then reads what the window shows waits for
// the monitor to take the change in first: once SettleAll returns, the
// change made before it has been reported, and nothing more is on the way.
TEST(DeviceMonitor, SettlingReportsWhatChangedBeforeItAndNothingAfter) {
    EmbeddedMachine machine({OneVolume(), OneVolume()});
    const std::string full = test_support::ReadWholeFile(machine.manifest());
    const std::string first_only = full.substr(0, full.find("[disk1]"));
    test_support::WriteWholeFile(machine.manifest(), first_only);
    Registry::instance().refresh();

    Recorder recorder;
    DeviceMonitor monitor([&](bool arrival, std::uint32_t mask) { recorder.add(arrival, mask); });
    ASSERT_TRUE(monitor.watching());
    ASSERT_TRUE(DeviceMonitor::SettleAll());
    EXPECT_TRUE(recorder.taken().empty());

    for (int round = 0; round < 5; ++round) {
        const bool arrival = round % 2 == 0;
        test_support::WriteWholeFile(machine.manifest(), arrival ? full : first_only);
        ASSERT_TRUE(DeviceMonitor::SettleAll());
        const auto events = recorder.taken();
        ASSERT_EQ(events.size(), 1u) << round;
        EXPECT_EQ(events[0].arrival, arrival) << round;
        EXPECT_EQ(events[0].mask, 1u << ('D' - 'A')) << round;
        // Settled means settled: a second wait finds nothing new.
        ASSERT_TRUE(DeviceMonitor::SettleAll());
        EXPECT_TRUE(recorder.taken().empty()) << round;
    }
}

// Two disks that swap places move no letter: a volume keeps its letter with
// its disk, and a disk without volumes has none. That is still a change of
// the disks, told apart from a volume's arrival or removal; a write beside
// the manifest that changes no disk is none.
TEST(DeviceMonitor, ReportsDisksThatChangePlacesWithoutMovingALetter) {
    EmbeddedMachine machine({DiskSpec{8 << 20, {}, ""}, OneVolume()});
    const std::string manifest = test_support::ReadWholeFile(machine.manifest());
    const auto second = manifest.find("[disk1]");
    const std::string swapped = "[disk0]" + manifest.substr(second + 7) + "\n[disk1]" + manifest.substr(7, second - 7);
    Registry::instance().refresh();

    Recorder recorder;
    int disk_changes = 0;
    std::mutex mutex;
    DeviceMonitor monitor([&](bool arrival, std::uint32_t mask) { recorder.add(arrival, mask); },
                          [&] {
                              std::lock_guard guard(mutex);
                              ++disk_changes;
                          });
    ASSERT_TRUE(monitor.watching());
    for (int round = 1; round <= 2; ++round) {
        test_support::WriteWholeFile(machine.manifest(), round % 2 ? swapped : manifest);
        ASSERT_TRUE(DeviceMonitor::SettleAll());
        EXPECT_TRUE(recorder.taken().empty()) << round;
        std::lock_guard guard(mutex);
        EXPECT_EQ(disk_changes, round);
    }
    test_support::WriteWholeFile(machine.dir().file("beside.txt"), "no disk\n");
    ASSERT_TRUE(DeviceMonitor::SettleAll());
    std::lock_guard guard(mutex);
    EXPECT_EQ(disk_changes, 2);
}
