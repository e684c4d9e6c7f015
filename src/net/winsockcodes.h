// Socket error codes and their texts. The socket components report every
// failure with the Winsock numbering (10035 would block, 10061 refused, 11001
// host not found, ...), so that the units above them keep one set of rules
// whatever system they run on. This file turns the system's errno and
// resolver codes into those numbers and holds the message table.
#pragma once

#include <string>

namespace wsock {

// Winsock codes the components and their users refer to by name.
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The Winsock code for a system errno value. A non-blocking operation that
// has not finished (EAGAIN, EWOULDBLOCK, EINPROGRESS) is "would block",
// as a non-blocking Winsock call reports it. Values without a Winsock
// counterpart are passed through unchanged (their text is then
// "Not a Winsock error").
int FromErrno(int err);

// The Winsock code for a getaddrinfo() failure (EAI_*); `err` is the
// errno value that goes with EAI_SYSTEM.
int FromResolver(int gaiError, int err);

// The message text for a code; "Not a Winsock error" for unknown codes.
std::string ErrorText(int code);

} // namespace wsock
