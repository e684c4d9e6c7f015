#include "lobby/protocol.h"

#include "text/textfuncs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace lobby;

namespace {

LobbyRecord Record(uint8_t type, int32_t player, std::string param)
{
    LobbyRecord r;
    r.type = type;
    r.player = player;
    r.param = std::move(param);
    return r;
}

// Feeds `bytes` into a receive buffer the way a reader does: append, then
// consume every complete frame at the front and keep the tail.
struct TReceiver {
    std::string buffer;
    std::vector<LobbyRecord> records;
    int bad = 0;

    void Feed(std::string_view bytes)
    {
        buffer.append(bytes);
        for (;;) {
            SplitResult r = SplitFrame(buffer);
            if (r.status == SplitStatus::Incomplete)
                break;
            ASSERT_GT(r.used, 0u);
            ASSERT_LE(r.used, buffer.size());
            buffer.erase(0, r.used);
            if (r.status == SplitStatus::Bad)
                ++bad;
            else
                records.push_back(r.record);
        }
    }
};

std::string Prefix(uint32_t n)
{
    std::string p(4, '\0');
    for (int i = 0; i < 4; ++i)
        p[i] = char((n >> (8 * i)) & 0xFF);
    return p;
}

} // namespace

TEST(Protocol, LeaveFromPlayerThreeHasTheGoldenBytes)
{
    const std::string text = "\\cmtype\\#\\player\\3\\cmparam\\";
    ASSERT_EQ(text.size(), 27u);
    EXPECT_EQ(RecordText(Record(cmLeave, 3, "")), text);

    std::string frame = BuildFrame(Record(cmLeave, 3, ""));
    ASSERT_EQ(frame.size(), 32u);
    EXPECT_EQ(frame.substr(0, 4), std::string("\x1c\0\0\0", 4));   // N = 28

    std::string expected = text + '\0';
    Crypt(expected.data(), expected.size(), "742918365", true);
    EXPECT_EQ(frame.substr(4), expected);

    std::string appended = "xy";
    AppendFrame(Record(cmLeave, 3, ""), appended);
    EXPECT_EQ(appended, "xy" + frame);
}

TEST(Protocol, TheFrameCipherIsTheKeysStreamForShortAndLongFramesAlike)
{
    // Frames of any length, up to the longest either side takes and past
    // it, are ciphered as the cipher itself does from the stream's start.
    std::mt19937 rng(5);
    for (std::size_t n : {0u, 1u, 100u, 4095u, 65535u, 65536u, 65537u, 200000u}) {
        std::string plain(n, '\0');
        for (char& c : plain)
            c = char(rng());
        std::string ours = plain, reference = plain;
        CipherFrame(ours.data(), ours.size());
        Crypt(reference.data(), reference.size(), "742918365", true);
        ASSERT_EQ(ours, reference) << n;
        CipherFrame(ours.data(), ours.size());
        EXPECT_EQ(ours, plain) << n;
    }
}

TEST(Protocol, TypeCharactersNamesAndNegativePlayers)
{
    EXPECT_EQ(RecordText(Record(cmPlayer, -1, "\\a\\b")), "\\cmtype\\ \\player\\-1\\cmparam\\\\a\\b");
    EXPECT_EQ(RecordText(Record(cmRefresh, 0, ""))[8], '0');
    EXPECT_EQ(RecordText(Record(cmNameTaken, 0, ""))[8], '"');
    EXPECT_EQ(RecordText(Record(0, INT32_MIN, "")), "\\cmtype\\ \\player\\-2147483648\\cmparam\\");
    EXPECT_STREQ(MessageTypeName(cmPlayer), "cmPlayer");
    EXPECT_STREQ(MessageTypeName(cmPrivMsg), "cmPrivMsg");
    EXPECT_STREQ(MessageTypeName(cmRefresh), "cmRefresh");
    EXPECT_STREQ(MessageTypeName(17), "unknown");
}

TEST(Protocol, EveryTypeRoundTrips)
{
    for (int type = 0; type <= 16; ++type) {
        LobbyRecord in = Record(uint8_t(type), type * 7 - 20, "\\chan\\0\\text\\line " + std::to_string(type));
        SplitResult r = SplitFrame(BuildFrame(in));
        ASSERT_EQ(r.status, SplitStatus::Frame) << type;
        EXPECT_EQ(r.used, BuildFrame(in).size());
        EXPECT_EQ(r.record.type, in.type);
        EXPECT_EQ(r.record.player, in.player);
        EXPECT_EQ(r.record.param, in.param);
        EXPECT_EQ(LookupValue(r.record.param, "text"), "line " + std::to_string(type));
    }
    SplitResult empty = SplitFrame(BuildFrame(Record(cmPing, 0, "")));
    ASSERT_EQ(empty.status, SplitStatus::Frame);
    EXPECT_EQ(empty.record.param, "");
}

