#include "update_main.h"

Tupdate_form::Tupdate_form(QWidget* parent) : QWidget(parent)
{
    setObjectName("update_form");
    setWindowTitle("Quillet Update");
}
