#include "modstore.h"

#include <sqlite3.h>

#include <algorithm>

// A prepared statement, finalised however the call ends.
struct TModerationStore::TStatement {
    TStatement(const TModerationStore& store, const char* sql) : store_(store)
    {
        if (sqlite3_prepare_v2(store.db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
            store.Fail("preparing a statement");
    }
    ~TStatement() { sqlite3_finalize(stmt); }
    TStatement& Bind(int i, int64_t v)
    {
        sqlite3_bind_int64(stmt, i, v);
        return *this;
    }
    TStatement& Bind(int i, const std::string& v)
    {
        sqlite3_bind_text(stmt, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is there.
    bool Step()
    {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            store_.Fail("writing");
        return false;
    }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt, col); }
    std::string Text(int col) const
    {
        const unsigned char* t = sqlite3_column_text(stmt, col);
        return t ? std::string(reinterpret_cast<const char*>(t), std::size_t(sqlite3_column_bytes(stmt, col))) : "";
    }

    const TModerationStore& store_;
    sqlite3_stmt* stmt = nullptr;
};

namespace {

// Each step takes the schema from the version before it to its own.
const char* const kUpgrades[] = {
    // 1: bans, mutes and the audit log.
    "CREATE TABLE bans ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  kind TEXT NOT NULL CHECK (kind IN ('address', 'range', 'name')),"
    "  target TEXT NOT NULL UNIQUE,"
    "  reason TEXT NOT NULL DEFAULT '',"
    "  by_user TEXT NOT NULL,"
    "  created INTEGER NOT NULL,"
    "  until INTEGER NOT NULL DEFAULT 0"   // 0 = for ever
    ");"
    "CREATE TABLE mutes ("
    "  name TEXT PRIMARY KEY,"
    "  until INTEGER NOT NULL DEFAULT 0,"
    "  by_user TEXT NOT NULL,"
    "  created INTEGER NOT NULL"
    ");"
    "CREATE TABLE audit ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  at INTEGER NOT NULL,"
    "  by_user TEXT NOT NULL,"
    "  command TEXT NOT NULL,"
    "  target TEXT NOT NULL DEFAULT '',"
    "  reason TEXT NOT NULL DEFAULT '',"
    "  result TEXT NOT NULL"
    ");",
};
static_assert(std::size(kUpgrades) == TModerationStore::kSchemaVersion);

const char* KindName(TBanTarget::TKind k)
{
    switch (k) {
    case TBanTarget::TKind::Address: return "address";
    case TBanTarget::TKind::Range: return "range";
    default: return "name";
    }
}

} // namespace

TModerationStore::TModerationStore(const std::string& path, TClock clock) : path_(path), clock_(std::move(clock))
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw TStoreError("cannot open the state database " + path + ": " + why);
    }
    try {
        sqlite3_busy_timeout(db_, 2000);
        Exec("PRAGMA journal_mode = WAL");
        // Every commit reaches the disk before the call returns.
        Exec("PRAGMA synchronous = FULL");
        Upgrade();
        Load();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

TModerationStore::~TModerationStore() { sqlite3_close(db_); }

void TModerationStore::Fail(const std::string& what) const
{
    throw TStoreError("state database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void TModerationStore::Exec(const char* sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw TStoreError("state database " + path_ + ": " + why);
    }
}

void TModerationStore::Upgrade()
{
    TStatement q(*this, "PRAGMA user_version");
    q.Step();
    const int64_t version = q.Int(0);
    if (version > kSchemaVersion)
        throw TStoreError("the state database " + path_ + " has schema version " + std::to_string(version)
                          + ", newer than this parlevod knows (" + std::to_string(kSchemaVersion) + ")");
    for (int64_t v = version; v < kSchemaVersion; ++v) {
        // A step and its version number go in together, or not at all.
        Exec("BEGIN IMMEDIATE");
        try {
            Exec(kUpgrades[v]);
            Exec(("PRAGMA user_version = " + std::to_string(v + 1)).c_str());
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

void TModerationStore::Load()
{
    TStatement q(*this, "SELECT id, target, reason, by_user, created, until FROM bans");
    while (q.Step()) {
        std::string error;
        auto target = ParseBanTarget(q.Text(1), error);
        if (!target)
            continue;   // written by hand and not a target: it cannot match anything
        TBan ban{q.Int(0), *target, q.Text(2), q.Text(3), q.Int(4), q.Int(5)};
        Index(ban);
    }
    TStatement m(*this, "SELECT name, until FROM mutes");
    while (m.Step())
        mutes_[m.Text(0)] = m.Int(1);
    Purge();
}

void TModerationStore::Index(const TBan& ban)
{
    bans_[ban.id] = ban;
    byTarget_[ban.target.text] = ban.id;
    if (ban.target.kind == TBanTarget::TKind::Name) {
        namePatterns_[ban.id] = ban.target.text;
        return;
    }
    nets_[ban.target.prefix][ban.target.net] = ban.id;
    if (std::find(prefixes_.begin(), prefixes_.end(), ban.target.prefix) == prefixes_.end()) {
        prefixes_.push_back(ban.target.prefix);
        std::sort(prefixes_.rbegin(), prefixes_.rend());
    }
}

void TModerationStore::Unindex(const TBan& ban)
{
    byTarget_.erase(ban.target.text);
    if (ban.target.kind == TBanTarget::TKind::Name) {
        namePatterns_.erase(ban.id);
    } else {
        auto& nets = nets_[ban.target.prefix];
        nets.erase(ban.target.net);
        if (nets.empty())
            prefixes_.erase(std::find(prefixes_.begin(), prefixes_.end(), ban.target.prefix));
    }
    bans_.erase(ban.id);
}

void TModerationStore::Purge()
{
    const int64_t now = clock_();
    TStatement b(*this, "DELETE FROM bans WHERE until != 0 AND until <= ?");
    b.Bind(1, now).Step();
    TStatement m(*this, "DELETE FROM mutes WHERE until != 0 AND until <= ?");
    m.Bind(1, now).Step();
    std::vector<TBan> gone;
    for (auto& [id, ban] : bans_)
        if (!InForce(ban.until))
            gone.push_back(ban);
    for (const TBan& ban : gone)
        Unindex(ban);
    for (auto it = mutes_.begin(); it != mutes_.end();)
        it = InForce(it->second) ? std::next(it) : mutes_.erase(it);
}

TBan TModerationStore::AddBan(const TBanTarget& target, int64_t forSeconds, const std::string& reason,
                              const std::string& by)
{
    const int64_t now = clock_();
    TBan ban{0, target, reason, by, now, forSeconds == 0 ? 0 : now + forSeconds};
    TStatement q(*this,
                 "INSERT INTO bans (kind, target, reason, by_user, created, until) VALUES (?, ?, ?, ?, ?, ?) "
                 "ON CONFLICT (target) DO UPDATE SET reason = excluded.reason, by_user = excluded.by_user, "
                 "created = excluded.created, until = excluded.until RETURNING id");
    q.Bind(1, std::string(KindName(target.kind))).Bind(2, target.text).Bind(3, reason).Bind(4, by).Bind(5, now);
    q.Bind(6, ban.until);
    if (!q.Step())
        Fail("adding a ban");
    ban.id = q.Int(0);
    while (q.Step()) {
    }
    auto old = byTarget_.find(target.text);
    if (old != byTarget_.end())
        Unindex(bans_.at(old->second));
    Index(ban);
    return ban;
}

std::optional<TBan> TModerationStore::RemoveBan(const std::string& idOrTarget)
{
    Purge();
    std::optional<TBan> found;
    if (!idOrTarget.empty() && idOrTarget.find_first_not_of("0123456789") == std::string::npos
        && idOrTarget.size() < 18) {
        auto it = bans_.find(std::stoll(idOrTarget));
        if (it != bans_.end())
            found = it->second;
    } else {
        // The target as it is listed: "10.1.2.3/8" finds "10.0.0.0/8".
        std::string error;
        auto t = ParseBanTarget(idOrTarget, error);
        auto it = t ? byTarget_.find(t->text) : byTarget_.end();
        if (it != byTarget_.end())
            found = bans_.at(it->second);
    }
    if (!found)
        return std::nullopt;
    TStatement q(*this, "DELETE FROM bans WHERE id = ?");
    q.Bind(1, found->id).Step();
    Unindex(*found);
    return found;
}

std::vector<TBan> TModerationStore::Bans()
{
    Purge();
    std::vector<TBan> list;
    for (auto& [id, ban] : bans_)
        list.push_back(ban);
    return list;
}

std::optional<TBan> TModerationStore::AddressBan(uint32_t address) const
{
    for (int prefix : prefixes_) {
        const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
        auto it = nets_[prefix].find(address & mask);
        if (it == nets_[prefix].end())
            continue;
        const TBan& ban = bans_.at(it->second);
        if (InForce(ban.until))
            return ban;
    }
    return std::nullopt;
}

std::optional<TBan> TModerationStore::NameBan(const std::string& name) const
{
    for (auto& [id, pattern] : namePatterns_) {
        if (!NamePatternMatches(pattern, name))
            continue;
        const TBan& ban = bans_.at(id);
        if (InForce(ban.until))
            return ban;
    }
    return std::nullopt;
}

std::size_t TModerationStore::ActiveBans() const
{
    std::size_t n = 0;
    for (auto& [id, ban] : bans_)
        n += InForce(ban.until);
    return n;
}

void TModerationStore::Mute(const std::string& name, int64_t forSeconds, const std::string& by)
{
    const int64_t now = clock_();
    const int64_t until = forSeconds == 0 ? 0 : now + forSeconds;
    TStatement q(*this,
                 "INSERT INTO mutes (name, until, by_user, created) VALUES (?, ?, ?, ?) ON CONFLICT (name) DO "
                 "UPDATE SET until = excluded.until, by_user = excluded.by_user, created = excluded.created");
    q.Bind(1, name).Bind(2, until).Bind(3, by).Bind(4, now).Step();
    mutes_[name] = until;
}

bool TModerationStore::Unmute(const std::string& name)
{
    Purge();
    if (mutes_.count(name) == 0)
        return false;
    TStatement q(*this, "DELETE FROM mutes WHERE name = ?");
    q.Bind(1, name).Step();
    mutes_.erase(name);
    return true;
}

bool TModerationStore::Muted(const std::string& name) const
{
    auto it = mutes_.find(name);
    return it != mutes_.end() && InForce(it->second);
}

std::size_t TModerationStore::ActiveMutes() const
{
    std::size_t n = 0;
    for (auto& [name, until] : mutes_)
        n += InForce(until);
    return n;
}

void TModerationStore::Record(const TAuditEntry& e)
{
    TStatement q(*this,
                 "INSERT INTO audit (at, by_user, command, target, reason, result) VALUES (?, ?, ?, ?, ?, ?)");
    q.Bind(1, e.at).Bind(2, e.by).Bind(3, e.command).Bind(4, e.target).Bind(5, e.reason).Bind(6, e.result).Step();
}

std::vector<TAuditEntry> TModerationStore::Log(int count)
{
    TStatement q(*this,
                 "SELECT at, by_user, command, target, reason, result FROM "
                 "(SELECT * FROM audit ORDER BY id DESC LIMIT ?) ORDER BY id");
    q.Bind(1, int64_t(count));
    std::vector<TAuditEntry> list;
    while (q.Step())
        list.push_back({q.Int(0), q.Text(1), q.Text(2), q.Text(3), q.Text(4), q.Text(5)});
    return list;
}
