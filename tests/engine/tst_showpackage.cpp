#include "engine/PackageExport.h"
#include "engine/ShowFile.h"
#include "engine/ShowPackage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A file that takes no disk space but reads as size zero bytes.
void makeSparse(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

Show showUsing(const QStringList &media)
{
    Show show;
    show.library = media;
    QList<Cue> playlist;
    for (const QString &path : media)
        playlist.append(Cue::forPath(path));
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), playlist},
                     ShowProgram{2, QStringLiteral("Program B"), {playlist.last()}}};
    show.playlist = playlist;
    show.outputs.programs = 2;
    show.folders = {QStringLiteral("/media/folder")};
    return show;
}

QStringList partFiles(const QString &folder)
{
    QStringList parts;
    QDirIterator it(folder, {QStringLiteral("*.part")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        parts.append(it.next());
    return parts;
}

bool runToEnd(PackageExport &exporter)
{
    QSignalSpy finished(&exporter, &PackageExport::finished);
    if (!exporter.start())
        return false;
    return finished.wait(30000);
}

} // namespace

class TestShowPackage : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void planNamesByExactName();
    void exportedPackageOpensWhenMoved();
    void failedCopyIsReportedAndKeepsItsPath();
    void cancelMidFileLeavesNoPartAndNoShow();
    void notEnoughRoomCopiesNothing();
    void aliasedDestinationDoesNotReplaceAnEarlierCopy();
    void freeFolderNames();

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    QString m_sources;
    QStringList m_media;
    QString m_missing;
};

void TestShowPackage::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    m_sources = m_temp->filePath(QStringLiteral("sources"));
    m_missing = m_sources + QStringLiteral("/gone/missing.mp4");
    m_media = {m_sources + QStringLiteral("/one/clip.mp4"), m_sources + QStringLiteral("/two/clip.mp4"),
               m_sources + QStringLiteral("/three/Clip.MP4"), m_sources + QStringLiteral("/one/a.b.mov"),
               m_missing, m_sources + QStringLiteral("/two/a.b.mov"), m_sources + QStringLiteral("/one/clip (2).mp4")};
    for (const QString &path : m_media) {
        if (path != m_missing)
            writeBytes(path, path.toUtf8());
    }
}

void TestShowPackage::planNamesByExactName()
{
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    const PackagePlan plan = planPackage(m_media, target, QStringLiteral("Gala"));
    QCOMPARE(plan.showFile, target + QStringLiteral("/Gala.zelvoshow"));
    QCOMPARE(plan.missing, QStringList({m_missing}));
    const QStringList names{"media/clip.mp4", "media/clip (2).mp4", "media/Clip.MP4", "media/a.b.mov",
                            "media/a.b (2).mov", "media/clip (2) (2).mp4"};
    QCOMPARE(plan.copies.size(), names.size());
    QStringList planned;
    qint64 total = 0;
    for (const auto &[source, destination] : plan.copies) {
        planned.append(plan.relativePaths.value(source));
        QCOMPARE(destination, target + QLatin1Char('/') + plan.relativePaths.value(source));
        total += QFileInfo(source).size();
    }
    QCOMPARE(planned, names);
    QCOMPARE(plan.totalBytes, total);
}

void TestShowPackage::exportedPackageOpensWhenMoved()
{
    QStringList present = m_media;
    present.removeAll(m_missing);
    const Show show = showUsing(m_media);
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    PackageExport exporter(show, m_media, target, QStringLiteral("Gala"));
    QVERIFY(runToEnd(exporter));
    QCOMPARE(exporter.status(), PackageExport::Status::Written);
    QCOMPARE(exporter.showFile(), target + QStringLiteral("/Gala.zelvoshow"));
    QCOMPARE(exporter.result().copied, present.size());
    QCOMPARE(exporter.notIncluded(), QStringList({m_missing}));
    QCOMPARE(exporter.copiedBytes(), exporter.plan().totalBytes);
    QVERIFY(partFiles(target).isEmpty());

    const QString moved = m_temp->filePath(QStringLiteral("elsewhere/Carried"));
    QVERIFY(QDir().mkpath(m_temp->filePath(QStringLiteral("elsewhere"))));
    QVERIFY(QDir().rename(target, moved));
    QVERIFY(QDir(m_sources).removeRecursively());

    Show read;
    QCOMPARE(readShowFile(moved + QStringLiteral("/Gala.zelvoshow"), read), ShowFileRead::Ok);
    QCOMPARE(read.library.size(), m_media.size());
    for (int i = 0; i < m_media.size(); ++i) {
        const QString path = read.library.at(i);
        if (m_media.at(i) == m_missing) {
            QCOMPARE(path, m_missing);
            continue;
        }
        QVERIFY2(path.startsWith(moved + QStringLiteral("/media/")), qPrintable(path));
        // Each copy holds its own source's bytes: no two sources were folded into one name.
        QCOMPARE(contents(path), m_media.at(i).toUtf8());
        QCOMPARE(read.programs.first().playlist.at(i).source, path);
    }
    QCOMPARE(read.programs.last().playlist.first().source, read.library.last());
    QCOMPARE(read.folders, show.folders);
}

