#include "files.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool FileExists(const std::string& path)
{
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path)
{
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SetCurrentDir(const std::string& path) { return !path.empty() && ::chdir(path.c_str()) == 0; }

std::string CurrentDir()
{
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

std::string ExecutableDir()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return CurrentDir();
    std::string path(buf, std::size_t(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string JoinPath(const std::string& a, const std::string& b)
{
    std::string left = a, right = b;
    while (left.size() > 1 && left.back() == kPathDelim)
        left.pop_back();
    std::size_t skip = 0;
    while (skip < right.size() && right[skip] == kPathDelim)
        ++skip;
    right.erase(0, skip);
    if (left.empty())
        return right;
    if (left.back() == kPathDelim)
        return left + right;
    return left + kPathDelim + right;
}

std::vector<DirEntry> ListDirectory(const std::string& path)
{
    std::vector<DirEntry> entries;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return entries;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDir;
        if (e->d_type == DT_DIR)
            isDir = true;
        else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK)
            isDir = DirectoryExists(JoinPath(path, name)) && e->d_type != DT_LNK;
        else
            isDir = false;
        entries.push_back(DirEntry{name, isDir});
    }
    ::closedir(dir);
    return entries;
}

std::vector<std::string> FixedDiskRoots()
{
    std::vector<std::string> roots;
    auto add = [&](std::string root) {
        if (root.empty() || !DirectoryExists(root))
            return;
        if (root.back() != kPathDelim)
            root += kPathDelim;
        for (const auto& r : roots)
            if (r == root)
                return;
        roots.push_back(root);
    };
    if (const char* list = std::getenv("QP_FIXED_DISKS"); list && *list) {
        std::string s = list;
        std::size_t pos = 0;
        while (pos <= s.size()) {
            std::size_t colon = s.find(':', pos);
            add(s.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos));
            if (colon == std::string::npos)
                break;
            pos = colon + 1;
        }
        return roots;
    }
    const char* home = std::getenv("HOME");
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix)
        add(JoinPath(prefix, "drive_c"));
    if (home && *home) {
        add(JoinPath(JoinPath(home, ".wine"), "drive_c"));
        add(home);
    }
    add("/");
    return roots;
}

void MakeExecutable(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::chmod(path.c_str(), st.st_mode | S_IXUSR | ((st.st_mode & (S_IRGRP | S_IROTH)) >> 2));
}

} // namespace platform
