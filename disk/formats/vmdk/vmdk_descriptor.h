// A VMDK descriptor that points at a raw image as one flat extent, and the
// virtual-machine configuration file that opens it: a raw image becomes a
// VMware disk without a byte of it being copied.
#pragma once

#include <cstdint>
#include <string>

namespace disk {

// Writes the descriptor at `descriptor` (replacing it) and "clone.vmx" in
// the descriptor's folder. Raises std::runtime_error when either file
// cannot be written (neither is then left half-written), when the image is
// not a regular file, and when either would replace the image itself.
void WriteVmdkDescriptor(const std::string& image, const std::string& descriptor);

// The two texts, lines ended by CR LF.
std::string VmdkDescriptorText(const std::string& image_name, std::int64_t sectors);
std::string CloneVmxText(const std::string& descriptor);

}  // namespace disk
