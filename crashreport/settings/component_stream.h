// The binary component streams the reporter's settings and dialog forms
// are kept in: "TPF0", then one object (class name, object name, properties
// until an empty name, child objects until a zero byte). Values arrive as
// text, as the settings and the forms take them. The writer makes the same
// streams from a readable text form at build time (resources/crashreport).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace crashreport {

enum class StreamValueType : std::uint8_t {
    Int8 = 2, Int16 = 3, Int32 = 4, String = 6, Ident = 7, False = 8, True = 9, LString = 12, WString = 18,
    Utf8String = 20
};

struct StreamValue {
    std::uint8_t type = 0;
    std::int32_t integer = 0;  // the integer types
    bool boolean = false;      // False/True
    std::string text;          // every type as text; strings as UTF-8
};

// Reads bytes of a stream without ever reading past its end.
class ComponentStreamReader {
public:
    explicit ComponentStreamReader(std::string_view data, std::size_t at = 0) : data_(data), at_(at) {}
    bool AtEnd() const { return at_ >= data_.size(); }
    std::size_t position() const { return at_; }
    std::optional<std::uint8_t> ReadByte();
    // A length byte and that many characters.
    std::optional<std::string> ReadShortString();
    // The value of type byte `type`; nothing for a type outside `accepted`
    // or a value cut short.
    std::optional<StreamValue> ReadValue(std::uint8_t type, const std::vector<std::uint8_t>& accepted);

private:
    std::string_view data_;
    std::size_t at_;
};

// One object of a stream, as the writer takes it.
struct StreamObject {
    std::string class_name;
    std::string name;
    std::vector<std::pair<std::string, StreamValue>> properties;
    std::vector<StreamObject> children;
};

// "TPF0" and the object tree. Integers take the smallest type that holds
// them, texts the short form up to 255 bytes.
std::string WriteComponentStream(const StreamObject& root);
StreamValue IntegerValue(std::int32_t value);
StreamValue BooleanValue(bool value);
StreamValue TextValue(std::string text);
StreamValue IdentValue(std::string text);

// The readable form: "object Name: TClass", "Key = value" lines (value
// True, False, an integer, a 'quoted text' with '' for a quote and #13-style
// character codes between quoted pieces, or an identifier), "end".
// Nothing when the text is malformed; `error` then says where.
std::optional<StreamObject> ParseStreamText(std::string_view text, std::string& error);

}  // namespace crashreport
