#include "engine/MediaRelink.h"
#include "engine/MediaScan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

namespace {

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

using Map = QHash<QString, QString>;

} // namespace

class TestMediaRelink : public QObject
{
    Q_OBJECT
private slots:
    void score_data();
    void score();
    void matching_data();
    void matching();
    void entryLimit();
    void unreadableFolderFindsNothing();
    void rewrite();
    void scanKeepsMediaSorted();
    void scanOfTenThousandRunsOffTheGuiThread();
};

void TestMediaRelink::score_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<int>("score");
    QTest::newRow("three equal") << "/d/Show/Media/intro.mp4" << "/e/Show/Media/intro.mp4" << 3;
    QTest::newRow("name only") << "/d/Show/Media/intro.mp4" << "/e/Backup/intro.mp4" << 1;
    QTest::newRow("case ignored") << "/d/SHOW/media/Intro.MP4" << "/e/show/Media/intro.mp4" << 3;
    QTest::newRow("empty parts dropped") << "/d//Media///intro.mp4" << "/e/Media/intro.mp4" << 2;
    QTest::newRow("one runs out") << "intro.mp4" << "/e/Media/intro.mp4" << 1;
    QTest::newRow("whole path") << "/a/b.mp4" << "/a/b.mp4" << 2;
    QTest::newRow("different names") << "/a/b.mp4" << "/a/c.mp4" << 0;
}

void TestMediaRelink::score()
{
    QFETCH(QString, missing);
    QFETCH(QString, candidate);
    QFETCH(int, score);
    QCOMPARE(tailScore(missing, candidate), score);
}

void TestMediaRelink::matching_data()
{
    QTest::addColumn<QStringList>("files");     // below the searched folder
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("found");          // below the searched folder; empty: stays missing
    QTest::newRow("longest tail wins") << QStringList{"Show/Media/intro.mp4", "Backup/intro.mp4"}
                                       << "/old/Show/Media/intro.mp4" << "Show/Media/intro.mp4";
    QTest::newRow("tie stays missing") << QStringList{"A/Media/intro.mp4", "B/Media/intro.mp4"}
                                       << "/old/Media/intro.mp4" << "";
    QTest::newRow("higher score after a tie") << QStringList{"P/Media/loop.mp4", "Q/Media/loop.mp4", "Y/Media/loop.mp4"}
                                              << "/d/X/Y/Media/loop.mp4" << "Y/Media/loop.mp4";
    QTest::newRow("single candidate anywhere") << QStringList{"deep/er/still/solo.mov"} << "/gone/solo.mov"
                                               << "deep/er/still/solo.mov";
    QTest::newRow("name matches without case") << QStringList{"sub/intro.mp4"} << "/x/Intro.MP4" << "sub/intro.mp4";
    // Two files that differ only in case are two candidates, not one.
    QTest::newRow("case twins tie") << QStringList{"sub/Take.mov", "sub/take.mov"} << "/x/sub/take.mov" << "";
    QTest::newRow("no candidate") << QStringList{"sub/other.mp4"} << "/x/intro.mp4" << "";
    QTest::newRow("hidden file skipped") << QStringList{"sub/.intro.mp4"} << "/x/.intro.mp4" << "";
    QTest::newRow("hidden folder skipped") << QStringList{".cache/intro.mp4", "kept/intro.mp4"} << "/x/.cache/intro.mp4"
                                           << "kept/intro.mp4";
}

void TestMediaRelink::matching()
{
    QFETCH(QStringList, files);
    QFETCH(QString, missing);
    QFETCH(QString, found);
    QTemporaryDir root;
    for (const QString &file : files)
        touch(root.filePath(file));
    const Map map = matchMissingMedia({missing}, root.path());
    if (found.isEmpty()) {
        QVERIFY2(map.isEmpty(), qPrintable(map.value(missing)));
    } else {
        QCOMPARE(map, Map({{missing, QDir::cleanPath(root.filePath(found))}}));
    }
}

void TestMediaRelink::entryLimit()
{
    QTemporaryDir root;
    for (int i = 0; i < 20; ++i)
        touch(root.filePath(QStringLiteral("f%1/clip%1.mp4").arg(i)));
    QStringList missing;
    for (int i = 0; i < 20; ++i)
        missing.append(QStringLiteral("/old/f%1/clip%1.mp4").arg(i));
    QCOMPARE(matchMissingMedia(missing, root.path(), 20).size(), 20);
    QCOMPARE(matchMissingMedia(missing, root.path(), 7).size(), 7);
    QCOMPARE(matchMissingMedia(missing, root.path(), 0).size(), 0);
}

