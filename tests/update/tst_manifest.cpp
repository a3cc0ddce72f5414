// The signed manifest reader: every rule in its order with its message, the signature over the
// payload bytes, the public-key blob, and the order of version texts.
#include "FeedSigner.h"
#include "update/ManifestKey.h"
#include "update/UpdateController.h"
#include "update/UpdateFeed.h"

#include <QtTest>

namespace {

const QString sha = QStringLiteral("4a8b3d6f0e1c2b5a7d9e8f0a1b2c3d4e5f60718293a4b5c6d7e8f9a0b1c2d3e4");
const QString msgSize = QStringLiteral("Invalid update metadata size");
const QString msgMetadata = QStringLiteral("Invalid update metadata");
const QString msgSignature = QStringLiteral("Update signature could not be verified");
const QString msgProduct = QStringLiteral("Update is for another product or platform");
const QString msgVersion = QStringLiteral("Invalid update version");
const QString msgPath = QStringLiteral("Invalid update download path");
const QString msgSizeHash = QStringLiteral("Invalid update file size or hash");
const QString msgNotesMissing = QStringLiteral("Update notes are unavailable");
const QString msgNotesInvalid = QStringLiteral("Invalid update notes");

QJsonObject valid()
{
    return FeedSigner::payload(QStringLiteral("v0.2.0 (build 0002)"), sha, 1048576);
}

QJsonObject with(const QString &key, const QJsonValue &value, QJsonObject payload = valid())
{
    if (value.isUndefined())
        payload.remove(key);
    else
        payload.insert(key, value);
    return payload;
}

QJsonObject withSetup(const QString &key, const QJsonValue &value)
{
    QJsonObject payload = valid();
    QJsonObject artifacts = payload.value(QStringLiteral("artifacts")).toObject();
    QJsonObject setup = artifacts.value(QStringLiteral("setup")).toObject();
    if (value.isUndefined())
        setup.remove(key);
    else
        setup.insert(key, value);
    artifacts.insert(QStringLiteral("setup"), setup);
    payload.insert(QStringLiteral("artifacts"), artifacts);
    return payload;
}

QJsonObject withNotes(const QJsonValue &en, const QJsonValue &pt)
{
    QJsonObject notes;
    if (!en.isUndefined())
        notes.insert(QStringLiteral("en"), en);
    if (!pt.isUndefined())
        notes.insert(QStringLiteral("pt-BR"), pt);
    return with(QStringLiteral("notes"), notes);
}

QJsonArray repeated(int count, const QString &entry)
{
    QJsonArray entries;
    for (int i = 0; i < count; ++i)
        entries.append(entry);
    return entries;
}

QJsonObject object(const QByteArray &document)
{
    return QJsonDocument::fromJson(document).object();
}

QByteArray withMember(const QByteArray &document, const QString &key, const QJsonValue &value)
{
    QJsonObject outer = object(document);
    outer.insert(key, value);
    return QJsonDocument(outer).toJson();
}

const QJsonValue absent = QJsonValue(QJsonValue::Undefined);

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void payloadRules_data();
    void payloadRules();
    void documentRules_data();
    void documentRules();
    void payloadSizeLimit();
    void acceptedRecordAndReset();
    void changedKeyFailsVerification();
    void publicKeyBlobs_data();
    void publicKeyBlobs();
    void compiledKeyIsTheDocumentedBlob();
    void downloadAddressMustStayInsideTheFeed();
    void parseVersion_data();
    void parseVersion();
    void compareVersions_data();
    void compareVersions();

private:
    FeedSigner m_signer;
};

void TestManifest::initTestCase()
{
    m_signer.install();
}

void TestManifest::cleanupTestCase()
{
    ManifestSignature::overridePublicKeyForTests({});
}

