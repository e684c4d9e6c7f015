#include "tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "qp-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& relative) const { return (fs::path(path_) / relative).string(); }

std::string TempDir::Write(const std::string& relative, const std::string& content, bool executable) const
{
    fs::path p = fs::path(path_) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    if (executable)
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, fs::perm_options::replace);
    return p.string();
}

std::string TempDir::MakeDir(const std::string& relative) const
{
    fs::path p = fs::path(path_) / relative;
    fs::create_directories(p);
    return p.string();
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ScopedSettingsHome::ScopedSettingsHome()
{
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (old)
        old_ = old;
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    const char* data = std::getenv("XDG_DATA_HOME");
    hadOldData_ = data != nullptr;
    if (data)
        oldData_ = data;
    setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
}

ScopedSettingsHome::~ScopedSettingsHome()
{
    if (hadOld_)
        setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    if (hadOldData_)
        setenv("XDG_DATA_HOME", oldData_.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

std::string ScopedSettingsHome::storePath() const { return dir_.File("parlevo/hkcu.reg"); }

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}
