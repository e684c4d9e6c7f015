// Loopback TCP receive throughput: a TTCPClient whose OnData loops on
// BytesAvailable/ReadText, against a plain blocking recv() loop, both fed by
// the same writer thread in the same run. Prints "name value unit" lines.
#include "net/WSockets.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kTotal = std::size_t(256) << 20;
constexpr int kRounds = 5; // alternating; the best of each, as the machine is shared

using Clock = std::chrono::steady_clock;

int Listen(uint16_t& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Accepts one connection, writes kTotal bytes and closes.
std::thread Writer(int listener)
{
    return std::thread([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> chunk(64 << 10, 'w');
        std::size_t left = kTotal;
        while (left > 0) {
            ssize_t n = ::send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            left -= static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
}

double Mbps(std::size_t bytes, Clock::duration d)
{
    return bytes / (1024.0 * 1024.0) / std::chrono::duration<double>(d).count();
}

double RunPlain(int listener, uint16_t port)
{
    std::thread w = Writer(listener);
    auto start = Clock::now();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::vector<char> buf(64 << 10);
    std::size_t got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    auto d = Clock::now() - start;
    ::close(fd);
    w.join();
    return got == kTotal ? Mbps(got, d) : 0.0;
}

double RunComponent(int listener, uint16_t port)
{
    std::thread w = Writer(listener);
    auto start = Clock::now();
    TTCPClient client;
    std::size_t got = 0;
    bool done = false;
    client.OnData = [&](TCustomWSockets* s, TSocket sock) {
        while (s->BytesAvailable(sock) > 0)
            got += s->ReadText(sock).size();
    };
    client.OnClose = [&](TCustomWSockets*, TSocket) { done = true; };
    client.OnError = [&](TCustomWSockets*, int, const std::string&) { done = true; };
    client.Host = "127.0.0.1";
    client.Port = std::to_string(port);
    client.Open();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    auto d = Clock::now() - start;
    w.join();
    return got == kTotal ? Mbps(got, d) : 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    uint16_t port = 0;
    int listener = Listen(port);
    double plain = 0, component = 0;
    for (int i = 0; i < kRounds; ++i) {
        plain = std::max(plain, RunPlain(listener, port));
        component = std::max(component, RunComponent(listener, port));
    }
    ::close(listener);
    std::printf("tcp_recv_plain %.1f MB/s\n", plain);
    std::printf("tcp_recv_ttcpclient %.1f MB/s\n", component);
    std::printf("tcp_recv_ratio %.3f ratio\n", plain > 0 ? component / plain : 0.0);
    return plain > 0 && component > 0 ? 0 : 1;
}
