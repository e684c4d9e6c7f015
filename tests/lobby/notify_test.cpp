// Desktop notifications over a real session bus: the test starts its own
// dbus-daemon and serves the notification service with a recorder of the
// calls it gets.
#include "support/lobbyfixture.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QProcess>
#include <QVariantMap>

#include <cstdlib>

namespace {

class TNotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString summary;
        QString body;
    };
    std::vector<Call> calls;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap&, int)
    {
        calls.push_back({summary, body});
        return uint(calls.size());
    }
};

// One bus for the whole program: the session bus connection is made once.
class TSessionBus {
public:
    TSessionBus()
    {
        daemon.setProgram("dbus-daemon");
        daemon.setArguments({"--session", "--nofork", "--print-address"});
        daemon.start();
        if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000))
            return;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        setenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8().constData(), 1);
        QDBusConnection service = QDBusConnection::connectToBus(address, "recorder");
        ready = service.isConnected() &&
                service.registerObject("/org/freedesktop/Notifications", &recorder, QDBusConnection::ExportAllSlots) &&
                service.registerService("org.freedesktop.Notifications");
    }
    ~TSessionBus()
    {
        QDBusConnection::disconnectFromBus("recorder");
        daemon.kill();
        daemon.waitForFinished(5000);
    }
    QProcess daemon;
    QString address;
    TNotificationRecorder recorder;
    bool ready = false;
};

TSessionBus& Bus()
{
    static TSessionBus* bus = new TSessionBus;   // lives to the end of the program
    return *bus;
}

class NotifyTest : public LobbyTest {
protected:
    void SetUp() override
    {
        LobbyTest::SetUp();
        ASSERT_TRUE(Bus().ready) << "no session bus: is dbus-daemon installed?";
        Bus().recorder.calls.clear();
        modal = [](QDialog&) { return int(QDialog::Rejected); };
        StartLobby();
        JoinAs(1);
        DeliverPlayer(TScriptedMaster::Player(2, "Alice"));
        lobby->notifier->gatherMs = 150;
        lobby->notifier->IsActive = [this] { return active; };
    }
    std::vector<TNotificationRecorder::Call>& Calls() { return Bus().recorder.calls; }
    bool active = false;
};

} // namespace

TEST_F(NotifyTest, APrivateMessageWhileInAnotherWindowIsNotified)
{
    Deliver(LobbyRecord{cmPrivMsg, 0, "\\to\\2\\text\\<b>meet</b> at the bridge~nsecond line"});
    ASSERT_TRUE(WaitUntil([&] { return !Calls().empty(); }, 5000));
    Pump(300);
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_EQ(Calls()[0].summary, "Private message from Alice");
    // One line, and no markup from the network.
    EXPECT_EQ(Calls()[0].body, "&lt;b&gt;meet&lt;/b&gt; at the bridge");
}

TEST_F(NotifyTest, NothingWhileTheWindowIsActiveOrWhenTurnedOff)
{
    active = true;
    Deliver(LobbyRecord{cmPrivMsg, 0, "\\to\\2\\text\\hello"});
    Deliver(LobbyRecord{cmChat, 0, "\\chan\\0\\color\\0\\text\\Alice: Bob, are you there?"});
    active = false;
    lobby->config->desktopnotify->setChecked(false);
    Deliver(LobbyRecord{cmPrivMsg, 0, "\\to\\2\\text\\hello again"});
    Pump(600);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(NotifyTest, AFloodOfPrivateMessagesIsOneNotificationWithACount)
{
    for (int i = 1; i <= 60; ++i)
        master.Send(LobbyRecord{cmPrivMsg, 0, "\\to\\2\\text\\message " + std::to_string(i)});
    Settle();
    ASSERT_TRUE(WaitUntil([&] { return !Calls().empty(); }, 5000));
    Pump(500);
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_EQ(Calls()[0].summary, "60 private messages");
    EXPECT_EQ(Calls()[0].body, "The last from Alice: message 60");
}

#include "notify_test.moc"
