// Whether a hive file can be changed safely. hivex reads a damaged hive with
// errors, but changing one can end the process: when it frees the cells of a
// deleted key or a replaced value it asserts that each is an allocated cell,
// and it writes through the security ring's links without looking. So a hive
// is changed only when every cell a change could free is an allocated cell of
// its own, owned by one key alone, and every security cell it could unlink
// sits in a sound ring.
#pragma once

#include <string>
#include <string_view>

namespace platform::offreg {

// Empty when the hive in `bytes` (a whole hive file) is sound in that sense;
// otherwise where it is damaged.
std::string HiveDamage(std::string_view bytes);

}  // namespace platform::offreg
