#include "plb_main.h"

#include "platform/dialogs.h"
#include "platform/eventloop.h"

#include <QCoreApplication>
#include <QEvent>

#include <cstdio>

namespace {

// The posted message: the connection handle and one record.
class TLobbyRecordEvent : public QEvent {
public:
    TLobbyRecordEvent(uint32_t socket, LobbyRecord record, uint64_t refresh)
        : QEvent(platform::kLobbyRecordEvent), socket(socket), record(std::move(record)), refresh(refresh)
    {
    }
    uint32_t socket;
    LobbyRecord record;
    uint64_t refresh;   // for a cmRefresh: how many had been posted, this one included
};

// What a posted record costs beyond its text.
constexpr std::size_t kRecordOverhead = sizeof(TLobbyRecordEvent) + 32;

constexpr std::size_t kGrowBy = 5;

} // namespace

Tplb_form::Tplb_form(QWidget* parent) : QWidget(parent) {}

Tplb_form::~Tplb_form() = default;

void Tplb_form::FormCreate() { lobbyPort = "29000"; }

void Tplb_form::FormShow()
{
    players.assign(1, lobby::PlayerRecord{});
    games.assign(1, lobby::GameRecord{});
    lobby::PlayerRecord& p = players[0];
    p.ping = 9999;
    lobby::GameRecord& g = games[0];
    g.SetName("No Game");
    g.maxPlayers = 0xFFFF;
}

void Tplb_form::EnsurePlayer(int32_t index)
{
    if (index < 0)
        return;
    while (int32_t(players.size()) - 1 < index) {
        for (std::size_t k = 0; k < kGrowBy; ++k) {
            lobby::PlayerRecord p;
            p.index = int32_t(players.size());
            p.ping = 9999;
            players.push_back(p);
        }
    }
}

void Tplb_form::EnsureGame(int32_t index)
{
    if (index < 0)
        return;
    while (int32_t(games.size()) - 1 < index) {
        for (std::size_t k = 0; k < kGrowBy; ++k) {
            lobby::GameRecord g;
            g.index = int32_t(games.size());
            games.push_back(g);
        }
    }
}

void Tplb_form::ShrinkTables()
{
    players.resize(1);
    games.resize(1);
}

void Tplb_form::SplitReceiveBuffer(uint32_t socket)
{
    std::size_t consumed = 0;
    // Bad frames are told once for all of this piece: the first reason and
    // how many, so a master sending nothing else cannot flood the pane.
    std::string firstBad;
    int bad = 0;
    while (consumed < receiveBuffer.size()) {
        // Each whole frame is deciphered where it lies and taken off the
        // front below; its record copies only the param out of it.
        lobby::OpenedFrame r = lobby::OpenFrame(receiveBuffer.data() + consumed, receiveBuffer.size() - consumed);
        if (r.status == lobby::SplitStatus::Incomplete)
            break;
        if (r.status == lobby::SplitStatus::Bad) {
            if (r.oversized) {
                if (bad++ == 0)
                    firstBad = lobby::SplitFrame(std::string_view(receiveBuffer).substr(consumed)).error;
                ReportBadFrame(firstBad, bad);
                receiveBuffer.clear();
                FramingLost();
                return;
            }
            if (bad++ == 0)
                firstBad = r.error;
        }
        else {
            LobbyRecord record;
            record.type = r.record.type;
            record.player = r.record.player;
            record.param.assign(r.record.param);
            ++pendingRecords_;
            pendingBytes_ += record.param.size() + kRecordOverhead;
            if (record.type == cmRefresh)
                ++refreshesPosted_;
            QCoreApplication::postEvent(this, new TLobbyRecordEvent(socket, std::move(record), refreshesPosted_));
        }
        consumed += r.used;
    }
    receiveBuffer.erase(0, consumed);
    if (bad > 0)
        ReportBadFrame(firstBad, bad);
}

void Tplb_form::RecordFailed(const std::exception& error) { platform::ShowException(error); }

void Tplb_form::ReportBadFrame(const std::string& why, int count)
{
    std::fprintf(stderr, "lobby: %s (%d frames)\n", why.c_str(), count);
}

bool Tplb_form::event(QEvent* e)
{
    if (e->type() == platform::kLobbyRecordEvent) {
        auto* posted = static_cast<TLobbyRecordEvent*>(e);
        --pendingRecords_;
        pendingBytes_ -= posted->record.param.size() + kRecordOverhead;
        // A later cmRefresh is on its way: it rebuilds the list for both.
        if (posted->record.type == cmRefresh && posted->refresh != refreshesPosted_)
            return true;
        try {
            HandleRecord(posted->record, posted->socket);
        } catch (const std::exception& error) {
            // The record is dropped; the ones after it are handled normally.
            RecordFailed(error);
        }
        RecordHandled();
        return true;
    }
    return QWidget::event(e);
}

void Tplb_form::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}
