#include "topmost.h"

#include <QApplication>

namespace {

// Changing a window's flags hides it; a window that was showing is shown again.
void SetOnTop(QWidget* window, bool onTop)
{
    const bool visible = window->isVisible();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (visible)
        window->show();
}

} // namespace

TNormalizeTopMosts::TNormalizeTopMosts()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
            SetOnTop(window, false);
            windows_.emplace_back(window);
        }
}

TNormalizeTopMosts::~TNormalizeTopMosts()
{
    for (const QPointer<QWidget>& window : windows_)
        if (window)
            SetOnTop(window, true);
}
