#include "rtfwriter.h"

#include <algorithm>
#include <cstdint>

namespace {

// The next character of UTF-8 text at `i`; a byte that does not begin a
// well-formed sequence stands for U+FFFD.
char32_t NextCodePoint(const std::string& s, std::size_t& i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                          : lead >= 0xF0 && lead < 0xF5       ? 4
                                                                                               : 0;
    if (length == 0 || i + length > s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    return overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c;
}

void PutUnit(std::string& out, uint32_t unit)
{
    // A signed 16-bit number, then one fallback character for readers
    // that do not know "\u".
    out += "\\u" + std::to_string(int32_t(int16_t(uint16_t(unit)))) + "?";
}

// `inTable`: a ";" would end the table entry and "\tab" means nothing
// there, so both are written as bytes.
void PutText(std::string& out, const std::string& text, bool inTable = false)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const char32_t c = NextCodePoint(text, i);
        if (c == '\\' || c == '{' || c == '}') {
            out += '\\';
            out += char(c);
        } else if (c == ';' && inTable) {
            out += "\\'3b";
        } else if (c == '\n') {
            out += "\\line ";
        } else if (c == '\t') {
            out += inTable ? "\\'09" : "\\tab ";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else if (c >= 0x10000) {
            const char32_t v = c - 0x10000;
            PutUnit(out, 0xD800 + (v >> 10));
            PutUnit(out, 0xDC00 + (v & 0x3FF));
        } else if (c >= 0x7F) {
            PutUnit(out, c);
        }
        // Other control characters are not text.
    }
}

const char* AlignWord(TRtfAlign align)
{
    switch (align) {
    case TRtfAlign::Centre: return "\\qc";
    case TRtfAlign::Right: return "\\qr";
    case TRtfAlign::Justify: return "\\qj";
    case TRtfAlign::Left: break;
    }
    return "\\ql";
}

} // namespace

std::string WriteRtf(const TRtfDocument& document)
{
    // The colour table: entry 0 is the reader's own text colour, then every
    // colour the runs use, once.
    std::vector<uint32_t> colours;
    for (const TRtfParagraph& p : document.paragraphs)
        for (const TRtfRun& run : p.runs)
            if (run.format.hasColour && std::find(colours.begin(), colours.end(), run.format.colour) == colours.end())
                colours.push_back(run.format.colour);

    std::string out = "{\\rtf1\\ansi\\uc1";
    if (!document.fonts.empty()) {
        out += "{\\fonttbl";
        for (std::size_t f = 0; f < document.fonts.size(); ++f) {
            out += "{\\f" + std::to_string(f) + " ";
            PutText(out, document.fonts[f], true);
            out += ";}";
        }
        out += "}";
    }
    out += "{\\colortbl;";
    for (uint32_t c : colours)
        out += "\\red" + std::to_string((c >> 16) & 0xFF) + "\\green" + std::to_string((c >> 8) & 0xFF) + "\\blue"
               + std::to_string(c & 0xFF) + ";";
    out += "}\n";

    for (const TRtfParagraph& p : document.paragraphs) {
        out += "\\pard";
        out += AlignWord(p.align);
        for (const TRtfRun& run : p.runs) {
            const TRtfFormat& f = run.format;
            out += "{\\fs" + std::to_string(f.halfPoints);
            if (f.bold)
                out += "\\b";
            if (f.italic)
                out += "\\i";
            if (f.underline)
                out += "\\ul";
            if (f.hasColour)
                out += "\\cf" + std::to_string(std::find(colours.begin(), colours.end(), f.colour) - colours.begin() + 1);
            if (f.font >= 0 && std::size_t(f.font) < document.fonts.size())
                out += "\\f" + std::to_string(f.font);
            out += " ";
            PutText(out, run.text);
            out += "}";
        }
        out += "\\par\n";
    }
    out += "}";
    return out;
}
