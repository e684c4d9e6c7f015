// Start-up: the application, its windows in their order, the message loop.
#include "app/application.h"
#include "config/host_main.h"
#include "lobby/client/scplb_cmain.h"
#include "motd/motd_main.h"
#include "update/update_main.h"

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
