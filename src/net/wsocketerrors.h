// The message table of the TCP socket under the HTTP and FTP clients. Its
// wording is that of the transfer components and differs from the table of
// the lobby's sockets (wsockerrors.h): the updater shows these texts to the
// user, and the HTTP client builds its failure reasons from them.
#pragma once

#include <string>

namespace wsocket {

// The text for a Winsock code; "Not a WinSock error" for any other code.
std::string ErrorText(int code);

} // namespace wsocket
