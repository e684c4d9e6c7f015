// HTTP download of 1 GiB from nginx on loopback into a file: THttpCli with a
// file as its BodyStream against `curl --http1.0 -o`, in alternating rounds
// of the same run; the best round of each counts, as the machine is shared.
// Prints "name value unit" lines.
#include "downloadbench.h"
#include "net/HttpProt.h"
#include "support/peerservers.h"

#include <QCoreApplication>
#include <QFile>

using namespace downloadbench;

namespace {

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
    return Result(client.Status() == 200 && client.BodyCount() == kSize, out, took);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TNginxServer nginx;
    WriteDocument(nginx.Root() + "/big.bin", 11);
    const std::string url = nginx.Url("/big.bin");
    const std::string out = nginx.File("download.bin");
    return Compare("http_download", "thttpcli", [&] { return RunClient(url, out); },
                   [&] { return RunCurl({"--http1.0"}, url, out); });
}