void TestManifest::payloadRules_data()
{
    QTest::addColumn<QJsonObject>("payload");
    QTest::addColumn<QString>("error");

    QTest::newRow("valid") << valid() << QString();
    QTest::newRow("schema 2") << with(QStringLiteral("schema"), 2) << msgProduct;
    QTest::newRow("schema as text") << with(QStringLiteral("schema"), QStringLiteral("1")) << msgProduct;
    QTest::newRow("schema 1.5") << with(QStringLiteral("schema"), 1.5) << msgProduct;
    QTest::newRow("schema missing") << with(QStringLiteral("schema"), absent) << msgProduct;
    QTest::newRow("other product") << with(QStringLiteral("product"), QStringLiteral("zelvo-studio")) << msgProduct;
    QTest::newRow("channel stable") << with(QStringLiteral("channel"), QStringLiteral("stable")) << msgProduct;
    QTest::newRow("platform in other case") << with(QStringLiteral("platform"), QStringLiteral("Windows-x64")) << msgProduct;
    // The first broken rule decides: product comes before version.
    QTest::newRow("product and version broken")
        << with(QStringLiteral("product"), QStringLiteral("x"), with(QStringLiteral("version"), QStringLiteral("1")))
        << msgProduct;

    QTest::newRow("build of three digits") << with(QStringLiteral("version"), QStringLiteral("v1.2.3 (build 001)")) << msgVersion;
    QTest::newRow("build of ten digits") << with(QStringLiteral("version"), QStringLiteral("v1.2.3 (build 0123456789)")) << msgVersion;
    QTest::newRow("no leading v") << with(QStringLiteral("version"), QStringLiteral("1.2.3 (build 0001)")) << msgVersion;
    QTest::newRow("two blanks") << with(QStringLiteral("version"), QStringLiteral("v1.2.3  (build 0001)")) << msgVersion;
    QTest::newRow("six-digit major") << with(QStringLiteral("version"), QStringLiteral("v123456.0.0 (build 0001)")) << msgVersion;
    QTest::newRow("trailing text") << with(QStringLiteral("version"), QStringLiteral("v1.2.3 (build 0001) beta")) << msgVersion;
    QTest::newRow("version missing") << with(QStringLiteral("version"), absent) << msgVersion;

    QTest::newRow("file with version word") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-v1.2.3_b7-setup.exe")) << QString();
    QTest::newRow("file with dot-dot") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-../../x-setup.exe")) << msgPath;
    QTest::newRow("file with two dots inside") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1..2-setup.exe")) << msgPath;
    QTest::newRow("file with blank") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1 2-setup.exe")) << msgPath;
    QTest::newRow("file with backslash") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1\\2-setup.exe")) << msgPath;
    QTest::newRow("file with colon") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1:2-setup.exe")) << msgPath;
    QTest::newRow("file with question mark") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1?a=-setup.exe")) << msgPath;
    QTest::newRow("file with percent escape") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-%2e%2e-setup.exe")) << msgPath;
    QTest::newRow("file in other case") << withSetup(QStringLiteral("file"), QStringLiteral("Releases/ZelvoPlayout-1-setup.exe")) << msgPath;
    QTest::newRow("file with other suffix") << withSetup(QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1-setup.EXE")) << msgPath;
    QTest::newRow("absolute address") << withSetup(QStringLiteral("file"), QStringLiteral("https://other.example/updates/releases/ZelvoPlayout-1-setup.exe")) << msgPath;
    QTest::newRow("file missing") << withSetup(QStringLiteral("file"), absent) << msgPath;
    QTest::newRow("artifacts missing") << with(QStringLiteral("artifacts"), absent) << msgPath;

    QTest::newRow("hash with upper case") << withSetup(QStringLiteral("sha256"), sha.toUpper()) << msgSizeHash;
    QTest::newRow("hash of 63 digits") << withSetup(QStringLiteral("sha256"), sha.left(63)) << msgSizeHash;
    QTest::newRow("hash with final line feed") << withSetup(QStringLiteral("sha256"), sha + QLatin1Char('\n')) << msgSizeHash;
    QTest::newRow("hash missing") << withSetup(QStringLiteral("sha256"), absent) << msgSizeHash;
    QTest::newRow("size at the limit") << withSetup(QStringLiteral("size"), 536870912) << QString();
    QTest::newRow("size over the limit") << withSetup(QStringLiteral("size"), 536870913) << msgSizeHash;
    QTest::newRow("size zero") << withSetup(QStringLiteral("size"), 0) << msgSizeHash;
    QTest::newRow("size negative") << withSetup(QStringLiteral("size"), -1) << msgSizeHash;
    QTest::newRow("size fractional") << withSetup(QStringLiteral("size"), 1.5) << msgSizeHash;
    QTest::newRow("size as text") << withSetup(QStringLiteral("size"), QStringLiteral("1048576")) << msgSizeHash;
    QTest::newRow("size missing") << withSetup(QStringLiteral("size"), absent) << msgSizeHash;

    const QJsonArray one{QStringLiteral("Note")};
    QTest::newRow("80 notes") << withNotes(repeated(80, QStringLiteral("n")), one) << QString();
    QTest::newRow("81 notes") << withNotes(repeated(81, QStringLiteral("n")), one) << msgNotesMissing;
    QTest::newRow("no English notes") << withNotes(QJsonArray{}, one) << msgNotesMissing;
    QTest::newRow("Portuguese missing") << withNotes(one, absent) << msgNotesMissing;
    QTest::newRow("notes not an array") << withNotes(QStringLiteral("Note"), one) << msgNotesMissing;
    QTest::newRow("note of 2000 characters") << withNotes(QJsonArray{QString(2000, QLatin1Char('a'))}, one) << QString();
    QTest::newRow("note of 2001 characters") << withNotes(QJsonArray{QString(2001, QLatin1Char('a'))}, one) << msgNotesInvalid;
    QTest::newRow("empty note") << withNotes(one, QJsonArray{QString()}) << msgNotesInvalid;
    QTest::newRow("number as note") << withNotes(QJsonArray{1}, one) << msgNotesInvalid;
    // Every English entry is checked before the Portuguese array is looked at.
    QTest::newRow("bad English entry, Portuguese missing") << withNotes(QJsonArray{QString()}, absent) << msgNotesInvalid;
}

void TestManifest::payloadRules()
{
    QFETCH(QJsonObject, payload);
    QFETCH(QString, error);
    UpdateManifest manifest;
    QString message = QStringLiteral("stale");
    const bool accepted = UpdateController::parseSignedManifest(m_signer.document(payload), &manifest, &message);
    QCOMPARE(message, error);
    QCOMPARE(accepted, error.isEmpty());
}

void TestManifest::documentRules_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("error");
    const QByteArray good = m_signer.document(valid());
    const QJsonObject outer = object(good);
    const QString payloadText = outer.value(QStringLiteral("payload")).toString();
    const QString signatureText = outer.value(QStringLiteral("signature")).toString();

    QTest::newRow("valid") << good << QString();
    QTest::newRow("exactly 262144 bytes") << good + QByteArray(262144 - good.size(), ' ') << QString();
    QTest::newRow("262145 bytes") << good + QByteArray(262145 - good.size(), ' ') << msgSize;
    QTest::newRow("empty") << QByteArray() << msgSize;
    QTest::newRow("not JSON") << QByteArray("{") << msgMetadata;
    QTest::newRow("an array") << QByteArray("[]") << msgMetadata;
    QTest::newRow("key id in other case") << withMember(good, QStringLiteral("key_id"), QStringLiteral("Zelvo-Playout-2026-01")) << msgSignature;
    QTest::newRow("key id missing") << QJsonDocument(with(QStringLiteral("key_id"), absent, outer)).toJson() << msgSignature;
    QTest::newRow("payload outside the alphabet") << withMember(good, QStringLiteral("payload"), QStringLiteral("*") + payloadText.mid(1)) << msgSignature;
    QTest::newRow("payload with misplaced padding") << withMember(good, QStringLiteral("payload"), QStringLiteral("=") + payloadText.mid(1)) << msgSignature;
    QTest::newRow("payload of wrong length") << withMember(good, QStringLiteral("payload"), payloadText.chopped(1)) << msgSignature;
    QTest::newRow("payload not Latin-1") << withMember(good, QStringLiteral("payload"), QStringLiteral("\u0100") + payloadText.mid(1)) << msgSignature;
    QTest::newRow("payload empty") << withMember(good, QStringLiteral("payload"), QString()) << msgSignature;
    QTest::newRow("signature empty") << withMember(good, QStringLiteral("signature"), QString()) << msgSignature;
    QByteArray changedSignature = QByteArray::fromBase64(signatureText.toLatin1());
    changedSignature[10] = char(changedSignature[10] ^ 0x01);
    QTest::newRow("signature one byte changed") << withMember(good, QStringLiteral("signature"), QString::fromLatin1(changedSignature.toBase64())) << msgSignature;
    QByteArray changedPayload = QByteArray::fromBase64(payloadText.toLatin1());
    changedPayload[changedPayload.size() / 2] = char(changedPayload[changedPayload.size() / 2] ^ 0x20);
    QTest::newRow("payload one byte changed") << withMember(good, QStringLiteral("payload"), QString::fromLatin1(changedPayload.toBase64())) << msgSignature;
    QTest::newRow("signed payload not JSON") << m_signer.document(QByteArray("not json")) << msgMetadata;
    QTest::newRow("signed payload an array") << m_signer.document(QByteArray("[1, 2]")) << msgMetadata;
}

