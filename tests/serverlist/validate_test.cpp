// The answer to the master's challenge, checked against a second
// implementation written here from the algorithm: the RC4 key schedule, the
// keystream step that adds the plain byte to x, and the base64 alphabet.
#include "serverlist/serverrecords.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string IndependentValidate(const std::string& challenge, const std::string& key)
{
    unsigned char S[256];
    for (int i = 0; i < 256; ++i)
        S[i] = (unsigned char)i;
    int j = 0, k = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + S[i] + (unsigned char)key[std::size_t(k)]) % 256;
        unsigned char t = S[i];
        S[i] = S[j];
        S[j] = t;
        k = (k + 1) % int(key.size());
    }
    int x = 0, y = 0;
    unsigned char c[6];
    for (int n = 0; n < 6; ++n)
        c[n] = (unsigned char)challenge[std::size_t(n)];
    for (int n = 0; n < 6; ++n) {
        x = (x + c[n] + 1) % 256;
        y = (y + S[x]) % 256;
        unsigned char t = S[x];
        S[x] = S[y];
        S[y] = t;
        c[n] ^= S[(S[x] + S[y]) % 256];
    }
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (int g = 0; g < 6; g += 3) {
        unsigned v = unsigned(c[g]) << 16 | unsigned(c[g + 1]) << 8 | c[g + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += alphabet[(v >> shift) & 63];
    }
    return out;
}

} // namespace

TEST(Validate, FixedChallengesGiveKnownAnswers)
{
    EXPECT_EQ(ValidateValue("ABCDEF", kListGameKey), "++OOUvW8");
    EXPECT_EQ(ValidateValue("Zq3x9P", kListGameKey), "LtVb+w8s");
    EXPECT_EQ(ValidateValue("000000", kListGameKey), "sYcqA1da");
    EXPECT_EQ(ValidateValue("ABCDEF", "secret"), "AC+MxF6b");
}

TEST(Validate, AgreesWithAnIndependentImplementation)
{
    std::mt19937 rng(1234);
    const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int round = 0; round < 500; ++round) {
        std::string challenge(6, ' ');
        for (char& c : challenge)
            c = chars[rng() % chars.size()];
        std::string key(1 + rng() % 12, ' ');
        for (char& c : key)
            c = char(33 + rng() % 94);
        ASSERT_EQ(ValidateValue(challenge, key), IndependentValidate(challenge, key)) << challenge << " " << key;
        ASSERT_EQ(ValidateValue(challenge, key).size(), 8u);
    }
}

TEST(Validate, ChallengesOfOtherLengthsUseSixBytes)
{
    EXPECT_EQ(ValidateValue("ABCDEFGH", kListGameKey), ValidateValue("ABCDEF", kListGameKey));
    EXPECT_EQ(ValidateValue("ABC", kListGameKey), IndependentValidate(std::string("ABC\0\0\0", 6), "tRvKwb"));
}
