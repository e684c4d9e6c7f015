// parlevoctl: the moderators' tool for a running parlevod. Sends one command
// over parlevod's control socket and prints the answer.
//
// Exit status: 0 done, 1 parlevod refused (the reason on standard error),
// 2 bad arguments, 3 parlevod cannot be reached.
#include "modcommand.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: parlevoctl [--socket PATH] COMMAND [ARGUMENTS]\n"
    "commands:\n"
    "  players [--json]                 the connected players\n"
    "  games [--json]                   the open games\n"
    "  kick NAME [--reason TEXT]        close a player's connection after a notice\n"
    "  ban TARGET [--for DURATION] [--reason TEXT]\n"
    "                                   TARGET: an address, a CIDR range or a name pattern (*)\n"
    "  unban ID|TARGET                  lift a ban\n"
    "  bans                             the bans in force\n"
    "  mute NAME [--for DURATION]       the player's chat reaches nobody else\n"
    "  unmute NAME\n"
    "  notice [--to NAME] TEXT          a notice to everyone or to one player\n"
    "  log [--last N]                   the moderators' audit log\n"
    "  reload                           as SIGHUP\n"
    "DURATION: 30m, 12h, 7d, 2w (without --for: for ever)\n";

constexpr int kTimeoutMs = 10'000;

int Unreachable(const std::string& path, const std::string& why)
{
    std::fprintf(stderr, "parlevoctl: cannot reach parlevod at %s: %s\n", path.c_str(), why.c_str());
    return 3;
}

// The packaged server's socket when it is there, else the one a server
// started in this folder makes beside its database.
std::string DefaultSocket()
{
    struct stat st{};
    if (stat("/run/parlevod/control", &st) == 0)
        return "/run/parlevod/control";
    return "parlevod.control";
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--socket" && i + 1 < args.size()) {
            path = args[++i];
        } else if (args[i].rfind("--socket=", 0) == 0) {
            path = args[i].substr(9);
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            break;
        }
    }
    std::vector<std::string> words(args.begin() + std::ptrdiff_t(i), args.end());
    std::string error;
    if (!ParseModCommand(words, error)) {
        std::fprintf(stderr, "parlevoctl: %s (see parlevoctl --help)\n", error.c_str());
        return 2;
    }
    for (const std::string& w : words)
        if (w.find_first_of("\t\n\r") != std::string::npos) {
            std::fprintf(stderr, "parlevoctl: an argument may not hold a tab or a line break\n");
            return 2;
        }
    if (path.empty())
        path = DefaultSocket();

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "parlevoctl: the socket path is too long: %s\n", path.c_str());
        return 2;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Unreachable(path, std::strerror(errno));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        return Unreachable(path, std::strerror(e));
    }
    std::string request = JoinRequest(words) + "\n";
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            close(fd);
            return Unreachable(path, std::strerror(e));
        }
        sent += std::size_t(n);
    }
    std::string reply;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, kTimeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            close(fd);
            return Unreachable(path, "no answer in time");
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        reply.append(buf, std::size_t(n));
    }
    close(fd);
    std::size_t eol = reply.find('\n');
    if (eol == std::string::npos)
        return Unreachable(path, "the answer was cut short");
    std::string status = reply.substr(0, eol);
    if (status == "OK") {
        std::fwrite(reply.data() + eol + 1, 1, reply.size() - eol - 1, stdout);
        return 0;
    }
    if (status.rfind("ERROR", 0) == 0) {
        std::string why = status.size() > 6 ? status.substr(6) : "refused";
        std::fprintf(stderr, "parlevoctl: %s\n", why.c_str());
        return 1;
    }
    return Unreachable(path, "an answer parlevoctl does not understand");
}
