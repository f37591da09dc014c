// What a long operation needs from whoever started it, and nothing more: who
// answers its questions, where its progress and status go, the flag that
// stops it and the console it may write dots to. The copy loop, the clone,
// the WIM and VHD workers take one of these instead of reaching for process
// globals; the routines with the names callers know build it and pass it on.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "platform/base/interaction.h"
#include "platform/base/progress.h"

namespace disk {

struct OperationContext {
    // Questions and messages; null: the process's current interaction.
    platform::Interaction* interaction = nullptr;
    // Either may be null: nothing is shown there.
    platform::ProgressBar* progress = nullptr;
    platform::OperationTarget* status = nullptr;
    int channel = platform::WM_OPERATION;  // the message number the status target listens on
    // The flag that stops the operation; null: nothing can stop it.
    std::atomic<bool>* cancel = nullptr;
    std::ostream* console = nullptr;

    platform::Interaction& ui() const { return interaction ? *interaction : platform::interaction(); }
    bool cancelled() const { return cancel && cancel->load(); }

    // WM_OPERATION posts of the three kinds; nothing without a status target.
    void post_percent(std::int64_t percent) const {
        if (status) status->post(channel, platform::OperationKind::Percent, percent, "");
    }
    void post_message(const std::string& text) const {
        if (status) status->post(channel, platform::OperationKind::Message, 0, text);
    }
    void post_status(const std::string& text) const {
        if (status) status->post(channel, platform::OperationKind::Status, 0, text);
    }
};

}  // namespace disk
