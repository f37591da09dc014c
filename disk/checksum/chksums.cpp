#include "disk/checksum/chksums.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/device/handle.h"

namespace disk {

std::uint32_t SumDwords(const void* buffer, std::size_t count, std::uint32_t sum) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) sum += platform::LoadLe32(bytes + i);
    if (i < count) {
        std::uint8_t last[4] = {};
        std::memcpy(last, bytes + i, count - i);
        sum += platform::LoadLe32(last);
    }
    return sum;
}

void DwordSummer::add(const void* bytes, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    while (partial_count_ > 0 && count > 0) {
        partial_[partial_count_++] = *in++;
        --count;
        if (partial_count_ == 4) {
            sum_ += platform::LoadLe32(partial_);
            partial_count_ = 0;
        }
    }
    if (count == 0) return;
    std::size_t whole = count / 4 * 4;
    sum_ = SumDwords(in, whole, sum_);
    std::memcpy(partial_, in + whole, count - whole);
    partial_count_ = count - whole;
}

std::uint32_t DwordSummer::sum() const {
    if (partial_count_ == 0) return sum_;
    return SumDwords(partial_, partial_count_, sum_);
}

std::uint32_t StreamChecksum32(const std::function<std::int64_t(void* buffer, std::size_t size)>& read) {
    constexpr std::size_t kBlock = 65536;
    std::vector<std::uint8_t> block(kBlock);
    DwordSummer summer;
    for (;;) {
        std::int64_t got = read(block.data(), kBlock);
        if (got < 0) throw std::runtime_error("ReadFile failed");
        if (got == 0) break;
        summer.add(block.data(), static_cast<std::size_t>(got));
    }
    return summer.sum();
}

std::uint32_t FileChecksum32(const std::string& file_name, std::int64_t offset) {
    platform::Handle file = platform::CreateFile(file_name, platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    if (!file)
        throw std::runtime_error("Cannot open file \"" + file_name + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    std::int64_t position = offset;
    return StreamChecksum32([&](void* buffer, std::size_t size) -> std::int64_t {
        std::size_t done = 0;
        if (!platform::ReadAt(file, position, buffer, size, &done)) return -1;
        position += static_cast<std::int64_t>(done);
        return static_cast<std::int64_t>(done);
    });
}

}  // namespace disk
