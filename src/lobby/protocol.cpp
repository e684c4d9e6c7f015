#include "lobby/protocol.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char* const kTypeNames[] = {
    "cmPlayer", "cmNameWanted", "cmNameTaken", "cmLeave", "cmGame", "cmGameGone",
    "cmPing", "cmPong", "cmChat", "cmPrivMsg", "cmInvite", "cmStart",
    "cmMessage", "cmJoin", "cmKick", "cmHost", "cmRefresh",
};

// The key schedule depends on the fixed key only: run it once.
const Rc4State& FrameCipherState()
{
    static const Rc4State state = [] {
        Rc4State s;
        s.Schedule(lobby::kFrameKey);
        return s;
    }();
    return state;
}

// Every frame is enciphered from the start of the same keystream, so the
// stream is made once, as long as the longest frame either side accepts,
// and ciphering a frame is an XOR with it.
constexpr std::size_t kKeptKeystream = lobby::kMaxFrameLength;

const uint8_t* FrameKeystream()
{
    static const std::vector<uint8_t> stream = [] {
        std::vector<uint8_t> zeros(kKeptKeystream, 0);
        FrameCipherState().Apply(zeros.data(), zeros.size());
        return zeros;
    }();
    return stream.data();
}

// Decimal digits of `value` at the end of `out`.
void AppendDecimal(std::string& out, int64_t value)
{
    char digits[24];
    int n = 0;
    // Unsigned, so that the most negative value negates safely.
    uint64_t v = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        digits[n++] = '-';
    std::size_t at = out.size();
    out.resize(at + std::size_t(n));
    for (char* p = out.data() + at; n > 0;)
        *p++ = digits[--n];
}

void AppendRecordHead(std::string& out, uint8_t type, int32_t player)
{
    out.append("\\cmtype\\");
    out.push_back(static_cast<char>(static_cast<uint8_t>(type + 32)));
    out.append("\\player\\");
    AppendDecimal(out, player);
    out.append("\\cmparam\\");
}

void AppendRecordText(const LobbyRecord& record, std::string& out)
{
    AppendRecordHead(out, record.type, record.player);
    out.append(record.param);
}

uint32_t ReadLength(std::string_view buffer)
{
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data());
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string ShortString(const uint8_t* field, std::size_t capacity)
{
    std::size_t n = std::min<std::size_t>(field[0], capacity);
    return std::string(reinterpret_cast<const char*>(field + 1), n);
}

