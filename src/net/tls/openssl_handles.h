#pragma once

#include <memory>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

// Owning handles for OpenSSL objects: each is freed by its own free function, whichever way the
// code that made it leaves.
template <auto Free> struct OpenSslFree {
    template <typename T> void operator()(T *object) const { Free(object); }
};

using X509Handle = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using EvpPkeyHandle = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using BioHandle = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using BignumHandle = std::unique_ptr<BIGNUM, OpenSslFree<BN_free>>;
using Asn1TimeHandle = std::unique_ptr<ASN1_TIME, OpenSslFree<ASN1_TIME_free>>;
// Any ASN1_STRING kind: octet strings, IA5 strings, integers.
using Asn1StringHandle = std::unique_ptr<ASN1_STRING, OpenSslFree<ASN1_STRING_free>>;
using X509NameHandle = std::unique_ptr<X509_NAME, OpenSslFree<X509_NAME_free>>;
using X509ExtensionHandle = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION_free>>;
using GeneralNameHandle = std::unique_ptr<GENERAL_NAME, OpenSslFree<GENERAL_NAME_free>>;
using GeneralNamesHandle = std::unique_ptr<GENERAL_NAMES, OpenSslFree<GENERAL_NAMES_free>>;
using AuthorityKeyIdHandle = std::unique_ptr<AUTHORITY_KEYID, OpenSslFree<AUTHORITY_KEYID_free>>;
using X509StoreHandle = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using X509StoreCtxHandle = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
