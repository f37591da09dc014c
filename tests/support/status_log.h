// What a window's status line showed, in order. The device monitor refills
// the window from its own thread and on its own time (a write that made a
// volume); a test that reads the status line right after an operation lets
// it settle first. Through this log a test waits until the monitors have
// settled and reads the last text the operation itself showed.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QStatusBar>

#include <string>
#include <vector>

#include "platform/device/device_monitor.h"

namespace test_support {

// Lets every device monitor take in what has changed so far and delivers
// what they and the operations posted to the window.
inline void SettleDevices() {
    platform::device::DeviceMonitor::SettleAll();
    QCoreApplication::sendPostedEvents();
}

// Kept by the status bar it watches and gone with it; made as soon as the
// window is, so that no text shown is missed.
class StatusLog : public QObject {
public:
    explicit StatusLog(QStatusBar* bar) : QObject(bar) {
        texts_.push_back(bar->currentMessage().toStdString());
        connect(bar, &QStatusBar::messageChanged, this, [this](const QString& text) { texts_.push_back(text.toStdString()); });
    }

    // Once the devices have settled: the last text shown.
    std::string last() {
        SettleDevices();
        return texts_.back();
    }
    // Once the devices have settled: everything shown.
    std::vector<std::string> all() {
        SettleDevices();
        return texts_;
    }

private:
    std::vector<std::string> texts_;
};

// Starts the log of `bar`.
inline StatusLog* WatchStatus(QStatusBar* bar) { return new StatusLog(bar); }

}  // namespace test_support
