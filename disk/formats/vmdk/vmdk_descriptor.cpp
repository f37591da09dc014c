#include "disk/formats/vmdk/vmdk_descriptor.h"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "disk/util/lib_helpers.h"
#include "platform/base/replace_file.h"
#include "platform/base/win_error.h"
#include "platform/os/file_facts.h"

namespace disk {

namespace {

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
}

}  // namespace

std::string VmdkDescriptorText(const std::string& image_name, std::int64_t sectors) {
    const std::int64_t cylinders = sectors / 255 / 63 + 1;
    return Lines({
        "# Disk DescriptorFile",
        "version=1",
        "CID=ded23225",
        "parentCID=ffffffff",
        "createType=\"monolithicFlat\"",
        "# Extent description",
        "RW " + std::to_string(sectors) + " FLAT \"" + image_name + "\" 0",
        "# The Disk Data Base",
        "#DDB",
        "ddb.adapterType = \"lsilogic\"",
        "ddb.uuid.image=\"00000000-0000-0000-0000-000000000001\"",
        "ddb.geometry.sectors = \"63\"",
        "ddb.geometry.heads = \"255\"",
        "ddb.geometry.cylinders = \"" + std::to_string(cylinders) + "\"",
        "ddb.virtualHWVersion = \"10\"",
    });
}

std::string CloneVmxText(const std::string& descriptor) {
    return Lines({
        "config.version = \"8\"",
        "virtualHW.version = \"10\"",
        "guestOS = \"other\"",
        "displayName = \"clone\"",
        "numvcpus = \"1\"",
        "memsize = \"512\"",
        "uuid.action = \"create\"",
        "tools.syncTime = \"TRUE\"",
        "usb.present = \"TRUE\"",
        "#network",
        "ethernet0.present = \"TRUE\"",
        "ethernet0.connectionType = \"bridged\"",
        "ethernet0.addressType = \"generated\"",
        "ethernet0.generatedAddressOffset = \"0\"",
        "ethernet0.virtualDev = \"vlance\"",
        "# Settings for physical floppy drive",
        "# Settings for physical CDROM drive",
        "ide1:0.present = \"TRUE\"",
        "ide1:0.deviceType = \"cdrom-raw\"",
        "ide1:0.startConnected = \"TRUE\"",
        "ide1:0.fileName = \"auto detect\"",
        "ide1:0.autodetect = \"TRUE\"",
        "# First SCSI disk",
        "scsi0.virtualDev = \"lsilogic\"",
        "scsi0.present = \"TRUE\"",
        "scsi0.sharedBus = \"none\"",
        "scsi0:0.present = \"TRUE\"",
        "scsi0.pciSlotNumber = \"16\"",
        "scsi0:0.fileName = \"" + descriptor + "\"",
    });
}

void WriteVmdkDescriptor(const std::string& image, const std::string& descriptor) {
    namespace fs = std::filesystem;
    // The descriptor gives the image's size: an image that is not there
    // would make a disk of nothing, and one of the two text files written
    // over the image would cost the image.
    const auto image_facts = platform::FileFactsOf(image);
    if (!image_facts || !image_facts->is_regular()) throw std::runtime_error(image + " is not an image file");
    const std::string vmx = (fs::path(descriptor).parent_path() / "clone.vmx").string();
    for (const std::string& text_file : {descriptor, vmx})
        if (const auto facts = platform::FileFactsOf(text_file); facts && facts->same_file(*image_facts))
            throw std::runtime_error(text_file + " is the image itself");
    const std::int64_t sectors = FileSize64(image) / 512;
    WriteTextFile(descriptor, VmdkDescriptorText(fs::path(image).filename().string(), sectors));
    WriteTextFile(vmx, CloneVmxText(descriptor));
}

}  // namespace disk
