// Writing an EWF set in the place of another without losing it on the way:
// the new segment files are made in a scratch folder beside the old set and
// take their names only once the new set is complete; then the segments of
// the old set that the new one does not replace (a longer set, or the same
// name in the other case, .e01 for .E01) are removed. Until the commit the
// old set is exactly as it was; without a commit the new files go.
#pragma once

#include <string>
#include <vector>

#include "disk/bindings/libewf.h"
#include "platform/os/temp_folder.h"

namespace disk {

class EwfSetReplacement {
public:
    // `target` names the set as the person gave it ("/images/disk.e01" or
    // "/images/disk", Linux paths). The old set is found with `library`.
    // Raises std::runtime_error when no scratch folder can be made there.
    EwfSetReplacement(TLibEWF& library, const std::string& target);

    // The name to open the new set with for writing (its first segment).
    std::string new_set() const { return scratch_.file(base_name_ + ".E01"); }
    // The segment files of the set that is there now, if any.
    const std::vector<std::string>& old_segments() const { return old_segments_; }

    // Moves the new set's segments into place and removes what is left of
    // the old set. False with the last error set when a segment could not
    // be moved.
    bool commit();

private:
    TLibEWF& library_;
    std::string folder_;
    std::string base_name_;  // the name without extension: the library adds .E01 ...
    std::vector<std::string> old_segments_;
    platform::ScratchFolder scratch_;
};

}  // namespace disk
