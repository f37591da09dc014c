#include "main/dialogs/tool_services.h"

#include <QWidget>

#include "main/dialogs/file_dialog.h"
#include "main/operations/main_state.h"

namespace tarnovell {

std::string ToolLink::ProgramFolder() const {
    const auto window = services();
    return window ? window->ProgramFolder() : ExecutableFolder();
}

std::atomic<bool>& ToolLink::CancelFlag(std::atomic<bool>& own) const {
    const auto window = services();
    return window ? window->CancelFlag() : own;
}

bool ToolLink::OpenDialog1(const std::string& filter, std::string& file) const {
    if (const auto window = services()) return window->OpenDialog1(filter, file);
    return RunFileDialog(nullptr, "", filter, true, file, "", "");
}

bool ToolLink::SaveDialog1(const std::string& filter, std::string& file) const {
    if (const auto window = services()) return window->SaveDialog1(filter, file);
    return RunFileDialog(nullptr, "", filter, false, file, "", "");
}

void ToolLink::BringToFront() const {
    const auto window = services();
    if (!window) return;
    QWidget* target = window->StatusTarget();
    target->raise();
    target->activateWindow();
}

ToolReporting::ToolReporting(const ToolLink& link) : ToolReporting(link.services().get()) {}

ToolReporting::ToolReporting(ToolServices* services)
    : present_(services != nullptr),
      bar_(services ? services->ProgressBar() : nullptr),
      status_(services ? services->StatusTarget() : nullptr) {}

}  // namespace tarnovell
