// The protocol base of the lobby window: the two lobby tables, the lobby
// port, and the cutting of received bytes into records, which are posted
// to the window and handled one at a time in arrival order.
#pragma once

#include "lobby/protocol.h"

#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

class Tplb_form : public QWidget {
    Q_OBJECT
public:
    explicit Tplb_form(QWidget* parent = nullptr);
    ~Tplb_form() override;

    // Create and show handlers; each derived handler calls its parent's first.
    virtual void FormCreate();
    virtual void FormShow();

    // Virtual operations, in slot order.
    virtual void SendRecord(const LobbyRecord& record) = 0;
    virtual void HandleRecord(const LobbyRecord& record, uint32_t socket) = 0;
    virtual void EnsurePlayer(int32_t index);

    void EnsureGame(int32_t index);
    // Both tables back to their single placeholder entry (entry 0 keeps its contents).
    void ShrinkTables();

    // Index checks for numbers that come from the master.
    bool ValidPlayer(int32_t index) const { return index >= 0 && index < int32_t(players.size()); }
    bool ValidGame(int32_t index) const { return index >= 0 && index < int32_t(games.size()); }

    std::vector<lobby::PlayerRecord> players;
    std::vector<lobby::GameRecord> games;
    std::string lobbyPort;
    std::string receiveBuffer;

    // Cuts every whole frame off the front of the receive buffer and posts
    // its record; keeps the incomplete tail. Bytes that cannot be a frame
    // are dropped and reported through ReportBadFrame, once for the call. A cmRefresh posted
    // while an earlier one still waits takes its place: the list is rebuilt
    // once, when the later one is handled.
    void SplitReceiveBuffer(uint32_t socket);

    // Records posted but not yet handled, and the bytes they hold.
    int PendingRecords() const { return pendingRecords_; }
    std::size_t PendingBytes() const { return pendingBytes_; }
    // So much waits to be handled that the reader should take no more bytes
    // from the socket for now (the kernel then pushes back on the master);
    // it may go on once the backlog is down to half of that.
    static constexpr int kMaxPendingRecords = 2000;
    static constexpr std::size_t kMaxPendingBytes = 4u << 20;
    bool BacklogFull() const
    {
        return pendingRecords_ >= kMaxPendingRecords || pendingBytes_ >= kMaxPendingBytes;
    }
    bool BacklogEased() const
    {
        return pendingRecords_ <= kMaxPendingRecords / 2 && pendingBytes_ <= kMaxPendingBytes / 2;
    }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    // Says that received bytes were dropped: `count` frames of one piece
    // read, the first of them for `why`. The lobby window shows it.
    virtual void ReportBadFrame(const std::string& why, int count);
    // The stream no longer starts at a frame boundary (a length no record
    // can have): nothing that follows can be trusted.
    virtual void FramingLost() {}
    // Runs after every handled record (the idle-time update).
    virtual void RecordHandled() {}
    // A record's handling failed with an error (a number that is not one):
    // the application's general error handler shows it.
    virtual void RecordFailed(const std::exception& error);

private:
    bool shown_ = false;
    int pendingRecords_ = 0;
    std::size_t pendingBytes_ = 0;
    uint64_t refreshesPosted_ = 0;
};
