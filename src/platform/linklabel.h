// A label that acts like a web link: hand cursor, underlined, blue, and a
// click handler. The configuration dialog's skins link and the updater's
// download page use it.
#pragma once

#include <QLabel>

#include <functional>

class TLinkLabel : public QLabel {
public:
    TLinkLabel(const QString& text, QWidget* parent);
    // A left click released over the label.
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
