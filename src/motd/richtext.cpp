#include "richtext.h"

#include "motd/motdtext.h"

#include <QColor>
#include <QTextBlock>
#include <QTextFragment>
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

TRtfAlign AlignOf(Qt::Alignment alignment)
{
    if (alignment & Qt::AlignHCenter)
        return TRtfAlign::Centre;
    if (alignment & Qt::AlignRight)
        return TRtfAlign::Right;
    if (alignment & Qt::AlignJustify)
        return TRtfAlign::Justify;
    return TRtfAlign::Left;
}

TRtfFormat RtfFormatOf(const QTextCharFormat& f, double defaultPoints, std::vector<std::string>& fonts)
{
    TRtfFormat format;
    format.bold = f.fontWeight() >= QFont::Bold;
    format.italic = f.fontItalic();
    format.underline = f.fontUnderline();
    const double points = f.fontPointSize() > 0 ? f.fontPointSize() : defaultPoints;
    format.halfPoints = std::clamp(int(points * 2 + 0.5), 2, 3276);
    if (f.hasProperty(QTextFormat::ForegroundBrush)) {
        format.hasColour = true;
        format.colour = f.foreground().color().rgb() & 0xFFFFFF;
    }
    const QStringList families = f.fontFamilies().toStringList();
    if (!families.isEmpty() && !families.front().trimmed().isEmpty()) {
        const std::string family = families.front().trimmed().toStdString();
        auto at = std::find(fonts.begin(), fonts.end(), family);
        format.font = int(at - fonts.begin());
        if (at == fonts.end())
            fonts.push_back(family);
    }
    return format;
}

} // namespace

TRtfDocument SaveRtfDocument(const QTextDocument& source)
{
    TRtfDocument doc;
    doc.rtf = true;
    const double defaultPoints = source.defaultFont().pointSizeF() > 0 ? source.defaultFont().pointSizeF() : 12;
    for (QTextBlock block = source.begin(); block.isValid(); block = block.next()) {
        TRtfParagraph paragraph;
        paragraph.align = AlignOf(block.blockFormat().alignment());
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QString text = fragment.text();
            text.replace(QChar::LineSeparator, QChar('\n'));
            if (text.isEmpty())
                continue;
            TRtfFormat format = RtfFormatOf(fragment.charFormat(), defaultPoints, doc.fonts);
            if (!paragraph.runs.empty() && paragraph.runs.back().format == format)
                paragraph.runs.back().text += text.toStdString();
            else
                paragraph.runs.push_back({format, text.toStdString()});
        }
        doc.paragraphs.push_back(std::move(paragraph));
    }
    return doc;
}

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

void MarkMotdLinks(QTextDocument& document) { MarkMotdLinks(document, QColor(Qt::blue)); }

void MarkMotdLinks(QTextDocument& document, const QColor& colour)
{
    QTextCharFormat link;
    link.setAnchor(true);
    link.setFontUnderline(true);
    link.setForeground(colour);
    // One edit for all links: the view lays the document out once, not once a link.
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        std::u16string_view view(reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()));
        for (const TMotdLink& found : FindMotdLinks(view)) {
            cursor.setPosition(block.position() + int(found.start));
            cursor.setPosition(block.position() + int(found.start + found.length), QTextCursor::KeepAnchor);
            link.setAnchorHref(text.mid(qsizetype(found.start), qsizetype(found.length)));
            cursor.mergeCharFormat(link);
        }
    }
    cursor.endEditBlock();
}
