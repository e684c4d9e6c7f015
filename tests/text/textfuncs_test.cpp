#include "text/errors.h"
#include "text/textfuncs.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Rc4(std::string data, const std::string& key, bool standard = true)
{
    Crypt(data.data(), data.size(), key, standard);
    return data;
}

} // namespace

TEST(KeyValueText, LookupFindsFirstCaseSensitiveOccurrence)
{
    EXPECT_EQ(LookupValue("\\A\\1", "a"), "");
    EXPECT_EQ(LookupValue("\\A\\1", "A"), "1");
    EXPECT_EQ(LookupValue("\\ip\\1.2.3.4\r\n", "ip"), "1.2.3.4");
    EXPECT_EQ(LookupValue("\\a\\1\\a\\2", "a"), "1");
    EXPECT_EQ(LookupValue("\\a\\", "a"), "");
    EXPECT_EQ(LookupValue("", "a"), "");
    // The pattern may match where the key text is really a value.
    EXPECT_EQ(LookupValue("\\gametype\\mapname\\mapname\\dm1", "mapname"), "mapname");
    // A zero byte ends a value like any control byte.
    EXPECT_EQ(LookupValue(std::string("\\t\\ab\0cd", 8), "t"), "ab");
}

TEST(KeyValueText, FindValueIsTheSameValueAsAViewIntoTheText)
{
    const std::string text = "\\k\\k\\v\\kk\\2\\x\\last";
    for (const char* key : {"k", "kk", "x", "v", "missing", ""}) {
        std::string_view v = FindValue(text, key);
        EXPECT_EQ(std::string(v), LookupValue(text, key)) << key;
        if (!v.empty()) {
            EXPECT_GE(v.data(), text.data());
            EXPECT_LE(v.data() + v.size(), text.data() + text.size());
        }
    }
    // The key's first occurrence is not always the pair's.
    EXPECT_EQ(FindValue("xkey\\key\\1", "key"), "1");
    EXPECT_EQ(FindValue("\\key", "key"), "");
    EXPECT_EQ(FindValue("\\key\\", "key"), "");
}

TEST(KeyValueText, TakeValueRemovesThePairButKeepsTheTerminator)
{
    std::string text = "\\a\\1\\b\\2";
    EXPECT_EQ(TakeValue(text, "a", true), "1");
    EXPECT_EQ(text, "\\b\\2");
    EXPECT_EQ(TakeValue(text, "zz", true), "");
    EXPECT_EQ(text, "\\b\\2");
    EXPECT_EQ(TakeValue(text, "b", false), "2");
    EXPECT_EQ(text, "\\b\\2");
    std::string withBreak = "\\k\\v\r\\x\\y";
    EXPECT_EQ(TakeValue(withBreak, "k", true), "v");
    EXPECT_EQ(withBreak, "\r\\x\\y");
}

TEST(KeyValueText, NextFieldReadsSequentially)
{
    std::string text = "\\a\\1\\b\\2";
    EXPECT_EQ(NextField(text), "a");
    EXPECT_EQ(NextField(text), "1");
    EXPECT_EQ(text, "\\b\\2");
    EXPECT_EQ(NextField(text), "b");
    EXPECT_EQ(NextField(text), "2");
    EXPECT_EQ(text, "");
    EXPECT_EQ(NextField(text), "");
    std::string noSlash = "plain";
    EXPECT_EQ(NextField(noSlash), "plain");
    EXPECT_EQ(noSlash, "");
    std::string empties = "\\\\x";
    EXPECT_EQ(NextField(empties), "");
    EXPECT_EQ(NextField(empties), "x");
}

