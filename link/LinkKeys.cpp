#include "link/LinkKeys.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

const QByteArray kdfSalt = QByteArrayLiteral("zelvo-link-v2|pbkdf2-salt");
const QByteArray keyIdLabel = QByteArrayLiteral("zelvo-link-v2|key-id");
const QByteArray operatorLabel = QByteArrayLiteral("zelvo-link-v2|operator|");

QByteArray hmac(const QByteArray &key, const QByteArray &message)
{
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

} // namespace

QString normalizedLinkCode(const QString &code)
{
    return code.trimmed().toLower();
}

QByteArray deriveLinkKey(const QString &code)
{
    const QByteArray password = "zelvo-link-v2|" + normalizedLinkCode(code).toUtf8();
    QByteArray key(32, '\0');
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char *>(kdfSalt.constData()), int(kdfSalt.size()),
                          LinkKeys::kdfIterations, EVP_sha256(), int(key.size()),
                          reinterpret_cast<unsigned char *>(key.data())) != 1)
        qFatal("PBKDF2 is not available in this OpenSSL");
    return key;
}

QString linkKeyId(const QByteArray &key)
{
    return QString::fromLatin1(hmac(key, keyIdLabel).toHex().left(12));
}

QByteArray linkMac(const QByteArray &key, const QByteArray &message)
{
    return hmac(key, message).toHex();
}

QByteArray deriveOperatorKey(const QByteArray &linkKey, const QString &pin)
{
    return hmac(linkKey, operatorLabel + pin.trimmed().toUtf8());
}

QString generateLinkCode()
{
    static const char alphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
    QString code;
    while (code.size() < 10) {
        const quint64 value = QRandomGenerator::system()->generate64() & 31;
        if (value < 31)
            code.append(QLatin1Char(alphabet[value]));
    }
    return code;
}

QByteArray randomHexNonce(int bytes)
{
    QByteArray raw(bytes, '\0');
    for (char &byte : raw)
        byte = char(QRandomGenerator::system()->generate() >> 24);
    return raw.toHex();
}

bool linkMacEquals(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}
