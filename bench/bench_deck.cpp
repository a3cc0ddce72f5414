// Deck figures on the generated clips: the time from prepare to preparedReady, from take to the new
// cue's first published frame, the peak memory of one playing deck, and for a Sequential playlist of
// three 2 s clips the frame periods without a new frame at each boundary and the audio
// discontinuity there. Then the peak memory (VmHWM) that 1 and 4 playing 1080p25 decks add to an
// empty application, bare and with Qt's media backend already started, with and without a prepared
// next cue (each measured in a process of its own),
// the longest hold of the picture when a cue loops back to an In 200 frames after a key frame
// (GOP 250), and the composition time of 1080p dissolve frames.
//   bench_deck FIXTURES_DIR
#include "engine/NativeChannel.h"
#include "engine/PlaylistController.h"
#include "bench/BenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QVideoSink>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include <sys/mman.h>

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

// Runs in a process of its own: decks playing the 10 s 1080p clip, each with a prepared next
// cue when asked; prints the process's peak memory. With `backend` the process first starts Qt's
// media backend (GStreamer here) by making a QVideoSink: the first video sink of a process starts
// it, whoever makes it, so it is a cost of the process rather than of any one deck.
int memoryRun(const QString &dir, int decks, bool prepared, bool backend)
{
    std::unique_ptr<QVideoSink> sink;
    if (backend)
        sink = std::make_unique<QVideoSink>();
    std::vector<std::unique_ptr<NativeChannel>> channels;
    for (int i = 0; i < decks; ++i) {
        auto deck = std::make_unique<NativeChannel>(false);
        QSignalSpy started(deck.get(), &NativeChannel::started);
        deck->load(Cue::forPath(dir + "/clip_1080p25.mp4"), true);
        if (!started.wait(15000) && started.isEmpty())
            return 1;
        if (prepared) {
            Cue next = Cue::forPath(dir + "/clip_1080p25.mp4");
            next.in_ms = 5000;
            QSignalSpy ready(deck.get(), &NativeChannel::preparedReady);
            deck->prepare(next);
            if (!ready.wait(15000) && ready.isEmpty())
                return 1;
        }
        channels.push_back(std::move(deck));
    }
    QTest::qWait(decks > 0 ? 6000 : 500);
    std::printf("hwm %ld\n", peakRssKb());
    return 0;
}

long memoryOf(const QString &program, const QString &dir, int decks, bool prepared, bool backend)
{
    QProcess child;
    child.start(program, {dir, "--memory", QString::number(decks), prepared ? "1" : "0", backend ? "1" : "0"});
    if (!child.waitForFinished(120000))
        return -1;
    const QByteArray out = child.readAllStandardOutput();
    const qsizetype at = out.indexOf("hwm ");
    return at < 0 ? -1 : out.mid(at + 4).trimmed().toLong();
}

void memoryFigures(const QString &program, const QString &dir)
{
    const long empty = memoryOf(program, dir, 0, false, false);
    const long backend = memoryOf(program, dir, 0, false, true);
    std::printf("peak memory of the empty application: %ld kB; with Qt's media backend started: %ld kB\n", empty,
                backend);
    const auto perDeck = [](long hwm, long base, int decks) {
        return hwm > 0 && base > 0 ? (hwm - base) / 1024.0 / decks : -1.0;
    };
    for (bool prepared : {false, true}) {
        for (int decks : {1, 4}) {
            const long bare = memoryOf(program, dir, decks, prepared, false);
            const long started = memoryOf(program, dir, decks, prepared, true);
            std::printf("peak memory, %d playing 1080p25 deck%s%s: %ld kB, %.1f MB per deck above the empty "
                        "application; %ld kB, %.1f MB per deck above it with the media backend started\n",
                        decks, decks > 1 ? "s" : "", prepared ? " with a prepared next cue" : "", bare,
                        perDeck(bare, empty, decks), started, perDeck(started, backend, decks));
            std::fflush(stdout);
        }
    }
}

// A 12 s 1080p25 clip with a key frame every 250 frames, made on first use.
QString gop250Clip(const QString &dir)
{
    const QString path = QDir(dir).filePath("bench/h264_1080p25_gop250.mp4");
    if (QFile::exists(path))
        return path;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                            "testsrc2=s=1920x1080:r=25:d=12", "-c:v", "libx264", "-preset", "veryfast", "-g", "250",
                            "-keyint_min", "250", "-sc_threshold", "0", "-pix_fmt", "yuv420p", path + ".part.mp4"});
    if (!ffmpeg.waitForFinished(600000) || ffmpeg.exitCode() != 0 || !QFile::rename(path + ".part.mp4", path))
        return {};
    return path;
}

