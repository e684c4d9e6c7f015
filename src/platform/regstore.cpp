#include "regstore.h"

#include "app/textfuncs.h"
#include "codepage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHive = "HKEY_CURRENT_USER";

// Reads a quoted string starting at line[pos] == '"'; returns false when it
// does not end on this line.
bool ReadQuoted(std::string_view line, std::size_t& pos, std::string& out)
{
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\') {
            if (pos >= line.size())
                return false;
            out += line[pos++];
        } else {
            out += c;
        }
    }
    return false;
}

std::string Quote(std::string_view bytes)
{
    std::string utf8 = Cp1252ToUtf8(bytes);
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string Chomp(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return std::string(line);
}

bool ReadWholeFile(const std::string& path, std::string& out, bool& missing)
{
    missing = false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        missing = errno == ENOENT;
        return false;
    }
    char buf[65536];
    std::size_t n;
    out.clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// Holds an exclusive advisory lock on "<path>.lock" while alive.
class FileLock {
public:
    explicit FileLock(const std::string& path)
    {
        fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

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

RegKey* RegDocument::Find(std::string_view path)
{
    for (auto& key : keys)
        if (SameText(key.path, path))
            return &key;
    return nullptr;
}

const RegKey* RegDocument::Find(std::string_view path) const
{
    return const_cast<RegDocument*>(this)->Find(path);
}

RegKey& RegDocument::FindOrAdd(std::string_view path)
{
    if (RegKey* key = Find(path))
        return *key;
    keys.push_back(RegKey{std::string(path), {}});
    return keys.back();
}

std::optional<RegDocument> ParseRegFile(std::string_view text, std::string* error)
{
    auto fail = [&](std::string why) -> std::optional<RegDocument> {
        if (error)
            *error = std::move(why);
        return std::nullopt;
    };
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    RegDocument doc;
    bool sawHeader = false;
    RegKey* current = nullptr;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        bool terminated = nl != std::string_view::npos;
        std::string line = Chomp(text.substr(pos, terminated ? nl - pos : std::string_view::npos));
        pos = terminated ? nl + 1 : text.size();
        ++lineNo;
        // Values of other types may continue over several lines ending in "\";
        // a "\" on the last line continues into nothing.
        while (true) {
            line = Chomp(line);
            if (line.empty() || line.back() != '\\' || line.find("=\"") != std::string::npos)
                break;
            line.pop_back();
            if (pos >= text.size())
                continue;
            std::size_t next = text.find('\n', pos);
            std::string more(text.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos));
            pos = next == std::string_view::npos ? text.size() : next + 1;
            ++lineNo;
            std::size_t b = more.find_first_not_of(" \t");
            line += b == std::string::npos ? std::string() : more.substr(b);
        }
        std::string_view l = line;
        if (l.empty() || l.front() == ';')
            continue;
        if (!sawHeader) {
            if (l != kHeader)
                return fail("the first line is not the registry file header");
            sawHeader = true;
            continue;
        }
        if (l.front() == '[') {
            if (l.back() != ']' || l.size() < 3)
                return fail("line " + std::to_string(lineNo) + ": unterminated key name");
            current = &doc.FindOrAdd(Utf8ToCp1252(l.substr(1, l.size() - 2)));
            continue;
        }
        if (!current)
            return fail("line " + std::to_string(lineNo) + ": a value outside any key");
        RegValue value;
        std::size_t p = 0;
        if (l.front() == '@') {
            value.name = "@";
            p = 1;
        } else if (l.front() == '"') {
            std::string name;
            if (!ReadQuoted(l, p, name))
                return fail("line " + std::to_string(lineNo) + ": unterminated value name");
            value.name = Utf8ToCp1252(name);
        } else {
            return fail("line " + std::to_string(lineNo) + ": not a value");
        }
        if (p >= l.size() || l[p] != '=')
            return fail("line " + std::to_string(lineNo) + ": '=' expected");
        ++p;
        if (p < l.size() && l[p] == '"') {
            std::string data;
            if (!ReadQuoted(l, p, data))
                return fail("line " + std::to_string(lineNo) + ": unterminated string value");
            if (p != l.size())
                return fail("line " + std::to_string(lineNo) + ": text after the string value");
            value.data = Utf8ToCp1252(data);
        } else {
            if (p >= l.size() || l.substr(p).find(':') == std::string_view::npos)
                return fail("line " + std::to_string(lineNo) + ": value of unknown form");
            value.isString = false;
            value.data = std::string(l.substr(p));
        }
        bool replaced = false;
        for (auto& existing : current->values)
            if (SameText(existing.name, value.name)) {
                existing = value;
                replaced = true;
            }
        if (!replaced)
            current->values.push_back(std::move(value));
    }
    if (!sawHeader && !text.empty())
        return fail("the registry file header is missing");
    return doc;
}

std::string FormatRegFile(const RegDocument& doc)
{
    std::string out(kHeader);
    out += "\n\n";
    for (const auto& key : doc.keys) {
        out += '[';
        out += Cp1252ToUtf8(key.path);
        out += "]\n";
        for (const auto& v : key.values) {
            out += v.name == "@" ? std::string("@") : Quote(v.name);
            out += '=';
            out += v.isString ? Quote(v.data) : v.data;
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

std::string FullKeyPath(std::string_view key)
{
    while (!key.empty() && key.front() == '\\')
        key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\')
        key.remove_suffix(1);
    std::string path(kHive);
    if (!key.empty()) {
        path += '\\';
        path += key;
    }
    return path;
}

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

bool RegistryStore::ReadString(std::string_view key, std::string_view name, std::string& value) const
{
    auto doc = Load();
    if (!doc)
        return false;
    const RegKey* k = doc->Find(FullKeyPath(key));
    if (!k)
        return false;
    for (const auto& v : k->values)
        if (SameText(v.name, name)) {
            if (!v.isString)
                return false;
            value = v.data;
            return true;
        }
    return false;
}

bool RegistryStore::WriteString(std::string_view key, std::string_view name, std::string_view value)
{
    return WriteStrings(key, {{std::string(name), std::string(value)}});
}

bool RegistryStore::WriteStrings(std::string_view key, const std::vector<std::pair<std::string, std::string>>& values)
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

    RegKey& k = doc.FindOrAdd(FullKeyPath(key));
    for (const auto& [name, data] : values) {
        bool done = false;
        for (auto& v : k.values)
            if (SameText(v.name, name)) {
                v.isString = true;
                v.data = data;
                done = true;
            }
        if (!done)
            k.values.push_back(RegValue{name, true, data});
    }

    std::string out = FormatRegFile(doc);
    std::string tmp = path_ + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace platform
