#include "platform/device/records/gpt.h"

#include <array>
#include <cstring>

namespace platform::device {

const GUID kGptBasicData = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
const GUID kGptEfiSystem = {0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
const GUID kGptMsReserved = {0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}};
const GUID kGptMsRecovery = {0xDE94BBA4, 0x06D1, 0x4D40, {0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC}};
const GUID kGptLinuxData = {0x0FC63DAF, 0x8483, 0x4772, {0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4}};

namespace {

struct Crc32Table {
    std::array<std::uint32_t, 256> values{};
    constexpr Crc32Table() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            values[i] = c;
        }
    }
};
constexpr Crc32Table kCrc32Table;

}  // namespace

GUID PackedGuid::value() const {
    GUID guid{};
    guid.Data1 = Data1.value();
    guid.Data2 = Data2.value();
    guid.Data3 = Data3.value();
    std::memcpy(guid.Data4, Data4, sizeof guid.Data4);
    return guid;
}

void PackedGuid::set(const GUID& guid) {
    Data1.set(guid.Data1);
    Data2.set(guid.Data2);
    Data3.set(guid.Data3);
    std::memcpy(Data4, guid.Data4, sizeof Data4);
}

bool GptHeader::has_signature() const { return std::memcmp(Signature, kGptSignature, sizeof Signature) == 0; }

std::u16string GptPartitionEntry::name() const {
    std::u16string text;
    for (const le16& unit : PartitionName) {
        if (unit.value() == 0) break;
        text.push_back(static_cast<char16_t>(unit.value()));
    }
    return text;
}

void GptPartitionEntry::set_name(std::u16string_view name) {
    for (std::size_t i = 0; i < kGptPartitionNameUnits; ++i)
        PartitionName[i].set(i < name.size() ? static_cast<std::uint16_t>(name[i]) : 0);
}

std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) crc = kCrc32Table.values[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t GptHeaderCrc32(const void* header, std::size_t header_size) {
    constexpr std::size_t kAt = offsetof(GptHeader, HeaderCRC32);
    constexpr std::uint8_t kZero[sizeof(le32)] = {};
    const auto* bytes = static_cast<const std::uint8_t*>(header);
    std::uint32_t crc = Crc32(bytes, kAt);
    crc = Crc32(kZero, sizeof kZero, crc);
    return Crc32(bytes + kAt + sizeof kZero, header_size - kAt - sizeof kZero, crc);
}

}  // namespace platform::device
