// What a window's status line showed, in order. The device monitor writes
// there too, from its own thread and on its own time ("E: : device inserted
// …" after a write that made a volume): a test that reads the status line
// right after an operation races it. Through this log a test waits until
// the monitors have settled and reads the last text the operation itself
// showed.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QRegularExpression>
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

// A notice of the device monitor, not a result of an operation.
inline bool IsDeviceNotice(const std::string& text) {
    static const QRegularExpression notice("^([A-Z]:)* : device (inserted|removed) ");
    return notice.match(QString::fromStdString(text)).hasMatch();
}

// Kept by the status bar it watches and gone with it; made as soon as the
// window is, so that no text shown is missed.
class StatusLog : public QObject {
public:
    explicit StatusLog(QStatusBar* bar) : QObject(bar) {
        texts_.push_back(bar->currentMessage().toStdString());
        connect(bar, &QStatusBar::messageChanged, this, [this](const QString& text) { texts_.push_back(text.toStdString()); });
    }

    // Once the devices have settled: the last text that was not a device notice.
    std::string last() {
        SettleDevices();
        for (auto it = texts_.rbegin(); it != texts_.rend(); ++it)
            if (!IsDeviceNotice(*it)) return *it;
        return {};
    }
    // Once the devices have settled: everything shown, notices included.
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
