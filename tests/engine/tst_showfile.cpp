#include "engine/ShowFile.h"
#include "engine/ShowPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

Show showWith(const QStringList &library, const QStringList &cueSources, const QStringList &folders = {})
{
    Show show;
    show.library = library;
    show.folders = folders;
    QList<Cue> playlist;
    for (const QString &source : cueSources)
        playlist.append(Cue::forPath(source));
    show.playlist = playlist;
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), playlist},
                     ShowProgram{2, QStringLiteral("Program B"), playlist}};
    show.outputs.programs = 2;
    return show;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Runs body with the permissions of an ordinary user, so that folder modes count even when the
// tests run as root.
template <typename Body>
auto asOrdinaryUser(Body body)
{
    const bool root = geteuid() == 0;
    if (root && seteuid(65534) != 0)
        qFatal("cannot drop to an ordinary user");
    auto result = body();
    if (root && seteuid(0) != 0)
        qFatal("cannot return to root");
    return result;
}

} // namespace

class TestShowFile : public QObject
{
    Q_OBJECT
private slots:
    void relativePaths_data();
    void relativePaths();
    void resolvedPaths_data();
    void resolvedPaths();
    void foldersAndEmptyShowPathStay();
    void suffix_data();
    void suffix();
    void roundTripSurvivesMovedFolder();
    void oneBackupGeneration();
    void failedSaveInUnwritableFolderKeepsOldFile();
    void failedSaveOnFullDiskKeepsOldFile();
    void readFailures();
};

void TestShowFile::relativePaths_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("written");
    QTest::newRow("inside") << "/shows/gala/media/a.mp4" << "media/a.mp4";
    QTest::newRow("next to the file") << "/shows/gala/b.mp4" << "b.mp4";
    QTest::newRow("cleaned first") << "/shows/gala/./x/../media/c.mp4" << "media/c.mp4";
    QTest::newRow("doubled separators") << "/shows//gala/d.mp4" << "d.mp4";
    // Case-sensitive paths: another letter case is another folder.
    QTest::newRow("other case") << "/Shows/Gala/e.mp4" << "/Shows/Gala/e.mp4";
    QTest::newRow("outside") << "/other/f.mp4" << "/other/f.mp4";
    QTest::newRow("sibling with common prefix") << "/shows/galaxy/g.mp4" << "/shows/galaxy/g.mp4";
    QTest::newRow("outside kept uncleaned") << "/other/./h.mp4" << "/other/./h.mp4";
    QTest::newRow("backslash is a name character") << "/shows/gala\\i.mp4" << "/shows/gala\\i.mp4";
    QTest::newRow("the folder itself") << "/shows/gala" << "/shows/gala";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("already relative") << "media/j.mp4" << "media/j.mp4";
}

void TestShowFile::relativePaths()
{
    QFETCH(QString, entry);
    QFETCH(QString, written);
    Show show = showWith({entry}, {entry});
    makeShowPathsRelative(show, QStringLiteral("/shows/gala/gala.zelvoshow"));
    QCOMPARE(show.library.first(), written);
    QCOMPARE(show.playlist.first().source, written);
    for (const ShowProgram &program : show.programs)
        QCOMPARE(program.playlist.first().source, written);
}

void TestShowFile::resolvedPaths_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("resolved");
    QTest::newRow("relative") << "media/a.mp4" << "/copy/gala/media/a.mp4";
    QTest::newRow("cleaned") << "./media/../b.mp4" << "/copy/gala/b.mp4";
    QTest::newRow("absolute stays") << "/other/./c.mp4" << "/other/./c.mp4";
    QTest::newRow("empty stays empty") << "" << "";
}

void TestShowFile::resolvedPaths()
{
    QFETCH(QString, entry);
    QFETCH(QString, resolved);
    Show show = showWith({entry}, {entry});
    resolveShowPaths(show, QStringLiteral("/copy/gala/gala.zelvoshow"));
    QCOMPARE(show.library.first(), resolved);
    QCOMPARE(show.playlist.first().source, resolved);
    for (const ShowProgram &program : show.programs)
        QCOMPARE(program.playlist.first().source, resolved);
}

void TestShowFile::foldersAndEmptyShowPathStay()
{
    const Show original = showWith({QStringLiteral("media/a.mp4")}, {QStringLiteral("media/a.mp4")},
                                   {QStringLiteral("/shows/gala/media"), QStringLiteral("media")});
    Show show = original;
    makeShowPathsRelative(show, QStringLiteral("/shows/gala/gala.zelvoshow"));
    QCOMPARE(show.folders, original.folders);
    resolveShowPaths(show, QStringLiteral("/copy/gala/gala.zelvoshow"));
    QCOMPARE(show.folders, original.folders);

    show = original;
    resolveShowPaths(show, QString());
    QCOMPARE(show, original);
}

void TestShowFile::suffix_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("saved");
    QTest::newRow("none") << "/s/gala" << "/s/gala.zelvoshow";
    QTest::newRow("present") << "/s/gala.zelvoshow" << "/s/gala.zelvoshow";
    QTest::newRow("capitals") << "/s/gala.ZELVOSHOW" << "/s/gala.ZELVOSHOW";
    QTest::newRow("other suffix") << "/s/gala.json" << "/s/gala.json.zelvoshow";
}

