// Public and game chat, the game-chat pane, and private messages.
#include "plb_cmain.h"

#include "app/textfuncs.h"
#include "config/msg_main.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "splitbar.h"

#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>

namespace {

constexpr int kMaxLines = 200;

void DeleteFirstLine(QTextDocument* doc)
{
    QTextCursor c(doc);
    c.movePosition(QTextCursor::Start);
    c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    c.removeSelectedText();
}

} // namespace

void Tplb_c::AddChatLine(QTextEdit* pane, const std::string& text, uint32_t colour)
{
    QTextDocument* doc = pane->document();
    if (doc->blockCount() > kMaxLines)
        DeleteFirstLine(doc);
    QTextCursor c(doc);
    c.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(ColourOf(colour));
    c.insertBlock();
    c.insertText(platform::FromAnsi(text), format);
    pane->setTextCursor(c);
    pane->ensureCursorVisible();
}

void Tplb_c::ScrollToEnd(QTextEdit* pane)
{
    QTextCursor c = pane->textCursor();
    c.movePosition(QTextCursor::Start);
    pane->setTextCursor(c);
    pane->ensureCursorVisible();
    c.movePosition(QTextCursor::End);
    pane->setTextCursor(c);
    pane->ensureCursorVisible();
}

bool Tplb_c::mainlineKeyDown(QPlainTextEdit* line, int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    const QString typed = line->textCursor().block().text();
    QTextCursor end = line->textCursor();
    end.movePosition(QTextCursor::End);   // character position 100000, or the end before it
    line->setTextCursor(end);
    line->ensureCursorVisible();
    if (!typed.isEmpty()) {
        if (line->document()->blockCount() > kMaxLines) {
            DeleteFirstLine(line->document());
            QTextCursor back = line->textCursor();
            back.movePosition(QTextCursor::End);
            line->setTextCursor(back);
        }
        const int channel = line == mainline ? 0 : 1;
        SendRecord(LobbyRecord{cmChat, selfIndex,
                               "\\chan\\" + std::to_string(channel) + "\\text\\" + platform::ToAnsi(typed)});
    }
    // The key goes on to the input line, which starts a new line: what was
    // typed stays above as history.
    return true;
}

void Tplb_c::HandleChat(const LobbyRecord& record)
{
    const int32_t channel = StrToIntDef(LookupValue(record.param, "chan"), 0);
    const int32_t colour = StrToIntDef(LookupValue(record.param, "color"), 0);
    AddChatLine(channel == 0 ? mainchat : subchat, LookupValue(record.param, "text"), uint32_t(colour));
}

void Tplb_c::AnimateGamePane(int from, int to)
{
    midsplit->setFixedHeight(to > from ? 20 : 0);
    while (from != to) {
        int step = (to - from) / 10;
        if (to > from && step < 1)
            step = 1;
        if (to < from && step > -1)
            step = -1;
        from += step;
        bottompanel->setFixedHeight(from);
    }
    // Lay the panes out now, so that scrolling them to their ends afterwards
    // works on their new sizes.
    if (QLayout* layout = backpanel->layout())
        layout->activate();
    toppanel->layout()->activate();
    bottompanel->layout()->activate();
}

void Tplb_c::midsplitMoved()
{
    ScrollToEnd(mainchat);
    ScrollToEnd(subchat);
}

void Tplb_c::midsplitPaint(QPainter& painter)
{
    QFont font("Arial");
    font.setPixelSize(listCharHeight);
    painter.setFont(font);
    painter.setPen(palette().color(QPalette::WindowText));
    const int w = midsplit->width();
    const QFontMetrics fm(font);
    const QString left = "Public Chat", right = "Game Chat";
    painter.drawText(QRect(3, 3, fm.horizontalAdvance(left) + 2, fm.height()), Qt::AlignLeft | Qt::AlignTop, left);
    const int rightWidth = fm.horizontalAdvance(right);
    painter.drawText(QRect(w - 30 - rightWidth, 3, rightWidth, fm.height()), Qt::AlignRight | Qt::AlignTop, right);
    // The arrows: up towards the public pane, down towards the game pane.
    const int arrowX = fm.horizontalAdvance(left) + 8;
    painter.drawText(QRect(arrowX, 3, 16, fm.height()), Qt::AlignLeft | Qt::AlignTop, QString(QChar(0x21E7)));
    painter.drawText(QRect(w - 25, 5, 16, fm.height()), Qt::AlignLeft | Qt::AlignTop, QString(QChar(0x21E9)));
}

void Tplb_c::SendPrivMessageExecute()
{
    const int row = SelectedRow();
    if (row >= 0 && !RowIsGame(row))
        SendPrivateMessage(RowEntry(row));
}

void Tplb_c::SendPrivateMessage(int32_t p)
{
    if (p <= 0 || !ValidPlayer(p))
        return;
    const int32_t g = GameOfPlayer(p);
    if (ValidGame(g) && games[std::size_t(g)].state != 0) {
        platform::ShowMessage(this, platform::DialogKind::Information, "Sorry, that user is currently playing a game");
        return;
    }
    msgForm->tolabel->setText(platform::FromAnsi(players[std::size_t(p)].Name()));
    msgForm->msgbox->clear();
    if (platform::RunModal(*msgForm) != QDialog::Accepted)
        return;
    QString text = msgForm->msgbox->toPlainText();
    text.replace("\r\n", "~n");
    text.replace("\n", "~n");
    SendRecord(LobbyRecord{cmPrivMsg, selfIndex, "\\to\\" + std::to_string(p) + "\\text\\" + platform::ToAnsi(text)});
}

void Tplb_c::ShowReceivedMessage(int32_t sender, const std::string& text)
{
    auto* shown = new Tmsg_form(this);
    shown->tobox->setTitle(" From ");
    shown->setWindowTitle("Received Message");
    shown->tolabel->setText(ValidPlayer(sender) && sender > 0 ? platform::FromAnsi(players[std::size_t(sender)].Name())
                                                              : QString());
    shown->msgbox->setPlainText(platform::FromAnsi(ReplaceAll(text, "~n", "\r\n")).replace("\r\n", "\n"));
    shown->SetReceived();
    const int result = platform::RunModal(*shown);
    if (result == Tmsg_form::kReply)
        SendPrivateMessage(sender);
    delete shown;
}
