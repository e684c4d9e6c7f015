#include "rtfreader.h"

#include "text/textfuncs.h"
#include "platform/codepage.h"

#include <algorithm>
#include <map>

namespace {

// What each run and paragraph costs against the output bound, besides its text.
constexpr std::size_t kRunCost = 64;
constexpr std::size_t kParagraphCost = 32;
constexpr std::size_t kMaxFontName = 256;
constexpr std::size_t kMaxTableEntries = 1024;
constexpr std::size_t kMaxWordLength = 32;

// Destinations whose text is never shown, besides every "\*" destination.
constexpr std::string_view kSkipped[] = {
    "annotation", "atnauthor", "atnid", "author", "bkmkend", "bkmkstart", "buptim", "colorschememapping",
    "comment", "creatim", "datastore", "doccomm", "fldinst", "filetbl", "footer", "footerf", "footerl",
    "footerr", "footnote", "ftncn", "ftnsep", "ftnsepc", "generator", "header", "headerf", "headerl",
    "headerr", "info", "keywords", "latentstyles", "listoverridetable", "listtable", "nonshppict",
    "object", "objdata", "operator", "pict", "pn", "printim", "private", "revtbl", "revtim", "rsidtbl",
    "stylesheet", "subject", "tc", "template", "themedata", "title", "txe", "userprops", "xe", "xmlnstbl"};

bool IsSkippedDestination(std::string_view word)
{
    return std::find(std::begin(kSkipped), std::end(kSkipped), word) != std::end(kSkipped);
}

bool IsUnderline(std::string_view word)
{
    return word.size() >= 2 && word.substr(0, 2) == "ul" && word != "ulnone" && word != "ulc";
}

struct TSpecial {
    std::string_view word;
    char32_t c;
};
constexpr TSpecial kSpecials[] = {
    {"emdash", 0x2014}, {"endash", 0x2013}, {"emspace", 0x2003}, {"enspace", 0x2002},
    {"qmspace", 0x2005}, {"bullet", 0x2022}, {"lquote", 0x2018}, {"rquote", 0x2019},
    {"ldblquote", 0x201C}, {"rdblquote", 0x201D}, {"zwj", 0x200D}, {"zwnj", 0x200C}};

enum class TDest { Text, Skip, FontTable, ColourTable };

// What a group carries; a new group starts as a copy of the one around it.
struct TGroupState {
    TDest dest = TDest::Text;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool hidden = false;
    int halfPoints = 24;
    int32_t colourIndex = 0;
    int32_t fontNumber = -1;    // -1: the document's default font
    TRtfAlign align = TRtfAlign::Left;
    int32_t uc = 1;             // fallback characters after "\uN"

    void PlainCharacters()
    {
        bold = italic = underline = hidden = false;
        halfPoints = 24;
        colourIndex = 0;
        fontNumber = -1;
    }
};

struct TColour {
    bool set = false;
    uint32_t rgb = 0;
};

class TReader {
public:
    TReader(std::string_view in, const TRtfLimits& limits) : in_(in), limits_(limits) {}

    TRtfDocument Read(std::size_t start);

private:
    bool Charge(std::size_t cost);
    void OpenGroup();
    bool CloseGroup();
    std::size_t Control(std::size_t at);
    void Word(std::string_view word, bool hasParam, int32_t param);
    void Symbol(char c);
    void Byte(unsigned char c, bool escaped);
    void Put(std::string_view utf8, bool separator);
    void PutCodePoint(char32_t c);
    void Unicode(int32_t param);
    void FlushSurrogate();
    void BreakParagraph();
    void CommitFont();
    void CommitColour();
    TRtfFormat Format() const;
    TGroupState& State() { return stack_.back(); }

