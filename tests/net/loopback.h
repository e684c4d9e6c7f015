// Plain loopback peers for the socket component tests: a listening TCP
// socket, a free port with nothing behind it, and small blocking helpers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// A TCP socket listening on 127.0.0.1 at a port the system chose.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return port_; }
    // The next connection, or -1 after `timeoutMs`. Blocking.
    int Accept(int timeoutMs = 5000);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A loopback port nothing listens on (it was free a moment ago).
uint16_t UnusedTcpPort();

// The local or peer address of a descriptor.
sockaddr_in LocalAddress(int fd);
sockaddr_in PeerAddress(int fd);

// Writes everything, blocking; false on failure.
bool WriteAll(int fd, const std::string& bytes);
// Closes with linger 0, so the peer sees a reset.
void AbortiveClose(int fd);
