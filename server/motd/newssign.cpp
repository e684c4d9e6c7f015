#include "newssign.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Ready()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string Base64(const unsigned char* bytes, std::size_t size)
{
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string TimeLine(int64_t unixTime) { return "newstime=" + std::to_string(unixTime) + "\r\n"; }

// The Base64 of a 64-byte signature is 88 characters.
constexpr std::size_t kSigLineSize = 8 + 88 + 2;

} // namespace

std::optional<TNewsKey> TNewsKey::Load(const std::string& path, std::string& error)
{
    if (!Ready()) {
        error = "the cryptography library cannot start";
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "not a file";
        return std::nullopt;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        ::close(fd);
        error = "it can be read by group or others (chmod 600 it)";
        return std::nullopt;
    }
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    std::string text(buffer, got > 0 ? std::size_t(got) : 0);
    sodium_memzero(buffer, sizeof buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    TNewsKey key;
    std::size_t len = 0;
    const bool decoded = sodium_base642bin(key.secret_.data(), key.secret_.size(), text.data(), text.size(), nullptr,
                                           &len, nullptr, sodium_base64_VARIANT_ORIGINAL)
                         == 0;
    sodium_memzero(text.data(), text.size());
    // A sound key's second half is the public key its first half (the seed) makes.
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    const bool sound = decoded && len == key.secret_.size()
                       && crypto_sign_ed25519_sk_to_seed(seed, key.secret_.data()) == 0
                       && crypto_sign_seed_keypair(pk, sk, seed) == 0
                       && std::memcmp(sk, key.secret_.data(), sizeof sk) == 0;
    sodium_memzero(seed, sizeof seed);
    sodium_memzero(sk, sizeof sk);
    if (!sound) {
        error = "not a news key";
        return std::nullopt;
    }
    return key;
}

std::optional<std::string> TNewsKey::Make(const std::string& path, std::string& error)
{
    if (!Ready()) {
        error = "the cryptography library cannot start";
        return std::nullopt;
    }
    TNewsKey key;
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_keypair(pk, key.secret_.data());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno == EEXIST ? "the file exists already (it is never overwritten)" : std::strerror(errno);
        return std::nullopt;
    }
    std::string text = Base64(key.secret_.data(), key.secret_.size()) + "\n";
    bool written = ::fchmod(fd, 0600) == 0;
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        at += written ? std::size_t(n) : 0;
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    sodium_memzero(text.data(), text.size());
    if (!written) {
        error = std::strerror(errno);
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return Base64(pk, sizeof pk);
}

std::string TNewsKey::PublicKey() const
{
    return Base64(secret_.data() + crypto_sign_SEEDBYTES, crypto_sign_PUBLICKEYBYTES);
}

std::string TNewsKey::Sign(const std::string& reply, int64_t unixTime) const
{
    const std::string covered = TimeLine(unixTime) + reply;
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(covered.data()), covered.size(),
                         secret_.data());
    return "newssig=" + Base64(sig, sizeof sig) + "\r\n" + covered;
}

std::size_t TNewsKey::Overhead(int64_t unixTime) { return kSigLineSize + TimeLine(unixTime).size(); }
