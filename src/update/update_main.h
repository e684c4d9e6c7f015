// The updater window. It stays hidden until a new version is to be fetched.
#pragma once

#include <QWidget>

class Tupdate_form : public QWidget {
    Q_OBJECT
public:
    explicit Tupdate_form(QWidget* parent = nullptr);
};
