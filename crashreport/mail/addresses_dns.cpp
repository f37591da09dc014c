// Mail addresses and the reporter's own DNS client for mail exchangers.
#include "crashreport/mail/mail_channels.h"

#include "crashreport/os/sockets.h"
#include "crashreport/text/byte_order.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

std::string NormaliseAddressList(const std::string& list, int& count) {
    std::string text = list;
    for (char& c : text)
        if (c == ';') c = ',';
    TrimAroundSeparator(text, ',');
    count = text.empty() ? 0 : CountParts(text, ',');
    return text;
}

std::vector<std::string> SplitAddressList(const std::string& list) {
    int count = 0;
    const std::string text = NormaliseAddressList(list, count);
    std::vector<std::string> parts;
    for (int i = 1; i <= count; ++i)
        if (std::string part = GetPart(text, i, ','); !part.empty()) parts.push_back(part);
    return parts;
}

std::string BracketAddress(const std::string& address, bool keep_display_name) {
    const std::size_t open = address.find('<');
    if (open == std::string::npos) return "<" + address + ">";
    return keep_display_name ? address : address.substr(open);
}

void SplitDisplayAddress(const std::string& text, std::string& display_name, std::string& smtp_address) {
    const std::size_t open = text.find('<');
    if (open == std::string::npos) {
        display_name = text;
        smtp_address = "SMTP:" + text;
        return;
    }
    display_name = text.substr(0, open);
    std::string address = text.substr(open + 1);
    if (const std::size_t close = address.find('>'); close != std::string::npos) address.resize(close);
    smtp_address = "SMTP:" + address;
}

std::string BuildDnsQuery(const std::string& domain, std::uint16_t type) {
    std::string query(12, '\0');
    query[1] = 0x01;  // id 1
    query[2] = 0x01;  // recursion desired
    query[5] = 0x01;  // one question
    // "." + domain with each dot replaced by the length of the label after it.
    const std::string dotted = "." + domain;
    std::string name;
    for (std::size_t i = 0; i < dotted.size(); ++i) {
        if (dotted[i] != '.') {
            name.push_back(dotted[i]);
            continue;
        }
        std::size_t end = dotted.find('.', i + 1);
        if (end == std::string::npos) end = dotted.size();
        name.push_back(static_cast<char>(std::min<std::size_t>(end - i - 1, 63)));
    }
    query += name;
    query.push_back('\0');
    PutBe16(query, type);
    query.push_back('\0');
    query.push_back('\x01');
    return query;
}

namespace {

// Reads a possibly compressed name at `at`; moves `at` past it in the
// record. False for a name that runs out of the reply or loops.
bool ReadDnsName(std::string_view reply, std::size_t& at, std::string* name) {
    std::size_t position = at;
    bool jumped = false;
    int jumps = 0;
    std::string text;
    for (;;) {
        if (position >= reply.size()) return false;
        const auto length = static_cast<unsigned char>(reply[position]);
        if ((length & 0xC0) == 0xC0) {
            if (position + 1 >= reply.size() || ++jumps > 32) return false;
            const std::size_t target = (static_cast<std::size_t>(length & 0x3F) << 8) |
                                       static_cast<unsigned char>(reply[position + 1]);
            if (!jumped) at = position + 2;
            jumped = true;
            position = target;
            continue;
        }
        if (length == 0) {
            if (!jumped) at = position + 1;
            break;
        }
        if ((length & 0xC0) != 0 || position + 1 + length > reply.size()) return false;
        if (!text.empty()) text.push_back('.');
        text.append(reply.substr(position + 1, length));
        position += 1 + length;
        if (text.size() > 1024) return false;
    }
    if (name) *name = text;
    return true;
}

bool ReadRecords(std::string_view reply, std::size_t& at, unsigned count, bool is_mx,
                 std::vector<std::string>& names) {
    for (unsigned i = 0; i < count; ++i) {
        if (!ReadDnsName(reply, at, nullptr) || reply.size() - at < 10) return false;
        const std::size_t data_length = platform::LoadBe16(reply.data() + at + 8);
        at += 10;
        if (reply.size() - at < data_length) return false;
        std::size_t data = at + (is_mx ? 2 : 0);
        std::string name;
        if (data_length >= (is_mx ? 3u : 1u) && ReadDnsName(reply, data, &name) && !name.empty())
            names.push_back(name);
        at += data_length;
    }
    return true;
}

}  // namespace

DnsNames ParseDnsReply(std::string_view reply, std::size_t query_length, std::uint16_t type) {
    DnsNames result;
    if (reply.size() < 12 || query_length < 12 || query_length > reply.size()) return result;
    if ((static_cast<unsigned char>(reply[3]) & 0x0F) != 0) return result;
    const unsigned answers = static_cast<unsigned char>(reply[7]);
    const unsigned authority = static_cast<unsigned char>(reply[9]);
    std::size_t at = query_length;
    if (!ReadRecords(reply, at, answers, type == kDnsTypeMx, result.answers)) return result;
    if (type == kDnsTypeNs) ReadRecords(reply, at, authority, false, result.authority);
    return result;
}

namespace {

DnsNames AskServers(const std::vector<std::string>& servers, std::uint16_t port, const std::string& name,
                    std::uint16_t type) {
    const std::string query = BuildDnsQuery(name, type);
    DnsNames found;
    ExchangeUdpQuery(servers, port, query, 5000, [&](const std::string& reply) {
        DnsNames names = ParseDnsReply(reply, query.size(), type);
        if (names.answers.empty() && names.authority.empty()) return false;
        found = std::move(names);
        return true;
    });
    return found;
}

// The well-known addresses of two root name servers.
const std::vector<std::string> kRootServers = {"198.41.0.4", "199.9.14.201"};

}  // namespace

std::string LookupMailExchanger(const std::string& address, const std::vector<std::string>& servers_given,
                                std::uint16_t port) {
    const std::size_t at = address.find('@');
    if (at == std::string::npos) return {};
    std::string domain = address.substr(at + 1);
    if (!domain.empty() && domain.back() == '>') domain.pop_back();
    if (domain.empty()) return {};
    std::string parent = domain;
    if (CountParts(domain, '.') > 3) {
        const int parts = CountParts(domain, '.');
        parent = GetPart(domain, parts - 2, '.') + "." + GetPart(domain, parts - 1, '.') + "." +
                 GetPart(domain, parts, '.');
    }
    std::vector<std::string> servers = servers_given.empty() ? SystemDnsServers() : servers_given;
    if (servers.empty()) {
        std::vector<std::string> next = kRootServers;
        for (int round = 0; round < 10 && !next.empty(); ++round) {
            const DnsNames names = AskServers(next, port, parent, kDnsTypeNs);
            if (!names.answers.empty()) {
                servers = names.answers;
                break;
            }
            if (names.authority.empty()) break;
            servers = names.authority;
            next = names.authority;
        }
        if (servers.empty()) return {};
    }
    for (const std::string& name : {domain, parent}) {
        const DnsNames names = AskServers(servers, port, name, kDnsTypeMx);
        if (!names.answers.empty()) return names.answers.front();
        if (parent == domain) break;
    }
    return {};
}

}  // namespace crashreport
