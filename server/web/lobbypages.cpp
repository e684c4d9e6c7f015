#include "lobbypages.h"

#include "platform/codepage.h"

#include <chrono>
#include <cstdio>
#include <map>

namespace {

// The game build's colours, so the page looks like the client.
constexpr const char* kStyle =
    "body{margin:0;background:#2f322b;color:#f0efe8;font:15px/1.45 'DejaVu Sans',Verdana,sans-serif}"
    "header{background:#4a4e43;padding:14px 24px;border-bottom:3px solid #d9c27a}"
    "h1{margin:0;font-size:22px;letter-spacing:.5px}"
    "header p{margin:4px 0 0;color:#d8d5c8}"
    "main{padding:8px 24px 24px;max-width:960px}"
    "h2{font-size:17px;color:#d9c27a;margin:20px 0 8px}"
    "table{border-collapse:collapse;width:100%;background:#3a3d35}"
    "th,td{text-align:left;padding:6px 10px;border-bottom:1px solid #555a4d;vertical-align:top}"
    "th{background:#4a4e43;font-weight:600}"
    ".count{color:#b8b5a8;white-space:nowrap}"
    ".state{display:inline-block;padding:1px 8px;border-radius:9px;font-size:13px}"
    ".open{background:#3f6b3a}.busy{background:#8a5a2b}"
    ".invite{color:#d9c27a;font-size:13px}"
    "ul{list-style:none;margin:0;padding:0;background:#3a3d35}"
    "li{padding:6px 10px;border-bottom:1px solid #555a4d}"
    "li .where{color:#b8b5a8;margin-left:8px}"
    ".none{color:#b8b5a8;font-style:italic;padding:6px 10px}"
    "footer{color:#8f8c80;font-size:12px;padding:0 24px 16px}"
    "footer a{color:#8f8c80}";

std::string Num(uint64_t v) { return std::to_string(v); }

std::string Plural(std::size_t n, const char* one, const char* many)
{
    return Num(n) + " " + (n == 1 ? one : many);
}

std::string NameOf(const std::map<int32_t, std::string>& names, int32_t index)
{
    auto it = names.find(index);
    return it == names.end() ? std::string("?") : it->second;
}

std::map<int32_t, std::string> NamesByIndex(const TLobbySnapshot& lobby)
{
    std::map<int32_t, std::string> names;
    for (const TLobbyPlayerView& p : lobby.players)
        names[p.index] = p.name;
    return names;
}

std::string GamesTable(const TLobbySnapshot& lobby, const std::map<int32_t, std::string>& names)
{
    if (lobby.games.empty())
        return "<p class=\"none\" id=\"no-games\">No games are open.</p>\n";
    std::string html = "<table id=\"games\">\n<thead><tr><th>Game</th><th>Host</th><th>Players</th>"
                       "<th>State</th></tr></thead>\n<tbody>\n";
    for (const TLobbyGameView& g : lobby.games) {
        html += "<tr data-game=\"" + Num(uint32_t(g.index)) + "\"><td class=\"game\">" + HtmlText(g.name);
        if (g.inviteOnly)
            html += " <span class=\"invite\">(by invitation)</span>";
        html += "</td><td>" + HtmlText(NameOf(names, g.host)) + "</td><td>";
        for (std::size_t i = 0; i < g.members.size(); ++i)
            html += (i ? ", " : "") + HtmlText(NameOf(names, g.members[i]));
        html += " <span class=\"count\">(" + Num(g.members.size()) + "/" + Num(g.maxPlayers) + ")</span></td><td>";
        html += g.inProgress ? "<span class=\"state busy\">in progress</span>" : "<span class=\"state open\">open</span>";
        html += "</td></tr>\n";
    }
    return html + "</tbody>\n</table>\n";
}

std::string PlayersList(const TLobbySnapshot& lobby)
{
    if (lobby.players.empty())
        return "<p class=\"none\" id=\"no-players\">Nobody is online.</p>\n";
    std::map<int32_t, std::string> gameNames;
    for (const TLobbyGameView& g : lobby.games)
        gameNames[g.index] = g.name;
    std::string html = "<ul id=\"players\">\n";
    for (const TLobbyPlayerView& p : lobby.players) {
        html += "<li data-player=\"" + Num(uint32_t(p.index)) + "\">" + HtmlText(p.name);
        if (p.game != 0)
            html += "<span class=\"where\">in " + HtmlText(NameOf(gameNames, p.game)) + "</span>";
        html += "</li>\n";
    }
    return html + "</ul>\n";
}

// --- the Prometheus text format --------------------------------------------

void Metric(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const char* name, uint64_t value, const std::string& labels = {})
{
    out += name;
    if (!labels.empty())
        out += "{" + labels + "}";
    out += " " + Num(value) + "\n";
}

THttpAnswer Page(std::string contentType, std::string body)
{
    THttpAnswer a;
    a.contentType = std::move(contentType);
    a.body = std::move(body);
    a.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return a;
}

} // namespace

