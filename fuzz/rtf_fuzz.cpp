// The message of the day as the News window reads it, over arbitrary bytes:
// the reply split into header lines and message, the settings the header
// lines give, the links in the text, the message read as RTF, with the
// window's bounds and with tight ones, and written back as RTF.
#include "motd/motdtext.h"
#include "motd/rtfreader.h"
#include "motd/rtfwriter.h"
#include "platform/codepage.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void CheckDocument(const TRtfDocument& doc, std::size_t inputSize, const TRtfLimits& limits)
{
    if (doc.used > inputSize)
        std::abort();
    std::size_t text = 0;
    for (const TRtfParagraph& p : doc.paragraphs) {
        for (const TRtfRun& run : p.runs) {
            if (run.text.empty() || !platform::IsUtf8(run.text))
                std::abort();
            if (run.format.font < -1 || run.format.font >= int(doc.fonts.size()))
                std::abort();
            if (run.format.halfPoints < 1 || run.format.halfPoints > 3276 || run.format.colour > 0xFFFFFF)
                std::abort();
            text += run.text.size();
        }
    }
    if (text > limits.maxOutput)
        std::abort();
    for (const std::string& font : doc.fonts)
        if (font.empty() || !platform::IsUtf8(font))
            std::abort();
}

// What the News window writes of a document when it moves reads back as
// the same document.
void CheckRoundTrip(const TRtfDocument& doc)
{
    const TRtfDocument again = ReadRtf(WriteRtf(doc));
    if (again.fonts != doc.fonts || again.paragraphs.size() != doc.paragraphs.size())
        std::abort();
    for (std::size_t p = 0; p < doc.paragraphs.size(); ++p) {
        const TRtfParagraph& a = doc.paragraphs[p];
        const TRtfParagraph& b = again.paragraphs[p];
        if (a.align != b.align || a.runs.size() != b.runs.size())
            std::abort();
        for (std::size_t r = 0; r < a.runs.size(); ++r)
            if (a.runs[r].text != b.runs[r].text || !(a.runs[r].format == b.runs[r].format))
                std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);

    TMotdReply reply = SplitMotdReply(input);
    TMotdHeaderSettings settings = MotdHeaderSettings(reply.headers);
    for (const TMotdSetting& s : settings.settings)
        if (s.name.find('<') != std::string::npos || s.name.find('=') != std::string::npos)
            std::abort();
    (void)MotdChecksumText(input);
    std::string body = reply.BodyText();

    std::size_t end = 0;
    for (const TMotdLink& link : FindMotdLinks(input)) {
        if (link.length == 0 || link.start < end || link.start + link.length > size)
            std::abort();
        end = link.start + link.length;
    }

    TRtfLimits tight;
    tight.maxDepth = 6;
    tight.maxOutput = 700;
    CheckRoundTrip(ReadRtf(input));
    for (const TRtfLimits& limits : {TRtfLimits{}, tight}) {
        CheckDocument(ReadRtf(input, limits), size, limits);
        CheckDocument(ReadRtf(body, limits), body.size(), limits);
    }
    return 0;
}
