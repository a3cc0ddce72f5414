// Soak of local monitoring: four Program decks loop a 2 s clip with their monitoring sound on, as a
// show would run them, for 30 minutes (or the given number). Every minute it prints the resident
// memory, the thread count, the monitoring streams opened so far and the frames published; at the
// end, how far memory moved from the first minute and whether the thread count stayed the same.
// Meant to run inside scripts/test-env.sh, whose PulseAudio null sink plays the monitoring sound.
//   bench_monitor_soak [MINUTES] [FIXTURES_DIR]
#include "engine/NativeChannel.h"
#include "platform/media/MediaPlayer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

long statusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int minutes = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    const QString dir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : qEnvironmentVariable("ZELVO_FIXTURES");
    const char *clips[] = {"short_a.mp4", "short_b.mp4", "short_c.mp4", "short_a.mp4"};

    std::vector<std::unique_ptr<NativeChannel>> decks;
    for (const char *clip : clips) {
        auto deck = std::make_unique<NativeChannel>(false);
        deck->setLooping(true);
        QSignalSpy started(deck.get(), &NativeChannel::started);
        deck->load(Cue::forPath(dir + QLatin1Char('/') + QLatin1String(clip)), true);
        if (!started.wait(10000) && started.isEmpty()) {
            std::fprintf(stderr, "could not start %s in %s\n", clip, qPrintable(dir));
            return 1;
        }
        decks.push_back(std::move(deck));
    }
    const auto opens = [&] {
        quint64 n = 0;
        for (const auto &deck : decks)
            n += deck->slot(0).player->monitorStreamOpens() + deck->slot(1).player->monitorStreamOpens();
        return n;
    };
    const auto published = [&] {
        quint64 n = 0;
        for (const auto &deck : decks)
            n += deck->publishedFrames();
        return n;
    };

    std::printf("soak: 4 decks looping 2 s clips with local monitoring, %d minutes\n", minutes);
    std::printf("minute  rss_kB  threads  monitor_opens  frames_published\n");
    std::fflush(stdout);
    long firstRss = 0, worstRss = 0;
    int firstThreads = 0, fewestThreads = 1 << 30, mostThreads = 0;
    QElapsedTimer clock;
    clock.start();
    for (int minute = 1; minute <= minutes; ++minute) {
        QTest::qWait(int(minute * 60000 - clock.elapsed()));
        const long rss = statusKb("VmRSS:");
        const int threads = threadCount();
        if (minute == 1) {
            firstRss = worstRss = rss;
            firstThreads = threads;
        }
        if (std::abs(rss - firstRss) > std::abs(worstRss - firstRss))
            worstRss = rss;
        fewestThreads = std::min(fewestThreads, threads);
        mostThreads = std::max(mostThreads, threads);
        std::printf("%6d  %6ld  %7d  %13llu  %16llu\n", minute, rss, threads, (unsigned long long)opens(),
                    (unsigned long long)published());
        std::fflush(stdout);
    }
    const double drift = firstRss > 0 ? 100.0 * double(worstRss - firstRss) / double(firstRss) : 0;
    std::printf("memory: first minute %ld kB, largest departure %+.1f %%; threads %d..%d (first minute %d); "
                "peak %ld kB\n",
                firstRss, drift, fewestThreads, mostThreads, firstThreads, statusKb("VmHWM:"));
    return 0;
}
