// The server's log: one line on standard error per event, so a service
// manager's journal or a terminal shows what happened.
#pragma once

#include <functional>
#include <string>
#include <string_view>

using TLog = std::function<void(const std::string&)>;

// Writes "YYYY-MM-DD HH:MM:SS line" to standard error; only "line" when
// standard error is the journal, which stamps every line itself.
void LogLine(const std::string& line);

// A text from the wire (Windows-1252, the players' code page) fit for a log
// line: UTF-8, so the journal shows the names as the players wrote them,
// with control characters (and the backslash) written as "\xNN", so no text
// can break a line or pass for another one.
std::string LogText(std::string_view cp1252);

// Whether `fd` is the stream the journal named in `journalStream` (the
// "DEVICE:INODE" systemd puts in $JOURNAL_STREAM).
bool IsJournalStream(const char* journalStream, int fd);