TEST(Protocol, DecodeReadsTypePlayerAndParamAsTheWireHasThem)
{
    LobbyRecord r;
    // Player not a number: lenient 0. Param keeps everything after the first
    // "\cmparam\", a second one included; the closing zero byte is not kept.
    std::string plain = std::string("\\cmtype\\(\\player\\7y\\cmparam\\\\text\\a\\cmparam\\b") + '\0';
    ASSERT_TRUE(DecodeRecord(plain, r));
    EXPECT_EQ(r.type, cmChat);
    EXPECT_EQ(r.player, 0);
    EXPECT_EQ(r.param, "\\text\\a\\cmparam\\b");

    // No "\cmparam\" at all: empty param.
    ASSERT_TRUE(DecodeRecord(std::string("\\cmtype\\&\\player\\5") + '\0', r));
    EXPECT_EQ(r.type, cmPing);
    EXPECT_EQ(r.player, 5);
    EXPECT_EQ(r.param, "");

    // A type character below the space wraps as an 8-bit value; a missing
    // or empty cmtype is no record.
    ASSERT_TRUE(DecodeRecord("\\cmtype\\\x7f", r));
    EXPECT_EQ(r.type, 0x7f - 32);
    EXPECT_FALSE(DecodeRecord("\\player\\3\\cmparam\\", r));
    EXPECT_FALSE(DecodeRecord("\\cmtype\\\\player\\3", r));
    EXPECT_FALSE(DecodeRecord("\\cmtype\\\x01", r));
    EXPECT_FALSE(DecodeRecord("", r));
}

TEST(Protocol, ValuesEndAtBackslashControlByteOrTheZeroByte)
{
    // A chat line holding a backslash loses everything after it; a control
    // byte ends a value too; the last value ends with the frame.
    std::string frame = BuildFrame(Record(cmChat, 2, "\\chan\\1\\text\\hello\\world"));
    SplitResult r = SplitFrame(frame);
    ASSERT_EQ(r.status, SplitStatus::Frame);
    EXPECT_EQ(LookupValue(r.record.param, "text"), "hello");
    EXPECT_EQ(LookupValue(r.record.param, "chan"), "1");

    r = SplitFrame(BuildFrame(Record(cmChat, 2, std::string("\\text\\ab\x1f" "cd\\color\\255"))));
    EXPECT_EQ(LookupValue(r.record.param, "text"), "ab");
    EXPECT_EQ(LookupValue(r.record.param, "color"), "255");

    r = SplitFrame(BuildFrame(Record(cmChat, 2, std::string("\\text\\ab\0cd", 11))));
    EXPECT_EQ(LookupValue(r.record.param, "text"), "ab");
    r = SplitFrame(BuildFrame(Record(cmChat, 2, "\\chan\\0\\text\\last")));
    EXPECT_EQ(LookupValue(r.record.param, "text"), "last");
}

TEST(Protocol, TwoFramesInOneReadAreBothHandledInOrder)
{
    TReceiver rx;
    rx.Feed(BuildFrame(Record(cmChat, 1, "\\text\\first")) + BuildFrame(Record(cmLeave, 2, "")));
    ASSERT_EQ(rx.records.size(), 2u);
    EXPECT_EQ(LookupValue(rx.records[0].param, "text"), "first");
    EXPECT_EQ(rx.records[1].type, cmLeave);
    EXPECT_TRUE(rx.buffer.empty());
}

TEST(Protocol, AFrameSplitByteByByteIsHandledOnceWhenComplete)
{
    std::string frame = BuildFrame(Record(cmPrivMsg, 4, "\\to\\2\\text\\hi there"));
    TReceiver rx;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        rx.Feed(frame.substr(i, 1));
        ASSERT_TRUE(rx.records.empty()) << "after byte " << i;
    }
    rx.Feed(frame.substr(frame.size() - 1));
    ASSERT_EQ(rx.records.size(), 1u);
    EXPECT_EQ(rx.records[0].param, "\\to\\2\\text\\hi there");
}

