// An answer of parlevod's web port, apart from any socket (see
// THttpListener), and the reading of a request's target.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct THttpAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=windows-1252";
    std::string location;     // for a redirect
    std::string allow;        // for a method not allowed
    std::vector<std::pair<std::string, std::string>> headers;   // any others
    std::string body;
};

// The path (in lower case, "/" when empty) and query of a request target,
// also when a client names the whole address ("GET http://host/motd.asp?...
// HTTP/1.0", as through a proxy).
void SplitTarget(std::string_view target, std::string& path, std::string_view& query);
