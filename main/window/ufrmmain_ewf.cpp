// EWF images from "Backup to Image" and "Restore from Image": the copy runs
// on the window's thread through the EWF conversions, which pump the
// window's messages as they go; the commands that would start another
// operation stay disabled until it ends.
#include <QString>

#include <chrono>
#include <exception>
#include <functional>

#include "disk/engines/convert.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

// Runs one conversion: its errors shown, and the time it took on the
// status line when it completed.
template <typename Conversion>
bool RunEwfConversion(const Conversion& conversion, const std::function<void(const QString&)>& show_status) {
    const auto started = std::chrono::steady_clock::now();
    disk::CopyResult result = disk::CopyResult::Failed;
    try {
        result = conversion();
    } catch (const std::exception& e) {
        platform::interaction().inform(e.what(), "Tarnovell");
    }
    if (result != disk::CopyResult::Completed) return false;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    show_status(QString::fromStdString("done in " + std::to_string(elapsed) + "ms"));
    return true;
}

}  // namespace

void Tfrmmain::BackupToEwf(const std::string& device, const std::string& file) {
    BusyScope busy(*this);
    RunEwfConversion([&] { return disk::RawToEwf(device, file, &progress(), &operation_target()); },
                     [this](const QString& text) { ShowStatus(text); });
}

void Tfrmmain::RestoreFromEwf(const std::string& file, const std::string& device) {
    {
        BusyScope busy(*this);
        RunEwfConversion([&] { return disk::EwfToRaw(file, device, &progress(), &operation_target()); },
                         [this](const QString& text) { ShowStatus(text); });
    }
    RefreshDrives1Click();  // the restored table may hold other volumes
}

}  // namespace tarnovell