void TestManifest::documentRules()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, error);
    UpdateManifest manifest;
    QString message;
    QCOMPARE(UpdateController::parseSignedManifest(document, &manifest, &message), error.isEmpty());
    QCOMPARE(message, error);
}

void TestManifest::payloadSizeLimit()
{
    const QByteArray payload = QJsonDocument(valid()).toJson(QJsonDocument::Compact);
    QString message;
    UpdateManifest manifest;
    QVERIFY(UpdateController::parseSignedManifest(m_signer.document(payload + QByteArray(131072 - payload.size(), ' ')),
                                                  &manifest, &message));
    QVERIFY(!UpdateController::parseSignedManifest(m_signer.document(payload + QByteArray(131073 - payload.size(), ' ')),
                                                   &manifest, &message));
    QCOMPARE(message, msgSignature);
}

void TestManifest::acceptedRecordAndReset()
{
    UpdateManifest manifest;
    QString message = QStringLiteral("left over");
    QVERIFY(UpdateController::parseSignedManifest(m_signer.document(valid()), &manifest, &message));
    QVERIFY(message.isEmpty());
    QCOMPARE(manifest.version, QStringLiteral("v0.2.0 (build 0002)"));
    QCOMPARE(manifest.sourceCommit, QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
    QCOMPARE(manifest.file, QStringLiteral("releases/ZelvoPlayout-v0.2.0-setup.exe"));
    QCOMPARE(manifest.sha256, sha);
    QCOMPARE(manifest.size, qint64(1048576));
    QCOMPARE(manifest.notes.value(QStringLiteral("pt-BR")).toArray().first().toString(), QStringLiteral("Início mais rápido."));

    // A rejected manifest leaves nothing of the earlier one behind.
    QVERIFY(!UpdateController::parseSignedManifest(m_signer.document(with(QStringLiteral("channel"), QStringLiteral("stable"))),
                                                   &manifest, &message));
    QVERIFY(manifest.version.isEmpty() && manifest.file.isEmpty() && manifest.sha256.isEmpty());
    QVERIFY(manifest.sourceCommit.isEmpty() && manifest.notes.isEmpty());
    QCOMPARE(manifest.size, qint64(0));
}

void TestManifest::changedKeyFailsVerification()
{
    const QByteArray document = m_signer.document(valid());
    QByteArray blob = m_signer.blob();
    blob[blob.size() - 20] = char(blob[blob.size() - 20] ^ 0x04);
    ManifestSignature::overridePublicKeyForTests(blob.toBase64());
    QString message;
    UpdateManifest manifest;
    const bool accepted = UpdateController::parseSignedManifest(document, &manifest, &message);
    m_signer.install();
    QVERIFY(!accepted);
    QCOMPARE(message, msgSignature);
    // Another key pair's manifest fails against this one.
    FeedSigner other(2048);
    QVERIFY(!UpdateController::parseSignedManifest(other.document(valid()), &manifest, &message));
    QCOMPARE(message, msgSignature);
}

void TestManifest::publicKeyBlobs_data()
{
    QTest::addColumn<QByteArray>("blob");
    QTest::addColumn<bool>("usable");
    const QByteArray good = m_signer.blob();
    const auto withWord = [&good](int index, quint32 value) {
        QByteArray blob = good;
        qToLittleEndian(value, blob.data() + 4 * index);
        return blob;
    };
    QTest::newRow("valid") << good << true;
    QTest::newRow("private-blob magic") << withWord(0, 0x32415352) << false;
    QTest::newRow("bit length off by eight") << withWord(1, 3064) << false;
    QTest::newRow("exponent length too long") << withWord(2, 4) << false;
    QTest::newRow("prime length set") << withWord(4, 192) << false;
    QTest::newRow("one byte short") << good.chopped(1) << false;
    QTest::newRow("one byte extra") << good + QByteArray(1, '\0') << false;
    QTest::newRow("header only") << good.left(24) << false;
    QByteArray evenExponent = good;
    evenExponent[26] = char(evenExponent[26] & 0xFE);
    QTest::newRow("even exponent") << evenExponent << false;
}

void TestManifest::publicKeyBlobs()
{
    QFETCH(QByteArray, blob);
    QFETCH(bool, usable);
    QCOMPARE(bool(ManifestSignature::keyFromBlob(blob)), usable);
}

void TestManifest::compiledKeyIsTheDocumentedBlob()
{
    const QByteArray text(ManifestKey::publicKeyBase64);
    QCOMPARE(text.size(), 548);
    const auto blob = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    QVERIFY(blob);
    const ManifestSignature::Key key = ManifestSignature::keyFromBlob(*blob);
    QVERIFY(key);
    QCOMPARE(EVP_PKEY_get_bits(key.get()), 3072);
    BIGNUM *exponent = nullptr;
    QVERIFY(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &exponent));
    QCOMPARE(BN_get_word(exponent), static_cast<BN_ULONG>(65537));
    BN_free(exponent);
}

