// TDebugBox: the updater's log list. Each line carries the date and time it
// was added and goes in at the top; the oldest lines fall off the bottom
// once the list is full.
#pragma once

#include <QListWidget>

#include <string>

class TDebugBox : public QListWidget {
public:
    // Lines kept before the oldest gives way to a new one.
    static constexpr int kMaxLines = 30000;

    explicit TDebugBox(QWidget* parent = nullptr);

    // The current date (short format), a blank, the time (long format), a
    // blank and the message (code-page bytes).
    void AddDebugLine(const std::string& message);
};