TEST(Protocol, CompleteFramesAheadOfAPartialOneAreNotHeldBack)
{
    // The front frames are handled while the one behind them is still coming:
    // a steady stream never starves the reader.
    std::string first = BuildFrame(Record(cmChat, 1, "\\text\\a"));
    std::string second = BuildFrame(Record(cmChat, 1, "\\text\\b"));
    TReceiver rx;
    rx.Feed(first + second.substr(0, 10));
    ASSERT_EQ(rx.records.size(), 1u);
    EXPECT_EQ(rx.buffer.size(), 10u);
    rx.Feed(second.substr(10));
    ASSERT_EQ(rx.records.size(), 2u);
}

TEST(Protocol, TenThousandFramesCutAtRandomPointsArriveOnceInOrder)
{
    std::mt19937 rng(12345);
    std::string stream;
    for (int i = 0; i < 10000; ++i) {
        std::string pad(rng() % 120, 'x');
        stream += BuildFrame(Record(uint8_t(i % 17), i, "\\n\\" + std::to_string(i) + "\\pad\\" + pad));
    }
    TReceiver rx;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + rng() % 700);
        rx.Feed(std::string_view(stream).substr(at, n));
        at += n;
    }
    ASSERT_EQ(rx.records.size(), 10000u);
    EXPECT_EQ(rx.bad, 0);
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(rx.records[i].player, i);
        ASSERT_EQ(rx.records[i].type, i % 17);
        ASSERT_EQ(LookupValue(rx.records[i].param, "n"), std::to_string(i));
    }
    EXPECT_TRUE(rx.buffer.empty());
}

TEST(Protocol, OversizedOrNegativeLengthDropsTheWholeBuffer)
{
    for (uint32_t n : {kMaxFrameLength + 1, 0x80000000u, 0xFFFFFFFFu}) {
        std::string buffer = Prefix(n) + BuildFrame(Record(cmChat, 1, "\\text\\after"));
        SplitResult r = SplitFrame(buffer);
        EXPECT_EQ(r.status, SplitStatus::Bad) << n;
        EXPECT_TRUE(r.oversized);
        EXPECT_EQ(r.used, buffer.size());
        EXPECT_FALSE(r.error.empty());
    }
    // At the limit the frame is only waited for; a lower limit is honoured.
    EXPECT_EQ(SplitFrame(Prefix(kMaxFrameLength)).status, SplitStatus::Incomplete);
    std::string frame = BuildFrame(Record(cmChat, 1, "\\text\\0123456789"));
    uint32_t n = uint32_t(frame.size() - 4);
    EXPECT_EQ(SplitFrame(frame, n).status, SplitStatus::Frame);
    EXPECT_EQ(SplitFrame(frame, n - 1).status, SplitStatus::Bad);
    // Fewer than four bytes are no frame yet.
    EXPECT_EQ(SplitFrame(std::string("\x05\0", 2)).status, SplitStatus::Incomplete);
}

TEST(Protocol, AFrameWithoutTypeIsDroppedAloneAndTheNextOneIsRead)
{
    std::string junk = "\\player\\3\\cmparam\\\\text\\lost";
    junk.push_back('\0');
    CipherFrame(junk.data(), junk.size());
    std::string zero = Prefix(0);
    TReceiver rx;
    rx.Feed(Prefix(uint32_t(junk.size())) + junk + zero + BuildFrame(Record(cmChat, 1, "\\text\\kept")));
    EXPECT_EQ(rx.bad, 2);
    ASSERT_EQ(rx.records.size(), 1u);
    EXPECT_EQ(LookupValue(rx.records[0].param, "text"), "kept");
}

TEST(Protocol, PlayerRecordPacksToTheWireLayout)
{
    PlayerRecord p;
    p.active = 1;
    p.index = 0x01020304;
    p.SetName("Bob");
    p.hostPlayer = 7;
    p.SetAddress("192.168.100.200");
    p.ping = 9999;
    p.lastPingTick = 0xAABBCCDD;
    p.hostedGame = 5;
    std::string b64 = PackPlayer(p);
    ASSERT_EQ(b64.size(), 96u);

    uint8_t raw[72];
    DecodeBase64(b64, raw, sizeof raw);
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(raw[4], 4);
    EXPECT_EQ(raw[7], 1);
    EXPECT_EQ(raw[8], 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + 9), 3), "Bob");
    EXPECT_EQ(raw[40], 7);
    EXPECT_EQ(raw[44], 15);
    EXPECT_EQ(raw[60], 9999 & 0xFF);
    EXPECT_EQ(raw[61], 9999 >> 8);
    EXPECT_EQ(raw[64], 0xDD);
    EXPECT_EQ(raw[68], 5);

    PlayerRecord back;
    UnpackPlayer(b64, back);
    EXPECT_EQ(std::memcmp(&back, &p, sizeof p), 0);
    EXPECT_EQ(back.Name(), "Bob");
    EXPECT_EQ(back.Address(), "192.168.100.200");

    // Over-long texts are cut to the field; a wild length byte reads no further.
    p.SetName(std::string(40, 'n'));
    EXPECT_EQ(p.Name(), std::string(31, 'n'));
    p.name[0] = 255;
    EXPECT_EQ(p.Name().size(), 31u);
}

