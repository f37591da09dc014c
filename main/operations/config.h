// config.ini beside the program: lets a site unhide the Advanced tab, hide
// the menu item that toggles it, and take pages or buttons off the side bar.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarnovell {

struct MainConfig {
    bool exists = false;           // false: no config.ini, every default stays
    bool enable_advanced = false;  // [options] enable_advanced=1
    bool hide_advanced = false;    // [options] hide_advanced=1
    // [outlookbar] lines in file order, as (name, value); a line without '='
    // has an empty value.
    std::vector<std::pair<std::string, std::string>> outlookbar;
};

// Reads config.ini (the name in any case) from the program folder.
MainConfig ReadMainConfig(const std::string& program_folder);

}  // namespace tarnovell