void TestManifest::downloadAddressMustStayInsideTheFeed()
{
    // The download address keeps to the feed's scheme, host and folder; a feed configured with
    // anything else has no acceptable download address at all.
    const QByteArray document = m_signer.document(valid());
    UpdateManifest manifest;
    QString message;
    for (const char *base : {"http://feed.zelvo.example/updates/", "https://feed.zelvo.example/downloads/",
                             "https://user@feed.zelvo.example/updates/"}) {
        overrideUpdateFeedBaseUrlForTests(QUrl(QString::fromLatin1(base)));
        const bool accepted = UpdateController::parseSignedManifest(document, &manifest, &message);
        overrideUpdateFeedBaseUrlForTests({});
        QVERIFY2(!accepted && message == msgPath, base);
    }
    overrideUpdateFeedBaseUrlForTests(QUrl(QStringLiteral("https://127.0.0.1:8443/updates/")));
    const bool accepted = UpdateController::parseSignedManifest(document, &manifest, &message);
    overrideUpdateFeedBaseUrlForTests({});
    QVERIFY(accepted);
}

void TestManifest::parseVersion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<quint64>>("parts");
    QTest::newRow("this build") << QStringLiteral("v0.1.0 (build 0001)") << QList<quint64>{0, 1, 0, 1};
    QTest::newRow("largest") << QStringLiteral("v99999.99999.99999 (build 999999999)")
                             << QList<quint64>{99999, 99999, 99999, 999999999};
    QTest::newRow("leading zeros") << QStringLiteral("v01.002.06 (build 0066)") << QList<quint64>{1, 2, 6, 66};
    QTest::newRow("empty") << QString() << QList<quint64>{};
    QTest::newRow("no build") << QStringLiteral("v1.2.3") << QList<quint64>{};
    QTest::newRow("four numbers") << QStringLiteral("v1.2.3.4 (build 0001)") << QList<quint64>{};
    QTest::newRow("upper-case V") << QStringLiteral("V1.2.3 (build 0001)") << QList<quint64>{};
    QTest::newRow("trailing newline") << QStringLiteral("v1.2.3 (build 0001)\n") << QList<quint64>{};
}

