// FTP download of 1 GiB from pyftpdlib on loopback into a file: TFtpClient
// (log-in, directory, type, size, then a passive-mode download) against
// `curl -o` fetching the same URL, in alternating rounds of the same run; the
// best round of each counts, as the machine is shared. Prints "name value
// unit" lines.
#include "downloadbench.h"
#include "net/Ftpcli.h"
#include "support/ftpservers.h"

#include <QCoreApplication>

#include <cstdio>

using namespace downloadbench;

namespace {

double RunClient(uint16_t port, const std::string& out)
{
    TFtpClient client;
    client.HostName = "127.0.0.1";
    client.Port = std::to_string(port);
    client.UserName = "anonymous";
    client.PassWord = "bench@example.net";
    client.HostDirName = "/";
    client.HostFileName = "big.bin";
    client.LocalFileName = out;
    client.PassiveMode = true;
    int error = -1;
    client.OnRequestDone = [&](TFtpClient*, TFtpRequest rq, int e) {
        if (rq == ftpGetAsync)
            error = e;
    };
    const auto start = Clock::now();
    if (!client.Login() || !client.ChangeDir() || !client.SetTransferType() || !client.QuerySize())
        return 0;
    client.StartDownload();
    while (error == -1)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const auto took = Clock::now() - start;
    client.AbortTransfer();   // the control connection
    return Result(error == 0 && client.RemoteSize() == kSize, out, took);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!TPyftpdServer::Available()) {
        std::fprintf(stderr, "pyftpdlib is not installed\n");
        return 1;
    }
    TPyftpdServer server;
    WriteDocument(server.Root() + "/big.bin", 12);
    const std::string out = server.File("download.bin");
    const std::string url = "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/big.bin";
    return Compare("ftp_download", "tftpclient", [&] { return RunClient(server.Port(), out); },
                   [&] { return RunCurl({}, url, out); });
}
