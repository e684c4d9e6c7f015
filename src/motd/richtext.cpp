#include "richtext.h"

#include "motd/motdtext.h"

#include <QColor>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <string_view>

namespace {

// Sizes past these are someone's mistake, not something to lay out.
constexpr double kMinPoints = 1;
constexpr double kMaxPoints = 144;

Qt::Alignment AlignmentOf(TRtfAlign align)
{
    switch (align) {
    case TRtfAlign::Centre:
        return Qt::AlignHCenter;
    case TRtfAlign::Right:
        return Qt::AlignRight;
    case TRtfAlign::Justify:
        return Qt::AlignJustify;
    case TRtfAlign::Left:
        break;
    }
    return Qt::AlignLeft;
}

QTextCharFormat CharFormatOf(const TRtfFormat& f, const std::vector<std::string>& fonts)
{
    QTextCharFormat format;
    format.setFontWeight(f.bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(f.italic);
    format.setFontUnderline(f.underline);
    format.setFontPointSize(std::clamp(f.halfPoints / 2.0, kMinPoints, kMaxPoints));
    if (f.hasColour)
        format.setForeground(QColor(int((f.colour >> 16) & 0xFF), int((f.colour >> 8) & 0xFF), int(f.colour & 0xFF)));
    if (f.font >= 0 && std::size_t(f.font) < fonts.size())
        format.setFontFamilies({QString::fromStdString(fonts[std::size_t(f.font)])});
    return format;
}

} // namespace

void LoadRtfDocument(QTextDocument& target, const TRtfDocument& source)
{
    target.clear();
    QTextCursor cursor(&target);
    cursor.beginEditBlock();
    bool first = true;
    for (const TRtfParagraph& paragraph : source.paragraphs) {
        QTextBlockFormat block;
        block.setAlignment(AlignmentOf(paragraph.align));
        if (first)
            cursor.setBlockFormat(block);
        else
            cursor.insertBlock(block);
        first = false;
        for (const TRtfRun& run : paragraph.runs) {
            QString text = QString::fromStdString(run.text);
            text.replace(QChar('\n'), QChar::LineSeparator);
            cursor.insertText(text, CharFormatOf(run.format, source.fonts));
        }
    }
    cursor.endEditBlock();
}

void MarkMotdLinks(QTextDocument& document)
{
    QTextCharFormat link;
    link.setAnchor(true);
    link.setFontUnderline(true);
    link.setForeground(QColor(Qt::blue));
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        std::u16string_view view(reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()));
        for (const TMotdLink& found : FindMotdLinks(view)) {
            QTextCursor cursor(&document);
            cursor.setPosition(block.position() + int(found.start));
            cursor.setPosition(block.position() + int(found.start + found.length), QTextCursor::KeepAnchor);
            link.setAnchorHref(text.mid(qsizetype(found.start), qsizetype(found.length)));
            cursor.mergeCharFormat(link);
        }
    }
}
