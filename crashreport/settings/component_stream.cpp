#include "crashreport/settings/component_stream.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <sstream>

#include "crashreport/os/process_helpers.h"
#include "crashreport/text/byte_order.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

std::optional<std::uint8_t> ComponentStreamReader::ReadByte() {
    if (at_ >= data_.size()) return std::nullopt;
    return static_cast<std::uint8_t>(data_[at_++]);
}

std::optional<std::string> ComponentStreamReader::ReadShortString() {
    const auto length = ReadByte();
    if (!length || data_.size() - at_ < *length) return std::nullopt;
    std::string text(data_.substr(at_, *length));
    at_ += *length;
    return text;
}

namespace {

// A little-endian field of 1, 2 or 4 bytes.
std::optional<std::uint32_t> ReadLe(std::string_view data, std::size_t& at, int bytes) {
    if (data.size() - at < static_cast<std::size_t>(bytes)) return std::nullopt;
    const char* field = data.data() + at;
    at += static_cast<std::size_t>(bytes);
    if (bytes == 1) return static_cast<std::uint8_t>(*field);
    return bytes == 2 ? platform::LoadLe16(field) : platform::LoadLe32(field);
}

}  // namespace

std::optional<StreamValue> ComponentStreamReader::ReadValue(std::uint8_t type,
                                                            const std::vector<std::uint8_t>& accepted) {
    if (std::find(accepted.begin(), accepted.end(), type) == accepted.end()) return std::nullopt;
    StreamValue value;
    value.type = type;
    switch (static_cast<StreamValueType>(type)) {
        case StreamValueType::Int8:
        case StreamValueType::Int16:
        case StreamValueType::Int32: {
            const int bytes = type == 2 ? 1 : type == 3 ? 2 : 4;
            const auto raw = ReadLe(data_, at_, bytes);
            if (!raw) return std::nullopt;
            value.integer = bytes == 1   ? static_cast<std::int8_t>(*raw)
                            : bytes == 2 ? static_cast<std::int16_t>(*raw)
                                         : static_cast<std::int32_t>(*raw);
            value.text = std::to_string(value.integer);
            return value;
        }
        case StreamValueType::String:
        case StreamValueType::Ident: {
            auto text = ReadShortString();
            if (!text) return std::nullopt;
            value.text = std::move(*text);
            return value;
        }
        case StreamValueType::False:
        case StreamValueType::True:
            value.boolean = type == 9;
            value.text = value.boolean ? "1" : "0";
            return value;
        case StreamValueType::LString:
        case StreamValueType::Utf8String: {
            const auto length = ReadLe(data_, at_, 4);
            if (!length || data_.size() - at_ < *length) return std::nullopt;
            value.text = std::string(data_.substr(at_, *length));
            at_ += *length;
            return value;
        }
        case StreamValueType::WString: {
            const auto count = ReadLe(data_, at_, 4);
            if (!count || (data_.size() - at_) / 2 < *count) return std::nullopt;
            std::u16string wide;
            for (std::uint32_t i = 0; i < *count; ++i) wide.push_back(static_cast<char16_t>(*ReadLe(data_, at_, 2)));
            value.text = WideToUtf8Text(wide);
            return value;
        }
    }
    return std::nullopt;
}

StreamValue IntegerValue(std::int32_t v) {
    StreamValue value;
    value.type = v >= -128 && v <= 127 ? 2 : v >= -32768 && v <= 32767 ? 3 : 4;
    value.integer = v;
    value.text = std::to_string(v);
    return value;
}

StreamValue BooleanValue(bool b) {
    StreamValue value;
    value.type = b ? 9 : 8;
    value.boolean = b;
    value.text = b ? "1" : "0";
    return value;
}

StreamValue TextValue(std::string text) {
    StreamValue value;
    value.type = text.size() <= 255 ? 6 : 12;
    value.text = std::move(text);
    return value;
}

StreamValue IdentValue(std::string text) {
    StreamValue value;
    value.type = 7;
    value.text = std::move(text);
    return value;
}

