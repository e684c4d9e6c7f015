#include "ignorelist.h"

#include <algorithm>

void TIgnoreList::Load(const std::string& stored)
{
    names_.clear();
    std::size_t from = 0;
    while (from <= stored.size()) {
        std::size_t tab = stored.find('\t', from);
        if (tab == std::string::npos)
            tab = stored.size();
        if (tab > from)
            Add(stored.substr(from, tab - from));
        from = tab + 1;
    }
}

std::string TIgnoreList::Stored() const
{
    std::string out;
    for (const std::string& name : names_) {
        if (!out.empty())
            out += '\t';
        out += name;
    }
    return out;
}

bool TIgnoreList::Has(const std::string& name) const
{
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

void TIgnoreList::Add(const std::string& name)
{
    if (!name.empty() && name.find('\t') == std::string::npos && !Has(name))
        names_.push_back(name);
}

void TIgnoreList::Remove(const std::string& name) { names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end()); }

bool TIgnoreList::IgnoresLine(const std::string& line) const
{
    for (const std::string& name : names_)
        if (line.size() > name.size() + 1 && line.compare(0, name.size(), name) == 0 &&
            line.compare(name.size(), 2, ": ") == 0)
            return true;
    return false;
}
