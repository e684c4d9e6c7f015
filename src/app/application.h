// The application object. Errors raised by a handler end that handler
// only: the general error handler shows them and the message loop goes on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override;
};
