#include "queryoutput.h"

#include "platform/codepage.h"

#include <algorithm>
#include <cstdio>

namespace {

// Code points in a UTF-8 text (for column widths).
std::size_t Width(std::string_view utf8)
{
    return std::size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Pad(const std::string& text, std::size_t width, bool right)
{
    const std::size_t w = Width(text);
    if (w >= width)
        return text;
    const std::string fill(width - w, ' ');
    return right ? fill + text : text + fill;
}

class TJson {
public:
    void Open(char c) { Separate(); out_ += c; first_ = true; }
    void Close(char c) { out_ += c; first_ = false; }
    void Key(const char* name) { Separate(); out_ += '"'; out_ += name; out_ += "\":"; first_ = true; }
    void Text(std::string_view v) { Separate(); out_ += JsonString(v); }
    void Number(long long v) { Separate(); out_ += std::to_string(v); }
    void Bool(bool v) { Separate(); out_ += v ? "true" : "false"; }
    std::string& Out() { return out_; }

private:
    void Separate()
    {
        if (!first_)
            out_ += ',';
        first_ = false;
    }
    std::string out_;
    bool first_ = true;
};

void PlayerJson(TJson& j, const TCustomPlayer& p)
{
    j.Open('{');
    j.Key("Name"); j.Text(p.Name);
    j.Key("Frags"); j.Number(p.Frags);
    j.Key("Ping"); j.Number(p.Ping);
    if (auto* k = dynamic_cast<const TKovaPlayer*>(&p)) {
        j.Key("Deaths"); j.Number(k->Deaths);
        j.Key("Team"); j.Text(k->Team);
        j.Key("Id"); j.Text(k->Id);
    }
    if (auto* b = dynamic_cast<const TBGatePlayer*>(&p)) {
        j.Key("Race"); j.Text(b->Race);
        j.Key("CharClass"); j.Text(b->CharClass);
        j.Key("Level"); j.Text(b->Level);
    }
    j.Close('}');
}

const char* ClassName(const TCustomServer& s)
{
    if (dynamic_cast<const TBGateServer*>(&s))
        return "TBGateServer";
    if (dynamic_cast<const TKovaServer*>(&s))
        return "TKovaServer";
    return "TGameServer";
}

void ServerJson(TJson& j, const TCustomServer& s)
{
    j.Open('{');
    j.Key("Class"); j.Text(ClassName(s));
    j.Key("Address"); j.Text(s.Address);
    j.Key("QueryPort"); j.Text(s.QueryPort);
    j.Key("GamePort"); j.Text(s.GamePort);
    j.Key("Name"); j.Text(s.Name);
    j.Key("Timeout"); j.Number(s.Timeout);
    j.Key("Ping"); j.Number(s.Ping);
    j.Key("Succeeded"); j.Bool(s.Succeeded);
    j.Key("Attempt"); j.Number(s.Attempt);
    j.Key("Retries"); j.Number(s.Retries);
    j.Key("Busy"); j.Bool(s.Busy);
    j.Key("NumPlayers"); j.Number(s.NumPlayers);
    j.Key("MaxPlayers"); j.Number(s.MaxPlayers);
    if (auto* g = dynamic_cast<const TGameServer*>(&s)) {
        j.Key("MapName"); j.Text(g->MapName);
        j.Key("GameType"); j.Text(g->GameType);
        j.Key("GameMode"); j.Text(g->GameMode);
        j.Key("GameVersion"); j.Text(g->GameVersion);
        j.Key("Location"); j.Number(g->Location);
        j.Key("QueryStart"); j.Number(g->QueryStart);
        j.Key("RoundTrip"); j.Number(g->RoundTrip);
    }
    if (auto* u = dynamic_cast<const TUDPQueryServer*>(&s)) {
        // What the known keys and the player records left of the reply.
        j.Key("Reply"); j.Text(u->Reply);
    }
    if (auto* k = dynamic_cast<const TKovaServer*>(&s)) {
        j.Key("Secure"); j.Bool(k->Secure);
        j.Key("PlayerKeys");
        j.Open('[');
        for (const std::string& key : k->PlayerKeys)
            j.Text(key);
        j.Close(']');
    }
    if (auto* b = dynamic_cast<const TBGateServer*>(&s)) {
        j.Key("NumCharacters"); j.Number(b->NumCharacters);
    }
    if (auto* g = dynamic_cast<const TGameServer*>(&s)) {
        j.Key("Players");
        j.Open('[');
        for (const auto& p : g->Players)
            PlayerJson(j, *p);
        j.Close(']');
    }
    j.Key("Rules");
    j.Open('[');
    for (const TRule& r : s.Rules) {
        j.Open('{');
        j.Key("Name"); j.Text(r.Name);
        j.Key("Value"); j.Text(r.Value);
        j.Close('}');
    }
    j.Close(']');
    j.Close('}');
}

} // namespace

std::string DisplayText(std::string_view Text)
{
    const std::string utf8 = platform::Cp1252ToUtf8(Text);
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || c1) {
            out += '?';
            i += c1 ? 1 : 0;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string JsonString(std::string_view Text)
{
    const std::string utf8 = platform::Cp1252ToUtf8(Text);
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string FormatTable(const std::vector<const TCustomServer*>& Servers)
{
    std::vector<const TCustomServer*> rows = Servers;
    std::stable_sort(rows.begin(), rows.end(), [](const TCustomServer* a, const TCustomServer* b) {
        if (a->Ping != b->Ping)
            return a->Ping < b->Ping;
        return a->NumPlayers > b->NumPlayers;
    });
    TColumnTitles titles = {{"Address", 0}};
    if (!rows.empty()) {
        TColumnTitles own = rows.front()->ColumnTitles();
        titles.insert(titles.end(), own.begin(), own.end());
    }
    std::vector<std::vector<std::string>> cells;
    for (const TCustomServer* s : rows) {
        std::vector<std::string> row = {s->Address + ":" + s->QueryPort};
        s->FillRow(row);
        for (std::string& cell : row)
            cell = DisplayText(cell);
        if (row.size() > 1 && !s->Succeeded && s->Name.empty())
            row[1] = "(no reply)";
        row.resize(titles.size());
        cells.push_back(std::move(row));
    }
    std::vector<std::size_t> widths;
    for (const TColumnTitle& t : titles)
        widths.push_back(Width(t.Text));
    for (const auto& row : cells)
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], Width(row[c]));
    auto line = [&](const std::vector<std::string>& texts) {
        std::string out;
        for (std::size_t c = 0; c < texts.size(); ++c) {
            const bool last = c + 1 == texts.size();
            const bool numeric = titles[c].Tag != 0;
            out += last && !numeric ? texts[c] : Pad(texts[c], widths[c], numeric);
            if (!last)
                out += "  ";
        }
        out.erase(out.find_last_not_of(' ') + 1);
        return out + "\n";
    };
    std::vector<std::string> header;
    for (const TColumnTitle& t : titles)
        header.push_back(t.Text);
    std::string out = line(header);
    for (const auto& row : cells)
        out += line(row);
    return out;
}

std::string FormatJson(const std::vector<const TCustomServer*>& Servers)
{
    TJson j;
    j.Open('[');
    for (const TCustomServer* s : Servers)
        ServerJson(j, *s);
    j.Close(']');
    return j.Out() + "\n";
}
