#include "regstore.h"

#include "atomicfile.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace platform {

namespace {

std::string AsideName(const std::string& path)
{
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string base = path + ".unreadable-" + stamp;
    std::string name = base;
    for (int i = 1; std::filesystem::exists(name); ++i)
        name = base + "-" + std::to_string(i);
    return name;
}

} // namespace

RegistryStore::RegistryStore(std::string filePath) : path_(std::move(filePath)) {}

std::string RegistryStore::DefaultPath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = ".";
    return base + "/parlevo/hkcu.reg";
}

RegistryStore RegistryStore::CurrentUser() { return RegistryStore(DefaultPath()); }

std::optional<RegDocument> RegistryStore::Load() const
{
    std::string text;
    bool missing;
    if (!ReadWholeFile(path_, text, missing))
        return missing ? std::optional<RegDocument>(RegDocument{}) : std::nullopt;
    return ParseRegFile(text);
}

bool RegistryStore::KeyExists(std::string_view key) const
{
    auto doc = Load();
    return doc && doc->Find(FullKeyPath(key)) != nullptr;
}

std::optional<RegKey> RegistryStore::ReadKey(std::string_view key) const
{
    auto doc = Load();
    const RegKey* k = doc ? doc->Find(FullKeyPath(key)) : nullptr;
    if (!k)
        return std::nullopt;
    return *k;
}

bool RegistryStore::ReadString(std::string_view key, std::string_view name, std::string& value) const
{
    auto doc = Load();
    const RegKey* k = doc ? doc->Find(FullKeyPath(key)) : nullptr;
    const RegValue* v = k ? k->Find(name) : nullptr;
    if (!v || !v->isString)
        return false;
    value = v->data;
    return true;
}

bool RegistryStore::WriteString(std::string_view key, std::string_view name, std::string_view value)
{
    return WriteStrings(key, {{std::string(name), std::string(value)}});
}

bool RegistryStore::WriteStrings(std::string_view key, const std::vector<std::pair<std::string, std::string>>& values)
{
    return Update([&](RegDocument& doc) {
        RegKey& k = doc.FindOrAdd(FullKeyPath(key));
        for (const auto& [name, data] : values)
            k.Set(RegValue{name, true, data});
    });
}

bool RegistryStore::Update(const std::function<void(RegDocument&)>& change)
{
    std::error_code ec;
    std::filesystem::path file(path_);
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    FileLock lock(path_);
    if (!lock.ok())
        return false;

    std::string text;
    bool missing;
    RegDocument doc;
    if (ReadWholeFile(path_, text, missing)) {
        std::string why;
        if (auto parsed = ParseRegFile(text, &why)) {
            doc = std::move(*parsed);
        } else {
            std::string aside = AsideName(path_);
            if (std::rename(path_.c_str(), aside.c_str()) != 0)
                return false;
            keptAside_ = aside;
            std::fprintf(stderr, "settings file %s could not be read (%s); kept as %s\n",
                         path_.c_str(), why.c_str(), aside.c_str());
        }
    } else if (!missing) {
        return false;
    }

    change(doc);
    return WriteFileAtomically(path_, FormatRegFile(doc));
}

} // namespace platform