void TestMediaRelink::unreadableFolderFindsNothing()
{
    QVERIFY(matchMissingMedia({QStringLiteral("/x/a.mp4")}, QStringLiteral("/no/such/folder")).isEmpty());
}

void TestMediaRelink::rewrite()
{
    const QString lost = QStringLiteral("/old/a.mp4");
    const QString found = QStringLiteral("/new/a.mp4");
    QStringList library{lost, QStringLiteral("/keep/b.mp4"), found, lost};
    QList<ShowProgram> programs{
        ShowProgram{1, QStringLiteral("Program A"), {Cue::forPath(lost), Cue::forPath(QStringLiteral("/keep/b.mp4"))}},
        ShowProgram{7, QStringLiteral("Side"), {Cue::forPath(lost)}}};
    programs[1].playlist[0].in_ms = 700;

    QStringList untouchedLibrary = library;
    QList<ShowProgram> untouchedPrograms = programs;
    QCOMPARE(applyRelinkMap(untouchedLibrary, untouchedPrograms, {}), 0);
    QCOMPARE(untouchedLibrary, library);

    QCOMPARE(applyRelinkMap(library, programs, Map{{lost, found}, {QStringLiteral("/absent.mp4"), found}}), 4);
    QCOMPARE(library, QStringList({found, QStringLiteral("/keep/b.mp4")}));
    QCOMPARE(programs[0].playlist[0].source, found);
    QCOMPARE(programs[0].playlist[1].source, QStringLiteral("/keep/b.mp4"));
    QCOMPARE(programs[1].playlist[0].source, found);
    QCOMPARE(programs[1].playlist[0].in_ms, 700);
}

void TestMediaRelink::scanKeepsMediaSorted()
{
    QTemporaryDir root;
    QStringList expected;
    for (const QString &suffix : mediaSuffixes()) {
        touch(root.filePath(QStringLiteral("all/file.") + suffix));
        expected.append(root.filePath(QStringLiteral("all/file.") + suffix));
    }
    QCOMPARE(mediaSuffixes().size(), 17);
    const QStringList kept{"a.MP4", "sub/c.ogg", "B.Mov", "sub/deeper/d.AAC"};
    const QStringList skipped{"b.txt", "mp4", ".hidden.mp4", ".hiddendir/e.mp4", "f.mp4.part", "g.jpeg"};
    for (const QString &file : kept + skipped)
        touch(root.filePath(file));
    for (const QString &file : kept)
        expected.append(root.filePath(file));
    // A link to a folder outside is not followed.
    QTemporaryDir outside;
    touch(outside.filePath(QStringLiteral("linked.mp4")));
    QVERIFY(QFile::link(outside.path(), root.filePath(QStringLiteral("link"))));

    std::sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    QCOMPARE(scanMediaFiles(root.path()), expected);
    QVERIFY(scanMediaFiles(QStringLiteral("/no/such/folder")).isEmpty());
}

void TestMediaRelink::scanOfTenThousandRunsOffTheGuiThread()
{
    QTemporaryDir root;
    for (int i = 0; i < 10000; ++i)
        touch(root.filePath(QStringLiteral("d%1/clip-%2.mp4").arg(i % 50).arg(i, 5, 10, QLatin1Char('0'))));

    // Hold the pool's only thread: the scan can finish only after its release, so everything the
    // GUI thread does before that proves it was not busy scanning.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    QSemaphore gate;
    pool->start([&gate] { gate.acquire(); });

    QElapsedTimer clock;
    clock.start();
    QFutureWatcher<QStringList> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<QStringList>::finished);
    watcher.setFuture(startMediaScan(root.path()));
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(1);
    QTRY_VERIFY(ticks >= 3);
    QVERIFY(!watcher.isFinished());

    const qint64 released = clock.elapsed();
    ticks = 0;
    gate.release();
    QVERIFY(finished.wait(60000));
    const qint64 scanMs = clock.elapsed() - released;
    pool->setMaxThreadCount(threads);

    const QStringList result = watcher.result();
    QCOMPARE(result.size(), 10000);
    QVERIFY(std::is_sorted(result.begin(), result.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    }));
    qInfo("10000 files scanned in %lld ms on the pool; the GUI thread's 1 ms timer ticked %d times meanwhile", scanMs, ticks);
}

QTEST_GUILESS_MAIN(TestMediaRelink)
#include "tst_mediarelink.moc"
