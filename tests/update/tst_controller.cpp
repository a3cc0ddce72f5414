// The update controller against a local HTTPS feed: its states, the capped check without redirects,
// the streamed download with its running hash and size cap, cancelling, and the hand-off.
#include "FeedSigner.h"
#include "LocalFeed.h"
#include "update/UpdateController.h"
#include "update/UpdateFeed.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString manifestPath = QStringLiteral("/updates/preview/latest.json");
const QString installerPath = QStringLiteral("/updates/releases/ZelvoPlayout-v0.2.0-setup.exe");
const QString runningVersion = QStringLiteral("v0.1.0 (build 0001)");
const QString newerVersion = QStringLiteral("v0.2.0 (build 0002)");
const QString msgCheck = QStringLiteral("Could not check for updates. Playback is unaffected.");
const QString msgVerification = QStringLiteral("Update download did not pass verification. Nothing was installed.");
const QString msgSave = QStringLiteral("Could not save the update download");

QByteArray installerBytes(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + 7) & 0xFF);
    return bytes;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class TestController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void checkOutcomes_data();
    void checkOutcomes();
    void rejectedManifestEmptiesTheHeldOne();
    void checkIgnoredWhileBusyAndCancelled();
    void downloadStreamsHashesAndCommits();
    void downloadFailures_data();
    void downloadFailures();
    void cancelledDownloadLeavesNothing();
    void downloadNeedsAnAvailableRelease();
    void noDowngradeAfterAFailedCheck_data();
    void noDowngradeAfterAFailedCheck();
    void downloadFolderCannotBeCreated();
    void finishedDownloadCannotBeSaved();
    void diskWriteFailureIsASaveError();
    void installRefusals();
    void installHandsOffToTheUpdater_data();
    void installHandsOffToTheUpdater();
    void installRefusesADownloadFolderOthersCanChange_data();
    void installRefusesADownloadFolderOthersCanChange();
    void destroyedDuringDownloadLeavesNothing();

private:
    void serve(const QString &version, const QByteArray &installer);
    std::unique_ptr<UpdateController> makeController(const QString &version = runningVersion);
    void checkUntilSettled(UpdateController &controller);
    void downloadUntilSettled(UpdateController &controller);
    std::unique_ptr<UpdateController> readyController();

    FeedSigner m_signer;
    std::unique_ptr<LocalFeed> m_feed;
    std::unique_ptr<QTemporaryDir> m_scratch;
    QString m_downloads;
    QByteArray m_installer;
};

void TestController::initTestCase()
{
    QCoreApplication::setApplicationVersion(runningVersion);
    m_signer.install();
    LocalFeed::trust();
}

void TestController::init()
{
    m_feed = std::make_unique<LocalFeed>();
    overrideUpdateFeedBaseUrlForTests(m_feed->base());
    m_scratch = std::make_unique<QTemporaryDir>();
    m_downloads = m_scratch->filePath(QStringLiteral("state/updates"));
    m_installer = installerBytes(200);
    serve(newerVersion, m_installer);
}

void TestController::cleanup()
{
    overrideUpdateFeedBaseUrlForTests({});
    m_feed.reset();
}

void TestController::cleanupTestCase()
{
    ManifestSignature::overridePublicKeyForTests({});
}

void TestController::serve(const QString &version, const QByteArray &installer)
{
    m_feed->answer(manifestPath, {200, m_signer.document(FeedSigner::payload(version, sha256(installer), installer.size()))});
    m_feed->answer(installerPath, {200, installer});
}

std::unique_ptr<UpdateController> TestController::makeController(const QString &version)
{
    return std::make_unique<UpdateController>(version, m_downloads);
}

void TestController::checkUntilSettled(UpdateController &controller)
{
    controller.checkForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(controller.currentText() != QStringLiteral("checking"), 10000);
}

void TestController::downloadUntilSettled(UpdateController &controller)
{
    controller.downloadUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(controller.currentText() != QStringLiteral("downloading"), 10000);
}

