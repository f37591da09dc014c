// The side bar of the main window as plain data: its pages and buttons in
// their default order, and the trimming that config.ini's [outlookbar]
// section applies to it. The window builds its tool box from this model.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarnovell {

struct SideBarPage {
    std::string caption;
    std::vector<std::string> buttons;
};

// Clone, Volume, Disk, Virtual Hard Disk and Disk Image, each with its buttons.
std::vector<SideBarPage> DefaultSideBar();

// Applies the [outlookbar] lines (name, value) in order. A line whose value
// is "0" walks the pages: a page captioned with the name (any case) is
// removed and the line is done; any other page loses its first button of
// that name and the walk goes on. Lines with other values change nothing.
void TrimSideBar(std::vector<SideBarPage>& pages,
                 const std::vector<std::pair<std::string, std::string>>& outlookbar_lines);

// Object names of a page and of a button, taken from their place in the
// default side bar so that they stay the same whatever was trimmed; empty
// when the caption is not part of the default side bar.
std::string SideBarPageName(const std::string& page_caption);
std::string SideBarButtonName(const std::string& page_caption, const std::string& button_caption);

}  // namespace tarnovell
