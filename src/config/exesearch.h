// Finding the game's executable on the local disks: the folders to look in
// and the scan of one folder tree. The program's disks were case-blind, so
// names are matched without regard to letter case.
#pragma once

#include <functional>
#include <string>
#include <vector>

// `relative` (pieces separated by '/') under `base`: each piece is taken as
// written when that folder exists, else the first folder (in name order)
// whose name differs only in letter case. Empty when a piece is missing.
std::string ResolveFolderIgnoringCase(const std::string& base, const std::string& relative);

// The folders the search visits, in order: for each disk root the game
// folder at the root, under "games" and under "program files"; then every
// root itself. A folder found with other letter case is listed as it is
// spelt on the disk; one that does not exist is still listed (it yields nothing).
std::vector<std::string> ExecutableSearchCandidates(const std::vector<std::string>& roots,
                                                    const std::string& gameFolderName);

// Scans the tree under `top` depth first for a file called `fileName`
// (letter case ignored): in each folder the files first, then the subfolders,
// both in name order. `enter` runs at every folder entered; returning false
// abandons the scan. Each folder is entered once however many links lead to
// it, and folders that cannot be read are passed over. Returns the folder of
// the first match without a trailing separator, or empty.
std::string FindFileInTree(const std::string& top, const std::string& fileName,
                           const std::function<bool(const std::string& folder)>& enter);
