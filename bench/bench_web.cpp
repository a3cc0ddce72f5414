// Web monitor figures: the H.264 encoder's cost per frame at 720p, 1080p and 2160p with libx264;
// glass to glass in Chromium on loopback (the deck publishing frame N to Chromium presenting frame
// N, read back from the code strip the clip carries); and the CPU this process spends serving one
// and sixteen viewers of one stream. Runs itself in a private network namespace (as root) with a
// LAN-like interface, because the viewers bind the fixed UDP port range and Chromium gathers no
// candidates on loopback alone.
#include "BenchSupport.h"
#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "tests/web/WebDriverSession.h"
#include "web/Nv12Conversion.h"
#include "web/WebH264Encoder.h"
#include "web/WebMonitorServer.h"
#include "web/WebStream.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QPainter>
#include <QTest>
#include <QVideoFrame>
#include <chrono>
#include <cstdio>
#include <deque>
#include <sys/resource.h>

namespace {

double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double epochMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool reexecInWebNamespace(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("ZELVO_BENCH_NETNS") || geteuid() != 0)
        return false;
    setenv("ZELVO_BENCH_NETNS", "1", 1);
    std::vector<char *> args{const_cast<char *>("unshare"), const_cast<char *>("-n"), const_cast<char *>("sh"),
                             const_cast<char *>("-c"),
                             const_cast<char *>("ip link set lo up && ip link add web0 type veth peer name web1 && "
                                                "ip addr add 10.77.0.1/24 dev web0 && ip link set web1 up && "
                                                "ip link set web0 up && sleep 0.5; exec \"$0\" \"$@\"")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execvp("unshare", args.data());
    std::perror("unshare");
    return false;
}

void encoderCost()
{
    qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1");
    const QSize sizes[] = {{1280, 720}, {1920, 1080}, {3840, 2160}};
    for (const QSize size : sizes) {
        const qint64 bitrate = std::clamp(qint64(size.width()) * size.height() * 360 / 100, qint64(1500000),
                                          qint64(25000000));
        WebH264Encoder encoder;
        if (!encoder.open(size.width(), size.height(), 30, int(bitrate), false)) {
            std::printf("  %dx%d: encoder did not open: %s\n", size.width(), size.height(),
                        qPrintable(encoder.lastError()));
            continue;
        }
        QImage picture(size, QImage::Format_RGB32);
        const int frames = size.width() > 1920 ? 60 : 150;
        std::vector<double> times;
        std::vector<uint8_t> nv12(size_t(size.width()) * size.height() * 3 / 2);
        double nv12Total = 0;
        qint64 bytes = 0;
        for (int i = 0; i < frames; ++i) {
            picture.fill(qRgb(30, 60, 90));
            QPainter painter(&picture);
            painter.fillRect(QRect((i * 24) % size.width(), size.height() / 3, size.width() / 6, size.height() / 4),
                             QColor::fromHsv((i * 7) % 360, 200, 230));
            painter.end();
            QElapsedTimer convert;
            convert.start();
            convertToNv12(picture, nv12.data());
            nv12Total += convert.nsecsElapsed() / 1e6;
            bool key = false;
            QElapsedTimer timer;
            timer.start();
            bytes += encoder.encode(picture, qint64(i) * 33333, i % 60 == 0, &key).size();
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        double total = 0;
        for (double t : times)
            total += t;
        std::printf("  %dx%d libx264: %.2f ms per frame with its NV12 conversion (median %.2f, 95th percentile "
                    "%.2f ms, %.0f fps); the conversion alone %.2f ms; %.0f kbit/s at 30 fps\n",
                    size.width(), size.height(), total / frames, percentile(times, 0.5), percentile(times, 0.95),
                    1000.0 * frames / total, nv12Total / frames, bytes * 8.0 * 30 / frames / 1000);
    }
    qunsetenv("ZELVO_WEB_SOFTWARE_ENCODER");
}

// The code strip of the generated clips: 16 blocks across the bottom, most significant bit left,
// read straight from the luma plane so that the probe costs microseconds on the GUI thread.
int frameCode(const QVideoFrame &source)
{
    QVideoFrame frame(source);
    if (!frame.isValid() || !frame.map(QVideoFrame::ReadOnly))
        return -1;
    const auto format = frame.pixelFormat();
    int value = -1;
    const int w = frame.width(), h = frame.height();
    const int y = h - (h / 20) / 2 - 1;
    if (format == QVideoFrameFormat::Format_YUV420P || format == QVideoFrameFormat::Format_NV12
        || format == QVideoFrameFormat::Format_YUV422P || format == QVideoFrameFormat::Format_YV12) {
        const uchar *row = frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0);
        value = 0;
        for (int bit = 0; bit < 16; ++bit)
            value = (value << 1) | (row[(2 * bit + 1) * w / 32] > 128 ? 1 : 0);
    }
    frame.unmap();
    if (value < 0) {
        const QImage image = source.toImage();
        if (!image.isNull()) {
            value = 0;
            for (int bit = 0; bit < 16; ++bit)
                value = (value << 1) | (qGray(image.pixel((2 * bit + 1) * w / 32, y)) > 128 ? 1 : 0);
        }
    }
    return value;
}

// Records, for every frame the video element presents, the moment it is shown and its code.
const char *const presentationProbe = R"(
const video = document.querySelector('video');
if (!video || window.g2g) return !!window.g2g;
window.g2g = [];
const canvas = document.createElement('canvas');
const context = canvas.getContext('2d', { willReadFrequently: true });
const onFrame = (now, meta) => {
  const w = video.videoWidth, h = video.videoHeight;
  if (w > 0 && h > 0) {
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    context.drawImage(video, 0, 0, w, h);
    const y = h - Math.floor(Math.floor(h / 20) / 2) - 1;
    const row = context.getImageData(0, y, w, 1).data;
    let code = 0;
    for (let bit = 0; bit < 16; ++bit) {
      const x = Math.floor((2 * bit + 1) * w / 32);
      const gray = 0.299 * row[4 * x] + 0.587 * row[4 * x + 1] + 0.114 * row[4 * x + 2];
      code = (code << 1) | (gray > 128 ? 1 : 0);
    }
    window.g2g.push([performance.timeOrigin + meta.expectedDisplayTime, code,
                     meta.receiveTime ? performance.timeOrigin + meta.receiveTime : 0]);
  }
  video.requestVideoFrameCallback(onFrame);
};
video.requestVideoFrameCallback(onFrame);
return true;
)";

