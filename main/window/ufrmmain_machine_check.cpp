// The machine check of the main window: a machine the registry cannot tell
// (TARNOVELL_HOST naming a manifest that is missing, unreadable or
// malformed) shows as an empty list; the window says why, once.
#include <QStatusBar>

#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"

namespace tarnovell {

void Tfrmmain::ReportMachineProblem() {
    const std::string problem = platform::device::Registry::instance().problem();
    if (problem.empty()) return;
    statusBar()->showMessage(QString::fromStdString(problem));
    platform::interaction().inform(problem, "Tarnovell");
}

}  // namespace tarnovell