TEST(Protocol, GameRecordPacksToTheWireLayout)
{
    GameRecord g;
    g.active = 1;
    g.index = 3;
    g.hostPlayer = 9;
    g.SetName("Alpha Base");
    g.state = 1;
    g.maxPlayers = 0xFFFF;
    g.inviteOnly = 1;
    std::string b64 = PackGame(g);
    ASSERT_EQ(b64.size(), 368u);
    uint8_t raw[276];
    DecodeBase64(b64, raw, sizeof raw);
    EXPECT_EQ(raw[8], 9);
    EXPECT_EQ(raw[12], 10);
    EXPECT_EQ(raw[268], 1);
    EXPECT_EQ(raw[270], 0xFF);
    EXPECT_EQ(raw[271], 0xFF);
    EXPECT_EQ(raw[272], 1);
    GameRecord back;
    UnpackGame(b64, back);
    EXPECT_EQ(std::memcmp(&back, &g, sizeof g), 0);
    EXPECT_EQ(back.Name(), "Alpha Base");
    g.SetName(std::string(300, 'g'));
    EXPECT_EQ(g.Name().size(), 255u);
}

TEST(Protocol, ShortRecordTextsFillTheRestWithZeros)
{
    PlayerRecord p;
    std::memset(static_cast<void*>(&p), 0xEE, sizeof p);
    PlayerRecord full;
    full.active = 1;
    full.index = 42;
    full.SetName("Zed");
    std::string b64 = PackPlayer(full);
    UnpackPlayer(b64.substr(0, 20), p);   // 15 bytes' worth
    EXPECT_EQ(p.active, 1);
    EXPECT_EQ(p.index, 42);
    const auto* raw = reinterpret_cast<const uint8_t*>(&p);
    for (std::size_t i = 15; i < sizeof p; ++i)
        ASSERT_EQ(raw[i], 0) << i;

    GameRecord g;
    std::memset(static_cast<void*>(&g), 0xEE, sizeof g);
    UnpackGame("", g);
    const auto* graw = reinterpret_cast<const uint8_t*>(&g);
    for (std::size_t i = 0; i < sizeof g; ++i)
        ASSERT_EQ(graw[i], 0) << i;

    // Characters outside the alphabet count as zero bits; a text longer than
    // the record is read no further than the record.
    UnpackPlayer(std::string(500, '='), p);
    EXPECT_EQ(p.index, 0);
    UnpackPlayer(b64 + b64, p);
    EXPECT_EQ(p.index, 42);
}

TEST(Protocol, GameNamesAreTrimmedAndHoldOnlyTheAllowedCharacters)
{
    EXPECT_EQ(ValidGameName("  Night Ops (2v2) [EU] 'x'\t"), "Night Ops (2v2) [EU] 'x'");
    EXPECT_EQ(ValidGameName(std::string(255, 'g')), std::string(255, 'g'));
    for (std::string bad : {std::string(), std::string(" \t "), std::string(256, 'g'), std::string("Back\\slash"),
                            std::string("under_score"), std::string("caf\xe9"), std::string("two\nlines")})
        EXPECT_EQ(ValidGameName(bad), "") << bad;
}

TEST(Protocol, FramesWrittenPieceByPieceMatchTheRecordsTheyCarry)
{
    // Written straight into one buffer, back to back, as the master makes them.
    std::string buffer = "xy";
    TFrameWriter(buffer, cmChat, -7).Text("\\chan\\").Number(1).Text("\\color\\").Number(4294967295LL)
        .Text("\\text\\").Text("a: b").Finish();
    PlayerRecord p;
    p.active = 1;
    p.index = 12;
    p.SetName("Zed");
    p.SetAddress("10.1.2.3");
    p.ping = 9999;
    AppendPlayerFrame(p, buffer);
    GameRecord g;
    g.active = 1;
    g.index = 3;
    g.hostPlayer = 12;
    g.SetName("Room (2)");
    g.maxPlayers = 8;
    AppendGameFrame(g, buffer);

    std::string expected = "xy" + BuildFrame(Record(cmChat, -7, "\\chan\\1\\color\\4294967295\\text\\a: b"))
                           + BuildFrame(Record(cmPlayer, 0, "\\index\\12\\prec\\" + PackPlayer(p)))
                           + BuildFrame(Record(cmGame, 0, "\\index\\3\\grec\\" + PackGame(g)));
    EXPECT_EQ(buffer, expected);
}

