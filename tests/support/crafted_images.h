// Images made to hurt a reader: the crafted files the converter must refuse
// with a clear message, without a crash and without touching its
// destination. Each is made from what the real tools write (qemu-img,
// ewfacquire), then cut, pointed elsewhere or mixed with another.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/interaction.h"
#include "support/test_support.h"

namespace test_support {

struct CraftedImage {
    const char* name;
    const char* kind;  // the converter window's source kind: "QCOW", "VMDK", "EWF", "VDI"
    // Makes the image in `folder` and gives its path; `destination` is the
    // file the conversion will be asked to write.
    std::function<std::string(const std::string& folder, const std::string& destination)> make;
    const char* told;  // a piece of the message the person must read
};

// What the person was told (questions left out).
inline std::vector<std::string> Told(const platform::ScriptedInteraction& ui) {
    std::vector<std::string> texts;
    for (const auto& exchange : ui.log())
        if (exchange.kind == platform::ScriptedInteraction::Exchange::Inform) texts.push_back(exchange.text);
    return texts;
}

namespace crafted {

inline std::string Sh(const std::string& command) {
    const CommandResult result = Run(command);
    if (result.exit_code != 0) throw std::runtime_error(command + ": " + result.output);
    return result.output;
}

// The first `percent` % of what `qemu-img convert -O qcow2` makes of 6 MiB.
inline std::string TruncatedQcow2(const std::string& folder, int percent) {
    const std::string full = folder + "/full.qcow2", cut = folder + "/cut.qcow2";
    Sh("head -c 6291456 /dev/urandom > " + Quote(folder + "/in.raw") + " && qemu-img convert -f raw -O qcow2 " +
       Quote(folder + "/in.raw") + " " + Quote(full));
    const auto size = std::filesystem::file_size(full);
    Sh("head -c " + std::to_string(size * percent / 100) + " " + Quote(full) + " > " + Quote(cut));
    return cut;
}

// A descriptor whose one FLAT extent of 2048 sectors is named `extent`.
inline std::string VmdkNaming(const std::string& folder, const std::string& extent) {
    const std::string descriptor = folder + "/disk.vmdk";
    Sh("printf '# Disk DescriptorFile\\nversion=1\\nCID=fffffffe\\nparentCID=ffffffff\\n"
       "createType=\"monolithicFlat\"\\n\\n# Extent description\\nRW 2048 FLAT \"%s\" 0\\n\\n"
       "# The Disk Data Base\\n#DDB\\n\\nddb.virtualHWVersion = \"4\"\\nddb.geometry.cylinders = \"2\"\\n"
       "ddb.geometry.heads = \"16\"\\nddb.geometry.sectors = \"63\"\\nddb.adapterType = \"ide\"\\n' " +
       Quote(extent) + " > " + Quote(descriptor));
    return descriptor;
}

// An EWF set of three segments with its middle one from another acquisition
// of the same size: every chunk checksum matches, the stored MD5 does not.
inline std::string EwfWithForeignSegment(const std::string& folder) {
    for (const char* name : {"ours", "theirs"}) {
        const std::string raw = folder + "/" + name + ".raw";
        Sh("head -c 3145728 /dev/urandom > " + Quote(raw) + " && ewfacquire -u -q -c none -S 1MiB -t " +
           Quote(folder + "/" + name) + " " + Quote(raw));
    }
    Sh("cp " + Quote(folder + "/theirs.E02") + " " + Quote(folder + "/ours.E02"));
    return folder + "/ours.E01";
}

// A VDI of 6 MiB whose header counts 0x20000000 blocks.
inline std::string VdiWithHugeBlockCount(const std::string& folder) {
    const std::string image = folder + "/huge.vdi";
    Sh("qemu-img create -q -f vdi " + Quote(image) + " 6M");
    // cBlocks at offset 384, little-endian.
    Sh("printf '\\000\\000\\000\\040' | dd of=" + Quote(image) + " bs=1 seek=384 conv=notrunc status=none");
    return image;
}

// A dynamic VDI of 6 MiB of data whose file ends where its block 3 begins.
inline std::string VdiCutAtBlock3(const std::string& folder) {
    const std::string raw = folder + "/vdi.raw", image = folder + "/cut.vdi";
    Sh("head -c 6291456 /dev/urandom > " + Quote(raw) + " && qemu-img convert -f raw -O vdi " + Quote(raw) + " " +
       Quote(image));
    // offData at offset 344, little-endian; blocks of 1 MiB in the order written.
    const std::string data = Sh("od -An -tu4 -j344 -N4 " + Quote(image));
    Sh("truncate -s " + std::to_string(std::stoll(data) + 3 * 1048576) + " " + Quote(image));
    return image;
}

}  // namespace crafted

// The table every converter test runs over.
inline std::vector<CraftedImage> CraftedImages() {
    using namespace crafted;
    std::vector<CraftedImage> cases;
    for (int percent : {25, 40, 50})
        cases.push_back({percent == 25 ? "Qcow2CutAt25" : percent == 40 ? "Qcow2CutAt40" : "Qcow2CutAt50", "QCOW",
                         [percent](const std::string& folder, const std::string&) { return TruncatedQcow2(folder, percent); },
                         "lies past the end of the file"});
    // A backing file is read only from the overlay's own folder: one named
    // elsewhere, or linked to from there, is not.
    cases.push_back({"Qcow2BackingFileElsewhere", "QCOW",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/other");
                         Sh("qemu-img create -q -f qcow2 " + Quote(folder + "/other/base.qcow2") + " 4M && "
                            "qemu-img create -q -f qcow2 -F qcow2 -b " + Quote(folder + "/other/base.qcow2") + " " +
                            Quote(folder + "/overlay.qcow2"));
                         return folder + "/overlay.qcow2";
                     },
                     "qcow backing file not found: "});
    cases.push_back({"Qcow2BackingFileLinkedOutside", "QCOW",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directories(folder + "/inner");
                         std::filesystem::create_symlink(folder + "/base.qcow2", folder + "/inner/base.qcow2");
                         Sh("qemu-img create -q -f qcow2 " + Quote(folder + "/base.qcow2") + " 4M && "
                            "qemu-img create -q -f qcow2 -F qcow2 -b base.qcow2 " + Quote(folder + "/inner/overlay.qcow2"));
                         return folder + "/inner/overlay.qcow2";
                     },
                     "leads out of the image's folder through a symbolic link"});
    cases.push_back({"VmdkExtentAbsolute", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/elsewhere.raw"));
                         return VmdkNaming(folder, folder + "/elsewhere.raw");
                     },
                     "is an absolute path"});
    cases.push_back({"VmdkExtentClimbsOut", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/inner");
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/secret.raw"));
                         const std::string descriptor = VmdkNaming(folder, "../secret.raw");
                         std::filesystem::rename(descriptor, folder + "/inner/disk.vmdk");
                         return folder + "/inner/disk.vmdk";
                     },
                     "climbs out of the image's folder"});
    cases.push_back({"VmdkExtentLinkedToADevice", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_symlink("/dev/zero", folder + "/disk-flat.vmdk");
                         return VmdkNaming(folder, "disk-flat.vmdk");
                     },
                     "is not a regular file"});
    cases.push_back({"VmdkExtentLinkedOutside", "VMDK",
                     [](const std::string& folder, const std::string&) {
                         std::filesystem::create_directory(folder + "/inner");
                         Sh("head -c 1048576 /dev/urandom > " + Quote(folder + "/outside.raw"));
                         std::filesystem::create_symlink(folder + "/outside.raw", folder + "/inner/disk-flat.vmdk");
                         const std::string descriptor = VmdkNaming(folder, "disk-flat.vmdk");
                         std::filesystem::rename(descriptor, folder + "/inner/disk.vmdk");
                         return folder + "/inner/disk.vmdk";
                     },
                     "leads out of the image's folder through a symbolic link"});
    cases.push_back({"VmdkExtentIsTheDestination", "VMDK",
                     [](const std::string& folder, const std::string& destination) {
                         return VmdkNaming(folder, std::filesystem::path(destination).filename().string());
                     },
                     "are the same or one holds the other"});
    cases.push_back({"EwfForeignSegment", "EWF",
                     [](const std::string& folder, const std::string&) { return EwfWithForeignSegment(folder); },
                     "checksum errors in the EWF image"});
    cases.push_back({"VdiHugeBlockCount", "VDI",
                     [](const std::string& folder, const std::string&) { return VdiWithHugeBlockCount(folder); },
                     "VDI block map lies past the end of the file"});
    cases.push_back({"VdiCutAtBlock3", "VDI",
                     [](const std::string& folder, const std::string&) { return VdiCutAtBlock3(folder); },
                     "cut.vdi: VDI block 3 lies past the end of the file"});
    return cases;
}

}  // namespace test_support