std::unique_ptr<UpdateController> TestController::readyController()
{
    auto controller = makeController();
    checkUntilSettled(*controller);
    downloadUntilSettled(*controller);
    return controller;
}

void TestController::checkOutcomes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("error");
    QTest::newRow("newer") << QStringLiteral("newer") << QStringLiteral("available") << QString();
    QTest::newRow("same version") << QStringLiteral("same") << QStringLiteral("current") << QString();
    QTest::newRow("older") << QStringLiteral("older") << QStringLiteral("current") << QString();
    QTest::newRow("redirect") << QStringLiteral("redirect") << QStringLiteral("error") << msgCheck;
    QTest::newRow("not found") << QStringLiteral("404") << QStringLiteral("error") << msgCheck;
    QTest::newRow("262145 bytes") << QStringLiteral("oversized") << QStringLiteral("error") << msgCheck;
    QTest::newRow("other channel") << QStringLiteral("channel") << QStringLiteral("error")
                                   << QStringLiteral("Update is for another product or platform");
}

void TestController::checkOutcomes()
{
    QFETCH(QString, kind);
    QFETCH(QString, state);
    QFETCH(QString, error);
    const QString movedPath = QStringLiteral("/updates/preview/moved.json");
    if (kind == QStringLiteral("same"))
        serve(runningVersion, m_installer);
    else if (kind == QStringLiteral("older"))
        serve(QStringLiteral("v0.0.9 (build 0100)"), m_installer);
    else if (kind == QStringLiteral("redirect")) {
        m_feed->answer(movedPath, {200, m_signer.document(FeedSigner::payload(newerVersion, sha256(m_installer), 200))});
        m_feed->answer(manifestPath, {302, {}, "Location: " + m_feed->base().resolved(QUrl(QStringLiteral("preview/moved.json"))).toEncoded() + "\r\n"});
    } else if (kind == QStringLiteral("404"))
        m_feed->answer(manifestPath, {404, "missing"});
    else if (kind == QStringLiteral("oversized"))
        m_feed->answer(manifestPath, {200, m_signer.document(FeedSigner::payload(newerVersion, sha256(m_installer), 200)).leftJustified(262145, ' ')});
    else if (kind == QStringLiteral("channel")) {
        QJsonObject payload = FeedSigner::payload(newerVersion, sha256(m_installer), 200);
        payload.insert(QStringLiteral("channel"), QStringLiteral("stable"));
        m_feed->answer(manifestPath, {200, m_signer.document(payload)});
    }
    const auto controller = makeController();
    QSignalSpy changed(controller.get(), &UpdateController::changed);
    QSignalSpy available(controller.get(), &UpdateController::available);
    checkUntilSettled(*controller);

    QCOMPARE(controller->currentText(), state);
    QCOMPARE(controller->errorText(), error);
    QCOMPARE(available.size(), state == QStringLiteral("available") ? 1 : 0);
    QCOMPARE(changed.size(), 2);
    QCOMPARE(m_feed->requests, QStringList{manifestPath});
    QCOMPARE(m_feed->userAgents, QList<QByteArray>{"ZelvoPlayout/v0.1.0 (build 0001)"});
    QCOMPARE(controller->manifest().version.isEmpty(), state == QStringLiteral("error"));
    // Checking never downloads.
    QVERIFY(controller->downloadedPath().isEmpty());
    QVERIFY(!QFileInfo::exists(m_downloads));
}

void TestController::rejectedManifestEmptiesTheHeldOne()
{
    const auto controller = makeController();
    QSignalSpy available(controller.get(), &UpdateController::available);
    checkUntilSettled(*controller);
    checkUntilSettled(*controller);
    QCOMPARE(available.size(), 2); // every check that finds the newer release says so again

    FeedSigner stranger(2048);
    m_feed->answer(manifestPath, {200, stranger.document(FeedSigner::payload(newerVersion, sha256(m_installer), 200))});
    checkUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), QStringLiteral("Update signature could not be verified"));
    QVERIFY(controller->manifest().version.isEmpty());
    QCOMPARE(controller->manifest().size, qint64(0));

    // Without a held manifest there is nothing to download.
    controller->downloadUpdate();
    QTest::qWait(100);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QVERIFY(!m_feed->requests.contains(installerPath));
}

