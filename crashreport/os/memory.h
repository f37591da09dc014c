// Reading memory that may not be there. The reporter looks at stacks, code
// and data of a process that has just failed, so every read of an address it
// did not allocate itself goes through here and cannot fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace crashreport {

// The address space as one sorted array of ranges, taken once, so that the
// many checks of a stack trace are binary searches instead of system calls.
class MemoryMapSnapshot {
public:
    enum Kind : std::uint8_t { Unusable = 0, Readable = 2 };
    struct Range {
        std::uintptr_t start;
        std::uintptr_t end;  // exclusive
        Kind kind;
        bool executable;
    };

    // Reads the process's current map; empty when that fails.
    static MemoryMapSnapshot Take();

    const std::vector<Range>& ranges() const { return ranges_; }
    // The range holding `address`, or nullptr.
    const Range* find(std::uintptr_t address) const;
    // True when [address, address + count) lies in readable memory.
    bool readable(std::uintptr_t address, std::size_t count) const;

private:
    std::vector<Range> ranges_;
};

// Copies `count` bytes from `address` when all of them are readable; true on
// success. With a snapshot the range is checked against it first.
bool SafeReadMemory(const void* address, void* buffer, std::size_t count,
                    const MemoryMapSnapshot* snapshot = nullptr);
// True when the whole range is mapped readable (guard pages are not).
bool IsReadableMemory(const void* address, std::size_t count);

// Room kept back for making a report when the program has run out: four
// 4 MB regions of address space and four 512 KB regions of memory taken
// from the system, none of them accessible. Released as an exception is
// handled and taken again afterwards; both do nothing when already so.
void ReserveEmergencyMemory();
void ReleaseEmergencyMemory();
// The bytes the reserve holds now.
std::size_t EmergencyMemoryHeld();

}  // namespace crashreport
