// Third-party servers from Debian packages, started as peers for tests and
// benchmarks: each runs on 127.0.0.1 at a free port, with its own
// configuration, documents and log in a folder of its own that goes with it.
// The constructor returns once the server accepts connections (or throws);
// the destructor stops the server and everything it started.
//
// No gtest here: the benchmarks use these too.
#pragma once

#include "childprocess.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TPeerServer {
public:
    virtual ~TPeerServer();
    TPeerServer(const TPeerServer&) = delete;
    TPeerServer& operator=(const TPeerServer&) = delete;

    uint16_t Port() const { return port_; }
    // The server's own folder, and a file in it.
    const std::string& Dir() const { return dir_; }
    std::string File(const std::string& relative) const;
    // Writes a file below the folder, creating folders; returns its path.
    std::string Write(const std::string& relative, const std::string& content) const;
    // What the server wrote to its standard output and error.
    std::string LogText();
    bool Running();
    void Stop();

    // True when `program` can be run (found on the PATH or by its path).
    static bool Available(const std::string& program);

protected:
    explicit TPeerServer(std::string name);
    // Writes the configuration for `port` and returns the command to run.
    virtual std::vector<std::string> Prepare(uint16_t port) = 0;
    // Picks a free port, runs the command and waits until the port accepts;
    // tries again on another port when the server gives up at once (the
    // port was taken in between). Throws when it cannot start.
    void Start();

private:
    std::string name_;
    std::string dir_;
    std::unique_ptr<TChildProcess> child_;
    std::string lastLog_;    // what a server that gave up had written
    uint16_t port_ = 0;

    bool Launch(std::vector<std::string> command, uint16_t port);
};

// nginx serving Root() (Dir()/www). `serverConfig` is added inside the
// server block (locations, returns, ...).
class TNginxServer : public TPeerServer {
public:
    explicit TNginxServer(std::string serverConfig = {});
    ~TNginxServer() override;
    std::string Root() const { return File("www"); }
    std::string Url(const std::string& path) const;

protected:
    std::vector<std::string> Prepare(uint16_t port) override;

private:
    std::string serverConfig_;
};

// python3 -m http.server serving Root().
class TPythonHttpServer : public TPeerServer {
public:
    TPythonHttpServer();
    ~TPythonHttpServer() override;
    std::string Root() const { return File("www"); }
    std::string Url(const std::string& path) const;

protected:
    std::vector<std::string> Prepare(uint16_t port) override;
};

// tinyproxy, an HTTP proxy; demands Basic credentials when a user is given.
class TTinyproxyServer : public TPeerServer {
public:
    explicit TTinyproxyServer(std::string user = {}, std::string password = {});
    ~TTinyproxyServer() override;

protected:
    std::vector<std::string> Prepare(uint16_t port) override;

private:
    std::string user_, password_;
};

// microsocks, a SOCKS 5 proxy; demands a user/password login when a user is given.
class TMicrosocksServer : public TPeerServer {
public:
    explicit TMicrosocksServer(std::string user = {}, std::string password = {});
    ~TMicrosocksServer() override;

protected:
    std::vector<std::string> Prepare(uint16_t port) override;

private:
    std::string user_, password_;
};

// dante (danted), a SOCKS 4 and 5 proxy without authentication. It needs
// to start as root.
class TDanteServer : public TPeerServer {
public:
    TDanteServer();
    ~TDanteServer() override;

protected:
    std::vector<std::string> Prepare(uint16_t port) override;
};
