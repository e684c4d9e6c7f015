// The proxy settings the network clients take from the configuration before
// each request. The HTTP and FTP clients hold these fields (or derive from
// these records), so the configuration can fill them without knowing the clients.
#pragma once

#include <string>

// The SOCKS settings of one socket.
struct TSocksSettings {
    std::string SocksServer;
    std::string SocksPort;
    std::string SocksUserCode;
    std::string SocksPassword;
    std::string SocksLevel;            // "4" or "5"
    bool SocksAuthentication = false;  // on exactly when a user code is given
};

// The HTTP proxy of an HTTP client.
struct THttpProxySettings {
    std::string ProxyHost;
    std::string ProxyPort;
    std::string ProxyUser;
    std::string ProxyPass;
};