void TestShowFile::suffix()
{
    QFETCH(QString, path);
    QFETCH(QString, saved);
    QCOMPARE(withShowSuffix(path), saved);
}

void TestShowFile::roundTripSurvivesMovedFolder()
{
    QTemporaryDir temp;
    const QString first = temp.filePath(QStringLiteral("first"));
    const QString media = first + QStringLiteral("/gala/media/clip.mp4");
    const QString outside = temp.filePath(QStringLiteral("elsewhere/logo.mov"));
    writeBytes(media, "clip");
    writeBytes(outside, "logo");

    Show show = showWith({media, outside}, {media, outside}, {first + QStringLiteral("/gala/media")});
    const QString showPath = first + QStringLiteral("/gala/gala.zelvoshow");
    QVERIFY(writeShowFile(show, showPath));
    QVERIFY(contents(showPath).contains("\"media/clip.mp4\""));

    const QString moved = temp.filePath(QStringLiteral("second/copy"));
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("second"))));
    QVERIFY(QDir().rename(first + QStringLiteral("/gala"), moved));

    Show read;
    QCOMPARE(readShowFile(moved + QStringLiteral("/gala.zelvoshow"), read), ShowFileRead::Ok);
    const QString movedMedia = moved + QStringLiteral("/media/clip.mp4");
    QCOMPARE(read.library, QStringList({movedMedia, outside}));
    QVERIFY(QFile::exists(read.library.first()));
    QCOMPARE(read.programs.size(), 2);
    for (const ShowProgram &program : read.programs) {
        QCOMPARE(program.playlist.first().source, movedMedia);
        QCOMPARE(program.playlist.last().source, outside);
    }
    QCOMPARE(read.folders, show.folders);
}

void TestShowFile::oneBackupGeneration()
{
    QTemporaryDir temp;
    const QString path = temp.filePath(QStringLiteral("gala.zelvoshow"));
    const Show one = showWith({QStringLiteral("/m/one.mp4")}, {});
    const Show two = showWith({QStringLiteral("/m/two.mp4")}, {});
    const Show three = showWith({QStringLiteral("/m/three.mp4")}, {});

    QVERIFY(writeShowFile(one, path));
    QVERIFY(!QFile::exists(path + QStringLiteral(".bak")));
    const QByteArray firstBytes = contents(path);
    QVERIFY(writeShowFile(two, path));
    QCOMPARE(contents(path + QStringLiteral(".bak")), firstBytes);
    const QByteArray secondBytes = contents(path);
    QVERIFY(writeShowFile(three, path));
    QCOMPARE(contents(path + QStringLiteral(".bak")), secondBytes);
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files),
             QStringList({QStringLiteral("gala.zelvoshow"), QStringLiteral("gala.zelvoshow.bak")}));
}

void TestShowFile::failedSaveInUnwritableFolderKeepsOldFile()
{
    QTemporaryDir temp;
    QFile::setPermissions(temp.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                           | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QString folder = temp.filePath(QStringLiteral("locked"));
    const QString path = folder + QStringLiteral("/gala.zelvoshow");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeShowFile(showWith({QStringLiteral("/m/old.mp4")}, {}), path));
    const QByteArray old = contents(path);
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadOther | QFileDevice::ExeOther));

    QString reason;
    const bool saved = asOrdinaryUser([&] {
        return writeShowFile(showWith({QStringLiteral("/m/new.mp4")}, {}), path, &reason);
    });
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(!saved);
    QVERIFY(!reason.isEmpty());
    QCOMPARE(contents(path), old);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList({QStringLiteral("gala.zelvoshow")}));
}

void TestShowFile::failedSaveOnFullDiskKeepsOldFile()
{
    QTemporaryDir temp;
    const QString path = temp.filePath(QStringLiteral("gala.zelvoshow"));
    QVERIFY(writeShowFile(showWith({QStringLiteral("/m/old.mp4")}, {}), path));
    const QByteArray old = contents(path);

    // A file size limit stands in for a full disk: writes past it fail with EFBIG.
    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many.append(QStringLiteral("/m/clip-%1.mp4").arg(i));
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 16384;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QString reason;
    const bool written = writeShowFile(showWith(many, many), path, &reason);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!written);
    QVERIFY(!reason.isEmpty());
    QCOMPARE(contents(path), old);
    QCOMPARE(contents(path + QStringLiteral(".bak")), old);
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files).size(), 2);
}

void TestShowFile::readFailures()
{
    QTemporaryDir temp;
    const Show before = showWith({QStringLiteral("/m/keep.mp4")}, {});
    Show show = before;
    QCOMPARE(readShowFile(temp.filePath(QStringLiteral("absent.zelvoshow")), show), ShowFileRead::CannotOpen);

    const QString path = temp.filePath(QStringLiteral("gala.zelvoshow"));
    QVERIFY(writeShowFile(showWith({QStringLiteral("/m/x.mp4")}, {}), path));
    const QByteArray whole = contents(path);
    const QList<QByteArray> broken{whole.left(whole.size() / 2), "[1, 2]", "", "{\"schema\": 9}"};
    for (const QByteArray &bytes : broken) {
        writeBytes(path, bytes);
        QCOMPARE(readShowFile(path, show), ShowFileRead::Invalid);
        QCOMPARE(show, before);
    }
}

QTEST_GUILESS_MAIN(TestShowFile)
#include "tst_showfile.moc"
