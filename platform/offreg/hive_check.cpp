#include "platform/offreg/hive_check.h"

#include <cstdint>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "platform/base/byte_order.h"

namespace platform::offreg {

namespace {

constexpr std::uint64_t kBinsStart = 0x1000;  // cell offsets count from here
constexpr std::uint32_t kNoCell = 0xFFFFFFFFu;
constexpr std::uint32_t kInlineData = 0x80000000u;

class HiveCells {
public:
    explicit HiveCells(std::string_view bytes) : bytes_(bytes), state_(bytes.size() / 4 + 1, kNone) {}

    // Walks the bins as far as the base block says they reach and notes
    // where each allocated cell starts. Empty, or what is wrong.
    std::string Map() {
        if (bytes_.size() < kBinsStart + 0x20) return "shorter than a base block and one bin";
        if (bytes_.substr(0, 4) != "regf") return "no regf signature";
        const std::uint64_t end = kBinsStart + Le32(0x28);
        if (end > bytes_.size()) return "its bins reach past the end of the file";
        for (std::uint64_t bin = kBinsStart; bin < end;) {
            if (end - bin < 0x20 || bytes_.substr(bin, 4) != "hbin") return "no bin at " + Hex(bin);
            const std::uint64_t bin_size = Le32(bin + 8);
            if (bin_size < 0x1000 || bin_size % 0x1000 != 0 || bin_size > end - bin) return "bad bin size at " + Hex(bin);
            for (std::uint64_t cell = bin + 0x20; cell < bin + bin_size;) {
                if (bin + bin_size - cell < 4) return "cell header cut at " + Hex(cell);
                const std::int32_t raw = static_cast<std::int32_t>(Le32(cell));
                const std::uint64_t length = static_cast<std::uint64_t>(raw < 0 ? -static_cast<std::int64_t>(raw) : raw);
                if (length <= 4 || length % 4 != 0 || length > bin + bin_size - cell) return "bad cell at " + Hex(cell);
                if (raw < 0) state_[cell / 4] = kAllocated;
                cell += length;
            }
            bin += bin_size;
        }
        return {};
    }

    // Every key from the root: its subkey lists, value list, values, value
    // data and class name each an allocated cell claimed once; its security
    // cell an allocated "sk" cell, counted.
    std::string Walk() {
        std::vector<std::uint64_t> keys;
        const std::uint64_t root = kBinsStart + Le32(0x24);
        if (!Claim(root) || !IsRecord(root, "nk", 0x50)) return "bad root key";
        keys.push_back(root);
        while (!keys.empty()) {
            const std::uint64_t key = keys.back();
            keys.pop_back();
            if (std::string damage = WalkKey(key, keys); !damage.empty()) return damage;
        }
        for (const auto& [sk, references] : security_) {
            if (Le32(sk + 0x10) < references) return "security cell " + Hex(sk) + " counts fewer keys than use it";
            const std::uint64_t next = kBinsStart + Le32(sk + 0x08), previous = kBinsStart + Le32(sk + 0x0C);
            if (!IsSecurity(next) || !IsSecurity(previous) || kBinsStart + Le32(next + 0x0C) != sk ||
                kBinsStart + Le32(previous + 0x08) != sk)
                return "security ring broken at " + Hex(sk);
        }
        return {};
    }

private:
    enum : std::uint8_t { kNone, kAllocated, kClaimed };

    std::uint32_t Le32(std::uint64_t at) const { return LoadLe32(bytes_.data() + at); }
    std::uint16_t Le16(std::uint64_t at) const { return LoadLe16(bytes_.data() + at); }

    static std::string Hex(std::uint64_t value) {
        static const char digits[] = "0123456789abcdef";
        std::string text;
        do {
            text.insert(text.begin(), digits[value & 15]);
            value >>= 4;
        } while (value);
        return "0x" + text;
    }

