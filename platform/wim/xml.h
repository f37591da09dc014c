// The image information XML of a WIM, as WIMGetImageInformation hands it
// out and WIMSetImageInformation takes it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace platform::wim {

// The <IMAGE INDEX="n">...</IMAGE> element of the whole file's XML; "" when
// there is none.
std::string ImageElement(const std::string& wim_xml, int index);

// The settings an XML text makes, as wimlib property names ("NAME",
// "WINDOWS/VERSION/MAJOR", a repeated element as "LANGUAGE[2]") and their
// texts. Children of an <IMAGE> root are its properties; another root is a
// property itself. False when the text is not well-formed.
bool ImageProperties(const std::string& xml, std::vector<std::pair<std::string, std::string>>& properties);

// UTF-16 bytes (with or without a byte-order mark) to UTF-8 text, and UTF-8
// text to UTF-16 bytes that start with the mark.
std::string XmlFromUtf16Bytes(const void* data, std::size_t size);
std::u16string Utf16WithBom(const std::string& text);

}  // namespace platform::wim