namespace {

void PutShort(std::string& out, const std::string& text) {
    out.push_back(static_cast<char>(std::min<std::size_t>(text.size(), 255)));
    out.append(text, 0, std::min<std::size_t>(text.size(), 255));
}

void WriteObject(std::string& out, const StreamObject& object) {
    PutShort(out, object.class_name);
    PutShort(out, object.name);
    for (const auto& [name, value] : object.properties) {
        PutShort(out, name);
        out.push_back(static_cast<char>(value.type));
        switch (value.type) {
            case 2: out.push_back(static_cast<char>(value.integer)); break;
            case 3: PutLe16(out, static_cast<std::uint32_t>(value.integer)); break;
            case 4: PutLe32(out, static_cast<std::uint32_t>(value.integer)); break;
            case 6:
            case 7: PutShort(out, value.text); break;
            case 12:
            case 20:
                PutLe32(out, static_cast<std::uint32_t>(value.text.size()));
                out += value.text;
                break;
            default: break;  // False, True: the type byte is the value
        }
    }
    out.push_back('\0');
    for (const auto& child : object.children) WriteObject(out, child);
    out.push_back('\0');
}

}  // namespace

std::string WriteComponentStream(const StreamObject& root) {
    std::string out = "TPF0";
    WriteObject(out, root);
    return out;
}

namespace {

// A quoted text with '' and #NN pieces: 'a'#13#10'b'.
bool ParseQuoted(std::string_view v, std::string& out) {
    std::size_t i = 0;
    out.clear();
    if (v.empty()) return false;
    while (i < v.size()) {
        if (v[i] == '\'') {
            ++i;
            for (;;) {
                if (i >= v.size()) return false;
                if (v[i] == '\'') {
                    if (i + 1 < v.size() && v[i + 1] == '\'') {
                        out.push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out.push_back(v[i++]);
            }
        } else if (v[i] == '#') {
            std::size_t j = i + 1;
            int code = 0;
            while (j < v.size() && std::isdigit(static_cast<unsigned char>(v[j]))) code = code * 10 + (v[j++] - '0');
            if (j == i + 1 || code > 255) return false;
            out.push_back(static_cast<char>(code));
            i = j;
        } else if (v[i] == '+' || v[i] == ' ') {
            ++i;  // 'a' + 'b' continues a long text
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<StreamObject> ParseStreamText(std::string_view text, std::string& error) {
    std::vector<StreamObject> stack;
    std::optional<StreamObject> root;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(number) + ": " + what;
        return std::nullopt;
    };
    while (std::getline(lines, line)) {
        ++number;
        std::string t = TrimmedCopy(line);
        if (t.empty() || t.rfind("//", 0) == 0) continue;
        if (t.rfind("object ", 0) == 0) {
            const std::size_t colon = t.find(':');
            if (colon == std::string::npos) return fail("object without class");
            StreamObject object;
            object.name = TrimmedCopy(t.substr(7, colon - 7));
            object.class_name = TrimmedCopy(t.substr(colon + 1));
            stack.push_back(std::move(object));
        } else if (t == "end") {
            if (stack.empty()) return fail("end without object");
            StreamObject done = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) {
                if (root) return fail("second root object");
                root = std::move(done);
            } else {
                stack.back().children.push_back(std::move(done));
            }
        } else {
            const std::size_t eq = t.find('=');
            if (eq == std::string::npos || stack.empty()) return fail("expected Name = value");
            const std::string name = TrimmedCopy(t.substr(0, eq));
            const std::string v = TrimmedCopy(t.substr(eq + 1));
            StreamValue value;
            std::string quoted;
            if (v == "True" || v == "False") {
                value = BooleanValue(v == "True");
            } else if (!v.empty() && (std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '-')) {
                try {
                    std::size_t used = 0;
                    const long long n = std::stoll(v, &used);
                    if (used != v.size() || n < INT32_MIN || n > INT32_MAX) return fail("bad integer");
                    value = IntegerValue(static_cast<std::int32_t>(n));
                } catch (...) {
                    return fail("bad integer");
                }
            } else if (!v.empty() && (v[0] == '\'' || v[0] == '#')) {
                if (!ParseQuoted(v, quoted)) return fail("bad quoted text");
                value = TextValue(quoted);
            } else if (IsIdentifierText(v)) {
                value = IdentValue(v);
            } else {
                return fail("bad value");
            }
            stack.back().properties.emplace_back(name, std::move(value));
        }
    }
    if (!stack.empty()) return fail("object without end");
    if (!root) return fail("no object");
    return root;
}

}  // namespace crashreport