void TestController::checkIgnoredWhileBusyAndCancelled()
{
    LocalFeed::Answer held{200, m_signer.document(FeedSigner::payload(newerVersion, sha256(m_installer), 200))};
    held.first = 0;
    m_feed->answer(manifestPath, held);
    const auto controller = makeController();
    controller->checkForUpdates();
    QCOMPARE(controller->currentText(), QStringLiteral("checking"));
    QTRY_COMPARE(m_feed->requests.size(), 1);
    controller->checkForUpdates();
    QTest::qWait(200);
    QCOMPARE(m_feed->requests.size(), 1);

    QSignalSpy changed(controller.get(), &UpdateController::changed);
    controller->cancelDownload();
    QCOMPARE(controller->currentText(), QStringLiteral("idle"));
    QCOMPARE(changed.size(), 1);
    QVERIFY(controller->errorText().isEmpty());
}

void TestController::downloadStreamsHashesAndCommits()
{
    LocalFeed::Answer partial{200, m_installer};
    partial.first = 50;
    m_feed->answer(installerPath, partial);
    const auto controller = makeController();
    checkUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("available"));
    controller->downloadUpdate();
    QCOMPARE(controller->currentText(), QStringLiteral("downloading"));
    const QString target = QDir(m_downloads).filePath(QStringLiteral("ZelvoPlayout-v0.2.0-setup.exe"));
    QCOMPARE(controller->downloadedPath(), target);

    QTRY_COMPARE(controller->progress(), 25); // 50 of 200 bytes
    QVERIFY(!QFileInfo::exists(target));      // nothing under the final name before it is verified
    controller->checkForUpdates();
    controller->downloadUpdate();
    m_feed->release();
    QTRY_COMPARE_WITH_TIMEOUT(controller->currentText(), QStringLiteral("ready"), 10000);
    QCOMPARE(controller->progress(), 100);
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), m_installer);
    QCOMPARE(filesIn(m_downloads), QStringList{QStringLiteral("ZelvoPlayout-v0.2.0-setup.exe")});
    QCOMPARE(m_feed->requests, (QStringList{manifestPath, installerPath}));
    QCOMPARE(m_feed->userAgents.last(), QByteArray("ZelvoPlayout/v0.1.0 (build 0001)"));

    // "ready" stays: neither a check nor another download starts from it.
    controller->checkForUpdates();
    controller->downloadUpdate();
    QTest::qWait(100);
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));
    QCOMPARE(m_feed->requests.size(), 2);
}

void TestController::downloadFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("one byte more than signed") << QStringLiteral("extra");
    QTest::newRow("same size, other bytes") << QStringLiteral("changed");
    QTest::newRow("connection broken") << QStringLiteral("broken");
    QTest::newRow("not found") << QStringLiteral("404");
}

void TestController::downloadFailures()
{
    QFETCH(QString, kind);
    const auto controller = makeController();
    checkUntilSettled(*controller);
    LocalFeed::Answer answer{200, m_installer};
    if (kind == QStringLiteral("extra"))
        answer.body.append('x');
    else if (kind == QStringLiteral("changed"))
        answer.body[120] = char(answer.body[120] ^ 0x10);
    else if (kind == QStringLiteral("broken"))
        answer.first = 120, answer.closeAfterFirst = true;
    else
        answer = {404, "gone"};
    m_feed->answer(installerPath, answer);
    downloadUntilSettled(*controller);

    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), msgVerification);
    QVERIFY(controller->downloadedPath().isEmpty());
    QCOMPARE(filesIn(m_downloads), QStringList{});

    // The manifest is still held: from "error" the same release downloads again.
    m_feed->answer(installerPath, {200, m_installer});
    downloadUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));
    QVERIFY(UpdateController::verifyFile(controller->downloadedPath(), sha256(m_installer), m_installer.size()));
}

