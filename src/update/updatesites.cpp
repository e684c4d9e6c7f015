#include "updatesites.h"

#include "net/httpparse.h"
#include "text/textfuncs.h"

#include <climits>
#include <cstring>

TUpdateInfo ReadUpdateInfo(const std::function<std::string(const std::string& name)>& value)
{
    TUpdateInfo update;
    update.version = value("updatever");
    update.description = value("updatedesc");
    update.size = value("updatesize");
    update.url = value("updateurl");
    update.sha256 = Trim(value("updatesha256"));
    const int limit = StrToIntDef(value("dlcount"), INT_MAX);
    for (int n = 1;; ++n) {
        const std::string entry = "dl" + std::to_string(n);
        const std::string url = value(entry);
        if (!url.empty()) {
            const TUrlParts parts = SplitURL(url);
            TDLInfo info{url, parts.Proto, parts.Host, parts.Port, parts.Path, parts.User, parts.Pass,
                         Trim(value(entry + "sha256"))};
            update.sites.push_back({std::move(info), value(entry + "desc")});
        }
        if (url.empty() || n >= limit)
            break;
    }
    return update;
}

std::string UpdateSettingsKey(std::string key)
{
    for (const char* hive : {"HKEY_CURRENT_USER\\", "HKCU\\"})
        if (key.size() > std::strlen(hive) && SameText(key.substr(0, std::strlen(hive)), hive))
            key.erase(0, std::strlen(hive));
    return key;
}

std::string DownloadFileName(const std::string& path)
{
    const std::size_t cut = path.find_last_of("/\\");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name == "." || name == "..")
        return {};
    return name;
}

std::string DownloadDirName(const std::string& path)
{
    const std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}
