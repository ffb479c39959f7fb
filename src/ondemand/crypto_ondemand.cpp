// The OpenSSL functions the program calls: secrets, upload and download checksums, restore ids.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/rand.h>

#include "ondemand/ondemand.h"

namespace {
constexpr char kLib[] = QLM_LIBCRYPTO_SONAME;
}

extern "C" {

int CRYPTO_memcmp(const void* a, const void* b, size_t len) { QLM_ON_DEMAND_CALL(kLib, CRYPTO_memcmp, a, b, len); }
void OPENSSL_cleanse(void* ptr, size_t len) { QLM_ON_DEMAND_CALL(kLib, OPENSSL_cleanse, ptr, len); }
int RAND_bytes(unsigned char* buf, int num) { QLM_ON_DEMAND_CALL(kLib, RAND_bytes, buf, num); }
int PKCS5_PBKDF2_HMAC(const char* pass, int passlen, const unsigned char* salt, int saltlen, int iter,
                      const EVP_MD* digest, int keylen, unsigned char* out) {
    QLM_ON_DEMAND_CALL(kLib, PKCS5_PBKDF2_HMAC, pass, passlen, salt, saltlen, iter, digest, keylen, out);
}
int EVP_DecodeBlock(unsigned char* t, const unsigned char* f, int n) { QLM_ON_DEMAND_CALL(kLib, EVP_DecodeBlock, t, f, n); }
int EVP_EncodeBlock(unsigned char* t, const unsigned char* f, int n) { QLM_ON_DEMAND_CALL(kLib, EVP_EncodeBlock, t, f, n); }

const EVP_CIPHER* EVP_aes_256_gcm(void) { QLM_ON_DEMAND_CALL(kLib, EVP_aes_256_gcm); }
const EVP_MD* EVP_md5(void) { QLM_ON_DEMAND_CALL(kLib, EVP_md5); }
const EVP_MD* EVP_sha1(void) { QLM_ON_DEMAND_CALL(kLib, EVP_sha1); }
const EVP_MD* EVP_sha256(void) { QLM_ON_DEMAND_CALL(kLib, EVP_sha256); }

EVP_CIPHER_CTX* EVP_CIPHER_CTX_new(void) { QLM_ON_DEMAND_CALL(kLib, EVP_CIPHER_CTX_new); }
void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX* c) { QLM_ON_DEMAND_CALL(kLib, EVP_CIPHER_CTX_free, c); }
int EVP_CIPHER_CTX_ctrl(EVP_CIPHER_CTX* ctx, int type, int arg, void* ptr) {
    QLM_ON_DEMAND_CALL(kLib, EVP_CIPHER_CTX_ctrl, ctx, type, arg, ptr);
}
int EVP_EncryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
                       const unsigned char* iv) {
    QLM_ON_DEMAND_CALL(kLib, EVP_EncryptInit_ex, ctx, cipher, impl, key, iv);
}
int EVP_EncryptUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl, const unsigned char* in, int inl) {
    QLM_ON_DEMAND_CALL(kLib, EVP_EncryptUpdate, ctx, out, outl, in, inl);
}
int EVP_EncryptFinal_ex(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl) {
    QLM_ON_DEMAND_CALL(kLib, EVP_EncryptFinal_ex, ctx, out, outl);
}
int EVP_DecryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
                       const unsigned char* iv) {
    QLM_ON_DEMAND_CALL(kLib, EVP_DecryptInit_ex, ctx, cipher, impl, key, iv);
}
int EVP_DecryptUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl, const unsigned char* in, int inl) {
    QLM_ON_DEMAND_CALL(kLib, EVP_DecryptUpdate, ctx, out, outl, in, inl);
}
int EVP_DecryptFinal_ex(EVP_CIPHER_CTX* ctx, unsigned char* outm, int* outl) {
    QLM_ON_DEMAND_CALL(kLib, EVP_DecryptFinal_ex, ctx, outm, outl);
}

EVP_MD_CTX* EVP_MD_CTX_new(void) { QLM_ON_DEMAND_CALL(kLib, EVP_MD_CTX_new); }
void EVP_MD_CTX_free(EVP_MD_CTX* ctx) { QLM_ON_DEMAND_CALL(kLib, EVP_MD_CTX_free, ctx); }
int EVP_DigestInit_ex(EVP_MD_CTX* ctx, const EVP_MD* type, ENGINE* impl) {
    QLM_ON_DEMAND_CALL(kLib, EVP_DigestInit_ex, ctx, type, impl);
}
int EVP_DigestUpdate(EVP_MD_CTX* ctx, const void* d, size_t cnt) { QLM_ON_DEMAND_CALL(kLib, EVP_DigestUpdate, ctx, d, cnt); }
int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* s) {
    QLM_ON_DEMAND_CALL(kLib, EVP_DigestFinal_ex, ctx, md, s);
}

int MD5_Init(MD5_CTX* c) { QLM_ON_DEMAND_CALL(kLib, MD5_Init, c); }
int MD5_Update(MD5_CTX* c, const void* data, size_t len) { QLM_ON_DEMAND_CALL(kLib, MD5_Update, c, data, len); }
int MD5_Final(unsigned char* md, MD5_CTX* c) { QLM_ON_DEMAND_CALL(kLib, MD5_Final, md, c); }

}  // extern "C"
