#include "debugbox.h"

#include "platform/ansi.h"

#include <QDateTime>
#include <QLocale>

TDebugBox::TDebugBox(QWidget* parent) : QListWidget(parent)
{
    setUniformItemSizes(true);   // thousands of one-line rows stay cheap to lay out
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void TDebugBox::AddDebugLine(const std::string& message)
{
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = locale.toString(now.date(), QLocale::ShortFormat) + " " +
                         locale.toString(now.time(), QLocale::LongFormat) + " " + platform::FromAnsi(message);
    if (count() > kMaxLines)
        delete takeItem(count() - 1);
    insertItem(0, line);
}
