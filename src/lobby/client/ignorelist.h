// The players this player does not want to hear from, by name. Their chat
// lines, private messages and invitations are not shown.
#pragma once

#include <string>
#include <vector>

class TIgnoreList {
public:
    // The stored form: the names separated by tabs (a name never holds one).
    void Load(const std::string& stored);
    std::string Stored() const;

    bool Has(const std::string& name) const;
    void Add(const std::string& name);
    void Remove(const std::string& name);
    bool Empty() const { return names_.empty(); }

    // Whether a chat line as the master relays it ("name: text") comes from
    // an ignored player.
    bool IgnoresLine(const std::string& line) const;

private:
    std::vector<std::string> names_;
};
