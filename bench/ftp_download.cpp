// FTP download of 1 GiB from pyftpdlib on loopback into a file: TFtpClient
// (log-in, directory, type, size, then a passive-mode download) against
// `curl -o` fetching the same URL, in alternating rounds of the same run; the
// best round of each counts, as the machine is shared. Prints "name value
// unit" lines.
#include "net/Ftpcli.h"
#include "support/ftpservers.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

constexpr int64_t kSize = int64_t(1) << 30;
constexpr int kRounds = 5;

using Clock = std::chrono::steady_clock;

double MiBps(int64_t bytes, Clock::duration d)
{
    return double(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(d).count();
}

void WriteDocument(const std::string& path)
{
    std::string chunk(1 << 20, '\0');
    std::mt19937 rng(12);
    for (auto& c : chunk)
        c = char(rng());
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly))
        std::exit(2);
    for (int64_t done = 0; done < kSize; done += int64_t(chunk.size()))
        f.write(chunk.data(), qint64(chunk.size()));
}

int64_t FileSize(const std::string& path) { return QFile(QString::fromStdString(path)).size(); }

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
    const bool whole = error == 0 && client.RemoteSize() == kSize && FileSize(out) == kSize;
    QFile::remove(QString::fromStdString(out));
    return whole ? MiBps(kSize, took) : 0;
}

double RunCurl(uint16_t port, const std::string& out)
{
    const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/big.bin";
    const auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execlp("curl", "curl", "-s", "-o", out.c_str(), url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto took = Clock::now() - start;
    const bool whole = WIFEXITED(status) && WEXITSTATUS(status) == 0 && FileSize(out) == kSize;
    QFile::remove(QString::fromStdString(out));
    return whole ? MiBps(kSize, took) : 0;
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
    WriteDocument(server.Root() + "/big.bin");
    const std::string out = server.File("download.bin");

    // Each round starts with the earlier rounds' files written out, so that
    // neither side pays for the other's write-back.
    double client = 0, curl = 0;
    for (int i = 0; i < kRounds; ++i) {
        ::sync();
        client = std::max(client, RunClient(server.Port(), out));
        ::sync();
        curl = std::max(curl, RunCurl(server.Port(), out));
    }
    std::printf("ftp_download_tftpclient %.1f MiB/s\n", client);
    std::printf("ftp_download_curl %.1f MiB/s\n", curl);
    std::printf("ftp_download_ratio %.3f ratio\n", curl > 0 ? client / curl : 0.0);
    return client > 0 && curl > 0 ? 0 : 1;
}
