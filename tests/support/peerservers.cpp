#include "peerservers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartMs = 10000;
constexpr int kStopMs = 5000;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

uint16_t FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':'))
        if (!d.empty() && access((d + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string PythonProgram()
{
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

} // namespace

// --- TPeerServer --------------------------------------------------------------

TPeerServer::TPeerServer(std::string name) : name_(std::move(name))
{
    std::string tmpl = (fs::temp_directory_path() / ("qp-" + name_ + "-XXXXXX")).string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    // Servers that give up root for their workers must still read their files.
    ::chmod(dir_.c_str(), 0755);
}

TPeerServer::~TPeerServer()
{
    Stop();
    std::error_code ec;
    if (!std::getenv("QP_KEEP_PEER_DIRS"))
        fs::remove_all(dir_, ec);
}

std::string TPeerServer::File(const std::string& relative) const { return (fs::path(dir_) / relative).string(); }

std::string TPeerServer::Write(const std::string& relative, const std::string& content) const
{
    fs::path p = fs::path(dir_) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
    return p.string();
}

std::string TPeerServer::LogText()
{
    if (!child_)
        return lastLog_;
    return child_->Output(TChildProcess::TStream::Out) + child_->Output(TChildProcess::TStream::Err);
}

bool TPeerServer::Available(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0;
    return OnPath(program) || access(("/usr/sbin/" + program).c_str(), X_OK) == 0;
}

void TPeerServer::Start()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint16_t port = FreePort();
        if (Launch(Prepare(port), port)) {
            port_ = port;
            return;
        }
    }
    throw std::runtime_error(name_ + " did not start: " + lastLog_);
}

bool TPeerServer::Launch(std::vector<std::string> command, uint16_t port)
{
    // Daemons live in sbin, which an ordinary user's PATH may lack.
    if (command[0].find('/') == std::string::npos && access(("/usr/sbin/" + command[0]).c_str(), X_OK) == 0 &&
        !OnPath(command[0]))
        command[0] = "/usr/sbin/" + command[0];
    child_ = std::make_unique<TChildProcess>(TChildProcess::TOptions{.args = std::move(command), .cwd = dir_});
    if (!child_->Started())
        throw std::runtime_error(name_ + " could not be run: " + child_->Error());

    // Ready when the port accepts. Between attempts wait on the process, so
    // a server that gives up is noticed at once.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (RemainingMs(deadline) > 0) {
        if (Accepts(port))
            return true;
        if (child_->WaitExit(5))
            break;
    }
    lastLog_ = LogText();
    Stop();
    return false;
}

bool TPeerServer::Running() { return child_ && child_->Running(); }

void TPeerServer::Stop()
{
    if (child_)
        child_->Stop(kStopMs);
    child_.reset();
}

// --- nginx --------------------------------------------------------------------

TNginxServer::TNginxServer(std::string serverConfig) : TPeerServer("nginx"), serverConfig_(std::move(serverConfig))
{
    fs::create_directories(Root());
    Start();
}

TNginxServer::~TNginxServer() { Stop(); }

std::string TNginxServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

std::vector<std::string> TNginxServer::Prepare(uint16_t port)
{
    const std::string d = Dir();
    std::ostringstream c;
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
      << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n  access_log off;\n  sendfile on;\n  default_type application/octet-stream;\n"
      << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
      << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
      << "  scgi_temp_path " << d << "/scgi;\n"
      << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << Root() << ";\n"
      << serverConfig_ << "\n  }\n}\n";
    Write("nginx.conf", c.str());
    return {"nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"};
}

// --- python http.server ---------------------------------------------------------

TPythonHttpServer::TPythonHttpServer() : TPeerServer("python-http")
{
    fs::create_directories(Root());
    Start();
}

TPythonHttpServer::~TPythonHttpServer() { Stop(); }

std::string TPythonHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

std::vector<std::string> TPythonHttpServer::Prepare(uint16_t port)
{
    return {PythonProgram(), "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1", "--directory", Root()};
}

// --- tinyproxy ----------------------------------------------------------------

TTinyproxyServer::TTinyproxyServer(std::string user, std::string password)
    : TPeerServer("tinyproxy"), user_(std::move(user)), password_(std::move(password))
{
    Start();
}

TTinyproxyServer::~TTinyproxyServer() { Stop(); }

std::vector<std::string> TTinyproxyServer::Prepare(uint16_t port)
{
    std::ostringstream c;
    c << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 50\n"
      << "LogFile \"" << Dir() << "/tinyproxy.log\"\nLogLevel Info\n"
      << "PidFile \"" << Dir() << "/tinyproxy.pid\"\nAllow 127.0.0.1\nDisableViaHeader Yes\n";
    if (!user_.empty())
        c << "BasicAuth " << user_ << " " << password_ << "\n";
    Write("tinyproxy.conf", c.str());
    return {"tinyproxy", "-d", "-c", File("tinyproxy.conf")};
}

// --- microsocks ---------------------------------------------------------------

TMicrosocksServer::TMicrosocksServer(std::string user, std::string password)
    : TPeerServer("microsocks"), user_(std::move(user)), password_(std::move(password))
{
    Start();
}

TMicrosocksServer::~TMicrosocksServer() { Stop(); }

std::vector<std::string> TMicrosocksServer::Prepare(uint16_t port)
{
    std::vector<std::string> command = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!user_.empty())
        command.insert(command.end(), {"-u", user_, "-P", password_});
    return command;
}

// --- dante --------------------------------------------------------------------

TDanteServer::TDanteServer() : TPeerServer("danted")
{
    if (geteuid() != 0)
        throw std::runtime_error("danted must be started as root");
    Start();
}

TDanteServer::~TDanteServer() { Stop(); }

std::vector<std::string> TDanteServer::Prepare(uint16_t port)
{
    std::ostringstream c;
    c << "logoutput: " << Dir() << "/danted.log\n"
      << "internal: 127.0.0.1 port = " << port << "\nexternal: 127.0.0.1\n"
      << "clientmethod: none\nsocksmethod: none\n"
      << "user.privileged: root\nuser.unprivileged: nobody\n"
      << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
      << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    Write("danted.conf", c.str());
    return {"danted", "-f", File("danted.conf"), "-p", File("danted.pid"), "-N", "1"};
}
