#include "motd/motdtext.h"

#include "text/textfuncs.h"

#include <gtest/gtest.h>

namespace {

TMotdRequestFields SampleFields()
{
    TMotdRequestFields f;
    f.version = "150101";
    f.product = "quillet";
    f.email = "bob@example.org";
    f.code = "Ab12-Cd34-Ef56-Gh78";
    f.distcode = "X7";
    f.notify = true;
    f.realname = "Bob Miller";
    f.age = "17";
    f.zip = "10115";
    return f;
}

std::vector<std::string> Texts(std::string_view text, const std::vector<TMotdLink>& links)
{
    std::vector<std::string> out;
    for (const TMotdLink& l : links)
        out.emplace_back(text.substr(l.start, l.length));
    return out;
}

} // namespace

TEST(MotdRequest, ElevenFieldsEachEndedByABar)
{
    TMotdRequestFields f = SampleFields();
    EXPECT_EQ(BuildMotdRequest(f), "MOTD|150101|quillet|bob@example.org|Ab12-Cd34-Ef56-Gh78|X7|1|1|Bob Miller|17|10115|");
    f.notify = false;
    f.distcode.clear();
    f.email.clear();
    f.realname.clear();
    f.age.clear();
    f.zip.clear();
    EXPECT_EQ(BuildMotdRequest(f), "MOTD|150101|quillet||Ab12-Cd34-Ef56-Gh78|N|1|0||||");
    // Nothing is escaped: a bar in a free-text field splits it.
    f.realname = "A|B";
    EXPECT_EQ(BuildMotdRequest(f), "MOTD|150101|quillet||Ab12-Cd34-Ef56-Gh78|N|1|0|A|B|||");
}

