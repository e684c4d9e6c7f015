#include "notifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTimer>
#include <QVariantMap>
#include <QWidget>

TDesktopNotifier::TDesktopNotifier(QWidget* window) : QObject(window), window_(window)
{
    IsActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    gather_ = new QTimer(this);
    gather_->setSingleShot(true);
    connect(gather_, &QTimer::timeout, this, [this] { FlushMessages(); });
}

QString TDesktopNotifier::OneLine(const QString& text, int limit)
{
    QString line = text.section(QRegularExpression("[\\r\\n]|~n"), 0, 0).simplified();
    if (line.size() > limit)
        line = line.left(limit - 1) + QChar(0x2026);
    // The service may read markup in the body: the text is shown as it is.
    line.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
    return line;
}

void TDesktopNotifier::Notify(const QString& summary, const QString& body)
{
    if (!enabled || (IsActive && IsActive()))
        return;
    if (window_)
        QApplication::alert(window_->window(), 0);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    call << QApplication::applicationName() << uint(0) << QString() << summary << body << QStringList()
         << QVariantMap() << int(-1);
    // Never waits for the answer: a missing or slow service costs nothing.
    bus.asyncCall(call);
    ++sent;
}

void TDesktopNotifier::PrivateMessage(const QString& from, const QString& text)
{
    if (!enabled || (IsActive && IsActive()))
        return;
    ++gathered_;
    lastFrom_ = from;
    lastText_ = text;
    if (!gather_->isActive())
        gather_->start(gatherMs);
}

void TDesktopNotifier::FlushMessages()
{
    const int count = gathered_;
    gathered_ = 0;
    if (count == 0)
        return;
    if (count == 1)
        Notify("Private message from " + lastFrom_, OneLine(lastText_));
    else
        Notify(QString::number(count) + " private messages", "The last from " + lastFrom_ + ": " + OneLine(lastText_));
}
