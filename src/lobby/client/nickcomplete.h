// Nickname completion in a chat input line: Tab after the start of a name
// completes it, and Tab again goes on to the next name that matches.
#pragma once

#include <QString>
#include <QStringList>

class QPlainTextEdit;

class TNickCompleter {
public:
    // Completes the word before the caret of `line` from `names` (compared
    // without letter case, offered in alphabetical order). A Tab straight
    // after a completion offers the next match, round and round. False when
    // nothing matches: the caller then moves the focus on.
    bool Complete(QPlainTextEdit* line, const QStringList& names);
    // Any other key ends a round of completion.
    void Reset() { line_ = nullptr; }

    // The names of `names` that begin with `prefix`, without letter case, sorted.
    static QStringList Matches(const QStringList& names, const QString& prefix);

private:
    QPlainTextEdit* line_ = nullptr;   // the line of the round in progress
    int start_ = 0;                    // where the completed word begins
    int end_ = 0;                      // where the inserted name ends
    QStringList matches_;
    int next_ = 0;
};

// Whether `text` names `nick` as a whole word, without letter case.
bool NamesPlayer(const QString& text, const QString& nick);
