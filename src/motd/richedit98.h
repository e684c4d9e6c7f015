// The News window's message view: read-only rich text with a vertical scroll
// bar, no undo, a selection that stays visible without the focus, and links
// found by itself. Text that starts with a known scheme name ("http",
// "mailto", "ftp", ... see FindMotdLinks) is underlined and blue (a light
// blue on a dark background), shows the hand cursor, and a click on it
// raises OnURLClick with the link's text.
#pragma once

#include <QTextBrowser>

#include <functional>
#include <string>

class TRichEdit98;

using TURLClickEvent = std::function<void(TRichEdit98* Sender, const std::string& url)>;

class TRichEdit98 : public QTextBrowser {
public:
    explicit TRichEdit98(QWidget* parent = nullptr);

    TURLClickEvent OnURLClick;

    // Replace the content: RTF bytes (bytes that are not RTF are read as
    // plain text), or plain text in the players' code page.
    void LoadFromRtf(const std::string& bytes);
    void LoadFromText(const std::string& bytes);
    // The content as RTF.
    std::string SaveToRtf() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString pressedAnchor_;
    void DetectLinks();
};
