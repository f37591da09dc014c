#include "disk/formats/ewf/ewf_set.h"

#include <algorithm>
#include <stdexcept>

#include "platform/base/replace_file.h"
#include "platform/device/handle.h"

namespace disk {

namespace {

std::string NameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

EwfSetReplacement::EwfSetReplacement(TLibEWF& library, const std::string& target) : library_(library) {
    const std::size_t slash = target.find_last_of('/');
    folder_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    base_name_ = NameOf(TLibEWF::WithoutSegmentExtension(target));
    for (const char* first : {".E01", ".e01"})
        for (auto& segment : library_.SegmentFiles(folder_ + "/" + base_name_ + first))
            old_segments_.push_back(std::move(segment));
    scratch_ = platform::ScratchFolder::Create(".tarnovell-ewf.", folder_);
    if (!scratch_)
        throw std::runtime_error("cannot write in " + folder_ + ": " +
                                 platform::SysErrorMessage(platform::GetLastError()));
}

bool EwfSetReplacement::commit() {
    const std::vector<std::string> written = library_.SegmentFiles(new_set());
    if (written.empty()) return platform::SetLastError(platform::ERROR_FILE_NOT_FOUND), false;
    std::vector<std::string> names;
    for (const auto& segment : written) {
        names.push_back(NameOf(segment));
        if (!platform::MoveFileInPlace(segment, folder_ + "/" + names.back())) return false;
    }
    for (const auto& segment : old_segments_)
        if (std::find(names.begin(), names.end(), NameOf(segment)) == names.end())
            platform::DeleteRegularFile(segment);
    return true;
}

}  // namespace disk
