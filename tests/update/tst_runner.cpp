// The whole update self-test with its live part run against a local feed instead of the real one:
// fixtures signed for the run, the check, the cancel after the first bytes, the verified second
// download, and what the report says of them.
#include "FeedSigner.h"
#include "LocalFeed.h"
#include "selftest/SelfTestRunners.h"
#include "update/UpdateFeed.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QJsonObject withSetup(QJsonObject payload, const QString &key, const QJsonValue &value)
{
    QJsonObject artifacts = payload.value(QStringLiteral("artifacts")).toObject();
    QJsonObject setup = artifacts.value(QStringLiteral("setup")).toObject();
    setup.insert(key, value);
    artifacts.insert(QStringLiteral("setup"), setup);
    payload.insert(QStringLiteral("artifacts"), artifacts);
    return payload;
}

// The runner's manifest fixtures, signed with this run's key: the valid one and one per field that
// breaks only that field's rule.
void writeFixtures(const FeedSigner &signer, const QString &folder)
{
    const QJsonObject valid = FeedSigner::payload(QStringLiteral("v999.0.0 (build 0001)"), QString(64, QLatin1Char('a')), 27);
    const auto with = [&valid](const char *key, const QJsonValue &value) {
        QJsonObject payload = valid;
        payload.insert(QString::fromLatin1(key), value);
        return payload;
    };
    const QList<std::pair<const char *, QJsonObject>> fixtures{
        {"valid", valid},
        {"product", with("product", QStringLiteral("zelvo-studio"))},
        {"platform", with("platform", QStringLiteral("linux-arm64"))},
        {"channel", with("channel", QStringLiteral("stable"))},
        {"version", with("version", QStringLiteral("v999.0.0 (build 001)"))},
        {"path", withSetup(valid, QStringLiteral("file"), QStringLiteral("releases/ZelvoPlayout-1/../../x-setup.exe"))},
        {"url", withSetup(valid, QStringLiteral("file"), QStringLiteral("https://other.example/updates/releases/ZelvoPlayout-1-setup.exe"))},
        {"size", withSetup(valid, QStringLiteral("size"), 536870913)},
        {"hash", withSetup(valid, QStringLiteral("sha256"), QString(64, QLatin1Char('A')))},
        {"notes", with("notes", QJsonObject{{QStringLiteral("en"), QJsonArray{QStringLiteral("Only English.")}}})},
    };
    QDir().mkpath(folder);
    for (const auto &[name, payload] : fixtures) {
        QFile file(folder + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".json"));
        file.open(QIODevice::WriteOnly);
        file.write(signer.document(payload));
    }
}

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT

private slots:
    void liveCasesAgainstALocalFeed();
};

void TestRunner::liveCasesAgainstALocalFeed()
{
    FeedSigner signer;
    signer.install();
    LocalFeed::trust();
    LocalFeed feed;
    overrideUpdateFeedBaseUrlForTests(feed.base());
    const QByteArray installer(4096, 'z');
    const QString sha = QString::fromLatin1(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
    const QString version = QStringLiteral("v0.3.0 (build 0003)");
    feed.answer(QStringLiteral("/updates/preview/latest.json"),
                {200, signer.document(FeedSigner::payload(version, sha, installer.size()))});
    const QString installerPath = QStringLiteral("/updates/releases/ZelvoPlayout-v0.2.0-setup.exe");
    LocalFeed::Answer stalled{200, installer};
    stalled.first = 1024; // the first download stops after a quarter, so that the cancel comes in time
    feed.answerOnce(installerPath, stalled);
    feed.answer(installerPath, {200, installer});

    QTemporaryDir scratch;
    const QString result = scratch.filePath(QStringLiteral("reports/update.json"));
    writeFixtures(signer, scratch.filePath(QStringLiteral("fixtures")));
    const int code = runUpdateTests(scratch.filePath(QStringLiteral("fixtures")), result, true);
    overrideUpdateFeedBaseUrlForTests({});
    ManifestSignature::overridePublicKeyForTests({});
    QCOMPARE(code, 0);

    QFile file(result);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(report.value(QStringLiteral("result")).toString(), QStringLiteral("PASS"));
    const QJsonArray tests = report.value(QStringLiteral("tests")).toArray();
    QCOMPARE(tests.size(), 26);
    QStringList live;
    for (int i = 22; i < 26; ++i) {
        const QJsonObject test = tests.at(i).toObject();
        QCOMPARE(test.keys(), (QStringList{QStringLiteral("name"), QStringLiteral("pass")}));
        live << test.value(QStringLiteral("name")).toString();
    }
    QCOMPARE(live, (QStringList{QStringLiteral("live_pagehost_feed_signature_and_schema_valid"),
                                QStringLiteral("live_check_does_not_start_download"),
                                QStringLiteral("user_cancel_leaves_no_installable_partial"),
                                QStringLiteral("requested_live_download_is_size_and_hash_verified")}));
    QCOMPARE(feed.requests.count(installerPath), 2);
    QCOMPARE(report.value(QStringLiteral("online")).toBool(), true);
    QCOMPARE(report.value(QStringLiteral("version")).toString(), QStringLiteral("v0.1.0 (build 0001)"));
    const QJsonObject summary = report.value(QStringLiteral("live")).toObject();
    QCOMPARE(summary.value(QStringLiteral("version")).toString(), version);
    QCOMPARE(summary.value(QStringLiteral("sha256")).toString(), sha);
    QCOMPARE(summary.value(QStringLiteral("bytes")).toInteger(), qint64(installer.size()));
    QCOMPARE(summary.value(QStringLiteral("state")).toString(), QStringLiteral("ready"));
    QCOMPARE(summary.value(QStringLiteral("error")).toString(), QString());
    // The run's scratch folder, with everything downloaded into it, is gone.
    QCOMPARE(QDir(scratch.filePath(QStringLiteral("reports"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{QStringLiteral("update.json")});
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
