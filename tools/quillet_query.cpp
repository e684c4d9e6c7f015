// quillet-query: the server-list engine on the command line, in the manner
// of qstat. Asks the master list for a game's servers (or takes them from
// the command line), queries each one's status and prints a table or JSON.
#include "queryargs.h"
#include "queryoutput.h"

#include "text/textfuncs.h"
#include "net/WSockets.h"
#include "serverlist/customserverlist.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

// The generic family's list, asking for the servers of the game name "kova".
class TKovaGameServerList : public TCustomKovaServerList {
public:
    void SendListRequest() override { MasterSocket->SendText("\\list\\\\gamename\\kova" + Filter); }
};

// Status texts and a progress line on standard error, for a person watching.
class TProgress {
public:
    explicit TProgress(bool shown) : shown_(shown) {}

    void Status(int32_t percent, const std::string& text)
    {
        if (!shown_)
            return;
        if (text == "Updating Servers" || text.rfind("Server List (", 0) == 0) {
            line_ = text;
            if (percent >= 0 && total_ > 0)
                line_ += " " + std::to_string(percent) + "% (" + std::to_string(done_) + " of " + std::to_string(total_) + ")";
            std::fprintf(stderr, "\r\033[K%s", line_.c_str());
            return;
        }
        std::fprintf(stderr, "\r\033[K%s\n", text.c_str());
        line_.clear();
    }
    void Total(int total) { total_ = total; }
    // One more server has finished.
    void Done(int done, int total)
    {
        done_ = done;
        total_ = total;
        if (!line_.empty())
            Status(total > 0 ? done * 100 / total : 0, "Updating Servers");
    }
    void End()
    {
        if (shown_ && !line_.empty())
            std::fputs("\r\033[K", stderr);
        line_.clear();
    }

private:
    bool shown_;
    std::string line_;   // the progress line now shown
    int done_ = 0, total_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    TQueryArgs args;
    std::string error;
    if (!ParseQueryArgs(std::vector<std::string>(argv + 1, argv + argc), args, error)) {
        std::fprintf(stderr, "quillet-query: %s\n", error.c_str());
        return 2;
    }
    if (args.Help) {
        std::fputs(QueryUsage().c_str(), stdout);
        return 0;
    }

    // Qt's own event loop rather than GLib's: a tool with nothing else to
    // integrate gets its socket notifications with less work per query.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    std::unique_ptr<TCustomKovaServerList> list;
    if (args.BGate)
        list = std::make_unique<TKovaBGateServerList>();
    else
        list = std::make_unique<TKovaGameServerList>();
    list->MaxQueries = args.MaxQueries;
    list->Filter = args.Filter;

    TProgress progress(isatty(STDERR_FILENO));
    bool failed = false;
    std::string why;
    int done = 0;
    list->OnStatus = [&](TCustomServerList* l, int32_t percent, const std::string& text) {
        if (text == "List Timed Out" && !failed) {
            failed = true;
            why = "the master list at " + args.MasterHost + ":" + args.MasterPort + " did not answer in time";
        }
        progress.Total(int(l->Servers.size()));
        progress.Status(percent, text);
    };
    list->OnServerUpdate = [&](TCustomServerList* l, TCustomServer*) { progress.Done(++done, int(l->Servers.size())); };
    list->OnComplete = [&](TCustomServerList*) { app.quit(); };
    // Without this the list would wait its 30 seconds for a master that
    // refused the connection; a person running a command wants to know now.
    list->MasterSocket->OnError = [&](TCustomWSockets*, int code, const std::string& msg) {
        if (list->State != lsListing || failed)
            return;
        failed = true;
        why = "master list " + args.MasterHost + ":" + args.MasterPort + ": " + msg;
        list->Abort();
    };

    QTimer::singleShot(0, [&] {
        if (args.FromMaster) {
            list->MasterHost = args.MasterHost;
            list->MasterPort = args.MasterPort;
            list->GetList();
        } else {
            std::vector<TServerPtr> servers;
            for (const TQueryTarget& t : args.Servers)
                servers.push_back(list->CreateServer(t.Address, t.Port));
            list->QueryServers(std::move(servers));
        }
    });
    app.exec();
    progress.End();

    if (args.FromMaster && !failed) {
        // The master refuses with "\error\" and a reason instead of a list.
        const std::string refusal = LookupValue(list->ListText, "error");
        if (list->ListText.find("\\error\\") != std::string::npos) {
            failed = true;
            why = "the master list refused: " + (refusal.empty() ? std::string("no reason given") : refusal);
        }
    }
    std::vector<const TCustomServer*> servers;
    for (const TServerPtr& s : list->Servers)
        servers.push_back(s.get());
    const std::string out = args.Json ? FormatJson(servers) : FormatTable(servers);
    if (!failed || !servers.empty() || args.Json)
        std::fputs(out.c_str(), stdout);
    if (failed) {
        std::fprintf(stderr, "quillet-query: %s\n", DisplayText(why).c_str());
        return 1;
    }
    return 0;
}
