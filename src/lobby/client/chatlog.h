// The chat log: public chat, game chat and private messages appended to one
// UTF-8 file a day, ${XDG_DATA_HOME:-~/.local/share}/quillet-peer/logs/YYYY-MM-DD.log,
// each line with its time and channel.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QString>

#include <functional>

class TChatLog {
public:
    explicit TChatLog(QString folder = DefaultFolder());
    static QString DefaultFolder();

    // Off by the player's choice, or for the rest of the run after a write failed.
    bool enabled = true;
    // The clock (the tests turn the day).
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };
    // Told once, when a write fails and logging stops, with the reason.
    std::function<void(const QString& why)> OnFailed;

    // One line: "HH:MM:SS [channel] text".
    void Append(const QString& channel, const QString& text);
    QString FileOf(const QDate& day) const;

private:
    void Fail(const QString& why);

    QString folder_;
    QFile file_;
    QDate day_;
};
