// The main window as the tool windows reach it: the program's one reference
// to it (frmmain), its file dialogs, its progress bar and its cancel flag.
//
// The main window opens the tool windows, so their libraries cannot link
// the main window's: everything here is inline, as are the members of
// Tfrmmain they use (state(), ImgProgressBar()). Each also works when there
// is no main window (a tool window tested on its own): the dialogs then have
// no owner and the caller's own flag stands in for the cancel flag.
#pragma once

#include <atomic>
#include <string>

#include "main/dialogs/file_dialog.h"
#include "main/operations/main_state.h"
#include "main/window/ufrmmain.h"

namespace tarnovell {

namespace frmmain_detail {
inline Tfrmmain* window = nullptr;
}  // namespace frmmain_detail

// The main window while it exists; null before it is made and once it is gone.
inline Tfrmmain* frmmain() { return frmmain_detail::window; }
// Kept up to date by Tfrmmain's constructor and destructor only.
inline void SetFrmmain(Tfrmmain* window) { frmmain_detail::window = window; }

// OpenDialog1 and SaveDialog1: the program's file dialog owned by the main
// window, showing `filter`. True with the chosen file in `file`.
inline bool OpenDialog1(const std::string& filter, std::string& file) {
    return RunFileDialog(frmmain(), "", filter, true, file, "", "");
}
inline bool SaveDialog1(const std::string& filter, std::string& file) {
    return RunFileDialog(frmmain(), "", filter, false, file, "", "");
}

// The program folder, with its trailing '/': Wimscript.ini and the
// program's other files are there.
inline std::string ProgramFolder() { return frmmain() ? frmmain()->state().program_folder : ExecutableFolder(); }

// The main window's cancel flag: set by its Cancel button and by the tool
// windows that share it; `own` stands in when there is no main window.
inline std::atomic<bool>& MainCancelFlag(std::atomic<bool>& own) {
    return frmmain() ? frmmain()->state().cancel : own;
}

}  // namespace tarnovell
