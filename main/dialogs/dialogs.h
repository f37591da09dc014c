// The parameter dialogs the main window's commands ask through, and the
// About window. Each holds no logic beyond enabling its controls: the caller
// shows it, reads it when the answer is OK, and releases it.
#pragma once

#include "main/dialogs/dlg_about.h"
#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/dlg_virtualdisk.h"
#include "main/dialogs/file_dialog.h"
