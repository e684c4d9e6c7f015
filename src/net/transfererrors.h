// The message table of the TCP socket under the HTTP and FTP clients (the
// transfer components). Its wording is theirs and differs from the table of
// the lobby's sockets (winsockcodes.h): the updater shows these texts to the
// user, and the HTTP client builds its failure reasons from them.
#pragma once

#include <string>

namespace transfersocket {

// The text for a Winsock code; "Not a WinSock error" for any other code.
std::string ErrorText(int code);

} // namespace transfersocket