void TestController::cancelledDownloadLeavesNothing()
{
    LocalFeed::Answer partial{200, m_installer};
    partial.first = 80;
    m_feed->answer(installerPath, partial);
    const auto controller = makeController();
    checkUntilSettled(*controller);
    controller->downloadUpdate();
    QTRY_VERIFY(controller->progress() > 0);
    controller->cancelDownload();
    QCOMPARE(controller->currentText(), QStringLiteral("available"));
    QVERIFY(controller->errorText().isEmpty());
    QVERIFY(controller->downloadedPath().isEmpty());
    QCOMPARE(filesIn(m_downloads), QStringList{});

    m_feed->answer(installerPath, {200, m_installer});
    downloadUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));
    QVERIFY(UpdateController::verifyFile(controller->downloadedPath(), sha256(m_installer), m_installer.size()));
}

void TestController::downloadNeedsAnAvailableRelease()
{
    const auto idle = makeController();
    idle->downloadUpdate();
    QCOMPARE(idle->currentText(), QStringLiteral("idle"));

    serve(runningVersion, m_installer);
    const auto current = makeController();
    checkUntilSettled(*current);
    QCOMPARE(current->currentText(), QStringLiteral("current"));
    current->downloadUpdate();
    QTest::qWait(100);
    QCOMPARE(current->currentText(), QStringLiteral("current"));
    QVERIFY(!m_feed->requests.contains(installerPath));
    QVERIFY(!QFileInfo::exists(m_downloads));
}

void TestController::noDowngradeAfterAFailedCheck_data()
{
    QTest::addColumn<QString>("heldVersion");
    QTest::newRow("older") << QStringLiteral("v0.0.9 (build 0100)");
    QTest::newRow("equal") << runningVersion;
}

void TestController::noDowngradeAfterAFailedCheck()
{
    // A check accepts a signed release that is not newer ("current"); the next check fails, which
    // leaves the state "error" with that manifest still held. Download must not fetch it from there.
    QFETCH(QString, heldVersion);
    serve(heldVersion, m_installer);
    const auto controller = makeController();
    checkUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("current"));
    m_feed->answer(manifestPath, {404, "missing"});
    checkUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->manifest().version, heldVersion);

    controller->downloadUpdate();
    QTest::qWait(200);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), msgCheck);
    QVERIFY(controller->downloadedPath().isEmpty());
    QVERIFY(!m_feed->requests.contains(installerPath));
    QVERIFY(!QFileInfo::exists(m_downloads));
}

void TestController::downloadFolderCannotBeCreated()
{
    QFile blocker(m_scratch->filePath(QStringLiteral("state")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const auto controller = makeController();
    checkUntilSettled(*controller);
    downloadUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), QStringLiteral("Could not create the update download folder"));
    QVERIFY(!m_feed->requests.contains(installerPath));
}

void TestController::finishedDownloadCannotBeSaved()
{
    // A folder under the installer's name: the verified download cannot take its place.
    QVERIFY(QDir().mkpath(QDir(m_downloads).filePath(QStringLiteral("ZelvoPlayout-v0.2.0-setup.exe"))));
    const auto controller = makeController();
    checkUntilSettled(*controller);
    downloadUntilSettled(*controller);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), msgSave);
    QVERIFY(controller->downloadedPath().isEmpty());
    QCOMPARE(filesIn(m_downloads), QStringList{});
}

