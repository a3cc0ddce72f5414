// Folder scan and relink search figures: a tree of 10000 media files (and 2000 other files) in 100
// folders is scanned on the global pool while a 1 ms timer runs on the GUI thread; prints the scan
// time, the number of timer ticks during the scan and the longest gap between two ticks (how long
// the GUI thread was kept from its events), then the same for a relink search of 100 missing paths.
//   bench_media_scan
#include "engine/MediaRelink.h"
#include "engine/MediaScan.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

struct Responsiveness
{
    qint64 totalMs = 0;
    int ticks = 0;
    qint64 longestGapMs = 0;
};

template <typename Result>
Responsiveness watch(QFuture<Result> future)
{
    QElapsedTimer clock;
    clock.start();
    Responsiveness figures;
    qint64 last = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        figures.longestGapMs = std::max(figures.longestGapMs, now - last);
        last = now;
        ++figures.ticks;
    });
    ticker.start(1);
    QFutureWatcher<Result> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<Result>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!watcher.isFinished())
        loop.exec();
    figures.totalMs = clock.elapsed();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    QStringList missing;
    for (int i = 0; i < 12000; ++i) {
        const QString folder = root.filePath(QStringLiteral("show-%1/media").arg(i % 100));
        QDir().mkpath(folder);
        const QString name = i < 10000 ? QStringLiteral("clip-%1.mp4").arg(i) : QStringLiteral("notes-%1.txt").arg(i);
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        if (i % 100 == 0 && i < 10000)
            missing.append(QStringLiteral("/moved/show-%1/media/%2").arg(i % 100).arg(name));
    }

    for (int run = 0; run < 3; ++run) {
        const Responsiveness scan = watch(startMediaScan(root.path()));
        std::printf("folder scan of 10000 media (12000 files): %lld ms, GUI timer ticks %d, longest GUI gap %lld ms\n",
                    scan.totalMs, scan.ticks, scan.longestGapMs);
    }
    for (int run = 0; run < 3; ++run) {
        const Responsiveness relink = watch(startMediaMatch(missing, root.path()));
        std::printf("relink search of 100 paths in 12000 files: %lld ms, GUI timer ticks %d, longest GUI gap %lld ms\n",
                    relink.totalMs, relink.ticks, relink.longestGapMs);
    }
    return 0;
}
