#pragma once

// A key pair made for one test run: the tests install its public half in place of the compiled key
// and sign the manifests they need with the private half, which never leaves the process.
#include "update/ManifestSignature.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

class FeedSigner
{
public:
    explicit FeedSigner(unsigned bits = 3072) : m_key(EVP_RSA_gen(bits)) { m_blob = makeBlob(); }
    ~FeedSigner() { EVP_PKEY_free(m_key); }
    FeedSigner(const FeedSigner &) = delete;
    FeedSigner &operator=(const FeedSigner &) = delete;

    QByteArray blob() const { return m_blob; }
    void install() const { ManifestSignature::overridePublicKeyForTests(m_blob.toBase64()); }

    QByteArray sign(const QByteArray &payload) const
    {
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        EVP_PKEY_CTX *keyContext = nullptr;
        size_t length = 0;
        QByteArray signature;
        if (EVP_DigestSignInit(context, &keyContext, EVP_sha256(), nullptr, m_key) == 1
            && EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) > 0
            && EVP_DigestSign(context, nullptr, &length, bytes(payload), size_t(payload.size())) == 1) {
            signature.resize(qsizetype(length));
            EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length, bytes(payload),
                           size_t(payload.size()));
            signature.resize(qsizetype(length));
        }
        EVP_MD_CTX_free(context);
        return signature;
    }

    // A complete manifest document around payload bytes, signed with this key.
    QByteArray document(const QByteArray &payload) const
    {
        return QJsonDocument(QJsonObject{{QStringLiteral("key_id"), QStringLiteral("zelvo-playout-2026-01")},
                                         {QStringLiteral("payload"), QString::fromLatin1(payload.toBase64())},
                                         {QStringLiteral("signature"), QString::fromLatin1(sign(payload).toBase64())}})
            .toJson();
    }
    QByteArray document(const QJsonObject &payload) const
    {
        return document(QJsonDocument(payload).toJson(QJsonDocument::Compact));
    }

    // A payload that passes every rule.
    static QJsonObject payload(const QString &version, const QString &sha256, qint64 size)
    {
        const QJsonObject setup{{QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-v0.2.0-setup.exe")},
                                {QStringLiteral("sha256"), sha256},
                                {QStringLiteral("size"), double(size)}};
        return {{QStringLiteral("schema"), 1},
                {QStringLiteral("product"), QStringLiteral("zelvo-playout")},
                {QStringLiteral("channel"), QStringLiteral("preview")},
                {QStringLiteral("platform"), QStringLiteral("windows-x64")},
                {QStringLiteral("version"), version},
                {QStringLiteral("artifacts"), QJsonObject{{QStringLiteral("setup"), setup}}},
                {QStringLiteral("notes"), QJsonObject{{QStringLiteral("en"), QJsonArray{QStringLiteral("Faster start.")}},
                                                      {QStringLiteral("pt-BR"), QJsonArray{QStringLiteral("Início mais rápido.")}}}},
                {QStringLiteral("source_commit"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}};
    }

private:
    static const unsigned char *bytes(const QByteArray &data)
    {
        return reinterpret_cast<const unsigned char *>(data.constData());
    }

    QByteArray number(const char *name) const
    {
        BIGNUM *value = nullptr;
        EVP_PKEY_get_bn_param(m_key, name, &value);
        QByteArray out(BN_num_bytes(value), '\0');
        BN_bn2bin(value, reinterpret_cast<unsigned char *>(out.data()));
        BN_free(value);
        return out;
    }

    QByteArray makeBlob() const
    {
        const QByteArray exponent = number(OSSL_PKEY_PARAM_RSA_E);
        const QByteArray modulus = number(OSSL_PKEY_PARAM_RSA_N);
        QByteArray blob(24, '\0');
        const quint32 words[6] = {0x31415352, quint32(EVP_PKEY_get_bits(m_key)), quint32(exponent.size()),
                                  quint32(modulus.size()), 0, 0};
        for (int i = 0; i < 6; ++i)
            qToLittleEndian(words[i], blob.data() + 4 * i);
        return blob + exponent + modulus;
    }

    EVP_PKEY *m_key;
    QByteArray m_blob;
};
