#include "disk/engines/image_reader.h"

#include "disk/copy/reader_child.h"
#include "disk/formats/ewf/ewf_source.h"
#include "disk/formats/library/library_image.h"
#include "disk/formats/qcow/qcow_source.h"
#include "disk/formats/vhdi/vhdi_source.h"
#include "disk/formats/vmdk/vmdk_source.h"

namespace disk {

bool IsImageReaderInvocation(const std::vector<std::string>& args) {
    return !args.empty() && args[0] == kImageReaderSwitch;
}

int RunImageReader(const std::vector<std::string>& args) {
    if (args.size() != 5 || (args[3] != "check" && args[3] != "trusted")) return 2;
    if (args[1] == "ewf") return ServeEwfReads(args[2], args[4]);
    const LibraryImageKind* kind = nullptr;
    for (const LibraryImageKind* candidate : {&QcowImageKind(), &VmdkImageKind(), &VhdiImageKind()})
        if (candidate->name == args[1]) kind = candidate;
    if (!kind) return 2;
    return ServeImageReads(*kind, args[2], args[3] == "check", args[4]);
}

}  // namespace disk
