#include "plat_secret.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr std::string_view kPrefix = "v1.";
constexpr int kIterations = 100000;
constexpr size_t kSaltLen = 16, kIvLen = 12, kTagLen = 16, kKeyLen = 32;
constexpr size_t kHeadLen = kSaltLen + kIvLen + kTagLen;
constexpr size_t kMaxPlain = 256u << 20;
// The token's version is bound into the tag, so a token cannot be passed off as another form.
constexpr unsigned char kAad[] = {'v', '1'};

struct Ctx_Free {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Cipher_Ctx = std::unique_ptr<EVP_CIPHER_CTX, Ctx_Free>;

// A malloc'd buffer that is wiped before it is freed (plain texts and derived keys pass through).
struct Wiped {
    unsigned char* p = nullptr;
    size_t len = 0;
    explicit Wiped(size_t n) : p(static_cast<unsigned char*>(malloc(n ? n : 1))), len(n) {}
    ~Wiped() {
        if (p) OPENSSL_cleanse(p, len);
        free(p);
    }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    unsigned char* release() {
        unsigned char* out = p;
        p = nullptr;
        return out;
    }
};

int Derive_Key(const char* pass, const unsigned char* salt, unsigned char* key) {
    if (PKCS5_PBKDF2_HMAC(pass, static_cast<int>(strlen(pass)), salt, kSaltLen, kIterations, EVP_sha256(),
                          kKeyLen, key) != 1)
        return -EIO;
    return 0;
}

bool Is_Base64_Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Number of bytes the base64 text stands for, or -1 when it is not canonical padded base64.
// EVP_DecodeBlock alone would skip blanks and count padding as data.
long Decoded_Length(std::string_view b64) {
    if (b64.empty() || b64.size() % 4 != 0) return -1;
    size_t last = b64.find_last_not_of('=');
    if (last == std::string_view::npos) return -1;
    size_t pad = b64.size() - last - 1;
    if (pad > 2) return -1;
    for (size_t i = 0; i < b64.size() - pad; ++i)
        if (!Is_Base64_Char(b64[i])) return -1;
    return static_cast<long>(b64.size() / 4 * 3 - pad);
}

}  // namespace

void RAIIful_Char_Pointer::reset(char* text) {
    if (m_text && m_text != text) {
        OPENSSL_cleanse(m_text, strlen(m_text));
        free(m_text);
    }
    m_text = text;
}

int Encrypt_Str(const char* plain, char** out, const char* pass) {
    if (!plain || !out || !pass || !*pass) return -EINVAL;
    size_t plain_len = strlen(plain);
    if (plain_len > kMaxPlain) return -EFBIG;

    size_t raw_len = kHeadLen + plain_len;
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[raw_len]);
    if (!raw) return -ENOMEM;
    unsigned char* salt = raw.get();
    unsigned char* iv = salt + kSaltLen;
    unsigned char* tag = iv + kIvLen;
    unsigned char* cipher = tag + kTagLen;
    if (RAND_bytes(salt, kSaltLen + kIvLen) != 1) return -EIO;

    Wiped key(kKeyLen);
    if (!key.p) return -ENOMEM;
    if (int rc = Derive_Key(pass, salt, key.p); rc != 0) return rc;
    Cipher_Ctx ctx(EVP_CIPHER_CTX_new());
    int n = 0, fin = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvLen, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.p, iv) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, kAad, sizeof kAad) != 1 ||
        EVP_EncryptUpdate(ctx.get(), cipher, &n, reinterpret_cast<const unsigned char*>(plain),
                          static_cast<int>(plain_len)) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), cipher + n, &fin) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagLen, tag) != 1)
        return -EIO;

    size_t b64_len = (raw_len + 2) / 3 * 4;
    char* token = static_cast<char*>(malloc(kPrefix.size() + b64_len + 1));
    if (!token) return -ENOMEM;
    memcpy(token, kPrefix.data(), kPrefix.size());
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(token + kPrefix.size()), raw.get(), static_cast<int>(raw_len));
    *out = token;
    return 0;
}

int Decrypt_Str(const char* token, char** out, const char* pass) {
    if (!token || !out || !pass || !*pass) return -EINVAL;
    std::string_view text(token);
    if (text.substr(0, kPrefix.size()) != kPrefix) return -EINVAL;
    std::string_view b64 = text.substr(kPrefix.size());
    long raw_len = Decoded_Length(b64);
    if (raw_len < static_cast<long>(kHeadLen) || static_cast<size_t>(raw_len) > kHeadLen + kMaxPlain)
        return -EINVAL;

    // EVP_DecodeBlock writes whole groups of three, padding included.
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[b64.size() / 4 * 3]);
    if (!raw) return -ENOMEM;
    if (EVP_DecodeBlock(raw.get(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size())) < 0)
        return -EINVAL;
    const unsigned char* salt = raw.get();
    const unsigned char* iv = salt + kSaltLen;
    const unsigned char* tag = iv + kIvLen;
    const unsigned char* cipher = tag + kTagLen;
    size_t cipher_len = static_cast<size_t>(raw_len) - kHeadLen;

    Wiped key(kKeyLen);
    Wiped plain(cipher_len + 1);
    if (!key.p || !plain.p) return -ENOMEM;
    if (int rc = Derive_Key(pass, salt, key.p); rc != 0) return rc;
    Cipher_Ctx ctx(EVP_CIPHER_CTX_new());
    int n = 0, fin = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvLen, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.p, iv) != 1 ||
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, kAad, sizeof kAad) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.p, &n, cipher, static_cast<int>(cipher_len)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagLen, const_cast<unsigned char*>(tag)) != 1)
        return -EIO;
    if (EVP_DecryptFinal_ex(ctx.get(), plain.p + n, &fin) != 1) return -EBADMSG;
    plain.p[cipher_len] = '\0';
    // A NUL inside would cut the text short without anyone noticing; Encrypt_Str never makes one.
    if (memchr(plain.p, '\0', cipher_len)) return -EBADMSG;
    *out = reinterpret_cast<char*>(plain.release());
    return 0;
}
