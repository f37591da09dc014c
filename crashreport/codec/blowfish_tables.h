// The standard initial tables of the Blowfish cipher.
#pragma once

#include <array>
#include <cstdint>

namespace crashreport {

extern const std::array<std::uint32_t, 18> kBlowfishInitialP;
extern const std::array<std::array<std::uint32_t, 256>, 4> kBlowfishInitialS;

}  // namespace crashreport
