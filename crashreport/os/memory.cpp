#include "crashreport/os/memory.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace crashreport {

MemoryMapSnapshot MemoryMapSnapshot::Take() {
    MemoryMapSnapshot snapshot;
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return snapshot;
    char line[4096];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long start = 0, end = 0;
        char permissions[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &start, &end, permissions) != 3) continue;
        // A guard page ("---p") or anything without read permission counts as
        // unusable, as a Windows guard or no-access page does.
        const Kind kind = permissions[0] == 'r' ? Readable : Unusable;
        snapshot.ranges_.push_back({start, end, kind, permissions[2] == 'x'});
    }
    std::fclose(maps);
    std::sort(snapshot.ranges_.begin(), snapshot.ranges_.end(),
              [](const Range& a, const Range& b) { return a.start < b.start; });
    return snapshot;
}

const MemoryMapSnapshot::Range* MemoryMapSnapshot::find(std::uintptr_t address) const {
    auto after = std::upper_bound(ranges_.begin(), ranges_.end(), address,
                                  [](std::uintptr_t a, const Range& r) { return a < r.start; });
    if (after == ranges_.begin()) return nullptr;
    const Range& range = *(after - 1);
    return address < range.end ? &range : nullptr;
}

bool MemoryMapSnapshot::readable(std::uintptr_t address, std::size_t count) const {
    if (count == 0) return true;
    if (address + count < address) return false;
    std::uintptr_t at = address;
    const std::uintptr_t end = address + count;
    while (at < end) {
        const Range* range = find(at);
        if (range == nullptr || range->kind != Readable) return false;
        at = range->end;
    }
    return true;
}

bool SafeReadMemory(const void* address, void* buffer, std::size_t count, const MemoryMapSnapshot* snapshot) {
    if (count == 0) return true;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start < 4096) return false;
    if (snapshot != nullptr && !snapshot->ranges().empty() && !snapshot->readable(start, count)) return false;
    // The kernel copies from our own address space and answers EFAULT for
    // what is not mapped, instead of a fault in our code.
    iovec local{buffer, count};
    iovec remote{const_cast<void*>(address), count};
    const ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (copied == static_cast<ssize_t>(count)) return true;
    if (copied >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
    // Where the call is refused (some sandboxes), the map decides instead.
    MemoryMapSnapshot fresh;
    const MemoryMapSnapshot* map = snapshot;
    if (map == nullptr || map->ranges().empty()) {
        fresh = MemoryMapSnapshot::Take();
        map = &fresh;
    }
    if (!map->readable(start, count)) return false;
    std::memcpy(buffer, address, count);
    return true;
}

bool IsReadableMemory(const void* address, std::size_t count) {
    return MemoryMapSnapshot::Take().readable(reinterpret_cast<std::uintptr_t>(address), count);
}

namespace {

struct EmergencyReserve {
    std::mutex lock;
    struct Region {
        void* address = nullptr;
        std::size_t size = 0;
    };
    Region regions[8];
};

EmergencyReserve& Reserve() {
    // Never destroyed: an exception may be handled while statics go.
    static EmergencyReserve& reserve = *new EmergencyReserve;
    return reserve;
}

}  // namespace

void ReserveEmergencyMemory() {
    EmergencyReserve& reserve = Reserve();
    std::lock_guard guard(reserve.lock);
    for (int i = 0; i < 8; ++i) {
        EmergencyReserve::Region& region = reserve.regions[i];
        if (region.address != nullptr) continue;
        const bool address_space = i < 4;
        const std::size_t size = address_space ? 0x400000 : 0x80000;
        // Address space only, or memory the system has handed over (touched
        // once), then made inaccessible.
        void* address = ::mmap(nullptr, size, address_space ? PROT_NONE : PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | (address_space ? MAP_NORESERVE : MAP_POPULATE), -1, 0);
        if (address == MAP_FAILED) continue;
        if (!address_space) ::mprotect(address, size, PROT_NONE);
        region = {address, size};
    }
}

void ReleaseEmergencyMemory() {
    EmergencyReserve& reserve = Reserve();
    std::lock_guard guard(reserve.lock);
    for (EmergencyReserve::Region& region : reserve.regions) {
        if (region.address == nullptr) continue;
        ::munmap(region.address, region.size);
        region = {};
    }
}

std::size_t EmergencyMemoryHeld() {
    EmergencyReserve& reserve = Reserve();
    std::lock_guard guard(reserve.lock);
    std::size_t held = 0;
    for (const EmergencyReserve::Region& region : reserve.regions) held += region.size;
    return held;
}

}  // namespace crashreport