TEST(MotdReply, LinesEndInCrLfLfOrCr)
{
    EXPECT_TRUE(SplitMotdLines("").empty());
    EXPECT_EQ(SplitMotdLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitMotdLines("a\r\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitMotdLines("\r\n\r\nx"), (std::vector<std::string>{"", "", "x"}));
    EXPECT_EQ(SplitMotdLines("a\n\r"), (std::vector<std::string>{"a", ""}));
}

TEST(MotdReply, HeadersMarkerAndBody)
{
    TMotdReply r = SplitMotdReply("updatever=1.6\r\ndlcount=1\r\nMOTD\r\nHello\r\nMOTD\r\nBye");
    EXPECT_EQ(r.headers, (std::vector<std::string>{"updatever=1.6", "dlcount=1"}));
    EXPECT_FALSE(r.expired);
    EXPECT_FALSE(r.rtf);
    // Only the first marker counts; later ones are message.
    EXPECT_EQ(r.body, (std::vector<std::string>{"Hello", "MOTD", "Bye"}));
    EXPECT_EQ(r.BodyText(), "Hello\r\nMOTD\r\nBye\r\n");
}

TEST(MotdReply, MarkerOnlyWhenTheWholeLineMatches)
{
    TMotdReply r = SplitMotdReply("motd\nMOTD \nMOTD-EXPIRED!\nMOTD\nx");
    EXPECT_EQ(r.headers, (std::vector<std::string>{"motd", "MOTD ", "MOTD-EXPIRED!"}));
    EXPECT_EQ(r.body, (std::vector<std::string>{"x"}));
}

TEST(MotdReply, PlainMessageWithoutHeaders)
{
    TMotdReply r = SplitMotdReply("MOTD\nWelcome back!\n");
    EXPECT_TRUE(r.headers.empty());
    EXPECT_TRUE(MotdHeaderSettings(r.headers).settings.empty());
    EXPECT_FALSE(r.rtf);
    EXPECT_EQ(r.BodyText(), "Welcome back!\r\n");
}

TEST(MotdReply, ExpiredFirstLineLeavesNoHeaders)
{
    TMotdReply r = SplitMotdReply("MOTD-EXPIRED\r\nPlease update.");
    EXPECT_TRUE(r.expired);
    EXPECT_TRUE(r.headers.empty());
    EXPECT_EQ(r.body, (std::vector<std::string>{"Please update."}));
}

TEST(MotdReply, WithoutMarkerAllIsHeaders)
{
    // An error page, say: its lines are header lines and the message is empty.
    TMotdReply r = SplitMotdReply("<html>\n<meta x=\"y\">\nNot Found\n");
    EXPECT_EQ(r.headers.size(), 3u);
    EXPECT_TRUE(r.body.empty());
    EXPECT_TRUE(MotdHeaderSettings(r.headers).settings.empty());   // names hold "<"
    EXPECT_EQ(r.BodyText(), "");

    TMotdReply empty = SplitMotdReply("");
    EXPECT_TRUE(empty.headers.empty());
    EXPECT_TRUE(empty.body.empty());
    EXPECT_FALSE(empty.expired);
}

TEST(MotdReply, RtfAnywhereInTheReplyMakesTheBodyRtf)
{
    EXPECT_TRUE(SplitMotdReply("MOTD\n{\\rtf1 hello}").rtf);
    // Even in a header line, with a plain message.
    TMotdReply r = SplitMotdReply("note={\\rtf\nMOTD\nplain text");
    EXPECT_TRUE(r.rtf);
    EXPECT_EQ(r.body, (std::vector<std::string>{"plain text"}));
    EXPECT_FALSE(SplitMotdReply("MOTD\n{\\RTF1 x}").rtf);
}

TEST(MotdReply, ChecksumOfTheWholeReply)
{
    const std::string reply = "a=1\r\nMOTD\r\nhello";
    EXPECT_EQ(MotdChecksumText(reply), std::to_string(TextChecksum(reply)));
    EXPECT_EQ(MotdChecksumText(""), "0");
    EXPECT_EQ(MotdChecksumText("A"), std::to_string(65 + 1));
    // A change anywhere, headers included, is a new message.
    EXPECT_NE(MotdChecksumText(reply), MotdChecksumText("a=2\r\nMOTD\r\nhello"));
    // Past 2^31 the number is negative, as a signed 32-bit sum is written.
    std::string big(6'000'000, '\xFF');
    EXPECT_EQ(MotdChecksumText(big), std::to_string(int32_t(TextChecksum(big))));
    EXPECT_EQ(MotdChecksumText(big)[0], '-');
}

TEST(MotdHeaders, ValuesBySettingNameWithoutRegardToCase)
{
    std::vector<std::string> h = {"bannerinterval=60000", "DLCount=2", "dl1=http://a/x.exe", "empty=", "noequals"};
    EXPECT_EQ(MotdHeaderValue(h, "dlcount"), "2");
    EXPECT_EQ(MotdHeaderValue(h, "DL1"), "http://a/x.exe");
    EXPECT_EQ(MotdHeaderValue(h, "empty"), "");
    EXPECT_EQ(MotdHeaderValue(h, "noequals"), "");
    EXPECT_EQ(MotdHeaderValue(h, "dl"), "");
    // The value is everything after the first "=".
    EXPECT_EQ(MotdHeaderValue({"url=http://x/?a=b"}, "url"), "http://x/?a=b");
}

TEST(MotdHeaders, SettingsFromTheHeaderLines)
{
    TMotdHeaderSettings s = MotdHeaderSettings(
        {"updatedesc=Faster", "skip me", "<b>bold=x", "a<b=1", "dlcount=1", "DLCOUNT=9", "updatesize=3 MB"});
    ASSERT_EQ(s.settings.size(), 4u);
    EXPECT_EQ(s.settings[0].name, "updatedesc");
    EXPECT_EQ(s.settings[0].value, "Faster");
    // Two lines of one name: the first line's value, written twice.
    EXPECT_EQ(s.settings[1].name, "dlcount");
    EXPECT_EQ(s.settings[1].value, "1");
    EXPECT_EQ(s.settings[2].name, "DLCOUNT");
    EXPECT_EQ(s.settings[2].value, "1");
    EXPECT_EQ(s.settings[3].name, "updatesize");
    EXPECT_FALSE(s.newVersion);
}

TEST(MotdHeaders, OnlyExactlyUpdateverAnnouncesANewVersion)
{
    TMotdHeaderSettings other = MotdHeaderSettings({"UpdateVer=1.6"});
    ASSERT_EQ(other.settings.size(), 1u);
    EXPECT_EQ(other.settings[0].name, "UpdateVer");
    EXPECT_FALSE(other.newVersion);
    TMotdHeaderSettings empty = MotdHeaderSettings({"updatever="});
    ASSERT_EQ(empty.settings.size(), 1u);
    EXPECT_EQ(empty.settings[0].value, "");
    EXPECT_TRUE(empty.newVersion);
    // The announcement stands even when an earlier line of another case gave the value.
    TMotdHeaderSettings both = MotdHeaderSettings({"UPDATEVER=2.0", "updatever=1.9"});
    EXPECT_TRUE(both.newVersion);
    EXPECT_EQ(both.settings[1].value, "2.0");
}

TEST(MotdLinks, EverySchemeTheWindowKnows)
{
    for (std::string scheme : {"e-mail", "http", "file", "mailto", "ftp", "https", "gopher", "nntp", "prospero",
                               "telnet", "news", "wais"}) {
        std::string text = "go " + scheme + ":target now";
        EXPECT_EQ(Texts(text, FindMotdLinks(text)), std::vector<std::string>{scheme + ":target"}) << scheme;
    }
    EXPECT_TRUE(FindMotdLinks("see www.example.org or gemini://x").empty());
}

TEST(MotdLinks, WhereALinkBeginsAndEnds)
{
    std::string text = "Get it at HTTP://Example.org/dl?x=1, or mail mailto:team@example.org. (http://a.b/c) "
                       "\"https://q.r\" news: today, xhttp://no, <ftp://f/g>";
    EXPECT_EQ(Texts(text, FindMotdLinks(text)),
              (std::vector<std::string>{"HTTP://Example.org/dl?x=1", "mailto:team@example.org", "http://a.b/c",
                                        "https://q.r", "ftp://f/g"}));
    EXPECT_EQ(Texts("http://w.org/a_(b)", FindMotdLinks("http://w.org/a_(b)")),
              std::vector<std::string>{"http://w.org/a_(b)"});
    EXPECT_TRUE(FindMotdLinks("http:").empty());
    EXPECT_TRUE(FindMotdLinks("http:...").empty());
    EXPECT_EQ(Texts("a\thttp://x\r\nb", FindMotdLinks("a\thttp://x\r\nb")), std::vector<std::string>{"http://x"});
}

TEST(MotdLinks, PositionsInUtf16Text)
{
    std::u16string text = u"\u00e9t\u00e9: http://b\u00fccher.de/\u00e4 \U0001F600 ftp://x";
    std::vector<TMotdLink> links = FindMotdLinks(std::u16string_view(text));
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(text.substr(links[0].start, links[0].length), u"http://b\u00fccher.de/\u00e4");
    EXPECT_EQ(text.substr(links[1].start, links[1].length), u"ftp://x");
    // A non-breaking space or line separator ends a link.
    std::u16string separated = u"http://a\u00a0b http://c\u2028d";
    links = FindMotdLinks(std::u16string_view(separated));
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].length, 8u);
    EXPECT_EQ(links[1].length, 8u);
}
