#include "main/window/page_host.h"

#include <QString>
#include <QTime>

namespace tarnovell {

void PageHost::ShowTimedStatus(const std::string& text) {
    ShowStatus(QTime::currentTime().toString("hh:mm:ss:zzz") + " - " + QString::fromStdString(text));
}

disk::OperationContext PageHost::WindowContext(platform::ProgressBar* bar) {
    disk::OperationContext context;
    context.cancel = &state().cancel;
    context.progress = bar;
    context.status = &operation_target();
    return context;
}

PageHost::BusyScope::BusyScope(PageHost& host)
    : host_(host), outer_(host.busy()), asking_(host.DialogOwner()) {
    if (outer_) return;
    host_.HoldCommands(true);
    host_.ClearProgress();
    host_.ShowStatus("");
}

PageHost::BusyScope::~BusyScope() {
    if (!outer_) host_.HoldCommands(false);
}

}  // namespace tarnovell
