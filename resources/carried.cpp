#include "resources/carried.h"

namespace resources {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string_view FindResource(std::string_view type, std::string_view name) {
    for (std::size_t i = 0; i < kCarriedCount; ++i) {
        const CarriedResource& r = kCarried[i];
        if (SameText(r.type, type) && SameText(r.name, name))
            return {reinterpret_cast<const char*>(r.data), r.size};
    }
    return {};
}

}  // namespace resources
