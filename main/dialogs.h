// The parameter dialogs the main window's commands ask through, and the
// About window. Each holds no logic beyond enabling its controls: the caller
// shows it, reads it when the answer is OK, and releases it.
#pragma once

#include "main/dlg_about.h"
#include "main/dlg_backup.h"
#include "main/dlg_disk.h"
#include "main/dlg_virtualdisk.h"
#include "main/file_dialog.h"