TEST(Base64, EncodesWithoutPaddingAndDecodesExactCount)
{
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("a"), "YQAA");
    EXPECT_EQ(EncodeBase64("Man"), "TWFu");
    EXPECT_EQ(EncodeBase64("foobar").size(), 8u);
    EXPECT_EQ(EncodeBase64(std::string("\xff\xfe\x00", 3)), "//4A");

    unsigned char one[1] = {0};
    DecodeBase64("YQAA", one, 1);
    EXPECT_EQ(one[0], 0x61);

    // Short text: the rest is zero; characters outside the alphabet count as 0.
    std::vector<unsigned char> record(72, 0xEE);
    DecodeBase64("TWFu", record.data(), record.size());
    EXPECT_EQ(record[0], 'M');
    EXPECT_EQ(record[2], 'n');
    for (std::size_t i = 3; i < record.size(); ++i)
        ASSERT_EQ(record[i], 0) << i;
    unsigned char odd[3];
    DecodeBase64("T=F*", odd, 3);
    unsigned char expect[3];
    DecodeBase64("TAFA", expect, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(odd), 3), std::string(reinterpret_cast<char*>(expect), 3));

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    std::string back(all.size(), '\0');
    DecodeBase64(EncodeBase64(all), back.data(), back.size());
    EXPECT_EQ(back, all);
}

TEST(Base64, ShortTextsDecodeAsIfTheMissingCharactersWereZero)
{
    std::string bytes;
    for (int i = 0; i < 90; ++i)
        bytes += char(i * 37 + 11);
    for (std::size_t n : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(72), std::size_t(76)}) {
        const std::string full = EncodeBase64(bytes.data(), n);
        std::string direct(Base64Length(n), '\0');
        EncodeBase64To(bytes.data(), n, direct.data());
        ASSERT_EQ(direct, full);
        for (std::size_t cut = 0; cut <= full.size(); ++cut) {
            std::string text = full.substr(0, cut);
            std::string padded = text + std::string(full.size() + 4 - cut, 'A');
            std::string a(n, '\x55'), b(n, '\x55');
            DecodeBase64(text, a.data(), n);
            DecodeBase64(padded, b.data(), n);
            ASSERT_EQ(a, b) << n << " " << cut;
        }
    }
}

TEST(Cipher, StandardKeystreamMatchesPublishedVectors)
{
    EXPECT_EQ(Hex(Rc4("Plaintext", "Key")), "BB F3 16 E8 D9 40 AF 0A D3");
    EXPECT_EQ(Hex(Rc4("pedia", "Wiki")), "10 21 BF 04 20");
    EXPECT_EQ(Hex(Rc4("Attack at dawn", "Secret")), "45 A0 1F 64 5F C3 5B 38 35 52 54 4B 9B F5");
    EXPECT_EQ(Rc4(Rc4("round trip", "742918365"), "742918365"), "round trip");

    Rc4State state;
    state.Schedule("Key");
    std::string viaState = "Plaintext";
    state.Apply(viaState.data(), viaState.size());
    EXPECT_EQ(Hex(viaState), "BB F3 16 E8 D9 40 AF 0A D3");
    std::string again = "Plaintext";
    state.Apply(again.data(), again.size());   // the schedule is not used up
    EXPECT_EQ(again, viaState);
}

TEST(Cipher, DataDrivenKeystreamDependsOnTheData)
{
    std::string a = Rc4("AAAA", "key", false);
    std::string b = Rc4("AAAB", "key", false);
    EXPECT_EQ(a.substr(0, 3), b.substr(0, 3));
    EXPECT_NE(a, Rc4("AAAA", "key", true));
    // Applying it twice does not restore the data.
    EXPECT_NE(Rc4(a, "key", false), "AAAA");
    // First byte by hand: x = b + 1 = 0x42, y = S[0x42] after the schedule.
    Rc4State s;
    s.Schedule("key");
    uint8_t st[256];
    std::copy(std::begin(s.s), std::end(s.s), st);
    uint8_t x = uint8_t('A' + 1), y = st[x];
    std::swap(st[x], st[y]);
    EXPECT_EQ(uint8_t(a[0]), uint8_t('A' ^ st[uint8_t(st[x] + st[y])]));
}