    bool IsAllocated(std::uint64_t at) const { return at % 4 == 0 && at < bytes_.size() && state_[at / 4] != kNone; }
    std::uint64_t CellLength(std::uint64_t at) const {
        return static_cast<std::uint64_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(at))));
    }

    // Takes an allocated cell for one owner; false when it is no allocated
    // cell or has an owner already.
    bool Claim(std::uint64_t at) {
        if (!IsAllocated(at) || state_[at / 4] != kAllocated || security_.count(at)) return false;
        state_[at / 4] = kClaimed;
        return true;
    }

    bool IsRecord(std::uint64_t at, const char* signature, std::uint64_t least) const {
        return CellLength(at) >= least && bytes_[at + 4] == signature[0] && bytes_[at + 5] == signature[1];
    }

    bool IsSecurity(std::uint64_t at) const {
        return IsAllocated(at) && state_[at / 4] == kAllocated && IsRecord(at, "sk", 0x18);
    }

    // One subkey list (not an index of lists): claims the keys it names.
    std::string WalkList(std::uint64_t list, std::vector<std::uint64_t>& keys) {
        const std::uint64_t count = Le16(list + 6);
        const bool with_hashes = IsRecord(list, "lf", 8) || IsRecord(list, "lh", 8);
        if (!with_hashes && !IsRecord(list, "li", 8)) return "bad subkey list at " + Hex(list);
        const std::uint64_t step = with_hashes ? 8 : 4;
        if (8 + count * step > CellLength(list)) return "subkey list at " + Hex(list) + " longer than its cell";
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t child = kBinsStart + Le32(list + 8 + i * step);
            if (!Claim(child) || !IsRecord(child, "nk", 0x50)) return "bad or shared key at " + Hex(child);
            keys.push_back(child);
        }
        return {};
    }

    std::string WalkKey(std::uint64_t key, std::vector<std::uint64_t>& keys) {
        if (Le32(key + 0x18) != 0) {
            const std::uint64_t list = kBinsStart + Le32(key + 0x20);
            if (!Claim(list) || CellLength(list) < 8) return "bad subkey list of " + Hex(key);
            if (IsRecord(list, "ri", 8)) {
                const std::uint64_t count = Le16(list + 6);
                if (8 + count * 4 > CellLength(list)) return "list index at " + Hex(list) + " longer than its cell";
                for (std::uint64_t i = 0; i < count; ++i) {
                    const std::uint64_t part = kBinsStart + Le32(list + 8 + i * 4);
                    if (!Claim(part) || CellLength(part) < 8) return "bad subkey list in " + Hex(list);
                    if (std::string damage = WalkList(part, keys); !damage.empty()) return damage;
                }
            } else if (std::string damage = WalkList(list, keys); !damage.empty()) {
                return damage;
            }
        }
        if (const std::uint64_t count = Le32(key + 0x28); count != 0) {
            const std::uint64_t list = kBinsStart + Le32(key + 0x2C);
            if (!Claim(list) || 4 + count * 4 > CellLength(list)) return "bad value list of " + Hex(key);
            for (std::uint64_t i = 0; i < count; ++i) {
                const std::uint64_t value = kBinsStart + Le32(list + 4 + i * 4);
                if (!Claim(value) || !IsRecord(value, "vk", 0x18)) return "bad or shared value at " + Hex(value);
                if (!(Le32(value + 0x08) & kInlineData) && !Claim(kBinsStart + Le32(value + 0x0C)))
                    return "bad or shared data of the value at " + Hex(value);
            }
        }
        if (const std::uint32_t sk = Le32(key + 0x30); sk != kNoCell) {
            const std::uint64_t at = kBinsStart + sk;
            if (!security_.count(at) && !IsSecurity(at)) return "bad security cell of " + Hex(key);
            ++security_[at];
        }
        if (const std::uint32_t name = Le32(key + 0x34); name != kNoCell && !Claim(kBinsStart + name))
            return "bad class name of " + Hex(key);
        return {};
    }

    std::string_view bytes_;
    std::vector<std::uint8_t> state_;  // by offset / 4
    std::unordered_map<std::uint64_t, std::uint32_t> security_;  // security cell -> keys that use it
};

}  // namespace

std::string HiveDamage(std::string_view bytes) {
    HiveCells cells(bytes);
    if (std::string damage = cells.Map(); !damage.empty()) return damage;
    return cells.Walk();
}

}  // namespace platform::offreg
