#include "application.h"

#include "platform/dialogs.h"

#include <exception>

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        platform::ShowException(error);
    }
    return false;
}
