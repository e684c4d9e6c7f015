// The server's log: one line on standard error per event, so a service
// manager's journal or a terminal shows what happened.
#pragma once

#include <functional>
#include <string>

using TLog = std::function<void(const std::string&)>;

// Writes "YYYY-MM-DD HH:MM:SS line" to standard error; only "line" when
// standard error is the journal, which stamps every line itself.
void LogLine(const std::string& line);

// Whether `fd` is the stream the journal named in `journalStream` (the
// "DEVICE:INODE" systemd puts in $JOURNAL_STREAM).
bool IsJournalStream(const char* journalStream, int fd);
