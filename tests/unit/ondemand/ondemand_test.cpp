// Libraries loaded on first use: nothing of them is in the process before a call, the call works
// as the library's own, and only the library called is loaded.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <archive.h>
#include <archive_entry.h>
#include <magic.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

bool Mapped(const std::string& lib) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find("/" + lib) != std::string::npos;
}

std::string Hex(const unsigned char* p, unsigned n) {
    std::string out;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out;
}

la_ssize_t Collect(struct archive*, void* client, const void* buf, size_t n) {
    static_cast<std::string*>(client)->append(static_cast<const char*>(buf), n);
    return static_cast<la_ssize_t>(n);
}

TEST(OnDemand, EachLibraryComesInWithItsFirstCall) {
    ASSERT_FALSE(Mapped("libcrypto.so"));
    ASSERT_FALSE(Mapped("libarchive.so"));
    ASSERT_FALSE(Mapped("libmagic.so"));

    // MD5 of "abc" through both interfaces the program uses.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr), 1);
    ASSERT_EQ(EVP_DigestUpdate(ctx.get(), "abc", 3), 1);
    ASSERT_EQ(EVP_DigestFinal_ex(ctx.get(), md, &n), 1);
    EXPECT_EQ(Hex(md, n), "900150983cd24fb0d6963f7d28e17f72");
    MD5_CTX old;
    ASSERT_EQ(MD5_Init(&old), 1);
    ASSERT_EQ(MD5_Update(&old, "abc", 3), 1);
    ASSERT_EQ(MD5_Final(md, &old), 1);
    EXPECT_EQ(Hex(md, MD5_DIGEST_LENGTH), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(Mapped("libcrypto.so"));
    EXPECT_FALSE(Mapped("libarchive.so"));
    EXPECT_FALSE(Mapped("libmagic.so"));

    // A zip of one file, written to memory.
    std::string zip;
    struct archive* a = archive_write_new();
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(archive_write_set_format_zip(a), ARCHIVE_OK);
    ASSERT_EQ(archive_write_open(a, &zip, nullptr, Collect, nullptr), ARCHIVE_OK);
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, "hello.txt");
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, 5);
    ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK);
    EXPECT_EQ(archive_write_data(a, "hello", 5), 5);
    archive_entry_free(e);
    EXPECT_EQ(archive_write_close(a), ARCHIVE_OK);
    archive_write_free(a);
    EXPECT_EQ(zip.compare(0, 4, "PK\x03\x04"), 0);
    EXPECT_NE(zip.find("hello.txt"), std::string::npos);
    EXPECT_TRUE(Mapped("libarchive.so"));
    EXPECT_FALSE(Mapped("libmagic.so"));

    magic_t m = magic_open(MAGIC_MIME_TYPE);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(magic_load(m, nullptr), 0);
    const char* type = magic_buffer(m, "%PDF-1.4\n", 9);
    EXPECT_STREQ(type, "application/pdf");
    magic_close(m);
    EXPECT_TRUE(Mapped("libmagic.so"));
}

}  // namespace
