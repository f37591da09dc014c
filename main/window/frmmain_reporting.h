// The main window's progress bar and status line as the copy engines take
// them, for the tool windows whose copies report there. Inline, as the
// tool windows' libraries do not link the main window's. Without a main
// window (a tool window tested on its own) nothing is reported.
#pragma once

#include "main/dialogs/window_reporting.h"
#include "main/window/frmmain.h"

namespace tarnovell {

class MainWindowReporting {
public:
    MainWindowReporting() : bar_(frmmain() ? frmmain()->ImgProgressBar() : nullptr), status_(frmmain()) {}
    platform::ProgressBar* progress() { return frmmain() ? &bar_ : nullptr; }
    platform::OperationTarget* status() { return frmmain() ? &status_ : nullptr; }

private:
    BarProgress bar_;
    PostingTarget status_;
};

}  // namespace tarnovell