TEST(Protocol, OpeningAFrameInPlaceDecodesAsSplittingDoesAndTouchesNothingElse)
{
    std::string wire;
    for (int type = 0; type <= 16; ++type)
        AppendFrame(Record(uint8_t(type), type - 3, "\\text\\line " + std::to_string(type)), wire);
    AppendFrame(Record(cmPing, 0, ""), wire);
    const std::string original = wire;

    std::size_t at = 0;
    int count = 0;
    while (at < wire.size()) {
        SplitResult copy = SplitFrame(std::string_view(original).substr(at));
        OpenedFrame r = OpenFrame(wire.data() + at, wire.size() - at);
        ASSERT_EQ(r.status, SplitStatus::Frame);
        ASSERT_EQ(r.used, copy.used);
        EXPECT_EQ(r.record.type, copy.record.type);
        EXPECT_EQ(r.record.player, copy.record.player);
        EXPECT_EQ(std::string(r.record.param), copy.record.param);
        // The view lies in the frame's own bytes; what follows is still enciphered.
        if (!r.record.param.empty()) {
            EXPECT_GE(r.record.param.data(), wire.data() + at + 4);
            EXPECT_LE(r.record.param.data() + r.record.param.size(), wire.data() + at + r.used);
        }
        EXPECT_EQ(wire.substr(at + r.used), original.substr(at + r.used));
        at += r.used;
        ++count;
    }
    EXPECT_EQ(count, 18);

    // An incomplete frame is left exactly as it came.
    std::string part = BuildFrame(Record(cmChat, 1, "\\text\\later"));
    part.pop_back();
    const std::string before = part;
    EXPECT_EQ(OpenFrame(part.data(), part.size()).status, SplitStatus::Incomplete);
    EXPECT_EQ(part, before);

    // A frame without a type is Bad and gives its size; a refused length drops the buffer.
    std::string junk = std::string("\\player\\3") + '\0';
    CipherFrame(junk.data(), junk.size());
    std::string bad = Prefix(uint32_t(junk.size())) + junk + BuildFrame(Record(cmPing, 0, ""));
    OpenedFrame b = OpenFrame(bad.data(), bad.size());
    EXPECT_EQ(b.status, SplitStatus::Bad);
    EXPECT_FALSE(b.oversized);
    EXPECT_EQ(b.used, 4 + junk.size());
    std::string big = Prefix(100) + std::string(100, 'x');
    OpenedFrame o = OpenFrame(big.data(), big.size(), 99);
    EXPECT_EQ(o.status, SplitStatus::Bad);
    EXPECT_TRUE(o.oversized);
    EXPECT_EQ(o.used, big.size());
    EXPECT_EQ(MeasureFrame(big, 100).status, SplitStatus::Frame);
    EXPECT_EQ(MeasureFrame(big.substr(0, 50), 100).status, SplitStatus::Incomplete);
}

TEST(Protocol, TheUsualStartOfARecordDecodesAsTheKeysSay)
{
    LobbyRecord r;
    // The player's value is "cmparam": the param's key begins inside it.
    ASSERT_TRUE(DecodeRecord(std::string("\\cmtype\\(\\player\\cmparam\\\\text\\a") + '\0', r));
    EXPECT_EQ(r.type, cmChat);
    EXPECT_EQ(r.player, 0);
    EXPECT_EQ(r.param, "\\text\\a");
    // An empty type, a control byte as the type, and a player ended by one.
    EXPECT_FALSE(DecodeRecord("\\cmtype\\\\\\player\\3\\cmparam\\", r));
    EXPECT_FALSE(DecodeRecord("\\cmtype\\\x02\\player\\3\\cmparam\\", r));
    ASSERT_TRUE(DecodeRecord("\\cmtype\\!\\player\\-12\x01\\cmparam\\x", r));
    EXPECT_EQ(r.type, cmNameWanted);
    EXPECT_EQ(r.player, -12);
    EXPECT_EQ(r.param, "x");
    // Shorter than the usual start: searched for.
    ASSERT_TRUE(DecodeRecord("\\cmtype\\!\\player", r));
    EXPECT_EQ(r.player, 0);
    EXPECT_EQ(r.param, "");
}
