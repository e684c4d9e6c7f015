#include "richedit98.h"

#include "motd/richtext.h"
#include "motd/rtfreader.h"
#include "motd/rtfwriter.h"
#include "platform/ansi.h"
#include "platform/fireevent.h"

#include <QColor>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollBar>

TRichEdit98::TRichEdit98(QWidget* parent) : QTextBrowser(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The window itself answers link clicks; the view never navigates.
    setOpenLinks(false);
    setOpenExternalLinks(false);
    QPalette p = palette();
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(p);
}

void TRichEdit98::LoadFromRtf(const std::string& bytes)
{
    LoadRtfDocument(*document(), ReadRtf(bytes));
    DetectLinks();
}

void TRichEdit98::LoadFromText(const std::string& bytes)
{
    // Lines end in CR LF, LF or CR; the end of the last line starts no new one.
    QString text = platform::FromAnsi(bytes);
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    if (text.endsWith('\n'))
        text.chop(1);
    setPlainText(text);
    DetectLinks();
}

std::string TRichEdit98::SaveToRtf() const { return WriteRtf(SaveRtfDocument(*document())); }

void TRichEdit98::DetectLinks()
{
    // Blue; a light blue on a dark background, where dark blue cannot be read.
    const bool dark = palette().color(QPalette::Base).lightness() < 128;
    MarkMotdLinks(*document(), dark ? QColor(0x80, 0xB4, 0xFF) : QColor(Qt::blue));
    verticalScrollBar()->setValue(0);
}

void TRichEdit98::mousePressEvent(QMouseEvent* event)
{
    pressedAnchor_ = event->button() == Qt::LeftButton ? anchorAt(event->position().toPoint()) : QString();
    QTextBrowser::mousePressEvent(event);
}

void TRichEdit98::mouseReleaseEvent(QMouseEvent* event)
{
    const QString anchor = event->button() == Qt::LeftButton ? anchorAt(event->position().toPoint()) : QString();
    const bool clicked = !anchor.isEmpty() && anchor == pressedAnchor_ && !textCursor().hasSelection();
    pressedAnchor_.clear();
    QPointer<TRichEdit98> alive(this);
    QTextBrowser::mouseReleaseEvent(event);
    if (clicked && alive)
        platform::FireEvent(this, OnURLClick, this, platform::ToAnsi(anchor));
}