void TestShowPackage::failedCopyIsReportedAndKeepsItsPath()
{
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    // A folder where the copy's ".part" file should go makes that one copy fail.
    QVERIFY(QDir().mkpath(target + QStringLiteral("/media/clip (2).mp4.part")));
    PackageExport exporter(showUsing(m_media), m_media, target, QStringLiteral("Gala"));
    QVERIFY(runToEnd(exporter));
    QCOMPARE(exporter.status(), PackageExport::Status::Written);
    const QString failed = m_media.at(1);
    QCOMPARE(exporter.result().failed, QStringList({failed}));
    QCOMPARE(exporter.notIncluded(), QStringList({m_missing, failed}));
    QCOMPARE(exporter.result().copied, m_media.size() - 2);

    Show read;
    QCOMPARE(readShowFile(exporter.showFile(), read), ShowFileRead::Ok);
    QCOMPARE(read.library.at(1), failed);
    QCOMPARE(read.library.at(0), target + QStringLiteral("/media/clip.mp4"));
}

void TestShowPackage::cancelMidFileLeavesNoPartAndNoShow()
{
    const qint64 size = 64 * 1024 * 1024;
    const QString big = m_sources + QStringLiteral("/big/recording.mov");
    makeSparse(big, size);
    const QStringList media{m_media.first(), big, m_media.at(2)};
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    PackageExport exporter(showUsing(media), media, target, QStringLiteral("Gala"));
    QSignalSpy finished(&exporter, &PackageExport::finished);

    // The operator presses Cancel once the big file is partly copied.
    std::atomic<bool> stop{false};
    const qint64 firstSize = QFileInfo(media.first()).size();
    std::thread canceller([&] {
        while (!stop && exporter.copiedBytes() < firstSize + 2 * packageChunkBytes)
            std::this_thread::yield();
        exporter.cancel();
    });
    QVERIFY(exporter.start());
    const bool ended = finished.wait(30000);
    stop = true;
    canceller.join();
    QVERIFY(ended);

    QCOMPARE(exporter.status(), PackageExport::Status::Cancelled);
    QVERIFY(exporter.result().cancelled);
    QVERIFY2(exporter.copiedBytes() < firstSize + size, "the big file was copied whole before the cancel");
    QCOMPARE(exporter.result().copied, 1);
    QVERIFY(exporter.showFile().isEmpty());
    QVERIFY(!QFile::exists(target + QStringLiteral("/Gala.zelvoshow")));
    QVERIFY(partFiles(target).isEmpty());
    QVERIFY(!QFile::exists(target + QStringLiteral("/media/recording.mov")));
    // The file finished before the cancel stays.
    QVERIFY(QFile::exists(target + QStringLiteral("/media/clip.mp4")));
}

void TestShowPackage::notEnoughRoomCopiesNothing()
{
    // A sparse file far larger than the free space of any test machine.
    const QString huge = m_sources + QStringLiteral("/huge/archive.mxf");
    makeSparse(huge, qint64(1) << 43);
    QVERIFY(QFileInfo(huge).size() > QStorageInfo(m_sources).bytesAvailable());
    const QStringList media{m_media.first(), huge};
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    PackageExport exporter(showUsing(media), media, target, QStringLiteral("Gala"));
    QVERIFY(!exporter.start());
    QCOMPARE(exporter.status(), PackageExport::Status::NoRoom);
    QVERIFY(QFileInfo(target).isDir());
    QVERIFY(QDir(target).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    QVERIFY(!packageFits(target, QStorageInfo(target).bytesAvailable() - packageSpaceMargin + 1));
    QVERIFY(packageFits(target, 0));
}

void TestShowPackage::aliasedDestinationDoesNotReplaceAnEarlierCopy()
{
    // On a volume that folds letter case, media/Clip.MP4 is media/clip.mp4. A link planted under
    // the second name stands in for such a volume here.
    const QStringList media{m_media.at(0), m_media.at(2)};   // .../one/clip.mp4, .../three/Clip.MP4
    const QString target = m_temp->filePath(QStringLiteral("out/Gala"));
    QVERIFY(QDir().mkpath(target + QStringLiteral("/media")));
    QVERIFY(QFile::link(target + QStringLiteral("/media/clip.mp4"), target + QStringLiteral("/media/Clip.MP4")));
    const PackagePlan plan = planPackage(media, target, QStringLiteral("Gala"));
    const PackageResult result = copyPackageMedia(plan, nullptr, nullptr);
    QCOMPARE(result.copied, 1);
    QCOMPARE(result.failed, QStringList({m_media.at(2)}));
    QCOMPARE(contents(target + QStringLiteral("/media/clip.mp4")), m_media.at(0).toUtf8());
    QVERIFY(partFiles(target).isEmpty());
}

void TestShowPackage::freeFolderNames()
{
    const QString parent = m_temp->filePath(QStringLiteral("out"));
    QCOMPARE(freePackageFolder(parent, QStringLiteral("Gala")), parent + QStringLiteral("/Gala"));
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/Gala")));
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/Gala (2)")));
    // Another letter case is another folder here.
    QCOMPARE(freePackageFolder(parent, QStringLiteral("gala")), parent + QStringLiteral("/gala"));
    QCOMPARE(freePackageFolder(parent, QStringLiteral("Gala")), parent + QStringLiteral("/Gala (3)"));
}

QTEST_GUILESS_MAIN(TestShowPackage)
#include "tst_showpackage.moc"
