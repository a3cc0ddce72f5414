#include "engine/RecoveryStore.h"
#include "engine/ShowFile.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

Show showOf(const QString &media)
{
    Show show;
    show.library = {media};
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), {Cue::forPath(media)}}};
    show.playlist = show.programs.first().playlist;
    return show;
}

QJsonObject metaOf(const RecoveryStore &store)
{
    QFile file(store.metaPath());
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

QStringList setAside(const RecoveryStore &store)
{
    return QDir(store.dir()).entryList({QStringLiteral("discarded-*.zelvoshow")}, QDir::Files, QDir::Name);
}

const QString version = QStringLiteral("v0.1.0 (build 0001)");

} // namespace

class TestRecoveryStore : public QObject
{
    Q_OBJECT
private slots:
    void writesOncePerChange();
    void clearRemovesBothAndForgets();
    void sixSetAsideBecomeFive();
    void readKeepsAbsolutePathsAndMetadata();
    void brokenMetadataOrCopy();
    void leftoverIsSetAsideBeforeTheFirstWrite();
    void leftoverIsSetAsideInsteadOfCleared();
    void unwritableStateFolder();
};

void TestRecoveryStore::writesOncePerChange()
{
    QTemporaryDir state;
    RecoveryStore store(state.path());
    QVERIFY(!store.hasLeftover());
    const QByteArray one = showDocumentBytes(showOf(QStringLiteral("/m/a.mp4")));
    const QByteArray two = showDocumentBytes(showOf(QStringLiteral("/m/b.mp4")));
    const QDateTime moment(QDate(2026, 3, 1), QTime(18, 4, 5), Qt::UTC);

    QVERIFY(store.write(one, QStringLiteral("/shows/gala.zelvoshow"), version, moment));
    QVERIFY(!store.write(one, QStringLiteral("/shows/gala.zelvoshow"), version, moment));
    QFile copy(store.showPath());
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), one);
    const QJsonObject meta = metaOf(store);
    QCOMPARE(meta.value("original_path").toString(), QStringLiteral("/shows/gala.zelvoshow"));
    QCOMPARE(meta.value("saved_utc").toString(), QStringLiteral("2026-03-01T18:04:05Z"));
    QCOMPARE(meta.value("version").toString(), version);
    QCOMPARE(meta.size(), 3);

    QVERIFY(store.write(two, QString(), version));
    QVERIFY(!store.write(two, QString(), version));
    QCOMPARE(metaOf(store).value("original_path").toString(), QString());
}

void TestRecoveryStore::clearRemovesBothAndForgets()
{
    QTemporaryDir state;
    RecoveryStore store(state.path());
    const QByteArray bytes = showDocumentBytes(showOf(QStringLiteral("/m/a.mp4")));
    QVERIFY(store.write(bytes, QString(), version));
    store.clear();
    QVERIFY(!QFile::exists(store.showPath()));
    QVERIFY(!QFile::exists(store.metaPath()));
    QVERIFY(setAside(store).isEmpty());
    // The same show after a save is written afresh at the next change.
    QVERIFY(store.write(bytes, QString(), version));
    QVERIFY(QFile::exists(store.showPath()));
    QVERIFY(QFile::exists(store.metaPath()));
}

