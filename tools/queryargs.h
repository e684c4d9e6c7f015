// The command line of quillet-query.
#pragma once

#include <string>
#include <vector>

struct TQueryTarget {
    std::string Address;
    std::string Port;
};

struct TQueryArgs {
    bool Help = false;
    // --master HOST[:PORT]: ask the master list; otherwise query Servers.
    bool FromMaster = false;
    std::string MasterHost;
    std::string MasterPort = "28900";
    std::vector<TQueryTarget> Servers;
    bool BGate = true;          // --game bgate (default) or kova
    std::string Filter;
    int MaxQueries = 10;
    bool Json = false;
};

// Parses the arguments after the program name. False with `Error` for the
// user when they make no sense. Server files are read here.
bool ParseQueryArgs(const std::vector<std::string>& Args, TQueryArgs& Out, std::string& Error);

std::string QueryUsage();
