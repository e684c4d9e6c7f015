// A plain HTTP/1.0 request to parlevod's web port for the tests, read to
// the server's close within a bound.
#pragma once

#include "text/textfuncs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

struct TWebReply {
    int status = 0;     // 0 when nothing sound came back
    std::string head;   // the status line and headers
    std::string body;

    std::string Header(const std::string& name) const
    {
        const std::string lower = LowerCase(head);
        const std::size_t at = lower.find("\r\n" + LowerCase(name) + ": ");
        if (at == std::string::npos)
            return {};
        const std::size_t from = at + name.size() + 4;
        return head.substr(from, head.find("\r\n", from) - from);
    }
};

inline TWebReply WebRequest(uint16_t port, const std::string& target, const std::string& method = "GET")
{
    TWebReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0
        || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        if (fd >= 0)
            close(fd);
        return reply;
    }
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        char buffer[16384];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        text.append(buffer, std::size_t(n));
    }
    close(fd);
    const std::size_t end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.", 0) != 0 || end == std::string::npos)
        return reply;
    reply.status = std::atoi(text.c_str() + 9);
    reply.head = text.substr(0, end + 2);
    reply.body = text.substr(end + 4);
    return reply;
}
