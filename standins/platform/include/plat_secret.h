// String encryption of the platform library.
//
// Token: "v1." followed by base64 (no line breaks, no white space) of salt(16) | iv(12) | tag(16) |
// ciphertext. The key is PBKDF2-HMAC-SHA256 of the passphrase over the salt with 100 000
// iterations: about 25 ms per call on a desktop x86-64 core, so a decrypt stays well under 100 ms
// (slower NAS CPUs take a few times that; an action decrypts once). The cipher is AES-256-GCM,
// so a wrong passphrase or any changed byte fails the tag check.
//
// Results: 0; -22 NULL argument, empty passphrase, or a token that is empty or not of that form;
// -74 (EBADMSG) wrong passphrase or tampered token; -27 (EFBIG) text beyond 256 MiB; -12 out of
// memory; -5 (EIO) the crypto library failed. *out is set (malloc'd, NUL-terminated) only on 0.
#pragma once

int Encrypt_Str(const char* plain, char** out, const char* pass);
int Decrypt_Str(const char* token, char** out, const char* pass);

// Owns one malloc'd text (mostly a decrypted key) and frees it when the scope ends, overwriting it
// first so the secret does not linger in freed memory.
//     RAIIful_Char_Pointer plain;
//     int rc = Decrypt_Str(token, plain.out(), pass);
class RAIIful_Char_Pointer {
public:
    RAIIful_Char_Pointer() = default;
    explicit RAIIful_Char_Pointer(char* text) : m_text(text) {}
    ~RAIIful_Char_Pointer() { reset(); }
    RAIIful_Char_Pointer(const RAIIful_Char_Pointer&) = delete;
    RAIIful_Char_Pointer& operator=(const RAIIful_Char_Pointer&) = delete;
    RAIIful_Char_Pointer(RAIIful_Char_Pointer&& other) noexcept : m_text(other.release()) {}
    RAIIful_Char_Pointer& operator=(RAIIful_Char_Pointer&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    char* get() const { return m_text; }
    char* release() {
        char* text = m_text;
        m_text = nullptr;
        return text;
    }
    void reset(char* text = nullptr);  // wipes and frees the text held so far
    // Frees the text held so far and gives the address a function fills with a new one.
    char** out() {
        reset();
        return &m_text;
    }
    explicit operator bool() const { return m_text != nullptr; }

private:
    char* m_text = nullptr;
};
