// The names of the image-mastering service's result codes.
#pragma once

#include <cstdint>
#include <string>

namespace disk {

// "IMAPI_E_IMAGE_TOO_BIG" and its kin; any other code as its signed decimal text.
std::string ImapiErrorName(std::int32_t code);

}  // namespace disk
