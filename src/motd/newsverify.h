// Signed news: a reply that begins with the line "newssig=" + the Base64 of
// an Ed25519 signature over every byte after that line's end, the first of
// those lines being "newstime=" + the seconds since 1970 at signing. The
// community's public key decides which news is taken; the client keeps the
// time of the last news it took, so an older reply played again is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class TNewsCheck {
    Verified,
    Unsigned,      // no "newssig" line first
    BadKey,        // the public key is not 32 bytes of Base64
    BadSignature,  // the signature is not Base64 of 64 bytes, or does not verify
    BadTime,       // no "newstime" line first in the signed part, or not a number
    Replayed,      // older than the last news taken
    FromFuture,    // more than a day ahead of the clock
};

struct TNewsVerdict {
    TNewsCheck check = TNewsCheck::Unsigned;
    int64_t time = 0;           // the reply's "newstime", when it verified
    std::string_view signedPart;  // the reply after the "newssig" line
};

// The key of a Base64 text: true and 32 bytes in `key` when it is one.
bool DecodeNewsKey(std::string_view base64, unsigned char (&key)[32]);

// Checks `reply` against `publicKey` (Base64 of 32 bytes). `lastTime` is the
// "newstime" of the last news taken (0: none); `now` the clock in seconds.
// A reply signed at the same second as the last one taken is taken again
// (the service answers every start the same way within a second).
TNewsVerdict VerifyNews(std::string_view reply, std::string_view publicKey, int64_t lastTime, int64_t now);

// The reply without its leading "newssig" and "newstime" lines, when it has
// them; any other reply as it is. What a client without a key works with.
std::string_view WithoutSignatureLines(std::string_view reply);
