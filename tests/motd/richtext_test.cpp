#include "motd/richtext.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <gtest/gtest.h>

namespace {

// The character format in force at `position` of the document.
QTextCharFormat FormatAt(QTextDocument& doc, int position)
{
    QTextCursor cursor(&doc);
    cursor.setPosition(position + 1);
    return cursor.charFormat();
}

int Find(QTextDocument& doc, const QString& text)
{
    return doc.toPlainText().indexOf(text);
}

} // namespace

TEST(RichText, RunsBecomeFormattedText)
{
    TRtfDocument rtf = ReadRtf(
        "{\\rtf1{\\fonttbl{\\f0 DejaVu Serif;}}{\\colortbl;\\red200\\green10\\blue20;}"
        "Plain {\\b Bold} {\\i\\ul Slanted} {\\cf1 Red} {\\fs48\\f0 Big}\\par"
        "\\qc Line one\\line line two\\tab tabbed\\par\\qr right\\par}");
    QTextDocument doc;
    doc.setPlainText("old content");
    LoadRtfDocument(doc, rtf);

    ASSERT_EQ(doc.blockCount(), 3);
    EXPECT_EQ(doc.begin().text(), "Plain Bold Slanted Red Big");
    EXPECT_EQ(doc.begin().next().text(), QString("Line one") + QChar::LineSeparator + "line two\ttabbed");
    EXPECT_EQ(doc.begin().next().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(doc.lastBlock().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);

    QTextCharFormat plain = FormatAt(doc, Find(doc, "Plain"));
    EXPECT_EQ(plain.fontWeight(), QFont::Normal);
    EXPECT_DOUBLE_EQ(plain.fontPointSize(), 12.0);
    EXPECT_FALSE(plain.hasProperty(QTextFormat::ForegroundBrush));   // the window's own colour
    EXPECT_EQ(FormatAt(doc, Find(doc, "Bold")).fontWeight(), QFont::Bold);
    QTextCharFormat slanted = FormatAt(doc, Find(doc, "Slanted"));
    EXPECT_TRUE(slanted.fontItalic());
    EXPECT_TRUE(slanted.fontUnderline());
    EXPECT_EQ(FormatAt(doc, Find(doc, "Red")).foreground().color(), QColor(200, 10, 20));
    QTextCharFormat big = FormatAt(doc, Find(doc, "Big"));
    EXPECT_DOUBLE_EQ(big.fontPointSize(), 24.0);
    EXPECT_EQ(big.fontFamilies().toStringList(), QStringList{"DejaVu Serif"});
}

TEST(RichText, ExtremeSizesAreHeldToReadableOnes)
{
    QTextDocument doc;
    LoadRtfDocument(doc, ReadRtf("{\\rtf1{\\fs3000 huge}{\\fs1 tiny}}"));
    EXPECT_DOUBLE_EQ(FormatAt(doc, 0).fontPointSize(), 144.0);
    EXPECT_DOUBLE_EQ(FormatAt(doc, 4).fontPointSize(), 1.0);
}

TEST(RichText, LinksAcrossRunsAreMarked)
{
    // The address is cut into three runs; it is one link all the same.
    QTextDocument doc;
    LoadRtfDocument(doc, ReadRtf("{\\rtf1 Visit http://{\\b example}.org/news today.\\par mailto:a@b.c\\par}"));
    MarkMotdLinks(doc);
    int at = Find(doc, "http://");
    for (int i = at; i < at + int(std::string("http://example.org/news").size()); ++i) {
        QTextCharFormat f = FormatAt(doc, i);
        ASSERT_TRUE(f.isAnchor()) << i;
        EXPECT_EQ(f.anchorHref(), "http://example.org/news");
        EXPECT_TRUE(f.fontUnderline());
        EXPECT_EQ(f.foreground().color(), QColor(Qt::blue));
    }
    EXPECT_EQ(FormatAt(doc, Find(doc, "example")).fontWeight(), QFont::Bold);   // kept under the link
    EXPECT_FALSE(FormatAt(doc, Find(doc, " today")).isAnchor());
    EXPECT_FALSE(FormatAt(doc, Find(doc, "Visit")).isAnchor());
    EXPECT_EQ(FormatAt(doc, Find(doc, "mailto")).anchorHref(), "mailto:a@b.c");
}
