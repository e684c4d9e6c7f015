#include "lobby/protocol.h"

#include "app/textfuncs.h"

#include <algorithm>
#include <cstring>

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

void AppendDecimal(std::string& out, int32_t value)
{
    char digits[16];
    int n = 0;
    // Work in 64 bits so that INT32_MIN negates safely.
    int64_t v = value;
    bool negative = v < 0;
    if (negative)
        v = -v;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative)
        out.push_back('-');
    while (n > 0)
        out.push_back(digits[--n]);
}

void AppendRecordText(const LobbyRecord& record, std::string& out)
{
    out.append("\\cmtype\\");
    out.push_back(static_cast<char>(static_cast<uint8_t>(record.type + 32)));
    out.append("\\player\\");
    AppendDecimal(out, record.player);
    out.append("\\cmparam\\");
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

void AppendFrame(const LobbyRecord& record, std::string& out)
{
    std::size_t start = out.size();
    out.append(4, '\0');
    AppendRecordText(record, out);
    out.push_back('\0');
    auto n = static_cast<uint32_t>(out.size() - start - 4);
    for (int i = 0; i < 4; ++i)
        out[start + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    CipherFrame(out.data() + start + 4, n);
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
    FrameCipherState().Apply(data, length);
}

bool DecodeRecord(std::string_view plain, LobbyRecord& record)
{
    std::string type = LookupValue(plain, "cmtype");
    if (type.empty())
        return false;
    record.type = static_cast<uint8_t>(static_cast<uint8_t>(type[0]) - 32);
    record.player = DecimalToIntDef(LookupValue(plain, "player"), 0);
    // The param runs to the end of the frame. The frame's closing zero byte
    // is not kept: a value read from the param ends at the end of the text
    // exactly as it would at that zero byte, so every lookup is the same.
    std::size_t at = plain.find("\\cmparam\\");
    if (at == std::string_view::npos) {
        record.param.clear();
    } else {
        std::string_view param = plain.substr(at + 9);
        if (!param.empty() && param.back() == '\0')
            param.remove_suffix(1);
        record.param.assign(param);
    }
    return true;
}

SplitResult SplitFrame(std::string_view buffer, uint32_t maxLength)
{
    SplitResult result;
    if (buffer.size() < 4)
        return result;   // Incomplete
    uint32_t n = ReadLength(buffer);
    if (n > maxLength) {
        // Nothing after a length we refuse can be trusted to start a frame.
        result.status = SplitStatus::Bad;
        result.oversized = true;
        result.used = buffer.size();
        result.error = "frame length " + std::to_string(n) + " above the limit of "
                       + std::to_string(maxLength);
        return result;
    }
    if (buffer.size() - 4 < n)
        return result;   // Incomplete
    result.used = 4 + std::size_t(n);
    std::string plain(buffer.substr(4, n));
    CipherFrame(plain.data(), plain.size());
    if (!DecodeRecord(plain, result.record)) {
        result.status = SplitStatus::Bad;
        result.error = "frame without a cmtype value";
        return result;
    }
    result.status = SplitStatus::Frame;
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
