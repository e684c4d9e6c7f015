// The moderation state of parlevod: bans, mutes and the audit log, kept in
// one SQLite database. This unit is the only one that runs SQL. Every
// change is written through (WAL, synchronous FULL) before the call
// returns, so a server killed right after a command loses none of it.
//
// The bans and mutes in force are mirrored in memory, so a new connection's
// check costs a few hash look-ups however many bans there are. Times are
// seconds since the epoch from the clock the owner passes in.
#pragma once

#include "modcommand.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// A failure of the database, its text naming the file.
class TStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TBan {
    int64_t id = 0;
    TBanTarget target;
    std::string reason;
    std::string by;          // the moderator's user name
    int64_t created = 0;
    int64_t until = 0;       // 0 = for ever
};

struct TAuditEntry {
    int64_t at = 0;
    std::string by;
    std::string command;
    std::string target;
    std::string reason;
    std::string result;
};

class TModerationStore {
public:
    using TClock = std::function<int64_t()>;
    static constexpr int kSchemaVersion = 1;

    // Opens (creating it if need be) and upgrades the database. Throws
    // TStoreError naming the file when it cannot be opened or was written by
    // a newer parlevod.
    TModerationStore(const std::string& path, TClock clock);
    ~TModerationStore();
    TModerationStore(const TModerationStore&) = delete;
    TModerationStore& operator=(const TModerationStore&) = delete;

    const std::string& Path() const { return path_; }
    int64_t Now() const { return clock_(); }

    // A ban of a target already banned replaces it (a new reason, a new end).
    // Throws TStoreError when the database refuses the change.
    TBan AddBan(const TBanTarget& target, int64_t forSeconds, const std::string& reason, const std::string& by);
    // By id or by the target's text; nullopt when no such ban is in force.
    std::optional<TBan> RemoveBan(const std::string& idOrTarget);
    // The bans in force, by id; expired ones are removed on the way.
    std::vector<TBan> Bans();
    // The ban in force that keeps an address or a name out, if any.
    std::optional<TBan> AddressBan(uint32_t address) const;
    std::optional<TBan> NameBan(const std::string& name) const;
    std::size_t ActiveBans() const;

    void Mute(const std::string& name, int64_t forSeconds, const std::string& by);
    bool Unmute(const std::string& name);
    bool Muted(const std::string& name) const;
    std::size_t ActiveMutes() const;

    void Record(const TAuditEntry& entry);
    // The last `count` entries, oldest first.
    std::vector<TAuditEntry> Log(int count);

private:
    struct TStatement;
    void Exec(const char* sql);
    void Upgrade();
    void Load();
    void Purge();
    [[noreturn]] void Fail(const std::string& what) const;
    bool InForce(int64_t until) const { return until == 0 || until > clock_(); }
    void Index(const TBan& ban);
    void Unindex(const TBan& ban);

    std::string path_;
    TClock clock_;
    sqlite3* db_ = nullptr;
    std::map<int64_t, TBan> bans_;                             // by id
    std::unordered_map<std::string, int64_t> byTarget_;        // target text -> id
    // Addresses and ranges by prefix length, then by network: one look-up a
    // length in use.
    std::unordered_map<uint32_t, int64_t> nets_[33];
    std::vector<int> prefixes_;                                // lengths in use, longest first
    std::map<int64_t, std::string> namePatterns_;              // id -> pattern
    std::unordered_map<std::string, int64_t> mutes_;           // name -> until (0 = for ever)
};
