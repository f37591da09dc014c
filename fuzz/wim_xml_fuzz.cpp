// The image information XML a WIM carries and WIMSetImageInformation takes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/wim/xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string xml = platform::wim::XmlFromUtf16Bytes(data, size);
    std::string plain(reinterpret_cast<const char*>(data), size);
    for (const std::string* text : {&xml, &plain}) {
        std::vector<std::pair<std::string, std::string>> properties;
        platform::wim::ImageProperties(*text, properties);
        platform::wim::ImageElement(*text, 1);
        platform::wim::ImageElement(*text, 2);
    }
    return 0;
}
