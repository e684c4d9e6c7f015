#include "motd_main.h"

Tmotd_form::Tmotd_form(QWidget* parent) : QWidget(parent)
{
    setObjectName("motd_form");
    setWindowTitle("Message of the Day");
}
