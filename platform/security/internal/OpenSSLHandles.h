#pragma once
// Owning handles for the OpenSSL objects the security area uses, and the error-queue text.
// Internal to platform/security; not part of the public surface.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>

#include "platform/security/Certificate.h"

namespace platform::security::detail {

struct BIODeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct X509CRLDeleter {
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
struct EVPKeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct StoreDeleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxDeleter {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }  // does not free the elements
};
struct CRLStackDeleter {
    void operator()(STACK_OF(X509_CRL) * s) const { sk_X509_CRL_free(s); }
};

using BIOPtr = std::unique_ptr<BIO, BIODeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using CRLPtr = std::unique_ptr<X509_CRL, X509CRLDeleter>;
using EVPKeyPtr = std::unique_ptr<EVP_PKEY, EVPKeyDeleter>;
using StorePtr = std::unique_ptr<X509_STORE, StoreDeleter>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
using CRLStackPtr = std::unique_ptr<STACK_OF(X509_CRL), CRLStackDeleter>;

// Shared ownership over OpenSSL's own reference count: copies up-ref, the last release frees.
inline std::shared_ptr<X509> shareX509(X509* x) {
    if (!x || X509_up_ref(x) != 1) return nullptr;
    return std::shared_ptr<X509>(x, X509Deleter{});
}
inline std::shared_ptr<EVP_PKEY> shareKey(EVP_PKEY* k) {
    if (!k || EVP_PKEY_up_ref(k) != 1) return nullptr;
    return std::shared_ptr<EVP_PKEY>(k, EVPKeyDeleter{});
}

// The OpenSSL objects behind the public values, for the area's own files.
struct OpenSSLAccess {
    static X509* x509(const Certificate& certificate) { return certificate.x509(); }
    static Result<Certificate> certificateFromX509(X509* x509) { return Certificate::fromX509(x509); }
    static EVP_PKEY* evpKey(const PublicKey& key) { return key.evpKey(); }
};

// Drains this thread's OpenSSL error queue into one line ("" when empty), so a failure never leaks
// its errors into an unrelated later call.
std::string drainOpenSSLErrors();

// Memory BIO over read-only bytes; the bytes must outlive the BIO.
BIOPtr readOnlyBIO(const void* data, size_t size);
// Everything written to a memory BIO, as a string.
std::string bioContents(BIO* bio);

}  // namespace platform::security::detail