void loopRestartHold(const QString &dir)
{
    const QString clip = gop250Clip(dir);
    if (clip.isEmpty()) {
        std::printf("loop restart: could not make the GOP 250 clip\n");
        return;
    }
    NativeChannel deck(false);
    deck.setLooping(true);
    Cue cue = Cue::forPath(clip);
    cue.in_ms = 8000;  // frame 200 of the first GOP
    cue.out_ms = 9000;
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> shownUs;  // wall time of each new picture
    std::vector<bool> restart;    // the picture is the first after a loop restart
    qint64 lastMediaMs = -1;
    QObject::connect(&deck, &NativeChannel::frameReady, [&](const QVideoFrame &f) {
        if (!f.isValid())
            return;
        const qint64 mediaMs = f.startTime() / 1000;
        restart.push_back(lastMediaMs >= 0 && mediaMs < lastMediaMs);
        shownUs.push_back(clock.nsecsElapsed() / 1000);
        lastMediaMs = mediaMs;
    });
    QSignalSpy started(&deck, &NativeChannel::started);
    deck.load(cue, true);
    started.wait(15000);
    QTest::qWait(5500);  // five loops
    std::vector<double> normal, atRestart;
    for (size_t i = 2; i < shownUs.size(); ++i)
        (restart[i] ? atRestart : normal).push_back((shownUs[i] - shownUs[i - 1]) / 1000.0);
    const double longest = atRestart.empty() ? 0 : *std::max_element(atRestart.begin(), atRestart.end());
    std::printf("loop restart (In 200 frames after a key frame, GOP 250, 1080p25): %zu restarts, longest hold "
                "%.1f ms, normal frame interval median %.1f ms, p99 %.1f ms\n",
                atRestart.size(), longest, median(normal), percentile(normal, 0.99));
}

// Milliseconds to write a fresh 1080p NV12 picture's worth of memory (its page faults included).
double firstTouchMs()
{
    const size_t bytes = 1920 * 1080 * 3 / 2;
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return -1;
    QElapsedTimer timer;
    timer.start();
    std::memset(memory, 0x10, bytes);
    const double ms = timer.nsecsElapsed() / 1e6;
    munmap(memory, bytes);
    return ms;
}

void dissolveComposition(const QString &dir)
{
    NativeChannel deck(false);
    QSignalSpy started(&deck, &NativeChannel::started);
    deck.load(Cue::forPath(dir + "/clip_1080p25.mp4"), true);
    started.wait(15000);
    QTest::qWait(500);
    std::vector<double> ms;
    double lastCount = 0;
    QObject::connect(&deck, &NativeChannel::frameReady, [&](const QVideoFrame &) {
        const QJsonObject d = deck.diagnostics();
        const double count = d.value("cpu_composed_frames").toDouble();
        if (count > lastCount)
            ms.push_back(d.value("cpu_composition_last_ms").toDouble());
        lastCount = count;
    });
    Cue next = Cue::forPath(dir + "/h264-1920x1080.mp4");
    next.in_ms = 3000;
    next.transition = 1;
    next.transition_ms = 3000;
    deck.load(next, true);
    QTest::qWait(4500);
    std::printf("1080p dissolve composition: %zu frames, median %.2f ms, p99 %.2f ms, max %.2f ms\n", ms.size(),
                median(ms), percentile(ms, 0.99), ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()));
    // The first pictures of a transition are composed into memory the process has not touched yet, so
    // they also pay its page faults; shown apart, because that cost depends on the machine, not the code.
    const size_t first = std::min<size_t>(3, ms.size());
    const std::vector<double> later(ms.begin() + first, ms.end());
    std::printf("  first %zu frames:", first);
    for (size_t i = 0; i < first; ++i)
        std::printf(" %.2f ms", ms[i]);
    std::printf("; the %zu after them: median %.2f ms, p99 %.2f ms\n", later.size(), median(later),
                percentile(later, 0.99));
    std::printf("  writing a fresh 1080p picture's memory on this machine: %.2f ms\n", firstTouchMs());
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("ZELVO_FIXTURES");
    if (argc > 5 && QByteArray(argv[2]) == "--memory")
        return memoryRun(dir, atoi(argv[3]), atoi(argv[4]) != 0, atoi(argv[5]) != 0);
    preparationAndTake(dir + "/clip_1080p25.mp4");
    gaplessSequence(dir);
    memoryFigures(QCoreApplication::applicationFilePath(), dir);
    loopRestartHold(dir);
    dissolveComposition(dir);
    return 0;
}
