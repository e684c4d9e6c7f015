#include "nickcomplete.h"

#include <QPlainTextEdit>
#include <QTextBlock>

#include <algorithm>

namespace {

// Letters, digits and the characters nicknames commonly hold count as part
// of a word; spaces and punctuation between words do not.
bool WordChar(QChar c) { return c.isLetterOrNumber() || c == '_' || c == '-' || c == '[' || c == ']' || c == '\''; }

} // namespace

QStringList TNickCompleter::Matches(const QStringList& names, const QString& prefix)
{
    QStringList found;
    for (const QString& name : names)
        if (!name.isEmpty() && name.startsWith(prefix, Qt::CaseInsensitive) && !found.contains(name))
            found << name;
    std::sort(found.begin(), found.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return found;
}

bool TNickCompleter::Complete(QPlainTextEdit* line, const QStringList& names)
{
    QTextCursor cursor = line->textCursor();
    const QTextBlock block = cursor.block();
    const int caret = cursor.position();
    if (line_ == line && caret == end_ && !matches_.isEmpty()) {
        // Tab again: the next name in place of the last one.
        const QString name = matches_[next_];
        next_ = (next_ + 1) % int(matches_.size());
        cursor.setPosition(start_);
        cursor.setPosition(end_, QTextCursor::KeepAnchor);
        cursor.insertText(name);
        end_ = cursor.position();
        line->setTextCursor(cursor);
        return true;
    }
    line_ = nullptr;
    // The word before the caret, within the caret's line.
    const QString text = block.text();
    const int inBlock = caret - block.position();
    int from = inBlock;
    while (from > 0 && !text[from - 1].isSpace())
        --from;
    const QString prefix = text.mid(from, inBlock - from);
    if (prefix.isEmpty())
        return false;
    const QStringList matches = Matches(names, prefix);
    if (matches.isEmpty())
        return false;
    matches_ = matches;
    line_ = line;
    start_ = block.position() + from;
    cursor.setPosition(start_);
    cursor.setPosition(caret, QTextCursor::KeepAnchor);
    cursor.insertText(matches_[0]);
    end_ = cursor.position();
    next_ = matches_.size() > 1 ? 1 : 0;
    line->setTextCursor(cursor);
    return true;
}

bool NamesPlayer(const QString& text, const QString& nick)
{
    if (nick.isEmpty())
        return false;
    int at = 0;
    while ((at = text.indexOf(nick, at, Qt::CaseInsensitive)) >= 0) {
        const int end = at + int(nick.size());
        const bool startsWord = at == 0 || !WordChar(text[at - 1]) || !WordChar(nick[0]);
        const bool endsWord = end >= text.size() || !WordChar(text[end]) || !WordChar(nick[nick.size() - 1]);
        if (startsWord && endsWord)
            return true;
        at = end;
    }
    return false;
}
