// The SOCKS 4/4a and SOCKS 5 messages a client exchanges with its proxy:
// builders for what the client sends and pure readers for the proxy's
// replies. A reader takes the bytes received so far and says whether a whole
// reply is there, what it means and how many bytes it used; bytes after it
// belong to the connection that the proxy has opened. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace socks {

// The longest host name, user code or password a SOCKS 5 field can carry.
constexpr std::size_t kMaxField = 255;

// SOCKS 4 CONNECT to an IPv4 address (network byte order) and port. With a
// `hostName` the request is SOCKS 4a: the address is 0.0.0.1 and the proxy
// looks the name up.
std::string Socks4Connect(uint32_t address, uint16_t port, std::string_view userId,
                          std::string_view hostName = {});

// SOCKS 5 greeting offering "no authentication", and user/password when
// `withPassword`.
std::string Socks5Greeting(bool withPassword);
// User/password sub-negotiation; each field at most kMaxField bytes.
std::string Socks5Login(std::string_view user, std::string_view password);
// SOCKS 5 CONNECT: a dotted IPv4 address goes as an address, anything else
// as a host name of at most kMaxField bytes.
std::string Socks5Connect(std::string_view host, uint16_t port);

enum class ReplyStatus {
    Incomplete, // more bytes are needed
    Granted,    // the step succeeded
    Refused,    // the proxy answered with a refusal (see `error`)
    Bad,        // not a reply of this protocol (see `error`)
};

struct Reply {
    ReplyStatus status = ReplyStatus::Incomplete;
    int error = 0;          // Winsock code describing a refusal or a bad reply
    uint8_t method = 0;     // the method a SOCKS 5 proxy chose
    std::size_t used = 0;   // bytes of the reply
};

// Method choice of a SOCKS 5 proxy: Granted with `method` 0 or 2 (2 only when
// it was offered), Refused when none is acceptable.
Reply ReadSocks5Method(std::string_view bytes, bool passwordOffered);
// Status of the user/password sub-negotiation.
Reply ReadSocks5Login(std::string_view bytes);
// Reply to a SOCKS 5 CONNECT, with its bound address of any type.
Reply ReadSocks5Connect(std::string_view bytes);
// Reply to a SOCKS 4 or 4a CONNECT (8 bytes).
Reply ReadSocks4Connect(std::string_view bytes);

} // namespace socks
