// The message-of-the-day window. It stays hidden until a message has been
// fetched and shown.
#pragma once

#include <QWidget>

class Tmotd_form : public QWidget {
    Q_OBJECT
public:
    explicit Tmotd_form(QWidget* parent = nullptr);
};
