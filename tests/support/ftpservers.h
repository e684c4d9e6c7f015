// FTP servers from Debian packages, started as peers for the FTP client's and
// the updater's tests and the FTP benchmark: each on 127.0.0.1 at a free port,
// serving Root() (Dir()/pub), with its configuration in its own folder.
#pragma once

#include "peerservers.h"

#include <string>

struct TFtpServerOptions {
    // A login besides anonymous; none when empty.
    std::string user = {};
    std::string password = {};
    // The address the passive-mode reply names instead of the server's own
    // (empty: its own), for clients that must not follow it.
    std::string passiveAddress = {};
    // Replies REST with an error (pyftpdlib only).
    bool refuseRest = false;
};

// pyftpdlib, the Python FTP server library, run by a small script of ours.
class TPyftpdServer : public TPeerServer {
public:
    explicit TPyftpdServer(TFtpServerOptions options = {});
    ~TPyftpdServer() override;
    std::string Root() const { return File("pub"); }
    // True when the module can be imported.
    static bool Available();

protected:
    std::vector<std::string> Prepare(uint16_t port) override;

private:
    TFtpServerOptions options_;
};

// vsftpd with anonymous access. It must be started as root; logins other
// than anonymous are not offered (they would need system accounts).
class TVsftpdServer : public TPeerServer {
public:
    explicit TVsftpdServer(TFtpServerOptions options = {});
    ~TVsftpdServer() override;
    std::string Root() const { return File("pub"); }
    static bool Available();

protected:
    std::vector<std::string> Prepare(uint16_t port) override;

private:
    TFtpServerOptions options_;
};