    std::string_view in_;
    TRtfLimits limits_;
    TRtfDocument doc_;
    std::vector<TGroupState> stack_;
    std::size_t overflow_ = 0;      // groups opened past the depth bound, not kept
    std::size_t cost_ = 0;
    bool stop_ = false;
    int32_t pendingSkip_ = 0;       // fallback characters still to drop after "\uN"
    char16_t highSurrogate_ = 0;
    TRtfParagraph paragraph_;
    int32_t defaultFont_ = -1;
    std::map<int32_t, int> fontIndex_;
    int32_t fontNumber_ = -1;       // the font-table entry being read
    std::string fontName_;
    std::vector<TColour> colours_;
    TColour colour_;                // the colour-table entry being read
};

TRtfDocument TReader::Read(std::size_t start)
{
    doc_.rtf = true;
    std::size_t i = start;
    doc_.used = in_.size();
    while (i < in_.size() && !stop_) {
        char c = in_[i];
        if (c == '{') {
            ++i;
            OpenGroup();
        } else if (c == '}') {
            ++i;
            if (CloseGroup()) {
                doc_.used = i;
                break;
            }
        } else if (c == '\\') {
            i = Control(i);
        } else {
            ++i;
            if (c != '\r' && c != '\n')
                Byte(static_cast<unsigned char>(c), false);
        }
    }
    if (stop_)
        doc_.used = i;
    FlushSurrogate();
    if (!paragraph_.runs.empty())
        doc_.paragraphs.push_back(std::move(paragraph_));
    return std::move(doc_);
}

bool TReader::Charge(std::size_t cost)
{
    if (stop_)
        return false;
    if (cost_ + cost > limits_.maxOutput) {
        doc_.truncated = true;
        stop_ = true;
        return false;
    }
    cost_ += cost;
    return true;
}

void TReader::OpenGroup()
{
    pendingSkip_ = 0;
    if (overflow_ > 0 || stack_.size() >= std::max<std::size_t>(limits_.maxDepth, 1)) {
        ++overflow_;
        doc_.tooDeep = true;
        return;
    }
    stack_.push_back(stack_.empty() ? TGroupState{} : stack_.back());
}

// True when the group that opened the document has closed.
bool TReader::CloseGroup()
{
    pendingSkip_ = 0;
    if (overflow_ > 0) {
        --overflow_;
        return false;
    }
    if (State().dest == TDest::FontTable)
        CommitFont();
    stack_.pop_back();
    return stack_.empty();
}

// Reads the control word or symbol at `at` (a backslash); returns where the
// next token begins.
std::size_t TReader::Control(std::size_t at)
{
    std::size_t i = at + 1;
    if (i >= in_.size())
        return i;
    auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!isLetter(in_[i])) {
        char c = in_[i++];
        if (c == '\'') {
            // Two hexadecimal digits: one byte of the code page.
            int value = 0;
            std::size_t digits = 0;
            while (digits < 2 && i < in_.size()) {
                const int v = HexDigitValue(in_[i]);
                if (v < 0)
                    break;
                value = value * 16 + v;
                ++digits;
                ++i;
            }
            if (digits == 2 && overflow_ == 0)
                Byte(static_cast<unsigned char>(value), true);
        } else if (overflow_ == 0) {
            Symbol(c);
        }
        return i;
    }
    std::size_t begin = i;
    while (i < in_.size() && isLetter(in_[i]))
        ++i;
    std::string_view word = in_.substr(begin, std::min(i - begin, kMaxWordLength));
    bool hasParam = false;
    bool negative = false;
    int64_t param = 0;
    if (i + 1 < in_.size() && in_[i] == '-' && isDigit(in_[i + 1])) {
        negative = true;
        ++i;
    }
    while (i < in_.size() && isDigit(in_[i])) {
        hasParam = true;
        if (param < 100'000'000'000)
            param = param * 10 + (in_[i] - '0');
        ++i;
    }
    if (i < in_.size() && in_[i] == ' ')
        ++i;
    param = std::clamp<int64_t>(negative ? -param : param, INT32_MIN, INT32_MAX);
    if (word == "bin") {
        // Raw bytes follow, whatever destination we are in: step over them
        // so that a brace or backslash among them is not read as syntax.
        std::size_t skip = param > 0 ? std::size_t(param) : 0;
        return i + std::min(skip, in_.size() - i);
    }
    if (overflow_ == 0)
        Word(word, hasParam, int32_t(param));
    return i;
}

void TReader::Word(std::string_view w, bool hasParam, int32_t p)
{
    if (stack_.empty())
        return;
    TGroupState& s = State();
    if (s.dest == TDest::Skip)
        return;
    if (pendingSkip_ > 0) {
        // A control word stands for one fallback character.
        --pendingSkip_;
        return;
    }
    const bool on = !hasParam || p != 0;
    if (w == "fonttbl") {
        s.dest = TDest::FontTable;
        fontName_.clear();
        fontNumber_ = -1;
        return;
    }
    if (w == "colortbl") {
        s.dest = TDest::ColourTable;
        colours_.clear();
        colour_ = {};
        return;
    }
    if (IsSkippedDestination(w)) {
        s.dest = TDest::Skip;
        return;
    }
    if (w == "u") {
        Unicode(p);
        pendingSkip_ = s.uc;
        return;
    }
    if (s.dest == TDest::FontTable) {
        if (w == "f") {
            CommitFont();
            fontNumber_ = p;
        }
        return;
    }
    if (s.dest == TDest::ColourTable) {
        uint32_t v = uint32_t(std::clamp(p, 0, 255));
        if (w == "red")
            colour_.rgb = (colour_.rgb & 0x00FFFF) | (v << 16);
        else if (w == "green")
            colour_.rgb = (colour_.rgb & 0xFF00FF) | (v << 8);
        else if (w == "blue")
            colour_.rgb = (colour_.rgb & 0xFFFF00) | v;
        else
            return;
        colour_.set = true;
        return;
    }
    if (w == "par" || w == "sect" || w == "page" || w == "row") {
        BreakParagraph();
    } else if (w == "line") {
        Put("\n", false);
    } else if (w == "tab" || w == "cell") {
        Put("\t", false);
    } else if (w == "uc") {
        s.uc = std::clamp(p, 0, 1000);
    } else if (w == "b") {
        s.bold = on;
    } else if (w == "i") {
        s.italic = on;
    } else if (w == "ulnone") {
        s.underline = false;
    } else if (IsUnderline(w)) {
        s.underline = on;
    } else if (w == "v") {
        s.hidden = on;
    } else if (w == "plain") {
        s.PlainCharacters();
    } else if (w == "fs") {
        s.halfPoints = hasParam ? std::clamp(p, 1, 3276) : 24;
    } else if (w == "cf") {
        s.colourIndex = hasParam ? p : 0;
    } else if (w == "f") {
        s.fontNumber = hasParam ? p : -1;
    } else if (w == "deff") {
        defaultFont_ = p;
    } else if (w == "pard") {
        s.align = TRtfAlign::Left;
    } else if (w == "ql") {
        s.align = TRtfAlign::Left;
    } else if (w == "qc") {
        s.align = TRtfAlign::Centre;
    } else if (w == "qr") {
        s.align = TRtfAlign::Right;
    } else if (w == "qj") {
        s.align = TRtfAlign::Justify;
    } else {
        for (const TSpecial& special : kSpecials)
            if (w == special.word)
                PutCodePoint(special.c);
    }
}

void TReader::Symbol(char c)
{
    if (stack_.empty() || State().dest == TDest::Skip)
        return;
    if (pendingSkip_ > 0) {
        --pendingSkip_;
        return;
    }
    switch (c) {
    case '\\':
    case '{':
    case '}':
        Byte(static_cast<unsigned char>(c), true);
        break;
    case '~':
        PutCodePoint(0x00A0);
        break;
    case '_':
        PutCodePoint(0x2011);
        break;
    case '*':
        State().dest = TDest::Skip;
        break;
    case '\r':
    case '\n':
        BreakParagraph();
        break;
    default:
        break;   // "\-" optional hyphen, "\|", "\:" and the unknown: nothing shown
    }
}

// One byte of text in the code page; `escaped` when it came as "\'hh" or
// "\\", so that it is never a table's separator.
void TReader::Byte(unsigned char c, bool escaped)
{
    if (overflow_ > 0 || stack_.empty() || State().dest == TDest::Skip)
        return;
    if (pendingSkip_ > 0) {
        --pendingSkip_;
        return;
    }
    if (c == '\t') {
        Put("\t", false);
        return;
    }
    if (c < 0x20)
        return;
    char byte = char(c);
    Put(platform::Cp1252ToUtf8(std::string_view(&byte, 1)), c == ';' && !escaped);
}

void TReader::PutCodePoint(char32_t c)
{
    if (c < 0x20 && c != '\t')
        return;
    std::string utf8;
    platform::AppendUtf8(utf8, c);
    Put(utf8, false);
}

void TReader::Unicode(int32_t p)
{
    // The parameter is a signed 16-bit number; some writers give the code
    // point itself.
    char32_t c = p < 0 ? char32_t(p + 65536) : char32_t(p);
    if (p < -32768 || c > 0x10FFFF) {
        FlushSurrogate();
        PutCodePoint(0xFFFD);
        return;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
        FlushSurrogate();
        highSurrogate_ = char16_t(c);
        return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (highSurrogate_ == 0) {
            PutCodePoint(0xFFFD);
            return;
        }
        char32_t pair = 0x10000 + ((char32_t(highSurrogate_) - 0xD800) << 10) + (c - 0xDC00);
        highSurrogate_ = 0;
        PutCodePoint(pair);
        return;
    }
    FlushSurrogate();
    PutCodePoint(c);
}

// A high surrogate not followed by its low half stands for nothing valid.
void TReader::FlushSurrogate()
{
    if (highSurrogate_ == 0)
        return;
    highSurrogate_ = 0;
    PutCodePoint(0xFFFD);
}

void TReader::Put(std::string_view utf8, bool separator)
{
    if (stack_.empty())
        return;
    if (highSurrogate_ != 0)
        FlushSurrogate();
    TGroupState& s = State();
    switch (s.dest) {
    case TDest::Skip:
        return;
    case TDest::FontTable:
        if (separator)
            CommitFont();
        else if (fontName_.size() + utf8.size() <= kMaxFontName)
            fontName_ += utf8;
        return;
    case TDest::ColourTable:
        if (separator)
            CommitColour();
        return;
    case TDest::Text:
        break;
    }
    if (s.hidden || !Charge(utf8.size()))
        return;
    TRtfFormat format = Format();
    std::vector<TRtfRun>& runs = paragraph_.runs;
    if (runs.empty() || !(runs.back().format == format)) {
        if (!Charge(kRunCost))
            return;
        runs.push_back({format, {}});
    }
    runs.back().text += utf8;
    paragraph_.align = s.align;
}

void TReader::BreakParagraph()
{
    FlushSurrogate();
    if (State().dest != TDest::Text || !Charge(kParagraphCost))
        return;
    paragraph_.align = State().align;
    doc_.paragraphs.push_back(std::move(paragraph_));
    paragraph_ = {};
}

void TReader::CommitFont()
{
    // Font names end in ";"; a name left open when its group closes counts too.
    std::size_t first = fontName_.find_first_not_of(' ');
    std::size_t last = fontName_.find_last_not_of(' ');
    if (fontNumber_ >= 0 && first != std::string::npos && doc_.fonts.size() < kMaxTableEntries
        && fontIndex_.count(fontNumber_) == 0) {
        fontIndex_[fontNumber_] = int(doc_.fonts.size());
        doc_.fonts.push_back(fontName_.substr(first, last - first + 1));
    }
    fontName_.clear();
    fontNumber_ = -1;
}

void TReader::CommitColour()
{
    if (colours_.size() < kMaxTableEntries)
        colours_.push_back(colour_);
    colour_ = {};
}

TRtfFormat TReader::Format() const
{
    const TGroupState& s = stack_.back();
    TRtfFormat f;
    f.bold = s.bold;
    f.italic = s.italic;
    f.underline = s.underline;
    f.halfPoints = s.halfPoints;
    if (s.colourIndex >= 0 && std::size_t(s.colourIndex) < colours_.size() && colours_[s.colourIndex].set) {
        f.hasColour = true;
        f.colour = colours_[s.colourIndex].rgb;
    }
    auto font = fontIndex_.find(s.fontNumber >= 0 ? s.fontNumber : defaultFont_);
    if (font != fontIndex_.end())
        f.font = font->second;
    return f;
}

TRtfDocument ReadPlain(std::string_view in, const TRtfLimits& limits)
{
    TRtfDocument doc;
    std::size_t cost = 0;
    std::size_t start = 0;
    while (start < in.size()) {
        std::size_t end = in.find_first_of("\r\n", start);
        std::size_t next = end;
        if (end == std::string_view::npos)
            end = next = in.size();
        else
            next += (in[end] == '\r' && end + 1 < in.size() && in[end + 1] == '\n') ? 2 : 1;
        std::string text;
        for (char c : in.substr(start, end - start))
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                text += c;
        text = platform::Cp1252ToUtf8(text);
        std::size_t lineCost = kParagraphCost + (text.empty() ? 0 : kRunCost + text.size());
        if (cost + lineCost > limits.maxOutput) {
            doc.truncated = true;
            break;
        }
        cost += lineCost;
        TRtfParagraph paragraph;
        if (!text.empty())
            paragraph.runs.push_back({TRtfFormat{}, std::move(text)});
        doc.paragraphs.push_back(std::move(paragraph));
        start = next;
    }
    doc.used = doc.truncated ? start : in.size();
    return doc;
}

} // namespace

std::string TRtfDocument::PlainText() const
{
    std::string text;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0)
            text += '\n';
        for (const TRtfRun& run : paragraphs[i].runs)
            text += run.text;
    }
    return text;
}

TRtfDocument ReadRtf(std::string_view bytes, const TRtfLimits& limits)
{
    std::size_t start = bytes.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || bytes.substr(start, 5) != "{\\rtf")
        return ReadPlain(bytes, limits);
    return TReader(bytes, limits).Read(start);
}
