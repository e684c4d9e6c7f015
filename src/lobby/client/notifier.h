// Desktop notifications through the freedesktop notification service on the
// session bus, for what happens in the lobby while the player is in another
// window. Without a session bus or such a service nothing is shown and
// nothing waits.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QTimer;
class QWidget;

class TDesktopNotifier : public QObject {
    Q_OBJECT
public:
    // `window` is flagged for attention with each notification.
    explicit TDesktopNotifier(QWidget* window);

    bool enabled = true;
    // Private messages arriving within this many milliseconds of the first
    // make one notification with their count.
    int gatherMs = 1500;
    // Whether the player is looking at the program (then nothing is shown).
    std::function<bool()> IsActive;

    // A notification now: a title and at most one line of text, plain.
    void Notify(const QString& summary, const QString& body);
    // A private message: gathered with the ones that follow it.
    void PrivateMessage(const QString& from, const QString& text);

    // One line of at most `limit` characters of `text`, no markup, for a
    // notification's body.
    static QString OneLine(const QString& text, int limit = 120);
    // Counts for the tests and the screenshots.
    int sent = 0;

private:
    void FlushMessages();

    QWidget* window_;
    QTimer* gather_;
    int gathered_ = 0;
    QString lastFrom_;
    QString lastText_;
};
