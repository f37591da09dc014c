#include "main/operations/side_bar.h"

#include <algorithm>

#include "platform/base/ascii.h"

namespace tarnovell {

std::vector<SideBarPage> DefaultSideBar() {
    return {
        {"Clone",
         {"Backup to Image", "Restore from Image", "Tarnovell", "Copy Files", "Backup to Network",
          "Restore from Network"}},
        {"Volume",
         {"Volume Names", "Close handles / Redetect", "Set Volume Offline", "Set Volume Online", "Format",
          "Check Disk", "Extend", "Shrink", "Wipe Volume", "Clean Volume"}},
        {"Disk",
         {"Set Disk Online", "Set Disk Offline", "Set Disk Read-Only", "Set Disk Read-Write",
          "Update Disk Properties", "Create Disk", "Create Partition", "Delete Disk Layout", "Partition Editor",
          "Wipe Disk"}},
        {"Virtual Hard Disk",
         {"Create / Attach a VHD", "Open / Attach a VHD or ISO", "Detach VHD", "Expand VHD", "Resize VHD",
          "Compact VHD", "Merge VHD", "Informations", "MD5 Hash", "Add VHD footer to a RAW file"}},
        {"Disk Image",
         {"Disk Image Conversion", "Make ISO disc image", "WIM Image", "Make a RAW disk image",
          "Create a VMDK File descriptor", "7Z Extract", "LZ4 Compressor"}},
    };
}

namespace {

void RemoveByName(std::vector<SideBarPage>& pages, const std::string& name) {
    for (auto page = pages.begin(); page != pages.end(); ++page) {
        if (platform::EqualsNoCase(page->caption, name)) {
            pages.erase(page);
            return;
        }
        auto& buttons = page->buttons;
        auto button = std::find_if(buttons.begin(), buttons.end(),
                                   [&](const std::string& caption) { return platform::EqualsNoCase(caption, name); });
        if (button != buttons.end()) buttons.erase(button);
    }
}

// "Clean Volume" and "Wipe Volume" carry each other's position names: the
// Clean Volume handler has always been known as Pages1Buttons8.
int NamedButtonIndex(int page, int button) {
    if (page == 1 && button == 8) return 9;
    if (page == 1 && button == 9) return 8;
    return button;
}

int DefaultPageIndex(const std::vector<SideBarPage>& pages, const std::string& caption) {
    for (std::size_t p = 0; p < pages.size(); ++p)
        if (pages[p].caption == caption) return static_cast<int>(p);
    return -1;
}

}  // namespace

void TrimSideBar(std::vector<SideBarPage>& pages,
                 const std::vector<std::pair<std::string, std::string>>& outlookbar_lines) {
    for (const auto& [name, value] : outlookbar_lines)
        if (value == "0") RemoveByName(pages, name);
}

std::string SideBarPageName(const std::string& page_caption) {
    int page = DefaultPageIndex(DefaultSideBar(), page_caption);
    return page < 0 ? std::string() : "JvOutlookBar1Pages" + std::to_string(page);
}

std::string SideBarButtonName(const std::string& page_caption, const std::string& button_caption) {
    auto pages = DefaultSideBar();
    int page = DefaultPageIndex(pages, page_caption);
    if (page < 0) return {};
    const auto& buttons = pages[static_cast<std::size_t>(page)].buttons;
    auto at = std::find(buttons.begin(), buttons.end(), button_caption);
    if (at == buttons.end()) return {};
    int button = NamedButtonIndex(page, static_cast<int>(at - buttons.begin()));
    return "JvOutlookBar1Pages" + std::to_string(page) + "Buttons" + std::to_string(button);
}

}  // namespace tarnovell
