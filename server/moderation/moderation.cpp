#include "moderation.h"

#include "platform/codepage.h"

#include <cstdio>
#include <ctime>

namespace {

std::string Until(int64_t until) { return until == 0 ? "for ever" : "until " + UtcText(until); }

std::string Utf8(std::string_view cp1252) { return platform::Cp1252ToUtf8(cp1252); }

// The player named exactly `name`, if connected.
const TModPlayer* FindPlayer(const std::vector<TModPlayer>& players, const std::string& name)
{
    for (const TModPlayer& p : players)
        if (p.name == name)
            return &p;
    return nullptr;
}

bool Changes(TModVerb v)
{
    return v != TModVerb::Players && v != TModVerb::Games && v != TModVerb::Bans && v != TModVerb::Log;
}

} // namespace

std::string UtcText(int64_t seconds)
{
    std::time_t t = std::time_t(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
    return buf;
}

std::string ModJsonText(std::string_view cp1252)
{
    std::string out = "\"";
    for (char ch : Utf8(cp1252)) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

TModeration::TModeration(TModerationStore& store, TModeratedLobby& lobby, TLog log, std::function<void()> reload)
    : store_(store), lobby_(lobby), log_(std::move(log)), reload_(std::move(reload))
{
}

std::string TModeration::AddressRefusal(const std::string& address)
{
    auto a = ParseIPv4(address);
    if (!a)
        return {};
    auto ban = store_.AddressBan(*a);
    if (!ban)
        return {};
    ++refusedBanned_;
    return BannedNotice(*ban);
}

std::string TModeration::NameRefusal(const std::string& name)
{
    auto ban = store_.NameBan(name);
    if (!ban)
        return {};
    ++refusedBanned_;
    return BannedNotice(*ban);
}

std::string TModeration::BannedNotice(const TBan& ban) const
{
    std::string text = "You are banned from this lobby";
    if (!ban.reason.empty())
        text += ": " + ban.reason;
    text += ban.until == 0 ? ". The ban has no end." : ". The ban ends " + UtcText(ban.until) + ".";
    return text;
}

TModerationFigures TModeration::Figures() const
{
    return {store_.ActiveBans(), store_.ActiveMutes(), kicks_, refusedBanned_};
}

std::string TModeration::Execute(const std::string& user, const std::vector<std::string>& words)
{
    std::string error;
    auto cmd = ParseModCommand(words, error);
    TOutcome out;
    if (!cmd) {
        out = {false, "refused: " + error, {}};
    } else {
        try {
            out = Run(user, *cmd);
        } catch (const TStoreError& e) {
            out = {false, std::string("failed: ") + e.what(), {}};
        }
    }
    const std::string verb = words.empty() ? "" : words[0].substr(0, 32);
    if (!cmd || Changes(cmd->verb)) {
        const std::string target = cmd ? (cmd->verb == TModVerb::Notice ? cmd->to : cmd->target) : "";
        const std::string reason = cmd ? (cmd->verb == TModVerb::Notice ? cmd->text : cmd->reason) : "";
        log_("moderation: " + user + ": " + verb + (target.empty() ? "" : " " + target)
             + (reason.empty() ? "" : " (" + reason + ")") + ": " + out.result);
        try {
            store_.Record({store_.Now(), user, verb, target, reason, out.result});
        } catch (const TStoreError& e) {
            log_(std::string("moderation: the audit log was not written: ") + e.what());
        }
    }
    if (!out.ok) {
        // "refused: why" or "failed: why" -> "ERROR why"
        std::string why = out.result.substr(out.result.find(": ") + 2);
        return "ERROR " + why + "\n";
    }
    return "OK\n" + out.body;
}

TModeration::TOutcome TModeration::Run(const std::string& user, const TModCommand& cmd)
{
    switch (cmd.verb) {
    case TModVerb::Players: return {true, "", PlayersText(cmd.json)};
    case TModVerb::Games: return {true, "", GamesText(cmd.json)};
    case TModVerb::Kick: {
        std::string notice = "You have been removed from the lobby by a moderator";
        notice += cmd.reason.empty() ? "." : ": " + cmd.reason;
        if (!lobby_.Kick(cmd.target, notice, "kicked by " + user))
            return {false, "refused: no player named " + cmd.target + " is connected", {}};
        ++kicks_;
        return {true, "kicked", {}};
    }
    case TModVerb::Ban: return Ban(user, cmd);
    case TModVerb::Unban: {
        auto ban = store_.RemoveBan(cmd.target);
        if (!ban)
            return {false, "refused: no ban in force matches " + cmd.target, {}};
        return {true, "ban " + std::to_string(ban->id) + " of " + ban->target.text + " lifted", {}};
    }
    case TModVerb::Bans: {
        std::string body;
        for (const TBan& b : store_.Bans())
            body += std::to_string(b.id) + "\t" + Utf8(b.target.text) + "\t" + Until(b.until) + "\t" + b.by + "\t"
                    + Utf8(b.reason) + "\n";
        return {true, "", body};
    }
    case TModVerb::Mute: {
        if (!FindPlayer(lobby_.Players(), cmd.target))
            return {false, "refused: no player named " + cmd.target + " is connected", {}};
        store_.Mute(cmd.target, cmd.forSeconds, user);
        return {true, "muted " + (cmd.forSeconds ? "for " + DurationText(cmd.forSeconds) : "for ever"), {}};
    }
    case TModVerb::Unmute:
        if (!store_.Unmute(cmd.target))
            return {false, "refused: " + cmd.target + " is not muted", {}};
        return {true, "unmuted", {}};
    case TModVerb::Notice:
        if (!lobby_.Notice(cmd.to, cmd.text))
            return {false, "refused: no player named " + cmd.to + " is connected", {}};
        return {true, cmd.to.empty() ? "sent to everyone" : "sent", {}};
    case TModVerb::Log: {
        std::string body;
        for (const TAuditEntry& e : store_.Log(cmd.last))
            body += UtcText(e.at) + "\t" + e.by + "\t" + e.command + "\t" + Utf8(e.target) + "\t" + Utf8(e.reason)
                    + "\t" + Utf8(e.result) + "\n";
        return {true, "", body};
    }
    case TModVerb::Reload:
        if (reload_)
            reload_();
        return {true, "reloaded", {}};
    }
    return {false, "refused: unknown command", {}};
}

TModeration::TOutcome TModeration::Ban(const std::string& user, const TModCommand& cmd)
{
    std::string error;
    auto target = ParseBanTarget(cmd.target, error);
    if (!target)
        return {false, "refused: " + error, {}};
    // Written first: once the moderator hears "OK" the ban is on the disk.
    const TBan ban = store_.AddBan(*target, cmd.forSeconds, cmd.reason, user);
    const std::string notice = BannedNotice(ban);
    int kicked = 0;
    for (const TModPlayer& p : lobby_.Players()) {
        bool match = false;
        if (target->kind == TBanTarget::TKind::Name) {
            match = NamePatternMatches(target->text, p.name);
        } else {
            auto a = ParseIPv4(p.address);
            match = a && target->Matches(*a);
        }
        if (match && lobby_.Kick(p.name, notice, "banned by " + user)) {
            ++kicks_;
            ++kicked;
        }
    }
    std::string result = "ban " + std::to_string(ban.id) + " " + Until(ban.until);
    if (kicked)
        result += ", " + std::to_string(kicked) + " connected player" + (kicked == 1 ? "" : "s") + " kicked";
    return {true, result, std::to_string(ban.id) + "\n"};
}

std::string TModeration::PlayersText(bool json) const
{
    std::string out = json ? "[" : "";
    bool first = true;
    for (const TModPlayer& p : lobby_.Players()) {
        if (json) {
            out += std::string(first ? "" : ",") + "{\"index\":" + std::to_string(p.index)
                   + ",\"name\":" + ModJsonText(p.name) + ",\"address\":" + ModJsonText(p.address)
                   + ",\"game\":" + std::to_string(p.game) + ",\"muted\":" + (Muted(p.name) ? "true" : "false")
                   + "}";
        } else {
            out += std::to_string(p.index) + "\t" + Utf8(p.name) + "\t" + p.address + "\t" + std::to_string(p.game)
                   + (Muted(p.name) ? "\tmuted" : "") + "\n";
        }
        first = false;
    }
    return json ? out + "]\n" : out;
}

std::string TModeration::GamesText(bool json) const
{
    std::string out = json ? "[" : "";
    bool first = true;
    for (const TModGame& g : lobby_.Games()) {
        const char* state = g.inProgress ? "playing" : "open";
        if (json) {
            out += std::string(first ? "" : ",") + "{\"index\":" + std::to_string(g.index)
                   + ",\"name\":" + ModJsonText(g.name) + ",\"host\":" + ModJsonText(g.host)
                   + ",\"players\":" + std::to_string(g.players) + ",\"state\":\"" + state + "\"}";
        } else {
            out += std::to_string(g.index) + "\t" + Utf8(g.name) + "\t" + Utf8(g.host) + "\t"
                   + std::to_string(g.players) + "\t" + state + "\n";
        }
        first = false;
    }
    return json ? out + "]\n" : out;
}
