#include "platform/wim/xml.h"

#include <cstring>
#include <map>

#include "platform/base/ascii.h"
#include "platform/base/scope_guard.h"
#include "platform/base/wide_text.h"

namespace platform::wim {

namespace {

std::string DecodeEntities(const std::string& text) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&')
            for (const auto& [entity, c] : kEntities)
                if (text.compare(i, std::strlen(entity), entity) == 0) {
                    out += c;
                    i += std::strlen(entity);
                    replaced = true;
                    break;
                }
        if (!replaced) out += text[i++];
    }
    return out;
}

// Image information is a few levels deep; anything far deeper is refused
// rather than read by a recursion that could run out of stack.
constexpr int kMaxElementDepth = 64;

// A small reader of the element trees image information is made of: nested
// elements and text; attributes, comments and declarations are passed over.
class ElementReader {
public:
    explicit ElementReader(const std::string& xml) : xml_(xml) {}

    bool read(std::vector<std::pair<std::string, std::string>>& properties) {
        skip_prolog();
        std::string root;
        bool empty = false;
        if (!open_tag(root, empty)) return false;
        if (root == "IMAGE") {
            if (!empty && (!children("", properties) || !close_tag(root))) return false;
        } else if (!element_body(root, root, empty, properties)) {
            return false;
        }
        skip_prolog();
        return at_ >= xml_.size();
    }

private:
    void skip_space() {
        while (at_ < xml_.size() && IsAsciiBlank(xml_[at_])) ++at_;
    }

    // Declarations, processing instructions and comments.
    void skip_prolog() {
        for (;;) {
            skip_space();
            if (xml_.compare(at_, 2, "<?") == 0) {
                std::size_t end = xml_.find("?>", at_);
                at_ = end == std::string::npos ? xml_.size() : end + 2;
            } else if (xml_.compare(at_, 4, "<!--") == 0) {
                std::size_t end = xml_.find("-->", at_);
                at_ = end == std::string::npos ? xml_.size() : end + 3;
            } else {
                return;
            }
        }
    }

    bool open_tag(std::string& name, bool& empty) {
        skip_prolog();
        if (at_ >= xml_.size() || xml_[at_] != '<' || xml_.compare(at_, 2, "</") == 0) return false;
        const std::size_t end = xml_.find('>', at_);
        if (end == std::string::npos) return false;
        std::string inside = xml_.substr(at_ + 1, end - at_ - 1);
        at_ = end + 1;
        empty = !inside.empty() && inside.back() == '/';
        if (empty) inside.pop_back();
        std::size_t cut = 0;
        while (cut < inside.size() && !IsAsciiBlank(inside[cut])) ++cut;
        name = inside.substr(0, cut);
        return !name.empty();
    }

    bool close_tag(const std::string& name) {
        skip_space();
        const std::string expected = "</" + name;
        if (xml_.compare(at_, expected.size(), expected) != 0) return false;
        at_ += expected.size();
        skip_space();
        if (at_ >= xml_.size() || xml_[at_] != '>') return false;
        ++at_;
        return true;
    }

    // The children of an element, up to but not including its end tag.
    bool children(const std::string& prefix, std::vector<std::pair<std::string, std::string>>& properties) {
        if (++depth_ > kMaxElementDepth) return false;
        ScopeGuard leave([this] { --depth_; });
        std::map<std::string, int> seen;
        for (;;) {
            skip_prolog();
            if (at_ >= xml_.size()) return false;
            if (xml_.compare(at_, 2, "</") == 0) return true;
            std::string name;
            bool empty = false;
            if (!open_tag(name, empty)) return false;
            const int count = ++seen[name];
            std::string path = prefix + name + (count > 1 ? "[" + std::to_string(count) + "]" : "");
            if (!element_body(name, path, empty, properties)) return false;
        }
    }

    bool element_body(const std::string& name, const std::string& path, bool empty,
                      std::vector<std::pair<std::string, std::string>>& properties) {
        if (empty) {
            properties.emplace_back(path, "");
            return true;
        }
        const std::size_t text_start = at_;
        const std::size_t next = xml_.find('<', at_);
        if (next == std::string::npos) return false;
        if (xml_.compare(next, 2, "</") == 0) {
            properties.emplace_back(path, DecodeEntities(Trim(std::string_view(xml_).substr(text_start, next - text_start))));
            at_ = next;
        } else if (!children(path + "/", properties)) {
            return false;
        }
        return close_tag(name);
    }

    const std::string& xml_;
    std::size_t at_ = 0;
    int depth_ = 0;
};

}  // namespace

std::string ImageElement(const std::string& wim_xml, int index) {
    const std::string start = "<IMAGE INDEX=\"" + std::to_string(index) + "\"";
    const std::size_t begin = wim_xml.find(start);
    if (begin == std::string::npos) return {};
    const std::size_t end = wim_xml.find("</IMAGE>", begin);
    if (end == std::string::npos) return {};
    return wim_xml.substr(begin, end + std::strlen("</IMAGE>") - begin);
}

bool ImageProperties(const std::string& xml, std::vector<std::pair<std::string, std::string>>& properties) {
    properties.clear();
    return ElementReader(xml).read(properties);
}

std::string XmlFromUtf16Bytes(const void* data, std::size_t size) {
    std::u16string wide(size / 2, u'\0');
    if (!wide.empty()) std::memcpy(wide.data(), data, wide.size() * 2);
    if (!wide.empty() && wide.front() == u'\xFEFF') wide.erase(0, 1);
    while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
    return Utf16ToUtf8(wide);
}

std::u16string Utf16WithBom(const std::string& text) { return u"\xFEFF" + Utf8ToUtf16(text); }

}  // namespace platform::wim
