// The updater's download sites, made from the update information the news
// stored under the settings key: no Qt, no I/O.
#pragma once

#include <functional>
#include <string>
#include <vector>

// One download site, made from its URL by SplitURL.
struct TDLInfo {
    std::string url;
    std::string proto;
    std::string host;
    std::string port;
    std::string path;
    std::string user;
    std::string password;
    // The SHA-256 the downloaded file must have (hexadecimal): "dl" + N +
    // "sha256", else "updatesha256"; empty when none was announced.
    std::string sha256;
};

// A site of the list and the name it is shown under ("dl" + N + "desc").
struct TDownloadSite {
    TDLInfo info;
    std::string desc;
};

// What the updater window shows and offers.
struct TUpdateInfo {
    std::string version;       // "updatever"
    std::string description;   // "updatedesc"
    std::string size;          // "updatesize"
    std::string url;           // "updateurl": the page to download from by hand
    std::string sha256;        // "updatesha256": for every site without its own value
    std::vector<TDownloadSite> sites;
};

// Reads the update information through `value`, which gives a value of the
// key by name (empty when missing) and throws EError for one that is not
// text. Sites are "dl1", "dl2", ...: entry 1 is always read, the list ends at
// the first empty entry or at "dlcount" entries.
TUpdateInfo ReadUpdateInfo(const std::function<std::string(const std::string& name)>& value);

// The settings key the updater is given, relative to HKEY_CURRENT_USER: a
// leading "HKEY_CURRENT_USER\" or "HKCU\" (any case) is dropped.
std::string UpdateSettingsKey(std::string key);

// The file name a download is saved under: the last component of the site's
// path ("/" and "\" both separate). Empty when the path names no file, or
// names "." or "..": such a site cannot be downloaded from.
std::string DownloadFileName(const std::string& path);
// The folder part of an FTP path, "/"-separated and ending in "/"; empty
// when the path has no "/".
std::string DownloadDirName(const std::string& path);
