// Public and game chat, the game-chat pane, and private messages.
#include "plb_cmain.h"

#include "text/textfuncs.h"
#include "config/msg_main.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "splitbar.h"

#include <cstring>

#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>

namespace {

constexpr int kMaxLines = 200;
// Lines written into the public pane for messages past the dialog bound.
constexpr uint32_t kPrivateColour = 0x800080;   // purple
constexpr uint32_t kNoticeColour = 0x800000;    // dark blue

// At most `limit` characters, the last of them the cut mark when the text
// was longer.
std::string CutForShow(const std::string& text, int limit)
{
    if (text.size() <= std::size_t(limit))
        return text;
    return text.substr(0, std::size_t(limit) - std::strlen(Tplb_c::kCutMark)) + Tplb_c::kCutMark;
}

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
    QString shown = platform::FromAnsi(text);
    if (shown.size() > kMaxShownLine) {
        shown.truncate(kMaxShownLine - int(std::strlen(kCutMark)));
        shown += kCutMark;
    }
    c.insertBlock();
    c.insertText(shown, format);
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
    const int32_t channel = DecimalToIntDef(LookupValue(record.param, "chan"), 0);
    const int32_t colour = DecimalToIntDef(LookupValue(record.param, "color"), 0);
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
    // The one send-message dialog is already open (Reply from a received
    // message while writing one): it cannot be opened inside itself.
    if (msgForm->isVisible())
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
    const std::string name = ValidPlayer(sender) && sender > 0 ? players[std::size_t(sender)].Name() : std::string();
    if (openNotices >= kMaxOpenNotices) {
        AddChatLine(mainchat, "Private message from " + name + ": " + ReplaceAll(text, "~n", " "), kPrivateColour);
        return;
    }
    QPointer<Tplb_c> alive(this);
    QPointer<Tmsg_form> shown(new Tmsg_form(this));
    shown->tobox->setTitle(" From ");
    shown->setWindowTitle("Received Message");
    shown->tolabel->setText(platform::FromAnsi(name));
    shown->msgbox->setPlainText(
        platform::FromAnsi(CutForShow(ReplaceAll(text, "~n", "\r\n"), Tmsg_form::kMaxLength)).replace("\r\n", "\n"));
    shown->SetReceived();
    ++openNotices;
    const int result = platform::RunModal(*shown);
    if (!alive)
        return;   // the window went while the dialog was open, and the dialog with it
    --openNotices;
    delete shown;
    if (result == Tmsg_form::kReply)
        SendPrivateMessage(sender);
}

void Tplb_c::ShowNotice(const std::string& text)
{
    if (openNotices >= kMaxOpenNotices) {
        AddChatLine(mainchat, "Notice: " + text, kNoticeColour);
        return;
    }
    QPointer<Tplb_c> alive(this);
    ++openNotices;
    platform::ShowMessage(this, platform::DialogKind::Information, platform::FromAnsi(CutForShow(text, kMaxShownMessage)));
    if (alive)
        --openNotices;
}
