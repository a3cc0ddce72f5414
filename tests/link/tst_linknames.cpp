// Show and media names on both ends: what the master gives each file, and what a follower accepts
// from the network before it joins a name onto its show folder.
#include "link/LinkMediaNames.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestLinkNames : public QObject
{
    Q_OBJECT

private slots:
    void showNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << " Opening Night " << "Opening Night";
        QTest::newRow("separators") << "a/b\\c:d*e?f\"g<h>i|j" << "a_b_c_d_e_f_g_h_i_j";
        QTest::newRow("empty") << "   " << "Show";
        QTest::newRow("dot") << "." << "Show";
        QTest::newRow("dot dot") << ".." << "Show";
        QTest::newRow("dots") << " ... " << "Show";
        QTest::newRow("dots with slash") << "../.." << ".._..";
        QTest::newRow("long") << QString(100, QLatin1Char('x')) << QString(80, QLatin1Char('x'));
    }
    void showNames()
    {
        QFETCH(QString, name);
        QTEST(LinkMediaNames::sanitizeShowName(name), "expected");
    }

    void relativeNames_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("safe");
        QTest::newRow("file") << "media/clip.mp4" << true;
        QTest::newRow("numbered") << "media/clip (2).mp4" << true;
        QTest::newRow("dots inside") << "media/a..b.mp4" << true;
        QTest::newRow("dot dot") << "media/.." << false;
        QTest::newRow("dot") << "media/." << false;
        QTest::newRow("climb") << "media/../x" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("media absolute") << "/media/x" << false;
        QTest::newRow("subfolder") << "media/a/b" << false;
        QTest::newRow("backslash") << "media\\..\\x" << false;
        QTest::newRow("backslash inside") << "media/..\\x" << false;
        QTest::newRow("empty name") << "media/" << false;
        QTest::newRow("other case") << "Media/x" << false;
        QTest::newRow("line feed") << "media/a\nb" << false;
        QTest::newRow("bare name") << "clip.mp4" << false;
    }
    void relativeNames()
    {
        QFETCH(QString, relative);
        QFETCH(bool, safe);
        QCOMPARE(LinkMediaNames::isSafeRelative(relative), safe);
        const QString resolved = LinkMediaNames::resolve(QStringLiteral("/tmp/show"), relative);
        QCOMPARE(!resolved.isEmpty(), safe);
        if (safe)
            QVERIFY(resolved.startsWith(QLatin1String("/tmp/show/media/")));
    }

    void uniqueNames()
    {
        QTemporaryDir dir;
        const QStringList files{"a/clip.mp4", "b/CLIP.mp4", "c/clip.mp4", "a/notes", "b/notes", "d/clip (2).mp4"};
        for (const QString &file : files) {
            QDir(dir.path()).mkpath(QFileInfo(file).path());
            QFile f(dir.filePath(file));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QDir(dir.path()).mkpath(QStringLiteral("folder.mp4"));
        QStringList paths;
        for (const QString &file : files)
            paths << dir.filePath(file);
        paths << dir.filePath(QStringLiteral("missing.mov")) << dir.filePath(QStringLiteral("folder.mp4")) << paths.first();
        QStringList order;
        const auto names = LinkMediaNames::uniqueRelativeNames(paths, &order);
        QCOMPARE(order.size(), 6);
        QCOMPARE(names.value(paths[0]), QStringLiteral("media/clip.mp4"));
        QCOMPARE(names.value(paths[1]), QStringLiteral("media/CLIP (2).mp4"));
        QCOMPARE(names.value(paths[2]), QStringLiteral("media/clip (3).mp4"));
        QCOMPARE(names.value(paths[3]), QStringLiteral("media/notes"));
        QCOMPARE(names.value(paths[4]), QStringLiteral("media/notes (2)"));
        // The file really called "clip (2).mp4" came after that name was taken.
        QCOMPARE(names.value(paths[5]), QStringLiteral("media/clip (2) (2).mp4"));
        QVERIFY(!names.contains(dir.filePath(QStringLiteral("missing.mov"))));
        QVERIFY(!names.contains(dir.filePath(QStringLiteral("folder.mp4"))));
    }
};

QTEST_GUILESS_MAIN(TestLinkNames)
#include "tst_linknames.moc"
