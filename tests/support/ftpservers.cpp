#include "ftpservers.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Debian's python, which has the packaged modules, before any other on the PATH.
std::string DebianPython() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

const char* const kPyftpdScript = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

port, root, user, password, passive, refuse_rest = sys.argv[1:7]
authorizer = DummyAuthorizer()
authorizer.add_anonymous(root)
if user:
    authorizer.add_user(user, password, root, perm="elr")

class Handler(FTPHandler):
    if refuse_rest == "1":
        def ftp_REST(self, line):
            self.respond("502 REST not implemented here.")

Handler.authorizer = authorizer
Handler.banner = "pyftpdlib ready."
if passive:
    Handler.masquerade_address = passive
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
server = FTPServer(("127.0.0.1", int(port)), Handler)
server.serve_forever()
)PY";

} // namespace

// --- pyftpdlib ----------------------------------------------------------------

TPyftpdServer::TPyftpdServer(TFtpServerOptions options) : TPeerServer("pyftpd"), options_(std::move(options))
{
    fs::create_directories(Root());
    Write("server.py", kPyftpdScript);
    Start();
}

TPyftpdServer::~TPyftpdServer() { Stop(); }

bool TPyftpdServer::Available()
{
    return std::system((DebianPython() + " -c 'import pyftpdlib' >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> TPyftpdServer::Prepare(uint16_t port)
{
    return {DebianPython(),
            File("server.py"),
            std::to_string(port),
            Root(),
            options_.user,
            options_.password,
            options_.passiveAddress,
            options_.refuseRest ? "1" : "0"};
}

// --- vsftpd -------------------------------------------------------------------

TVsftpdServer::TVsftpdServer(TFtpServerOptions options) : TPeerServer("vsftpd"), options_(std::move(options))
{
    if (geteuid() != 0)
        throw std::runtime_error("vsftpd must be started as root");
    fs::create_directories(Root());
    fs::create_directories(File("empty"));
    Start();
}

TVsftpdServer::~TVsftpdServer() { Stop(); }

bool TVsftpdServer::Available() { return TPeerServer::Available("vsftpd"); }

std::vector<std::string> TVsftpdServer::Prepare(uint16_t port)
{
    std::ostringstream c;
    c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port << "\n"
      << "background=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" << Root() << "\n"
      << "local_enable=NO\nwrite_enable=NO\nseccomp_sandbox=NO\n"
      << "secure_chroot_dir=" << File("empty") << "\n"
      << "xferlog_enable=NO\nvsftpd_log_file=" << File("vsftpd.log") << "\n"
      << "pasv_enable=YES\nport_enable=YES\n";
    if (!options_.passiveAddress.empty())
        c << "pasv_addr_resolve=NO\npasv_address=" << options_.passiveAddress << "\n";
    Write("vsftpd.conf", c.str());
    return {"vsftpd", File("vsftpd.conf")};
}