void TestRecoveryStore::sixSetAsideBecomeFive()
{
    QTemporaryDir state;
    RecoveryStore store(state.path());
    QDir().mkpath(store.dir());
    const QStringList stamps{"20260101-100000", "20260102-100000", "20250101-235959", "20260103-100000",
                             "20260104-100000", "20260105-100000"};
    for (const QString &stamp : stamps) {
        QFile file(QDir(store.dir()).filePath("discarded-" + stamp + ".zelvoshow"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(store.write(showDocumentBytes(showOf(QStringLiteral("/m/a.mp4"))), QString(), version));
    const QString result = store.discard(QDateTime(QDate(2026, 2, 1), QTime(9, 8, 7)));

    QCOMPARE(result, QDir(store.dir()).filePath("discarded-20260201-090807.zelvoshow"));
    QVERIFY(!QFile::exists(store.showPath()));
    QVERIFY(!QFile::exists(store.metaPath()));
    // Seven set-aside copies: the two oldest stamps go, the five newest remain.
    QCOMPARE(setAside(store), QStringList({"discarded-20260102-100000.zelvoshow", "discarded-20260103-100000.zelvoshow",
                                           "discarded-20260104-100000.zelvoshow", "discarded-20260105-100000.zelvoshow",
                                           "discarded-20260201-090807.zelvoshow"}));
    QVERIFY(!QFile::exists(QDir(store.dir()).filePath("discarded-20260101-100000.zelvoshow")));

    // A second copy set aside within the same second keeps its own file.
    QVERIFY(store.write(showDocumentBytes(showOf(QStringLiteral("/m/b.mp4"))), QString(), version));
    const QString again = store.discard(QDateTime(QDate(2026, 2, 1), QTime(9, 8, 7)));
    QVERIFY(!again.isEmpty());
    QVERIFY(again != result);
    QVERIFY(QFile::exists(again));
    QCOMPARE(setAside(store).size(), RecoveryStore::keptSetAside);
}

void TestRecoveryStore::readKeepsAbsolutePathsAndMetadata()
{
    QTemporaryDir state;
    RecoveryStore store(state.path());
    const Show show = showOf(QStringLiteral("/m/a.mp4"));
    const QDateTime moment(QDate(2026, 3, 1), QTime(18, 4, 5), Qt::UTC);
    QVERIFY(store.write(showDocumentBytes(show), QStringLiteral("/shows/gala.zelvoshow"), version, moment));

    RecoveryStore::Copy copy;
    QVERIFY(store.read(copy));
    QCOMPARE(copy.show, show);
    QCOMPARE(copy.originalPath, QStringLiteral("/shows/gala.zelvoshow"));
    QCOMPARE(copy.savedUtc, moment);
    QCOMPARE(store.savedUtc(), moment);
}

void TestRecoveryStore::brokenMetadataOrCopy()
{
    QTemporaryDir state;
    RecoveryStore store(state.path());
    const Show show = showOf(QStringLiteral("/m/a.mp4"));
    QVERIFY(store.write(showDocumentBytes(show), QStringLiteral("/shows/gala.zelvoshow"), version));

    QFile meta(store.metaPath());
    QVERIFY(meta.open(QIODevice::WriteOnly));
    meta.write("{ broken");
    meta.close();
    RecoveryStore::Copy copy;
    QVERIFY(store.read(copy));
    QCOMPARE(copy.show, show);
    QVERIFY(copy.originalPath.isEmpty());
    QVERIFY(!copy.savedUtc.isValid());

    QFile::remove(store.metaPath());
    QVERIFY(store.read(copy));
    QVERIFY(copy.originalPath.isEmpty());

    QFile broken(store.showPath());
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("{\"schema\": 4");
    broken.close();
    copy = {};
    QVERIFY(!store.read(copy));
}

void TestRecoveryStore::leftoverIsSetAsideBeforeTheFirstWrite()
{
    QTemporaryDir state;
    const QByteArray crashed = showDocumentBytes(showOf(QStringLiteral("/m/crashed.mp4")));
    {
        RecoveryStore earlier(state.path());
        QVERIFY(earlier.write(crashed, QStringLiteral("/shows/gala.zelvoshow"), version));
    }
    RecoveryStore store(state.path());
    QVERIFY(store.hasLeftover());
    QVERIFY(store.write(showDocumentBytes(showOf(QStringLiteral("/m/new.mp4"))), QString(), version));
    QVERIFY(!store.hasLeftover());
    const QStringList aside = setAside(store);
    QCOMPARE(aside.size(), 1);
    QFile file(QDir(store.dir()).filePath(aside.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), crashed);
}

void TestRecoveryStore::leftoverIsSetAsideInsteadOfCleared()
{
    QTemporaryDir state;
    {
        RecoveryStore earlier(state.path());
        QVERIFY(earlier.write(showDocumentBytes(showOf(QStringLiteral("/m/crashed.mp4"))), QString(), version));
    }
    RecoveryStore store(state.path());
    store.clear();
    QCOMPARE(setAside(store).size(), 1);
    QVERIFY(!QFile::exists(store.showPath()));

    // Once the window has settled the leftover (offered it), a clear removes it.
    RecoveryStore earlier(state.path());
    QVERIFY(earlier.write(showDocumentBytes(showOf(QStringLiteral("/m/again.mp4"))), QString(), version));
    RecoveryStore settled(state.path());
    settled.settleLeftover();
    settled.clear();
    QCOMPARE(setAside(settled).size(), 1);
    QVERIFY(!QFile::exists(settled.showPath()));
}

void TestRecoveryStore::unwritableStateFolder()
{
    QTemporaryDir temp;
    const QString file = temp.filePath(QStringLiteral("plain-file"));
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    // A state folder below a plain file can never be created.
    RecoveryStore store(file + QStringLiteral("/state"));
    const QByteArray bytes = showDocumentBytes(showOf(QStringLiteral("/m/a.mp4")));
    QVERIFY(!store.write(bytes, QString(), version));
    QVERIFY(!store.write(bytes, QString(), version));
}

QTEST_GUILESS_MAIN(TestRecoveryStore)
#include "tst_recoverystore.moc"
