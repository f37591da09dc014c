#include "platform/base/random_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "platform/base/unique_fd.h"

namespace platform {

std::array<std::uint8_t, 16> RandomUuidBytes() {
    std::array<std::uint8_t, 16> id{};
    UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!fd || ::read(fd.get(), id.data(), id.size()) != static_cast<ssize_t>(id.size())) {
        std::uint64_t seed = static_cast<std::uint64_t>(::time(nullptr)) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
        for (auto& b : id) b = static_cast<std::uint8_t>((seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 56);
    }
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0f) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3f) | 0x80);
    return id;
}

}  // namespace platform
