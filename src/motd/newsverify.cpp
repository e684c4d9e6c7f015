#include "newsverify.h"

#include <sodium.h>

#include <charconv>

namespace {

constexpr std::string_view kSigName = "newssig=";
constexpr std::string_view kTimeName = "newstime=";
constexpr int64_t kMostAhead = 24 * 60 * 60;

// The first line of `text` (without its end) and where the next one starts.
// Line ends are CR LF, LF or CR, as in the rest of the reply.
std::string_view FirstLine(std::string_view text, std::size_t& next)
{
    const std::size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) {
        next = text.size();
        return text;
    }
    next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n')
        ++next;
    return text.substr(0, end);
}

bool DecodeBase64(std::string_view text, unsigned char* out, std::size_t size)
{
    std::size_t len = 0;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &len, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return len == size;
}

bool Init()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

bool DecodeNewsKey(std::string_view base64, unsigned char (&key)[32])
{
    return Init() && DecodeBase64(base64, key, sizeof key);
}

TNewsVerdict VerifyNews(std::string_view reply, std::string_view publicKey, int64_t lastTime, int64_t now)
{
    TNewsVerdict verdict;
    std::size_t next = 0;
    const std::string_view sigLine = FirstLine(reply, next);
    if (sigLine.substr(0, kSigName.size()) != kSigName) {
        verdict.check = TNewsCheck::Unsigned;
        return verdict;
    }
    unsigned char key[32];
    if (!DecodeNewsKey(publicKey, key)) {
        verdict.check = TNewsCheck::BadKey;
        return verdict;
    }
    unsigned char sig[crypto_sign_BYTES];
    const std::string_view signedPart = reply.substr(next);
    if (!DecodeBase64(sigLine.substr(kSigName.size()), sig, sizeof sig)
        || crypto_sign_verify_detached(sig, reinterpret_cast<const unsigned char*>(signedPart.data()),
                                       signedPart.size(), key) != 0) {
        verdict.check = TNewsCheck::BadSignature;
        return verdict;
    }
    std::size_t after = 0;
    const std::string_view timeLine = FirstLine(signedPart, after);
    int64_t time = 0;
    const std::string_view digits = timeLine.substr(std::min(timeLine.size(), kTimeName.size()));
    if (timeLine.substr(0, kTimeName.size()) != kTimeName || digits.empty()
        || std::from_chars(digits.data(), digits.data() + digits.size(), time).ptr != digits.data() + digits.size()
        || time < 0) {
        verdict.check = TNewsCheck::BadTime;
        return verdict;
    }
    if (time < lastTime) {
        verdict.check = TNewsCheck::Replayed;
        return verdict;
    }
    if (time > now + kMostAhead) {
        verdict.check = TNewsCheck::FromFuture;
        return verdict;
    }
    verdict.check = TNewsCheck::Verified;
    verdict.time = time;
    verdict.signedPart = signedPart;
    return verdict;
}

std::string_view WithoutSignatureLines(std::string_view reply)
{
    std::size_t next = 0;
    if (FirstLine(reply, next).substr(0, kSigName.size()) != kSigName)
        return reply;
    std::string_view rest = reply.substr(next);
    std::size_t after = 0;
    if (FirstLine(rest, after).substr(0, kTimeName.size()) == kTimeName)
        rest = rest.substr(after);
    return rest;
}