// Mean delays of the receivers over the run (milliseconds): the jitter buffers of both tracks, the
// audio's arrival jitter and, where the browser reports it, the audio output's own delay.
const char *const receiverProbe = R"(
const done = arguments[arguments.length - 1];
const out = {};
Promise.all((window.benchConnections || []).map((pc) => pc.getStats())).then((reports) => {
  for (const report of reports) {
    report.forEach((s) => {
      if (s.type === 'inbound-rtp' && s.jitterBufferEmittedCount > 0) {
        out[s.kind] = {
          buffer: 1000 * s.jitterBufferDelay / s.jitterBufferEmittedCount,
          target: 1000 * (s.jitterBufferTargetDelay || 0) / s.jitterBufferEmittedCount,
          minimum: 1000 * (s.jitterBufferMinimumDelay || 0) / s.jitterBufferEmittedCount,
          jitter: 1000 * (s.jitter || 0),
        };
      }
      if (s.type === 'media-playout' && s.totalSamplesCount > 0)
        out.playout = { delay: 1000 * s.totalPlayoutDelay / s.totalSamplesCount };
    });
  }
  done(out);
}, () => done(out));
)";

bool waitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(100);
    }
    return true;
}

void browserFigures(const QString &fixtures)
{
    const QString clip = QDir(fixtures).absoluteFilePath(QStringLiteral("clip_1080p25.mp4"));
    if (!QFileInfo::exists(clip)) {
        std::printf("  no fixture %s\n", qPrintable(clip));
        return;
    }
    NativeChannel deck(false);
    deck.setLooping(true);
    // Publication times by code; the clip repeats every 250 frames, so only recent ones are kept.
    std::deque<std::pair<double, int>> published;
    QObject::connect(&deck, &NativeChannel::frameReady, &deck, [&published](const QVideoFrame &frame) {
        const double now = epochMs();
        published.emplace_back(now, frameCode(frame));
        while (published.size() > 2000)
            published.pop_front();
    });
    deck.load(Cue::forPath(clip), true);
    WebMonitorServer server(
        [&deck] { return QList<WebProgramInfo>{{1, QStringLiteral("Program A"), QString(), true, deck.isPlaying()}}; },
        [&deck](int id) { return id == 1 ? &deck : nullptr; });
    server.start(0, false, QStringLiteral("benchcode"));
    WebDriverSession browser;
    const QString problem = browser.start();
    if (!problem.isEmpty()) {
        std::printf("  no browser: %s\n", qPrintable(problem));
        return;
    }
    // With ZELVO_BENCH_WEB_VIDEO_ONLY set the page declines the sound, so the browser has no lip
    // sync to keep: the difference to a normal run is the delay lip sync adds.
    const bool videoOnly = qEnvironmentVariableIsSet("ZELVO_BENCH_WEB_VIDEO_ONLY");
    // Every peer connection the page makes is kept, so the receivers' statistics can be read.
    browser.addScriptOnNewDocument(QStringLiteral(
        "window.benchConnections = [];"
        "const RealConnection = RTCPeerConnection;"
        "window.RTCPeerConnection = function (...args) {"
        " const pc = new RealConnection(...args); window.benchConnections.push(pc); return pc; };"
        "window.RTCPeerConnection.prototype = RealConnection.prototype;"));
    if (videoOnly) {
        browser.addScriptOnNewDocument(QStringLiteral(
            "const realAnswer = RTCPeerConnection.prototype.createAnswer;"
            "RTCPeerConnection.prototype.createAnswer = function (...args) {"
            " for (const t of this.getTransceivers()) if (t.receiver.track.kind === 'audio') t.direction = 'inactive';"
            " return realAnswer.apply(this, args); };"));
    }
    const auto watch = [&browser, &server](int viewers) {
        browser.navigate(server.urls().last());
        waitFor([&] { return browser.execute(QStringLiteral("return document.querySelectorAll('button.watch').length")).toInt() == 1; }, 10000);
        browser.execute(QStringLiteral("document.querySelector('button.watch').click()"));
        return waitFor([&] { return server.viewerCount() == viewers && server.statusJson().value(QStringLiteral("streams")).toArray().first().toObject().value(QStringLiteral("viewers")).toInt() == viewers; }, 15000);
    };
    if (!watch(1)) {
        std::printf("  the browser did not start watching\n");
        return;
    }
    waitFor([&] { return browser.execute(QString::fromLatin1(presentationProbe)).toBool(); }, 10000);
    QTest::qWait(3000);
    browser.execute(QStringLiteral("window.g2g.length = 0"));

    const double cpuStart = processCpuMs();
    QElapsedTimer wall;
    wall.start();
    std::vector<double> delays;
    std::vector<double> toReceived;
    int unmatched = 0;
    while (wall.elapsed() < 30000) {
        QTest::qWait(1000);
        const QJsonArray shown =
            browser.execute(QStringLiteral("const out = window.g2g.slice(); window.g2g.length = 0; return out;")).toArray();
        for (const QJsonValue &entry : shown) {
            const double at = entry.toArray().at(0).toDouble();
            const int code = entry.toArray().at(1).toInt();
            double from = -1;
            for (auto it = published.rbegin(); it != published.rend(); ++it) {
                if (it->second == code && it->first <= at) {
                    from = it->first;
                    break;
                }
            }
            if (from < 0 || at - from > 2000)
                ++unmatched;
            else
                delays.push_back(at - from);
            const double received = entry.toArray().at(2).toDouble();
            if (from >= 0 && received > from && received <= at)
                toReceived.push_back(received - from);
        }
    }
    const double oneViewerCpu = (processCpuMs() - cpuStart) / wall.elapsed() * 100.0;
    const QJsonObject receivers = browser.executeAsync(QString::fromLatin1(receiverProbe)).toObject();
    std::printf("  glass to glass%s, deck publishes frame N -> Chromium presents frame N (1080p25 clip, auto quality, "
                "loopback, 30 s): median %.1f ms, 95th percentile %.1f ms, max %.1f ms (%zu frames, %d unmatched)\n",
                videoOnly ? " (video only)" : "", percentile(delays, 0.5), percentile(delays, 0.95), percentile(delays, 1.0),
                delays.size(), unmatched);
    std::printf("  of which publication -> last packet of the frame received by Chromium: median %.1f ms, 95th "
                "percentile %.1f ms (the rest is Chromium decoding and presenting)\n",
                percentile(toReceived, 0.5), percentile(toReceived, 0.95));
    const auto stat = [&receivers](const char *kind, const char *name) {
        return receivers.value(QLatin1String(kind)).toObject().value(QLatin1String(name)).toDouble(-1);
    };
    std::printf("  Chromium's receivers: video jitter buffer %.1f ms (target %.1f), audio jitter buffer %.1f ms (target "
                "%.1f, minimum %.1f), audio arrival jitter %.1f ms, audio output delay %.1f ms\n",
                stat("video", "buffer"), stat("video", "target"), stat("audio", "buffer"), stat("audio", "target"),
                stat("audio", "minimum"), stat("audio", "jitter"), stat("playout", "delay"));
    std::printf("  this process with 1 viewer: %.1f %% of one core\n", oneViewerCpu);

    for (int viewers = 2; viewers <= 16; ++viewers) {
        if (!browser.newTab() || !watch(viewers)) {
            std::printf("  viewer %d did not connect\n", viewers);
            return;
        }
    }
    waitFor([&] {
        int connected = 0;
        for (const QString &id : server.sessions.keys())
            connected += server.streams.value(server.sessions.value(id))->isViewerConnected(id) ? 1 : 0;
        return connected == 16;
    }, 15000);
    QTest::qWait(2000);
    const double start16 = processCpuMs();
    wall.restart();
    QTest::qWait(10000);
    const double sixteen = (processCpuMs() - start16) / wall.elapsed() * 100.0;
    std::printf("  this process with 16 viewers of one stream: %.1f %% of one core (%d viewers, %d encoder)\n",
                sixteen, server.viewerCount(), server.streamCount());
}

} // namespace

int main(int argc, char **argv)
{
    reexecInWebNamespace(argc, argv);
    QApplication app(argc, argv);
    const QString fixtures = qEnvironmentVariable("ZELVO_FIXTURES", QStringLiteral("build/fixtures"));
    std::printf("web encoder, one thread of pictures through NV12 and libx264 (constrained baseline, zerolatency)\n");
    encoderCost();
    std::printf("web monitor in Chromium\n");
    browserFigures(fixtures);
    return 0;
}
