// The lobby's wire format, shared by the client and the lobby master.
// Pure C++ without Qt: records, frames, the frame cipher, and the fixed
// player and game records carried inside cmPlayer and cmGame.
//
// Frame: N (unsigned 32-bit little-endian) followed by N bytes: the record
// text and one zero byte, enciphered together with RC4 under the key
// "742918365" from the start of the keystream. Record text:
//   "\cmtype\" + char(type + 32) + "\player\" + decimal index + "\cmparam\" + param
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum TMessageType : uint8_t {
    cmPlayer = 0,
    cmNameWanted = 1,
    cmNameTaken = 2,
    cmLeave = 3,
    cmGame = 4,
    cmGameGone = 5,
    cmPing = 6,
    cmPong = 7,
    cmChat = 8,
    cmPrivMsg = 9,
    cmInvite = 10,
    cmStart = 11,
    cmMessage = 12,
    cmJoin = 13,
    cmKick = 14,
    cmHost = 15,
    cmRefresh = 16,
};

// "cmPlayer" ... "cmRefresh"; "unknown" for other numbers.
const char* MessageTypeName(uint8_t type);

struct LobbyRecord {
    uint8_t type = 0;
    int32_t player = 0;
    // Everything after "\cmparam\". A decoded record does not keep the
    // frame's closing zero byte; values read from it end the same way.
    std::string param;
};

namespace lobby {

struct PlayerRecord;
struct GameRecord;

constexpr const char* kFrameKey = "742918365";
// The largest enciphered part a receiver accepts. Real records are far
// smaller (a game record is 368 characters of Base64).
constexpr uint32_t kMaxFrameLength = 64 * 1024;

// A decoded record as it lies in a deciphered frame: `param` is a view into
// the frame's bytes (without the closing zero byte) and lives as long as they.
struct RecordView {
    uint8_t type = 0;
    int32_t player = 0;
    std::string_view param;
};

// The record text without the trailing zero byte.
std::string RecordText(const LobbyRecord& record);
// The frame's bytes as they go on the wire: N, then the enciphered text + zero byte.
std::string BuildFrame(const LobbyRecord& record);
// Appends the frame to `out` (avoids a copy on hot paths).
void AppendFrame(const LobbyRecord& record, std::string& out);

// Writes one frame straight into a buffer: the record text goes in as it is
// made, without intermediate strings, and Finish() fills in the length and
// enciphers the frame where it lies. Several frames may follow one another
// in one buffer.
class TFrameWriter {
public:
    TFrameWriter(std::string& out, uint8_t type, int32_t player);
    TFrameWriter& Text(std::string_view text);
    TFrameWriter& Number(int64_t value);
    // Base64 of the bytes, written without a temporary.
    TFrameWriter& Base64(const void* bytes, std::size_t n);
    // The closing zero byte, the length, the cipher. Call once.
    void Finish();

private:
    std::string& out_;
    std::size_t start_;
};

// The frame of a cmPlayer or cmGame record: "\index\" + index + "\prec\"
// (or "\grec\") + the record in Base64, written at the end of `out`.
void AppendPlayerFrame(const PlayerRecord& record, std::string& out);
void AppendGameFrame(const GameRecord& record, std::string& out);

// The frame cipher: RC4 under kFrameKey from the start of the keystream.
// Its own inverse.
void CipherFrame(void* data, std::size_t length);

enum class SplitStatus {
    Frame,        // a whole frame at the front: `used` bytes, `record` decoded
    Incomplete,   // the front frame is not all there yet: wait for more bytes
    Bad,          // the front cannot be a frame; `used` bytes are to be dropped
};

struct SplitResult {
    SplitStatus status = SplitStatus::Incomplete;
    std::size_t used = 0;
    LobbyRecord record;
    std::string error;   // why a frame was bad
    bool oversized = false;  // Bad because of the length prefix: the whole buffer went
};

// Looks at the front of `buffer` only. A length prefix above `maxLength`
// is Bad and drops the whole buffer (nothing after it can be trusted to
// start a frame); a frame without a "cmtype" value is Bad and drops only
// that frame.
SplitResult SplitFrame(std::string_view buffer, uint32_t maxLength = kMaxFrameLength);

// Decodes a deciphered frame (text and zero byte). False when it holds no
// "cmtype" value.
bool DecodeRecord(std::string_view plain, LobbyRecord& record);
// The same without a copy: the view's param points into `plain`.
bool DecodeRecord(std::string_view plain, RecordView& record);

// Whether a whole frame is at the front of `buffer`, without deciphering
// anything: Frame with its size in `used`; Incomplete; or Bad when the
// length prefix is above `maxLength` (oversized; `used` is the whole buffer).
struct FrameExtent {
    SplitStatus status = SplitStatus::Incomplete;
    std::size_t used = 0;
};
FrameExtent MeasureFrame(std::string_view buffer, uint32_t maxLength = kMaxFrameLength);

// SplitFrame without copies: deciphers the front frame where it lies in
// `buffer` and decodes it into `record`, whose param is a view into
// `buffer`. Deciphers only a whole frame, so the caller must take the `used`
// bytes off the front whenever the status is not Incomplete: they are
// plain text now. `error` is set for a Bad frame.
struct OpenedFrame {
    SplitStatus status = SplitStatus::Incomplete;
    std::size_t used = 0;
    bool oversized = false;
    RecordView record;
    const char* error = "";
};
OpenedFrame OpenFrame(char* buffer, std::size_t size, uint32_t maxLength = kMaxFrameLength);

// --- fixed records -----------------------------------------------------------

#pragma pack(push, 1)
struct PlayerRecord {                // 72 bytes
    uint8_t active = 0;
    uint8_t unused1[3] = {};
    int32_t index = 0;
    uint8_t name[32] = {};           // length byte + up to 31 characters
    int32_t hostPlayer = 0;
    uint8_t address[16] = {};        // length byte + up to 15 characters
    uint16_t ping = 0;
    uint8_t unused2[2] = {};
    uint32_t lastPingTick = 0;
    int32_t hostedGame = 0;

    std::string Name() const;
    void SetName(std::string_view text);
    std::string Address() const;
    void SetAddress(std::string_view text);
};

struct GameRecord {                  // 276 bytes
    uint8_t active = 0;
    uint8_t unused1[3] = {};
    int32_t index = 0;
    int32_t hostPlayer = 0;
    uint8_t name[256] = {};          // length byte + up to 255 characters
    uint8_t state = 0;               // 0 open, 1 in progress
    uint8_t unused2 = 0;
    uint16_t maxPlayers = 0;
    uint8_t inviteOnly = 0;
    uint8_t unused3[3] = {};

    std::string Name() const;
    void SetName(std::string_view text);
};
#pragma pack(pop)

static_assert(sizeof(PlayerRecord) == 72, "player record layout");
static_assert(sizeof(GameRecord) == 276, "game record layout");

// --- rules shared by the client and the master ----------------------------

// A game name as the lobby accepts it: with the blanks around it trimmed, 1
// to 255 characters, each a letter, a digit, a blank or one of ' ( ) [ ].
// The trimmed name when it is valid, empty otherwise.
std::string ValidGameName(std::string_view name);

// Base64 of the record's bytes (96 and 368 characters). The layout is
// little-endian on the wire; this code assumes a little-endian host.
std::string PackPlayer(const PlayerRecord& record);
std::string PackGame(const GameRecord& record);
// Decodes over the whole record; a short text fills the rest with zeros.
void UnpackPlayer(std::string_view base64, PlayerRecord& record);
void UnpackGame(std::string_view base64, GameRecord& record);

} // namespace lobby
