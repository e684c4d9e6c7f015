// A reader for the rich text (RTF) a message of the day may be written in.
// It turns bytes into a small document: paragraphs of runs of text, each run
// with its colour, bold/italic/underline, size and font. It understands
// groups, control words and symbols, "\'hh" in Windows-1252, "\uN" with its
// fallback ("\ucN"), the colour and font tables, "\par", "\line" and "\tab",
// and skips what it cannot show (pictures, style sheets, document info,
// "\*" destinations, ...). Pure C++, no Qt; nesting and output are bounded,
// so any input, however odd, gives a document of bounded size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TRtfFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 24;         // "\fsN": font size in half points
    bool hasColour = false;      // false: the window's own text colour
    uint32_t colour = 0;         // 0xRRGGBB when hasColour
    int font = -1;               // index into TRtfDocument::fonts, -1 = default

    bool operator==(const TRtfFormat&) const = default;
};

// Text in UTF-8; "\n" stands for a line break inside the paragraph and
// "\t" for a tab. Never empty.
struct TRtfRun {
    TRtfFormat format;
    std::string text;
};

enum class TRtfAlign { Left, Centre, Right, Justify };

struct TRtfParagraph {
    TRtfAlign align = TRtfAlign::Left;
    std::vector<TRtfRun> runs;
};

struct TRtfDocument {
    std::vector<TRtfParagraph> paragraphs;
    std::vector<std::string> fonts;   // family names, in the order of the font table
    bool rtf = false;                 // the bytes began with "{\rtf"; else read as plain text
    bool truncated = false;           // the output bound was reached; the rest was dropped
    bool tooDeep = false;             // groups nested past the bound were left out
    std::size_t used = 0;             // bytes read: up to the group that closed the document

    // All text, paragraphs separated by "\n" (for tests and searching).
    std::string PlainText() const;
};

struct TRtfLimits {
    std::size_t maxDepth = 64;             // nested groups kept
    std::size_t maxOutput = 4u << 20;      // bytes of text, plus a share for each run and paragraph
};

// Bytes that do not begin with "{\rtf" (after blank space) are read as plain
// Windows-1252 text, one paragraph a line.
TRtfDocument ReadRtf(std::string_view bytes, const TRtfLimits& limits = {});