void TestController::diskWriteFailureIsASaveError()
{
    m_installer = installerBytes(3 * 1024 * 1024);
    serve(newerVersion, m_installer);
    const auto controller = makeController();
    checkUntilSettled(*controller);

    // The process may write no file beyond 256 KiB: the download hits a full disk part way through.
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 256 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    controller->downloadUpdate();
    const bool settled = QTest::qWaitFor([&] { return controller->currentText() != QStringLiteral("downloading"); }, 10000);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(settled);
    QCOMPARE(controller->currentText(), QStringLiteral("error"));
    QCOMPARE(controller->errorText(), msgSave);
    QVERIFY(controller->downloadedPath().isEmpty());
    QCOMPARE(filesIn(m_downloads), QStringList{});
}

void TestController::installRefusals()
{
    const QString appFolder = m_scratch->filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(appFolder));
    QString error;

    const auto available = makeController();
    checkUntilSettled(*available);
    available->setApplicationExecutableForTests(appFolder + QStringLiteral("/ZelvoPlayout"));
    QVERIFY(!available->install(m_scratch->path(), {}, QStringLiteral("en"), false, &error));
    QCOMPARE(error, msgVerification);

    const auto ready = readyController();
    QCOMPARE(ready->currentText(), QStringLiteral("ready"));
    ready->setApplicationExecutableForTests(appFolder + QStringLiteral("/ZelvoPlayout"));
    QVERIFY(!ready->install(m_scratch->path(), {}, QStringLiteral("en"), false, &error));
    QCOMPARE(error, QStringLiteral("Install updates from a packaged application."));

    QFile buildInfo(appFolder + QStringLiteral("/build-info.json"));
    QVERIFY(buildInfo.open(QIODevice::WriteOnly));
    buildInfo.close();
    QVERIFY(!ready->install(m_scratch->path(), {}, QStringLiteral("en"), false, &error));
    QCOMPARE(error, QStringLiteral("Could not start the update installer")); // no updater beside the application

    QFile download(ready->downloadedPath());
    QVERIFY(download.open(QIODevice::ReadWrite));
    download.seek(10);
    download.write("!");
    download.close();
    QVERIFY(!ready->install(m_scratch->path(), {}, QStringLiteral("en"), false, &error));
    QCOMPARE(error, msgVerification);
    QCOMPARE(ready->currentText(), QStringLiteral("ready"));
}

void TestController::installHandsOffToTheUpdater_data()
{
    QTest::addColumn<QString>("show");
    QTest::addColumn<bool>("portable");
    QTest::addColumn<QStringList>("tail");
    QTest::newRow("no show, installed") << QString() << false << QStringList{};
    QTest::newRow("show, portable") << QStringLiteral("/shows/Late show.zelvoshow") << true
                                    << QStringList{QStringLiteral("--show"), QStringLiteral("/shows/Late show.zelvoshow"),
                                                   QStringLiteral("--portable")};
}

