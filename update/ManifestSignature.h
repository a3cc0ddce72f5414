#pragma once

#include <QByteArray>
#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// Checks the feed's RSA signature (PKCS#1 v1.5 over SHA-256) of a manifest payload against the public
// key compiled into the program. The key is kept as base64 text of an RSA public-key blob: six
// little-endian 32-bit words (magic "RSA1", bit length, exponent bytes, modulus bytes, two zero prime
// lengths) followed by the big-endian exponent and modulus.
class ManifestSignature
{
public:
    struct KeyDeleter
    {
        void operator()(EVP_PKEY *key) const;
    };
    using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

    // True only when the signature verifies over the payload with the current key.
    static bool verify(const QByteArray &payload, const QByteArray &signature);

    // The key of a public-key blob; null when the blob is malformed.
    static Key keyFromBlob(const QByteArray &blob);

    // Test seam: replaces the compiled key with the base64 text of another blob (empty restores it).
    static void overridePublicKeyForTests(const QByteArray &blobBase64);
};
