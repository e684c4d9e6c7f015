// Start-up: the application, its windows in their order, the message loop.
#include "config/host_main.h"
#include "lobby/client/scplb_cmain.h"
#include "motd/motd_main.h"
#include "platform/dialogs.h"
#include "update/update_main.h"

#include <QApplication>

#include <exception>

namespace {

// Errors raised by a handler end that handler only: they are shown and the
// message loop goes on.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& error) {
            platform::ShowException(error);
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName("Quillet Peer");
    QApplication::setApplicationDisplayName("Quillet Peer");

    auto* lobby = new Tscplb_cform;
    lobby->setAttribute(Qt::WA_DeleteOnClose);
    lobby->FormCreate();
    Tmotd_form motd;
    Tupdate_form update;
    new Thost_form(lobby, lobby->config);

    lobby->show();
    return app.exec();
}
