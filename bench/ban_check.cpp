// What the bans cost a new connection: the check of its address against
// 10,000 bans in force (addresses, ranges of every length, name patterns),
// and the check of a name request against the name patterns among them.
// Also what one ban costs the moderator: written through to the disk.
#include "moderation.h"
#include "modstore.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

class TNoLobby : public TModeratedLobby {
public:
    std::vector<TModPlayer> Players() const override { return {}; }
    std::vector<TModGame> Games() const override { return {}; }
    bool Kick(const std::string&, const std::string&, const std::string&) override { return false; }
    bool Notice(const std::string&, const std::string&) override { return false; }
};

std::string Dotted(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255)
           + "." + std::to_string(a & 255);
}

template <typename F>
double NanosEach(F body, int n)
{
    auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        body(i);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
}

} // namespace

int main()
{
    char dir[] = "/tmp/ban_check.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string path = std::string(dir) + "/state.db";
    const int64_t now = 1'800'000'000;
    auto clock = [now] { return now; };
    { TModerationStore schema(path, clock); }

    // 7,000 addresses, 2,000 ranges from /8 to /30, 1,000 name patterns:
    // written in one transaction, then read back as parlevod starts.
    std::mt19937 rng(7);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT OR IGNORE INTO bans (kind, target, reason, by_user, created, until) "
                       "VALUES (?, ?, 'bench', 'bench', ?, 0)",
                       -1, &insert, nullptr);
    auto add = [&](const char* kind, const std::string& target) {
        sqlite3_bind_text(insert, 1, kind, -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, target.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 3, now);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        return sqlite3_changes(db) == 1;   // not a target drawn before
    };
    // All of them away from 192.168/16, where the newcomers come from.
    auto away = [&] { return (uint32_t(rng()) & 0x7FFFFFFF) | 0x01000000; };
    for (int i = 0; i < 7000;)
        i += add("address", Dotted(away()));
    for (int i = 0; i < 2000;) {
        // Every length from /12 to /30; the short ones are few, as there are few of them to draw.
        const int prefix = 12 + i % 19;
        const uint32_t mask = ~uint32_t(0) << (32 - prefix);
        i += add("range", Dotted(away() & mask) + "/" + std::to_string(prefix));
    }
    for (int i = 0; i < 1000; ++i)
        add("name", "*grief" + std::to_string(i) + "*");
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    auto start = Clock::now();
    TModerationStore store(path, clock);
    const double loadMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    TNoLobby lobby;
    TModeration moderation(store, lobby, [](const std::string&) {}, {});

    std::vector<std::string> newcomers;
    for (int i = 0; i < 4096; ++i)
        newcomers.push_back(Dotted(0xC0A80000u | (uint32_t(rng()) & 0xFFFF)));
    std::size_t refused = 0;
    const double addressNs = NanosEach(
        [&](int i) { refused += !moderation.AddressRefusal(newcomers[std::size_t(i) & 4095]).empty(); }, 2'000'000);
    const double nameNs =
        NanosEach([&](int i) { refused += !moderation.NameRefusal("Player" + std::to_string(i & 1023)).empty(); },
                  20'000);
    std::printf("ban_check_bans %zu bans\n", store.ActiveBans());
    std::printf("ban_check_load %.1f ms\n", loadMs);
    std::printf("ban_check_address %.0f ns\n", addressNs);
    std::printf("ban_check_name %.0f ns\n", nameNs);

    std::string error;
    const int bans = 20;
    start = Clock::now();
    for (int i = 0; i < bans; ++i)
        store.AddBan(*ParseBanTarget("10.9.8." + std::to_string(i), error), 3600, "bench", "bench");
    std::printf("ban_command_write %.2f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count() / bans);
    if (refused != 0)
        std::fprintf(stderr, "ban_check: %zu newcomers refused, none should be\n", refused);
    std::system(("rm -rf " + std::string(dir)).c_str());
    return refused == 0 ? 0 : 1;
}
