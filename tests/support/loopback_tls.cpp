// The loopback server's TLS: a certificate that is its own authority.
#include "loopback_internal.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <string>
#include <utility>

namespace zrvk::test::detail {
namespace {

std::string sslError() {
    unsigned long e = ERR_get_error();
    if (e == 0) return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

}  // namespace

// A self-signed P-256 certificate for 127.0.0.1 and localhost, made per run.
bool makeTlsContext(SSL_CTX*& ctxOut, std::string& pemOut, std::string& error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = nullptr;
    bool ok = false;
    do {
        if (!key || !cert) break;
        X509_set_version(cert, 2);
        std::uint32_t serial = 0;
        RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(serial & 0x7fffffff));
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
        if (X509_set_pubkey(cert, key) != 1) break;
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
        bool extOk = true;
        for (auto [nid, value] : {std::pair<int, const char*>{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                  {NID_basic_constraints, "critical,CA:TRUE"},
                                  {NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
            if (!ext || X509_add_ext(cert, ext, -1) != 1) extOk = false;
            X509_EXTENSION_free(ext);
        }
        if (!extOk || X509_sign(cert, key, EVP_sha256()) == 0) break;

        ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx || SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1) break;
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        pemOut.assign(data, static_cast<std::size_t>(len));
        BIO_free(bio);
        ok = true;
    } while (false);
    if (!ok) {
        error = "TLS set-up failed: " + sslError();
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    ctxOut = ctx;
    return ok;
}

}  // namespace zrvk::test::detail