std::string HtmlText(std::string_view cp1252)
{
    std::string out;
    for (char c : platform::Cp1252ToUtf8(cp1252)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string JsonText(std::string_view cp1252)
{
    std::string out = "\"";
    for (char c : platform::Cp1252ToUtf8(cp1252)) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F || c == '<' || c == '>' || c == '&') {
            // Also the HTML specials, so the text is safe wherever a page puts it.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string LobbyPageHtml(const TLobbySnapshot& lobby, int refreshSeconds)
{
    const std::map<int32_t, std::string> names = NamesByIndex(lobby);
    const std::string summary = Plural(lobby.players.size(), "player", "players") + " online, "
                                + Plural(lobby.games.size(), "game", "games") + " open";
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"refresh\" content=\"" + Num(uint32_t(refreshSeconds)) + "\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>Parlevo lobby: " + summary + "</title>\n"
           "<style>" + kStyle + "</style>\n</head>\n<body>\n"
           "<header><h1>Parlevo lobby</h1><p id=\"summary\">" + summary + "</p></header>\n<main>\n"
           "<h2>Games</h2>\n" + GamesTable(lobby, names) +
           "<h2>Players online</h2>\n" + PlayersList(lobby) +
           "</main>\n<footer>parlevod &middot; this page reloads every " + Num(uint32_t(refreshSeconds))
           + " seconds &middot; <a href=\"lobby.json\">lobby.json</a></footer>\n"
           "</body>\n</html>\n";
}

std::string LobbyJson(const TLobbySnapshot& lobby)
{
    const std::map<int32_t, std::string> names = NamesByIndex(lobby);
    auto player = [&](int32_t index) {
        return "{\"index\":" + std::to_string(index) + ",\"name\":" + JsonText(NameOf(names, index)) + "}";
    };
    std::string json = "{\"players\":[";
    for (std::size_t i = 0; i < lobby.players.size(); ++i) {
        const TLobbyPlayerView& p = lobby.players[i];
        json += std::string(i ? "," : "") + "{\"index\":" + std::to_string(p.index) + ",\"name\":" + JsonText(p.name)
                + ",\"game\":" + (p.game ? std::to_string(p.game) : "null") + "}";
    }
    json += "],\"games\":[";
    for (std::size_t i = 0; i < lobby.games.size(); ++i) {
        const TLobbyGameView& g = lobby.games[i];
        json += std::string(i ? "," : "") + "{\"index\":" + std::to_string(g.index) + ",\"name\":" + JsonText(g.name)
                + ",\"host\":" + player(g.host) + ",\"players\":[";
        for (std::size_t m = 0; m < g.members.size(); ++m)
            json += (m ? "," : "") + player(g.members[m]);
        json += "],\"maxPlayers\":" + Num(g.maxPlayers) + ",\"inviteOnly\":" + (g.inviteOnly ? "true" : "false")
                + ",\"state\":" + (g.inProgress ? "\"in progress\"" : "\"open\"") + "}";
    }
    return json + "]}\n";
}

std::string MetricsText(const TServerFigures& f)
{
    const TLobbyCounters& c = f.counters;
    std::size_t inProgress = 0;
    for (const TLobbyGameView& g : f.lobby.games)
        inProgress += g.inProgress ? 1 : 0;
    std::string out;
    Metric(out, "parlevod_lobby_connections", "gauge", "Lobby connections open now, named or not.");
    Sample(out, "parlevod_lobby_connections", f.lobby.connections);
    Metric(out, "parlevod_lobby_players", "gauge", "Named players in the lobby.");
    Sample(out, "parlevod_lobby_players", f.lobby.players.size());
    Metric(out, "parlevod_lobby_games", "gauge", "Games in the lobby, by state.");
    Sample(out, "parlevod_lobby_games", f.lobby.games.size() - inProgress, "state=\"open\"");
    Sample(out, "parlevod_lobby_games", inProgress, "state=\"in_progress\"");
    Metric(out, "parlevod_lobby_frames_received_total", "counter", "Whole frames read from lobby clients.");
    Sample(out, "parlevod_lobby_frames_received_total", c.framesIn);
    Metric(out, "parlevod_lobby_frames_sent_total", "counter", "Frames queued towards lobby clients.");
    Sample(out, "parlevod_lobby_frames_sent_total", c.framesOut);
    Metric(out, "parlevod_lobby_received_bytes_total", "counter", "Bytes read from lobby clients.");
    Sample(out, "parlevod_lobby_received_bytes_total", c.bytesIn);
    Metric(out, "parlevod_lobby_sent_bytes_total", "counter", "Bytes written to lobby clients.");
    Sample(out, "parlevod_lobby_sent_bytes_total", c.bytesOut);
    Metric(out, "parlevod_lobby_drops_total", "counter", "Lobby connections ended or refused, by reason.");
    for (std::string_view kind : TLobbyCounters::DropKinds()) {
        auto it = c.drops.find(kind);
        Sample(out, "parlevod_lobby_drops_total", it == c.drops.end() ? 0 : it->second,
               "reason=\"" + std::string(kind) + "\"");
    }
    Metric(out, "parlevod_list_servers", "gauge", "Game servers on the master server list.");
    Sample(out, "parlevod_list_servers", f.listServers);
    Metric(out, "parlevod_list_probes", "gauge", "Heartbeats waiting for the game server's answer.");
    Sample(out, "parlevod_list_probes", f.listProbes);
    Metric(out, "parlevod_moderation_bans", "gauge", "Bans in force.");
    Sample(out, "parlevod_moderation_bans", f.activeBans);
    Metric(out, "parlevod_moderation_mutes", "gauge", "Mutes in force.");
    Sample(out, "parlevod_moderation_mutes", f.activeMutes);
    Metric(out, "parlevod_moderation_kicks_total", "counter", "Players removed by a moderator's kick or ban.");
    Sample(out, "parlevod_moderation_kicks_total", f.kicks);
    Metric(out, "parlevod_moderation_refused_total", "counter",
           "Connections and name requests refused because of a ban.");
    Sample(out, "parlevod_moderation_refused_total", f.refusedBanned);
    return out;
}

TLobbyPages::TLobbyPages(TFigures figures, TClock clock) : figures_(std::move(figures)), clock_(std::move(clock))
{
    if (!clock_) {
        const auto epoch = std::chrono::steady_clock::now();
        clock_ = [epoch] {
            return uint64_t(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch).count());
        };
    }
}

std::optional<THttpAnswer> TLobbyPages::Answer(std::string_view method, std::string_view target) const
{
    std::string path;
    std::string_view query;
    SplitTarget(target, path, query);
    const int which = path == "/" ? 0 : path == "/lobby.json" ? 1 : path == "/metrics" ? 2 : -1;
    if (which < 0)
        return std::nullopt;
    if (method != "GET" && method != "HEAD") {
        THttpAnswer a;
        a.status = 405;
        a.contentType = "text/plain";
        a.allow = "GET, HEAD";
        a.body = "Only GET and HEAD are served here.\n";
        return a;
    }
    TMade& made = made_[which];
    const uint64_t now = clock_();
    if (!made.made || now - made.at >= kRemakeMs) {
        made.answer = Make(path);
        made.at = now;
        made.made = true;
    }
    return made.answer;
}

THttpAnswer TLobbyPages::Make(const std::string& path) const
{
    const TServerFigures figures = figures_();
    if (path == "/metrics")
        return Page("text/plain; version=0.0.4; charset=utf-8", MetricsText(figures));
    if (path == "/lobby.json") {
        THttpAnswer a = Page("application/json", LobbyJson(figures.lobby));
        // Community sites may show the lobby on their own pages.
        a.headers.emplace_back("Access-Control-Allow-Origin", "*");
        return a;
    }
    THttpAnswer a = Page("text/html; charset=utf-8", LobbyPageHtml(figures.lobby));
    a.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; "
                           "form-action 'none'; frame-ancestors 'none'");
    a.headers.emplace_back("Referrer-Policy", "no-referrer");
    return a;
}
