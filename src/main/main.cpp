// Start-up: the application, its windows in their order, the message loop.
#include "app/application.h"
#include "main/startup.h"
#include "lobby/client/scplb_cmain.h"

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName("Quillet Peer");
    QApplication::setApplicationDisplayName("Quillet Peer");

    TStartupWindows windows = CreateStartupWindows();
    windows.lobby->setAttribute(Qt::WA_DeleteOnClose);
    windows.lobby->show();
    return app.exec();
}
