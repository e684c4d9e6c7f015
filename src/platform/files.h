// Files, folders and fixed disks.
#pragma once

#include <string>
#include <vector>

namespace platform {

bool FileExists(const std::string& path);       // an existing file that is not a folder
bool DirectoryExists(const std::string& path);
// Changes the process's current folder; false on failure.
bool SetCurrentDir(const std::string& path);
std::string CurrentDir();

// The folder of the running program's executable, without a trailing separator.
std::string ExecutableDir();

// The native separator, used wherever a file path is joined.
constexpr char kPathDelim = '/';
// Joins two path pieces with one separator between them, however many the
// pieces already carry at the seam.
std::string JoinPath(const std::string& a, const std::string& b);

struct DirEntry {
    std::string name;
    bool isDirectory;
};
// The entries of a folder ("." and ".." left out) in the order the file
// system returns them; empty when the folder cannot be read.
std::vector<DirEntry> ListDirectory(const std::string& path);

// The roots of the fixed disks, in the order they are searched: the Wine
// drive_c folders ($WINEPREFIX, then ~/.wine), then the home folder, then "/".
// Each root ends with a separator. $QP_FIXED_DISKS (separated by ':')
// replaces the list, so a test can stand a folder in for the disks.
std::vector<std::string> FixedDiskRoots();

// Lets whoever may read a regular file run it too (a downloaded program must
// be executable to be started on this system). Nothing for anything else.
void MakeExecutable(const std::string& path);

} // namespace platform
