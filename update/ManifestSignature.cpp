#include "update/ManifestSignature.h"

#include "update/ManifestKey.h"

#include <QtEndian>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

namespace {

constexpr quint32 publicBlobMagic = 0x31415352; // "RSA1"
constexpr int blobHeaderBytes = 24;
constexpr quint32 minimumModulusBits = 2048;
constexpr quint32 maximumModulusBits = 16384;

QByteArray &overriddenKeyText()
{
    static QByteArray text;
    return text;
}

struct BignumDeleter
{
    void operator()(BIGNUM *number) const { BN_free(number); }
};
struct ParamBuildDeleter
{
    void operator()(OSSL_PARAM_BLD *build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamDeleter
{
    void operator()(OSSL_PARAM *params) const { OSSL_PARAM_free(params); }
};
struct KeyContextDeleter
{
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct DigestContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumDeleter>;

quint32 word(const QByteArray &blob, int index)
{
    return qFromLittleEndian<quint32>(blob.constData() + index * 4);
}

Bignum bignum(const QByteArray &blob, qsizetype offset, qsizetype length)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(blob.constData() + offset);
    return Bignum(BN_bin2bn(bytes, int(length), nullptr));
}

ManifestSignature::Key keyFromNumbers(const BIGNUM *modulus, const BIGNUM *exponent)
{
    std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
    if (!build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus) != 1
        || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent) != 1)
        return nullptr;
    std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(build.get()));
    std::unique_ptr<EVP_PKEY_CTX, KeyContextDeleter> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1
        || EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return ManifestSignature::Key(key);
}

} // namespace

void ManifestSignature::KeyDeleter::operator()(EVP_PKEY *key) const
{
    EVP_PKEY_free(key);
}

ManifestSignature::Key ManifestSignature::keyFromBlob(const QByteArray &blob)
{
    if (blob.size() < blobHeaderBytes || word(blob, 0) != publicBlobMagic)
        return nullptr;
    const quint32 bits = word(blob, 1);
    const quint32 exponentBytes = word(blob, 2);
    const quint32 modulusBytes = word(blob, 3);
    if (word(blob, 4) != 0 || word(blob, 5) != 0 || exponentBytes < 1 || exponentBytes > 8
        || bits < minimumModulusBits || bits > maximumModulusBits || modulusBytes != (bits + 7) / 8
        || blob.size() != blobHeaderBytes + qsizetype(exponentBytes) + qsizetype(modulusBytes))
        return nullptr;
    const Bignum exponent = bignum(blob, blobHeaderBytes, exponentBytes);
    const Bignum modulus = bignum(blob, blobHeaderBytes + exponentBytes, modulusBytes);
    // The stated bit length must be the modulus's own, and an RSA exponent is odd and above 1.
    if (!exponent || !modulus || quint32(BN_num_bits(modulus.get())) != bits || !BN_is_odd(exponent.get())
        || BN_is_one(exponent.get()) || !BN_is_odd(modulus.get()))
        return nullptr;
    return keyFromNumbers(modulus.get(), exponent.get());
}

bool ManifestSignature::verify(const QByteArray &payload, const QByteArray &signature)
{
    if (signature.isEmpty())
        return false;
    const QByteArray keyText = overriddenKeyText().isEmpty() ? QByteArray(ManifestKey::publicKeyBase64)
                                                             : overriddenKeyText();
    const auto blob = QByteArray::fromBase64Encoding(keyText, QByteArray::AbortOnBase64DecodingErrors);
    if (!blob)
        return false;
    const Key key = keyFromBlob(*blob);
    if (!key)
        return false;
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> digest(EVP_MD_CTX_new());
    EVP_PKEY_CTX *keyContext = nullptr; // owned by the digest context
    if (!digest || EVP_DigestVerifyInit(digest.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) <= 0)
        return false;
    return EVP_DigestVerify(digest.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(payload.constData()),
                            size_t(payload.size()))
           == 1;
}

void ManifestSignature::overridePublicKeyForTests(const QByteArray &blobBase64)
{
    overriddenKeyText() = blobBase64;
}
