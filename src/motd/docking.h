// A page control that windows can be docked into: each docked window gets a
// tab sheet of its own, captioned with the window's caption. The game build
// has none, so its News window floats; other builds and tests make one.
#pragma once

#include <QTabWidget>

class TPageControlEx : public QTabWidget {
public:
    explicit TPageControlEx(QWidget* parent = nullptr);

    // Puts `form` on a new tab sheet, which becomes its parent; returns the sheet.
    QWidget* DockForm(QWidget* form);
    // The page control whose tab sheet `sheet` is, or null.
    static TPageControlEx* OfSheet(QWidget* sheet);
    // Removes the tab sheets left empty once their window has gone.
    void RemoveEmptySheets();
};
