// Deck figures on the generated clips: the time from prepare to preparedReady, from take to the new
// cue's first published frame, the peak memory of one playing deck, and for a Sequential playlist of
// three 2 s clips the frame periods without a new frame at each boundary and the audio
// discontinuity there.
//   bench_deck FIXTURES_DIR
#include "engine/NativeChannel.h"
#include "engine/PlaylistController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void preparationAndTake(const QString &clip)
{
    std::vector<double> prepare, take;
    NativeChannel deck(false);
    for (int i = 0; i < 10; ++i) {
        Cue cue = Cue::forPath(clip);
        cue.in_ms = 1000 + 1480 * (i % 4);
        QSignalSpy ready(&deck, &NativeChannel::preparedReady);
        QElapsedTimer timer;
        timer.start();
        deck.prepare(cue);
        if (!ready.wait(10000))
            continue;
        prepare.push_back(timer.nsecsElapsed() / 1e6);
        qint64 published = -1;
        const qint64 generation = qint64(deck.requestGeneration());
        QMetaObject::Connection c = QObject::connect(&deck, &NativeChannel::frameReady, [&](const QVideoFrame &f) {
            if (published < 0 && f.isValid() && qint64(deck.activeGeneration()) == generation)
                published = timer.nsecsElapsed();
        });
        timer.restart();
        deck.take();
        QTest::qWaitFor([&] { return published >= 0; }, 2000);
        QObject::disconnect(c);
        if (published >= 0)
            take.push_back(published / 1e6);
        QTest::qWait(200);
    }
    std::printf("prepare -> preparedReady: median %.1f ms (%zu runs)\n", median(prepare), prepare.size());
    std::printf("take -> first published frame: median %.2f ms\n", median(take));
    QTest::qWait(2000);
    std::printf("peak memory with one playing deck: %ld kB\n", peakRssKb());
}

void gaplessSequence(const QString &dir)
{
    NativeChannel deck(false);
    PlaylistController controller(&deck);
    QList<Cue> items;
    for (const char *name : {"short_a.mp4", "short_b.mp4", "short_c.mp4"})
        items << Cue::forPath(dir + "/" + name);
    std::vector<qint64> frameTimesUs;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&deck, &NativeChannel::frameReady, [&](const QVideoFrame &f) {
        if (f.isValid())
            frameTimesUs.push_back(clock.nsecsElapsed() / 1000);
    });
    std::vector<float> audio;
    QObject::connect(&deck, &NativeChannel::audioReady, [&](const AudioPacket &p) {
        const float *s = reinterpret_cast<const float *>(p.data.constData());
        audio.insert(audio.end(), s, s + p.frames() * 2);
    });
    std::vector<qint64> startsUs;
    QObject::connect(&deck, &NativeChannel::started, [&] { startsUs.push_back(clock.nsecsElapsed() / 1000); });
    controller.setAutoAdvance(true);
    controller.takeCue(items, 0, false, 0);
    QTest::qWaitFor([&] { return controller.current == 2 && deck.hasEnded(); }, 15000);
    QTest::qWait(200);

    for (size_t b = 1; b < startsUs.size(); ++b) {
        // Frame periods (40 ms at 25 fps) around the boundary without a new picture.
        int missed = 0;
        for (size_t i = 1; i < frameTimesUs.size(); ++i) {
            if (frameTimesUs[i] < startsUs[b] - 200000 || frameTimesUs[i - 1] > startsUs[b] + 200000)
                continue;
            const int periods = int(std::lround(double(frameTimesUs[i] - frameTimesUs[i - 1]) / 40000.0));
            missed += std::max(0, periods - 1);
        }
        std::printf("boundary %zu: %d frame periods without a new frame\n", b, missed);
    }
    // The clips carry a 440 Hz sine that starts at phase 0 in each clip, so a boundary shows one step
    // of phase; a gap shows as a run of silence. Both are measured between the first and last sound.
    size_t first = 0, last = audio.size();
    while (first < audio.size() && audio[first] == 0.0f)
        first += 2;
    while (last > first && audio[last - 2] == 0.0f)
        last -= 2;
    float worst = 0.0f, peak = 0.0f;
    size_t run = 0, longestSilence = 0;
    for (size_t i = first; i < last; i += 2) {
        if (i > first)
            worst = std::max(worst, std::abs(audio[i] - audio[i - 2]));
        peak = std::max(peak, std::abs(audio[i]));
        run = audio[i] == 0.0f ? run + 1 : 0;
        longestSilence = std::max(longestSilence, run);
    }
    std::printf("audio: longest silence inside the sequence %.2f ms; largest step %.4f at peak %.3f "
                "(a clean 440 Hz tone steps by at most %.4f)\n",
                longestSilence / 48.0, worst, peak, peak * 2 * M_PI * 440 / 48000);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("ZELVO_FIXTURES");
    preparationAndTake(dir + "/clip_1080p25.mp4");
    gaplessSequence(dir);
    return 0;
}
