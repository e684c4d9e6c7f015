#include "shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {

namespace {
std::function<bool(const QString&)> g_opener;
}

bool ShellOpen(const QString& address)
{
    if (g_opener)
        return g_opener(address);
    QUrl url = QUrl::fromUserInput(address);
    return url.isValid() && QDesktopServices::openUrl(url);
}

void SetShellOpener(std::function<bool(const QString&)> opener) { g_opener = std::move(opener); }

} // namespace platform