void TestManifest::parseVersion()
{
    QFETCH(QString, text);
    QFETCH(QList<quint64>, parts);
    QCOMPARE(UpdateController::parseVersion(text), parts);
}

void TestManifest::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("minor 10 above minor 9") << QStringLiteral("v1.10.0 (build 0001)") << QStringLiteral("v1.9.9 (build 9999)") << 1;
    QTest::newRow("patch before build") << QStringLiteral("v0.14.10 (build 0039)") << QStringLiteral("v0.14.2 (build 0040)") << 1;
    QTest::newRow("build breaks a tie") << QStringLiteral("v0.14.1 (build 0035)") << QStringLiteral("v0.14.1 (build 0036)") << -1;
    QTest::newRow("major first") << QStringLiteral("v1.0.0 (build 0001)") << QStringLiteral("v0.99999.99999 (build 999999999)") << 1;
    QTest::newRow("equal") << QStringLiteral("v0.1.0 (build 0001)") << QStringLiteral("v0.1.0 (build 0001)") << 0;
    QTest::newRow("leading zeros in patch") << QStringLiteral("v0.1.06 (build 0001)") << QStringLiteral("v0.1.6 (build 0001)") << 0;
    QTest::newRow("leading zeros in build") << QStringLiteral("v0.1.0 (build 00123)") << QStringLiteral("v0.1.0 (build 0123)") << 0;
    QTest::newRow("older") << QStringLiteral("v0.0.9 (build 0100)") << QStringLiteral("v0.1.0 (build 0001)") << -1;
    QTest::newRow("malformed first") << QStringLiteral("v2.0.0") << QStringLiteral("v0.1.0 (build 0001)") << 0;
    QTest::newRow("malformed second") << QStringLiteral("v2.0.0 (build 0001)") << QStringLiteral("garbage") << 0;
}

void TestManifest::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(UpdateController::compareVersions(a, b), order);
    QCOMPARE(UpdateController::compareVersions(b, a), UpdateController::parseVersion(a).isEmpty() ? 0 : -order);
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
