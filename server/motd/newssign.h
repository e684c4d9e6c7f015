// Signing the news with the community's key (Ed25519, libsodium). A signed
// reply is the reply with two lines before it: "newssig=" + the Base64 of
// the signature, then "newstime=" + the seconds since 1970 at signing. The
// signature covers every byte after the "newssig" line's end, the
// "newstime" line included, so a reply can be neither changed nor dated
// anew. Clients that know nothing of it take the two lines as two settings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TNewsKey {
public:
    // Reads a key file: the Base64 of the 64-byte secret key on one line.
    // Nothing, with `error` set, when the file cannot be read, can be read
    // by group or others, or holds no sound key.
    static std::optional<TNewsKey> Load(const std::string& path, std::string& error);
    // Makes a new key and writes it to `path`, created with mode 0600; an
    // existing file is never overwritten. The public key in Base64 (44
    // characters), or nothing with `error` set.
    static std::optional<std::string> Make(const std::string& path, std::string& error);

    // The public key in Base64 (44 characters).
    std::string PublicKey() const;
    // `reply` with the two lines before it, signed at `unixTime`.
    std::string Sign(const std::string& reply, int64_t unixTime) const;

    // Bytes the two lines add to a reply signed at `unixTime`.
    static std::size_t Overhead(int64_t unixTime);

private:
    std::array<unsigned char, 64> secret_{};
};
