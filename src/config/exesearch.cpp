#include "exesearch.h"

#include "text/textfuncs.h"
#include "platform/files.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

// Name order as the user sees it: letter case ignored, ties by the bytes.
bool NameLess(const std::string& a, const std::string& b)
{
    std::string la = LowerCase(a), lb = LowerCase(b);
    return la != lb ? la < lb : a < b;
}

std::string WithoutTrailingDelim(std::string path)
{
    while (path.size() > 1 && path.back() == platform::kPathDelim)
        path.pop_back();
    return path;
}

} // namespace

std::string ResolveFolderIgnoringCase(const std::string& base, const std::string& relative)
{
    std::string path = base;
    if (!platform::DirectoryExists(path))
        return {};
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        std::size_t slash = relative.find(platform::kPathDelim, pos);
        std::string piece = relative.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? relative.size() + 1 : slash + 1;
        if (piece.empty())
            continue;
        std::string exact = platform::JoinPath(path, piece);
        if (platform::DirectoryExists(exact)) {
            path = exact;
            continue;
        }
        std::vector<std::string> matches;
        for (const auto& e : platform::ListDirectory(path))
            if (SameText(e.name, piece) && platform::DirectoryExists(platform::JoinPath(path, e.name)))
                matches.push_back(e.name);
        if (matches.empty())
            return {};
        std::sort(matches.begin(), matches.end(), NameLess);
        path = platform::JoinPath(path, matches.front());
    }
    return path;
}

std::vector<std::string> ExecutableSearchCandidates(const std::vector<std::string>& roots,
                                                    const std::string& gameFolderName)
{
    std::vector<std::string> candidates;
    for (const auto& root : roots) {
        for (const std::string& relative :
             {gameFolderName, "games/" + gameFolderName, "program files/" + gameFolderName}) {
            std::string found = ResolveFolderIgnoringCase(root, relative);
            candidates.push_back(found.empty() ? platform::JoinPath(root, relative) : found);
        }
    }
    for (const auto& root : roots)
        candidates.push_back(root);
    return candidates;
}

std::string FindFileInTree(const std::string& top, const std::string& fileName,
                           const std::function<bool(const std::string& folder)>& enter)
{
    std::set<std::string> entered;   // canonical paths: a link back up the tree is not followed again
    std::vector<std::string> pending{WithoutTrailingDelim(top)};
    while (!pending.empty()) {
        std::string folder = pending.back();
        pending.pop_back();
        std::error_code ec;
        std::string canonical = std::filesystem::canonical(folder, ec).string();
        if (ec || !platform::DirectoryExists(folder) || !entered.insert(canonical).second)
            continue;
        if (enter && !enter(folder))
            return {};
        std::vector<std::string> files, folders;
        for (const auto& e : platform::ListDirectory(folder))
            (e.isDirectory ? folders : files).push_back(e.name);
        std::sort(files.begin(), files.end(), NameLess);
        for (const auto& f : files)
            if (SameText(f, fileName))
                return folder;
        std::sort(folders.begin(), folders.end(), NameLess);
        // Last pushed is visited first: the subfolders go on in reverse name order.
        for (auto it = folders.rbegin(); it != folders.rend(); ++it)
            pending.push_back(platform::JoinPath(folder, *it));
    }
    return {};
}
