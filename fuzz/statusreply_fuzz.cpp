// A game server's status reply over arbitrary bytes, read the way a server
// record reads it: known keys, player records, then the rules of what is
// left. The first byte picks the family (characters or players).
#include "serverlist/serverrecords.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool characters = data[0] & 1;
    std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
    (void)HoldsFinal(reply);

    std::vector<std::string> keys = {"player", "frags", "deaths", "ping", "team", "id"};
    int32_t count;
    if (characters) {
        keys.insert(keys.end(), {"class", "level", "race"});
        count = TakeNumber(reply, "numcharacters");
    }
    const TServerFields fields = TakeServerFields(reply);
    if (!characters)
        count = fields.NumPlayers;
    const std::vector<std::string> records = TakePlayerRecords(reply, keys, count);
    if (int32_t(records.size()) > kMaxPlayerRecords || (count > 0 && records.size() != std::size_t(std::min(count, kMaxPlayerRecords))))
        std::abort();
    for (const std::string& record : records) {
        std::unique_ptr<TCustomPlayer> player = characters ? NewPlayer<TBGatePlayer>(record) : NewPlayer<TKovaPlayer>(record);
        std::vector<std::string> row;
        player->FillRow(row);
        if (int32_t(row.size()) != player->ColumnCount())
            std::abort();
    }
    for (const TRule& rule : RulesOfText(reply)) {
        if (rule.Name.empty() || rule.Name == "final" || rule.Name == "queryid" || rule.Name == "gamename")
            std::abort();
        for (const std::string* text : {&rule.Name, &rule.Value})
            for (char c : *text)
                if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 127 || c == '\\')
                    std::abort();
    }
    return 0;
}
