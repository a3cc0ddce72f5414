// Key derivation, key id, MACs and the code generator against vectors computed independently
// (PBKDF2-HMAC-SHA256 and HMAC-SHA256 of a standard library), so both ends of a Link agree.
#include "link/LinkKeys.h"

#include <QCryptographicHash>
#include <QtTest>

class TestLinkKeys : public QObject
{
    Q_OBJECT

private slots:
    void goldenVectors()
    {
        const QByteArray key = deriveLinkKey(QStringLiteral("pine-fox"));
        QCOMPARE(key.toHex(), QByteArray("2dde48ee8156666b530e037aad4831194b77089ba261869808eea1fadb55064a"));
        QCOMPARE(linkKeyId(key), QStringLiteral("dbd2401fda16"));
        QCOMPARE(linkMac(key, "n|1|show|{}"), QByteArray("09f1f1503206d55e68ac22421609cbe8337c8a3b01ede6a457ad674971ed05bd"));
        QCOMPARE(deriveOperatorKey(key, QStringLiteral(" 9071 ")).toHex(),
                 QByteArray("5a7a463c15d3a72a4ee2fb5db7af6d40cc9338ddc2da183d21bf6eec1fdef514"));
        // Codes are trimmed and lower-cased and go in as UTF-8.
        QCOMPARE(deriveLinkKey(QStringLiteral(" A\u00C7\u00C3O-\u00DF ")).toHex(),
                 QByteArray("9e55dc869657494e14367e22d3dc91752a29e2aedba6b37f1260df4dacc13315"));
    }

    void keyIdIsNotAHashOfTheKey()
    {
        // Beacons must not carry bits of a plain hash of the key.
        const QByteArray key = deriveLinkKey(QStringLiteral("pine-fox"));
        QVERIFY(linkKeyId(key) != QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(12)));
    }

    void normalization_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("case and blanks") << " PINE-FOX " << "pine-fox" << true;
        QTest::newRow("other code") << "reef-owl" << "pine-fox" << false;
        QTest::newRow("inner blank counts") << "pine fox" << "pine-fox" << false;
    }
    void normalization()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        QCOMPARE(linkKeyId(deriveLinkKey(a)) == linkKeyId(deriveLinkKey(b)), same);
    }

    void operatorPins()
    {
        const QByteArray key = deriveLinkKey(QStringLiteral("pine-fox"));
        QCOMPARE(deriveOperatorKey(key, QStringLiteral(" ab12 ")), deriveOperatorKey(key, QStringLiteral("ab12")));
        QVERIFY(deriveOperatorKey(key, QStringLiteral("AB12")) != deriveOperatorKey(key, QStringLiteral("ab12")));
        QVERIFY(deriveOperatorKey(deriveLinkKey(QStringLiteral("reef-owl")), QStringLiteral("ab12"))
                != deriveOperatorKey(key, QStringLiteral("ab12")));
    }

    void macComparison()
    {
        QVERIFY(linkMacEquals("abcd", "abcd"));
        QVERIFY(!linkMacEquals("abcd", "abce"));
        QVERIFY(!linkMacEquals("abcd", "abc"));
        QVERIFY(!linkMacEquals("", "00"));
    }

    void generatedCodes()
    {
        QSet<QString> seen;
        for (int i = 0; i < 300; ++i) {
            const QString code = generateLinkCode();
            QCOMPARE(code.size(), 10);
            for (const QChar c : code)
                QVERIFY2(QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789").contains(c), qPrintable(code));
            seen.insert(code);
        }
        QCOMPARE(seen.size(), 300);
        const QByteArray nonce = randomHexNonce();
        QCOMPARE(nonce.size(), 32);
        QVERIFY(nonce != randomHexNonce());
    }
};

QTEST_GUILESS_MAIN(TestLinkKeys)
#include "tst_linkkeys.moc"