TEST(SmallHelpers, ChecksumAddressesAndRounding)
{
    EXPECT_EQ(TextChecksum(""), 0u);
    EXPECT_EQ(TextChecksum("abc"), 300u);
    EXPECT_EQ(TextChecksum(std::string(300, '\0')), uint32_t(255 * 256 / 2 + 44 * 45 / 2));

    EXPECT_EQ(HostOf("host:1234"), "host");
    EXPECT_EQ(HostOf("host"), "host");
    EXPECT_EQ(PortOf(" host:1234 ", "1025"), "1234");
    EXPECT_EQ(PortOf("host:abc", "1025"), "1025");
    EXPECT_EQ(PortOf("host", "1025"), "1025");
    EXPECT_EQ(PortOf("host:$10", "1025"), "$10");

    EXPECT_TRUE(IsAddressText("10.0.0.1:2000"));
    EXPECT_TRUE(IsAddressText("192.168.1.1"));
    EXPECT_FALSE(IsAddressText("010.0.0.1"));
    EXPECT_FALSE(IsAddressText("0.1.2.3"));
    EXPECT_FALSE(IsAddressText("1.2.3"));
    EXPECT_FALSE(IsAddressText("host.example.org"));
    EXPECT_FALSE(IsAddressText(""));

    EXPECT_EQ(RoundForDisplay(2.5), 2);
    EXPECT_EQ(RoundForDisplay(2.59), 2);
    EXPECT_EQ(RoundForDisplay(2.6), 3);
    EXPECT_EQ(RoundForDisplay(0.55), 0);
    EXPECT_EQ(RoundForDisplay(99.99), 100);
    EXPECT_EQ(RoundForDisplay(-3.0), 0);
    EXPECT_EQ(RoundForDisplay(1e12), 2147483647);
    EXPECT_EQ(MinOf(-1, 2), -1);
    EXPECT_EQ(MaxOf(-1, 2), 2);
}

TEST(SmallHelpers, SameTextFoldsOnlyAsciiLetters)
{
    EXPECT_TRUE(SameText("Nick_Text", "NICK_text"));
    EXPECT_TRUE(SameText("", ""));
    EXPECT_FALSE(SameText("abc", "abcd"));
    EXPECT_FALSE(SameText("caf\xe9", "CAF\xc9"));   // code-page letters are bytes like any other
    EXPECT_FALSE(SameText("[@", "{`"));               // one bit apart, but not letters
}

TEST(SmallHelpers, RandomTextUsesOnlyLettersAndDigits)
{
    RandomSeed(12345);
    EXPECT_EQ(RandomText(0), "");
    EXPECT_EQ(RandomText(-4), "");
    std::string t = RandomText(2000);
    ASSERT_EQ(t.size(), 2000u);
    bool digit = false, upper = false, lower = false;
    for (char c : t) {
        ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << c;
        digit |= c >= '0' && c <= '9';
        upper |= c >= 'A' && c <= 'Z';
        lower |= c >= 'a' && c <= 'z';
    }
    EXPECT_TRUE(digit && upper && lower);
    RandomSeed(12345);
    EXPECT_EQ(RandomText(2000), t);
}

TEST(Numbers, StrictAndLenientConversion)
{
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("  -7"), -7);
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("0x10"), 16);
    EXPECT_EQ(StrToInt("x10"), 16);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    try {
        StrToInt("x");
        FAIL() << "no error raised";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
    EXPECT_THROW(StrToInt(""), EConvertError);
    EXPECT_THROW(StrToInt("12 "), EConvertError);
    EXPECT_THROW(StrToInt("2147483648"), EConvertError);
    EXPECT_EQ(StrToIntDef("abc", 7), 7);
    EXPECT_EQ(StrToIntDef("5", 7), 5);
    EXPECT_EQ(StrToUIntDef("4294967295", 1), 4294967295u);

    // Lobby numbers are decimal and nothing else.
    EXPECT_EQ(DecimalToInt("42"), 42);
    EXPECT_EQ(DecimalToInt("-1"), -1);
    EXPECT_EQ(DecimalToInt("007"), 7);
    EXPECT_EQ(DecimalToInt("2147483647"), 2147483647);
    EXPECT_EQ(DecimalToInt("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "-", "$A", "+5", " 5", "5 ", "0x10", "x10", "1e3", "2147483648", "-2147483649",
                            "99999999999"}) {
        try {
            DecimalToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
        }
        EXPECT_EQ(DecimalToIntDef(bad, -3), -3) << bad;
    }
    EXPECT_EQ(StrToUIntDef("4294967296", 1), 1u);
    EXPECT_EQ(StrToUIntDef("-1", 1), 1u);
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(ReplaceAll("a\r\nb\r\n", "\r\n", "~n"), "a~nb~n");
}
