// HTTP download of 1 GiB from nginx on loopback into a file: THttpCli with a
// file as its BodyStream against `curl --http1.0 -o`, in alternating rounds
// of the same run; the best round of each counts, as the machine is shared.
// Prints "name value unit" lines.
#include "net/HttpProt.h"
#include "support/peerservers.h"

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
#include <vector>

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
    std::mt19937 rng(11);
    for (auto& c : chunk)
        c = char(rng());
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly))
        std::exit(2);
    for (int64_t done = 0; done < kSize; done += int64_t(chunk.size()))
        f.write(chunk.data(), qint64(chunk.size()));
}

int64_t FileSize(const std::string& path) { return QFile(QString::fromStdString(path)).size(); }

double RunClient(const std::string& url, const std::string& out)
{
    QFile file(QString::fromStdString(out));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    THttpCli client;
    bool done = false;
    client.OnRequestDone = [&](THttpCli*) { done = true; };
    client.URL = url;
    client.BodyStream = &file;
    const auto start = Clock::now();
    client.StartGet();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    file.close();
    const auto took = Clock::now() - start;
    const bool whole = client.Status() == 200 && client.BodyCount() == kSize && FileSize(out) == kSize;
    QFile::remove(QString::fromStdString(out));
    return whole ? MiBps(kSize, took) : 0;
}

double RunCurl(const std::string& url, const std::string& out)
{
    const auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execlp("curl", "curl", "--http1.0", "-s", "-o", out.c_str(), url.c_str(), static_cast<char*>(nullptr));
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
    TNginxServer nginx;
    WriteDocument(nginx.Root() + "/big.bin");
    const std::string url = nginx.Url("/big.bin");
    const std::string out = nginx.File("download.bin");

    // Each round starts with the earlier rounds' files written out, so that
    // neither side pays for the other's write-back.
    double client = 0, curl = 0;
    for (int i = 0; i < kRounds; ++i) {
        ::sync();
        client = std::max(client, RunClient(url, out));
        ::sync();
        curl = std::max(curl, RunCurl(url, out));
    }
    std::printf("http_download_thttpcli %.1f MiB/s\n", client);
    std::printf("http_download_curl %.1f MiB/s\n", curl);
    std::printf("http_download_ratio %.3f ratio\n", curl > 0 ? client / curl : 0.0);
    return client > 0 && curl > 0 ? 0 : 1;
}
