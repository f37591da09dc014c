// The files the program carries inside itself (the partition-type table,
// later the boot-code templates): built into the executable from
// resources/, looked up by type and name as Windows looks up a resource.
#pragma once

#include <cstddef>
#include <string_view>

namespace resources {

struct CarriedResource {
    const char* type;  // "TEXT"
    const char* name;  // "TYPES"
    const unsigned char* data;
    std::size_t size;
};

// The carried resources, from the generated source.
extern const CarriedResource kCarried[];
extern const std::size_t kCarriedCount;

// The bytes of the resource of that type and name (both compared without
// regard to case); empty when the program carries none.
std::string_view FindResource(std::string_view type, std::string_view name);

}  // namespace resources
