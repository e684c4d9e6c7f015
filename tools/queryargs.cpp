#include "queryargs.h"

#include "text/textfuncs.h"

#include <fstream>
#include <sys/stat.h>

namespace {

bool IsPort(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(text);
    return value >= 1 && value <= 65535;
}

// "HOST" or "HOST:PORT"; the port must be a number from 1 to 65535.
bool SplitTarget(const std::string& text, const std::string& defaultPort, TQueryTarget& Out)
{
    const std::string trimmed = Trim(text);
    const std::size_t colon = trimmed.find(':');
    Out.Address = trimmed.substr(0, colon);
    Out.Port = colon == std::string::npos ? defaultPort : trimmed.substr(colon + 1);
    return !Out.Address.empty() && Out.Address.find_first_of(" \t\\") == std::string::npos && IsPort(Out.Port);
}

bool IsFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// One server a line, "ADDR:PORT" (or "ADDR" for port 1025); blank lines and
// lines starting with "#" are skipped.
bool ReadServerFile(const std::string& path, std::vector<TQueryTarget>& Out, std::string& Error)
{
    std::ifstream in(path);
    if (!in) {
        Error = "cannot read " + path;
        return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        TQueryTarget t;
        if (!SplitTarget(line, "1025", t)) {
            Error = path + " line " + std::to_string(lineNo) + ": expected ADDR:PORT, got '" + line + "'";
            return false;
        }
        Out.push_back(std::move(t));
    }
    return true;
}

} // namespace

std::string QueryUsage()
{
    return "Usage: quillet-query --master HOST[:PORT] [--game bgate|kova] [--filter TEXT]\n"
           "                     [--max-queries N] [--json]\n"
           "       quillet-query --servers FILE|ADDR:PORT... [--game bgate|kova] [--max-queries N] [--json]\n"
           "\n"
           "Lists game servers and their status. With --master the addresses come from the\n"
           "master server list (port 28900 unless given); with --servers from the command line\n"
           "or from files with one ADDR:PORT a line. Each server is asked for its status over\n"
           "UDP, N at a time (default 10), 2 seconds an attempt, two attempts.\n"
           "\n"
           "  --game bgate|kova   the game family: bgate (default) or kova\n"
           "  --filter TEXT       appended to the master list request\n"
           "  --max-queries N     status queries running at once (1 to 1000)\n"
           "  --json              every field, player and rule as JSON instead of a table\n"
           "  --help              this text\n"
           "\n"
           "Exit status: 0 when the run completed, 1 when the master list timed out or was\n"
           "refused, 2 for bad arguments.\n";
}

bool ParseQueryArgs(const std::vector<std::string>& Args, TQueryArgs& Out, std::string& Error)
{
    bool servers = false;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= Args.size()) {
                Error = a + ": missing value";
                return false;
            }
            into = Args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            Out.Help = true;
            return true;
        } else if (a == "--master") {
            if (!value(v))
                return false;
            TQueryTarget t;
            if (!SplitTarget(v, "28900", t)) {
                Error = "--master: expected HOST or HOST:PORT, got '" + v + "'";
                return false;
            }
            Out.FromMaster = true;
            Out.MasterHost = t.Address;
            Out.MasterPort = t.Port;
        } else if (a == "--servers") {
            servers = true;
            while (i + 1 < Args.size() && Args[i + 1].rfind("--", 0) != 0) {
                const std::string& item = Args[++i];
                TQueryTarget t;
                if (IsFile(item)) {
                    if (!ReadServerFile(item, Out.Servers, Error))
                        return false;
                } else if (item.find(':') != std::string::npos && SplitTarget(item, "", t)) {
                    Out.Servers.push_back(std::move(t));
                } else {
                    Error = "--servers: '" + item + "' is neither a file nor ADDR:PORT";
                    return false;
                }
            }
        } else if (a == "--game") {
            if (!value(v))
                return false;
            if (v != "bgate" && v != "kova") {
                Error = "--game: expected bgate or kova, got '" + v + "'";
                return false;
            }
            Out.BGate = v == "bgate";
        } else if (a == "--filter") {
            if (!value(Out.Filter))
                return false;
        } else if (a == "--max-queries") {
            if (!value(v))
                return false;
            int32_t n = 0;
            if (!TryStrToInt(v, n) || n < 1 || n > 1000) {
                Error = "--max-queries: expected a number from 1 to 1000, got '" + v + "'";
                return false;
            }
            Out.MaxQueries = n;
        } else if (a == "--json") {
            Out.Json = true;
        } else {
            Error = "unknown argument '" + a + "' (see --help)";
            return false;
        }
    }
    if (Out.FromMaster == servers) {
        Error = Out.FromMaster ? "give --master or --servers, not both" : "give --master HOST or --servers (see --help)";
        return false;
    }
    if (servers && Out.Servers.empty()) {
        Error = "--servers: no servers given";
        return false;
    }
    if (servers && !Out.Filter.empty()) {
        Error = "--filter goes with --master";
        return false;
    }
    return true;
}
