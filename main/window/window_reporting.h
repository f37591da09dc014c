// The reporting classes (WM_OPERATION events, the progress bar seam, the
// message boxes) live with the dialogs, below the main window, so the tool
// windows the main window opens can use them too.
#pragma once

#include "main/dialogs/window_reporting.h"