bool GameNameChar(unsigned char ch)
{
    return ch == ' ' || ch == '\'' || ch == '(' || ch == ')' || ch == '[' || ch == ']'
           || (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

void SetShortString(uint8_t* field, std::size_t capacity, std::string_view text)
{
    std::size_t n = std::min(text.size(), capacity);
    std::memset(field, 0, capacity + 1);
    field[0] = static_cast<uint8_t>(n);
    std::memcpy(field + 1, text.data(), n);
}

} // namespace

const char* MessageTypeName(uint8_t type)
{
    return type < std::size(kTypeNames) ? kTypeNames[type] : "unknown";
}

namespace lobby {

std::string RecordText(const LobbyRecord& record)
{
    std::string text;
    text.reserve(32 + record.param.size());
    AppendRecordText(record, text);
    return text;
}

TFrameWriter::TFrameWriter(std::string& out, uint8_t type, int32_t player) : out_(out), start_(out.size())
{
    out_.append(4, '\0');
    AppendRecordHead(out_, type, player);
}

TFrameWriter& TFrameWriter::Text(std::string_view text)
{
    out_.append(text);
    return *this;
}

TFrameWriter& TFrameWriter::Number(int64_t value)
{
    AppendDecimal(out_, value);
    return *this;
}

TFrameWriter& TFrameWriter::Base64(const void* bytes, std::size_t n)
{
    std::size_t at = out_.size();
    out_.resize(at + Base64Length(n));
    EncodeBase64To(bytes, n, out_.data() + at);
    return *this;
}

void TFrameWriter::Finish()
{
    out_.push_back('\0');
    auto n = static_cast<uint32_t>(out_.size() - start_ - 4);
    for (int i = 0; i < 4; ++i)
        out_[start_ + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    CipherFrame(out_.data() + start_ + 4, n);
}

void AppendFrame(const LobbyRecord& record, std::string& out)
{
    out.reserve(out.size() + 4 + 40 + record.param.size());
    TFrameWriter(out, record.type, record.player).Text(record.param).Finish();
}

void AppendPlayerFrame(const PlayerRecord& record, std::string& out)
{
    out.reserve(out.size() + 4 + 40 + 24 + Base64Length(sizeof record));
    TFrameWriter(out, cmPlayer, 0).Text("\\index\\").Number(record.index).Text("\\prec\\")
        .Base64(&record, sizeof record).Finish();
}

void AppendGameFrame(const GameRecord& record, std::string& out)
{
    out.reserve(out.size() + 4 + 40 + 24 + Base64Length(sizeof record));
    TFrameWriter(out, cmGame, 0).Text("\\index\\").Number(record.index).Text("\\grec\\")
        .Base64(&record, sizeof record).Finish();
}

std::string BuildFrame(const LobbyRecord& record)
{
    std::string frame;
    frame.reserve(4 + 32 + record.param.size() + 1);
    AppendFrame(record, frame);
    return frame;
}

void CipherFrame(void* data, std::size_t length)
{
    if (length > kKeptKeystream) {
        FrameCipherState().Apply(data, length);
        return;
    }
    const uint8_t* key = FrameKeystream();
    auto* bytes = static_cast<uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] ^= key[i];
}

bool DecodeRecord(std::string_view plain, RecordView& record)
{
    // Every frame this program writes starts "\cmtype\" + type + "\player\":
    // there the two values are where the writer put them, and no earlier
    // occurrence of either key, or of "\cmparam\", can begin before the
    // player's value. Anything else is searched for as the keys say.
    constexpr std::string_view kHead = "\\cmtype\\";
    constexpr std::string_view kPlayer = "\\player\\";
    std::string_view type;
    std::string_view player;
    std::size_t from = 0;
    if (plain.size() >= 17 && plain.substr(0, 8) == kHead && plain.substr(9, 8) == kPlayer) {
        const auto t = static_cast<unsigned char>(plain[8]);
        if (t != '\\' && t >= 0x20)
            type = plain.substr(8, 1);
        std::size_t end = 17;
        while (end < plain.size() && plain[end] != '\\' && static_cast<unsigned char>(plain[end]) >= 0x20)
            ++end;
        player = plain.substr(17, end - 17);
        from = 16;
    } else {
        type = FindValue(plain, "cmtype");
        player = FindValue(plain, "player");
    }
    if (type.empty())
        return false;
    record.type = static_cast<uint8_t>(static_cast<uint8_t>(type[0]) - 32);
    record.player = DecimalToIntDef(player, 0);
    // The param runs to the end of the frame. The frame's closing zero byte
    // is not kept: a value read from the param ends at the end of the text
    // exactly as it would at that zero byte, so every lookup is the same.
    std::size_t at = plain.find("\\cmparam\\", from);
    if (at == std::string_view::npos) {
        record.param = {};
    } else {
        record.param = plain.substr(at + 9);
        if (!record.param.empty() && record.param.back() == '\0')
            record.param.remove_suffix(1);
    }
    return true;
}

bool DecodeRecord(std::string_view plain, LobbyRecord& record)
{
    RecordView view;
    if (!DecodeRecord(plain, view))
        return false;
    record.type = view.type;
    record.player = view.player;
    record.param.assign(view.param);
    return true;
}

FrameExtent MeasureFrame(std::string_view buffer, uint32_t maxLength)
{
    FrameExtent result;
    if (buffer.size() < 4)
        return result;   // Incomplete
    uint32_t n = ReadLength(buffer);
    if (n > maxLength) {
        // Nothing after a length we refuse can be trusted to start a frame.
        result.status = SplitStatus::Bad;
        result.used = buffer.size();
        return result;
    }
    if (buffer.size() - 4 < n)
        return result;   // Incomplete
    result.status = SplitStatus::Frame;
    result.used = 4 + std::size_t(n);
    return result;
}

OpenedFrame OpenFrame(char* buffer, std::size_t size, uint32_t maxLength)
{
    OpenedFrame result;
    FrameExtent extent = MeasureFrame(std::string_view(buffer, size), maxLength);
    result.status = extent.status;
    result.used = extent.used;
    if (extent.status == SplitStatus::Bad) {
        result.oversized = true;
        result.error = "frame length above the limit";
        return result;
    }
    if (extent.status == SplitStatus::Incomplete)
        return result;
    CipherFrame(buffer + 4, extent.used - 4);
    if (!DecodeRecord(std::string_view(buffer + 4, extent.used - 4), result.record)) {
        result.status = SplitStatus::Bad;
        result.error = "frame without a cmtype value";
    }
    return result;
}

SplitResult SplitFrame(std::string_view buffer, uint32_t maxLength)
{
    SplitResult result;
    FrameExtent extent = MeasureFrame(buffer, maxLength);
    result.status = extent.status;
    result.used = extent.used;
    if (extent.status == SplitStatus::Bad) {
        result.oversized = true;
        result.error = "frame length " + std::to_string(ReadLength(buffer)) + " above the limit of "
                       + std::to_string(maxLength);
        return result;
    }
    if (extent.status == SplitStatus::Incomplete)
        return result;
    // Deciphered into the record's own param buffer, which the decoded param
    // then replaces in place: one allocation, at most, for the whole frame.
    std::string& plain = result.record.param;
    plain.assign(buffer.substr(4, extent.used - 4));
    CipherFrame(plain.data(), plain.size());
    RecordView view;
    if (!DecodeRecord(plain, view)) {
        result.status = SplitStatus::Bad;
        result.error = "frame without a cmtype value";
        plain.clear();
        return result;
    }
    result.record.type = view.type;
    result.record.player = view.player;
    if (view.param.empty()) {
        plain.clear();
    } else {
        const std::size_t from = std::size_t(view.param.data() - plain.data());
        const std::size_t length = view.param.size();
        plain.erase(0, from);
        plain.resize(length);
    }
    return result;
}

// --- fixed records -----------------------------------------------------------

std::string PlayerRecord::Name() const { return ShortString(name, sizeof name - 1); }
void PlayerRecord::SetName(std::string_view text) { SetShortString(name, sizeof name - 1, text); }
std::string PlayerRecord::Address() const { return ShortString(address, sizeof address - 1); }
void PlayerRecord::SetAddress(std::string_view text) { SetShortString(address, sizeof address - 1, text); }
std::string GameRecord::Name() const { return ShortString(name, sizeof name - 1); }
void GameRecord::SetName(std::string_view text) { SetShortString(name, sizeof name - 1, text); }

std::string ValidGameName(std::string_view name)
{
    std::string trimmed = Trim(name);
    if (trimmed.empty() || trimmed.size() > 255)
        return {};
    for (unsigned char ch : trimmed)
        if (!GameNameChar(ch))
            return {};
    return trimmed;
}

std::string PackPlayer(const PlayerRecord& record) { return EncodeBase64(&record, sizeof record); }
std::string PackGame(const GameRecord& record) { return EncodeBase64(&record, sizeof record); }

void UnpackPlayer(std::string_view base64, PlayerRecord& record)
{
    DecodeBase64(base64, &record, sizeof record);
}

void UnpackGame(std::string_view base64, GameRecord& record)
{
    DecodeBase64(base64, &record, sizeof record);
}

} // namespace lobby