void TestController::installHandsOffToTheUpdater()
{
    QFETCH(QString, show);
    QFETCH(bool, portable);
    QFETCH(QStringList, tail);
    const QString appFolder = m_scratch->filePath(QStringLiteral("app"));
    const QString record = m_scratch->filePath(QStringLiteral("handoff.txt"));
    QVERIFY(QDir().mkpath(appFolder));
    QFile(appFolder + QStringLiteral("/build-info.json")).open(QIODevice::WriteOnly);
    // A stand-in updater that writes down how it was started.
    QFile updater(appFolder + QStringLiteral("/ZelvoUpdater"));
    QVERIFY(updater.open(QIODevice::WriteOnly));
    updater.write("#!/bin/sh\n{ echo \"$0\"; pwd; for a in \"$@\"; do echo \"$a\"; done; } > \"" + record.toUtf8() + ".part\"\n"
                  "mv \"" + record.toUtf8() + ".part\" \"" + record.toUtf8() + "\"\n");
    updater.close();
    updater.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const auto controller = readyController();
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));
    controller->setApplicationExecutableForTests(appFolder + QStringLiteral("/ZelvoPlayout"));
    const QString stateDir = m_scratch->filePath(QStringLiteral("state"));
    QString error;
    QVERIFY2(controller->install(stateDir, show, QStringLiteral("pt-BR"), portable, &error), qPrintable(error));
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 5000);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast();
    // The copy runs from a folder of its own inside the download folder that only this account can
    // enter, and the download folder made for the installer is private too.
    const QFileInfo copy(lines.takeFirst());
    const QFileInfo privateFolder(copy.absolutePath());
    QCOMPARE(privateFolder.absolutePath(), QFileInfo(m_downloads).absoluteFilePath());
    QVERIFY2(privateFolder.fileName().startsWith(QStringLiteral(".zelvo-updater-")), qPrintable(privateFolder.fileName()));
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const auto everyone = ownerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                          | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(privateFolder.permissions() & everyone, ownerOnly);
    QCOMPARE(QFileInfo(m_downloads).permissions() & everyone, ownerOnly);
    QVERIFY2(QRegularExpression(QStringLiteral("^ZelvoUpdater-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                 .match(copy.fileName()).hasMatch(), qPrintable(copy.fileName()));
    QCOMPARE(lines.takeFirst(), QFileInfo(m_downloads).canonicalFilePath());
    const QStringList expected = QStringList{
        QStringLiteral("--parent-pid"), QString::number(QCoreApplication::applicationPid()),
        QStringLiteral("--installer"), controller->downloadedPath(),
        QStringLiteral("--sha256"), sha256(m_installer),
        QStringLiteral("--size"), QStringLiteral("200"),
        QStringLiteral("--target"), appFolder,
        QStringLiteral("--restart"), appFolder + QStringLiteral("/ZelvoPlayout"),
        QStringLiteral("--state-dir"), stateDir,
        QStringLiteral("--lang"), QStringLiteral("pt-BR")} + tail;
    QCOMPARE(lines, expected);
}

void TestController::installRefusesADownloadFolderOthersCanChange_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("started");
    QTest::newRow("group-writable") << 0770 << false;
    QTest::newRow("world-writable") << 0777 << false;
    QTest::newRow("world-writable with the sticky bit") << 01777 << true;
}

void TestController::installRefusesADownloadFolderOthersCanChange()
{
    // Whoever can rename entries of the folder could swap the updater copy before it starts.
    QFETCH(int, mode);
    QFETCH(bool, started);
    const QString appFolder = m_scratch->filePath(QStringLiteral("app"));
    const QString record = m_scratch->filePath(QStringLiteral("started"));
    QVERIFY(QDir().mkpath(appFolder));
    QFile(appFolder + QStringLiteral("/build-info.json")).open(QIODevice::WriteOnly);
    QFile updater(appFolder + QStringLiteral("/ZelvoUpdater"));
    QVERIFY(updater.open(QIODevice::WriteOnly));
    updater.write("#!/bin/sh\ntouch \"" + record.toUtf8() + "\"\n");
    updater.close();
    updater.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const auto controller = readyController();
    QCOMPARE(controller->currentText(), QStringLiteral("ready"));
    controller->setApplicationExecutableForTests(appFolder + QStringLiteral("/ZelvoPlayout"));
    QCOMPARE(::chmod(QFile::encodeName(m_downloads).constData(), mode_t(mode)), 0);
    QString error;
    QCOMPARE(controller->install(m_scratch->path(), {}, QStringLiteral("en"), false, &error), started);
    if (started) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 5000);
        return;
    }
    QCOMPARE(error, QStringLiteral("Could not start the update installer"));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(record));
    QVERIFY(QDir(m_downloads).entryList({QStringLiteral(".zelvo-updater-*")}, QDir::Dirs | QDir::Hidden).isEmpty());
}

void TestController::destroyedDuringDownloadLeavesNothing()
{
    LocalFeed::Answer partial{200, m_installer};
    partial.first = 100;
    m_feed->answer(installerPath, partial);
    auto controller = makeController();
    checkUntilSettled(*controller);
    controller->downloadUpdate();
    QTRY_COMPARE(controller->progress(), 50);
    controller.reset();
    QCOMPARE(filesIn(m_downloads), QStringList{});
}

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
