// A volume shown in the desktop's file manager, as Explorer shows a drive:
// the folder it is mounted at, opened with xdg-open.
#pragma once

#include <string>

namespace tarnovell {

// Opens the folder of `volume` ("C:", "C:\", "\\.\C:", "\\?\Volume{...}\"
// or a folder of this machine). "" when the file manager was started, else
// what stood in the way.
std::string ShowVolumeInFileManager(const std::string& volume);

}  // namespace tarnovell
