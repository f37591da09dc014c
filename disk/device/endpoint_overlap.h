// Whether two copy endpoints share bytes: the same disk, volume or file, a
// volume and the disk that holds it, or a file and the disk or volume it is
// stored on. Copying between such endpoints reads what it has just written.
#pragma once

#include <string>

namespace disk {

bool EndpointsOverlap(const std::string& first, const std::string& second);

}  // namespace disk
