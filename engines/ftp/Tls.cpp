// The server's key as a pin: noted whenever OpenSSL checks a certificate,
// whatever libcurl makes of it, so an error can name the pin that would
// trust the server, or the one it offered instead of the pinned one.

#include "FtpState.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace velmora::ftp {

namespace {

int Verify(X509_STORE_CTX *store, void *state)
{
    if (X509 *leaf = X509_STORE_CTX_get0_cert(store))
        static_cast<FtpSession::State *>(state)->serverPin = PinOf(leaf);
    return X509_verify_cert(store);
}

}  // namespace

std::string PinOf(const void *x509)
{
    X509_PUBKEY *key = X509_get_X509_PUBKEY(static_cast<const X509 *>(x509));
    unsigned char *der = nullptr;
    const int length = key ? i2d_X509_PUBKEY(key, &der) : -1;
    if (length <= 0)
        return "?";
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    const bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), hash, &hashLength,
                                   EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed)
        return "?";
    unsigned char text[4 * EVP_MAX_MD_SIZE / 3 + 4];
    const int textLength = EVP_EncodeBlock(text, hash, static_cast<int>(hashLength));
    return "sha256//" +
           std::string(reinterpret_cast<const char *>(text), static_cast<std::size_t>(textLength));
}

CURLcode NoteServerKey(CURL *, void *sslContext, void *state)
{
    // libcurl sets its options first, so this stays as it is; OpenSSL checks
    // the chain even where libcurl does not ask for the check's verdict.
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX *>(sslContext), &Verify, state);
    return CURLE_OK;
}

}  // namespace velmora::ftp
