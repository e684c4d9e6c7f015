#include "socksproto.h"

#include <arpa/inet.h>

namespace socks {

namespace {

// Winsock codes the replies are reported with.
constexpr int kAccess = 10013;        // not allowed, authentication refused
constexpr int kNotSupported = 10045;  // command not supported
constexpr int kFamily = 10047;        // address type not supported
constexpr int kAborted = 10053;       // general failure, or not a SOCKS reply
constexpr int kNetUnreachable = 10051;
constexpr int kTimedOut = 10060;
constexpr int kRefused = 10061;
constexpr int kHostUnreachable = 10065;

uint8_t Byte(std::string_view bytes, std::size_t i) { return static_cast<uint8_t>(bytes[i]); }

void AppendPort(std::string& out, uint16_t port)
{
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

Reply Bad(int error = kAborted) { return Reply{ReplyStatus::Bad, error, 0, 0}; }

bool IsDotted(std::string_view host, in_addr& address)
{
    std::string text(host);
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

} // namespace

std::string Socks4Connect(uint32_t address, uint16_t port, std::string_view userId, std::string_view hostName)
{
    std::string out;
    out += '\x04';
    out += '\x01';
    AppendPort(out, port);
    if (!hostName.empty())
        address = htonl(1);   // 0.0.0.1: the name follows the user id
    const auto* a = reinterpret_cast<const unsigned char*>(&address);
    out.append(reinterpret_cast<const char*>(a), 4);
    out += userId;
    out += '\0';
    if (!hostName.empty()) {
        out += hostName;
        out += '\0';
    }
    return out;
}

std::string Socks5Greeting(bool withPassword)
{
    return withPassword ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
}

std::string Socks5Login(std::string_view user, std::string_view password)
{
    user = user.substr(0, kMaxField);
    password = password.substr(0, kMaxField);
    std::string out;
    out += '\x01';
    out += static_cast<char>(user.size());
    out += user;
    out += static_cast<char>(password.size());
    out += password;
    return out;
}

std::string Socks5Connect(std::string_view host, uint16_t port)
{
    std::string out("\x05\x01\x00", 3);
    in_addr address{};
    if (IsDotted(host, address)) {
        out += '\x01';
        out.append(reinterpret_cast<const char*>(&address.s_addr), 4);
    } else {
        host = host.substr(0, kMaxField);
        out += '\x03';
        out += static_cast<char>(host.size());
        out += host;
    }
    AppendPort(out, port);
    return out;
}

Reply ReadSocks5Method(std::string_view bytes, bool passwordOffered)
{
    if (bytes.size() < 2)
        return {};
    if (Byte(bytes, 0) != 5)
        return Bad();
    const uint8_t method = Byte(bytes, 1);
    if (method == 0 || (method == 2 && passwordOffered))
        return Reply{ReplyStatus::Granted, 0, method, 2};
    // 0xFF: none of the offered methods is acceptable (the proxy wants a
    // login we do not have); anything else was not offered at all.
    return Reply{method == 0xFF ? ReplyStatus::Refused : ReplyStatus::Bad, method == 0xFF ? kAccess : kAborted,
                 method, 2};
}

Reply ReadSocks5Login(std::string_view bytes)
{
    if (bytes.size() < 2)
        return {};
    if (Byte(bytes, 0) != 1)
        return Bad();
    if (Byte(bytes, 1) != 0)
        return Reply{ReplyStatus::Refused, kAccess, 0, 2};
    return Reply{ReplyStatus::Granted, 0, 0, 2};
}

Reply ReadSocks5Connect(std::string_view bytes)
{
    if (bytes.size() < 5)
        return {};
    if (Byte(bytes, 0) != 5)
        return Bad();
    std::size_t address;
    switch (Byte(bytes, 3)) {
    case 1: address = 4; break;
    case 3: address = 1 + std::size_t(Byte(bytes, 4)); break;
    case 4: address = 16; break;
    default: return Bad();
    }
    const std::size_t length = 4 + address + 2;
    if (bytes.size() < length)
        return {};
    static const int kReplyErrors[] = {0,  kAborted, kAccess, kNetUnreachable, kHostUnreachable,
                                       kRefused, kTimedOut, kNotSupported, kFamily};
    const uint8_t code = Byte(bytes, 1);
    if (code == 0)
        return Reply{ReplyStatus::Granted, 0, 0, length};
    return Reply{ReplyStatus::Refused, code < 9 ? kReplyErrors[code] : kAborted, 0, length};
}

Reply ReadSocks4Connect(std::string_view bytes)
{
    if (bytes.size() < 8)
        return {};
    if (Byte(bytes, 0) != 0)
        return Bad();
    switch (Byte(bytes, 1)) {
    case 90: return Reply{ReplyStatus::Granted, 0, 0, 8};
    case 91: return Reply{ReplyStatus::Refused, kRefused, 0, 8};
    case 92: // no identd on the client's machine
    case 93: // identd gave another user
        return Reply{ReplyStatus::Refused, kAccess, 0, 8};
    default: return Bad();
    }
}

} // namespace socks
