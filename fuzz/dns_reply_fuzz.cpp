// The reporter's DNS client reads replies from the network: the first byte
// picks the query type (MX or NS), the second the length of the question as
// it was sent, the rest is the reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashreport/mail/mail_channels.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint16_t type = (data[0] & 1) ? crashreport::kDnsTypeNs : crashreport::kDnsTypeMx;
    const std::string_view reply(reinterpret_cast<const char*>(data + 2), size - 2);
    const crashreport::DnsNames names = crashreport::ParseDnsReply(reply, data[1], type);
    for (const auto& name : names.answers)
        if (name.empty() || name.size() > 1100) __builtin_trap();
    if (type == crashreport::kDnsTypeMx && !names.authority.empty()) __builtin_trap();
    return 0;
}
