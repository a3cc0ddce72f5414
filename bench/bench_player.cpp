// Decode-and-deliver speed of the media player against FFmpeg's own decoder on the same file.
//
//   bench_player [clip]   (default: $ZELVO_FIXTURES/clip_1080p25.mp4)
//
// The player runs unpaced (every frame goes to a QVideoSink on the GUI thread as soon as it is
// decoded and wrapped), timed from play() on LoadedMedia to EndOfMedia; FFmpeg runs as
// `ffmpeg -benchmark -i clip -f null -`, whose rtime also starts after the input has been opened.
// Both decode video and audio. Peak memory is this process's VmHWM.
#include "platform/media/MediaPlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QVideoFrame>
#include <QVideoSink>
#include <algorithm>
#include <cstdio>

namespace {
struct Run
{
    int frames = 0;
    double seconds = 0;          // play() to the end: decoding and delivering (ffmpeg: rtime)
    double openSeconds = 0;      // setSource() to LoadedMedia
    double fps() const { return seconds > 0 ? frames / seconds : 0; }
    double withOpenFps() const { return seconds > 0 ? frames / (seconds + openSeconds) : 0; }
};

Run runPlayer(const QString &path)
{
    MediaPlayer player;
    QVideoSink sink;
    player.setVideoSink(&sink);
    player.setUnpacedForTesting(true);
    Run run;
    QElapsedTimer clock;
    qint64 playNs = 0;
    QObject::connect(&sink, &QVideoSink::videoFrameChanged, &sink, [&](const QVideoFrame &frame) {
        run.frames += frame.isValid() ? 1 : 0;
    });
    QEventLoop loop;
    QObject::connect(&player, &MediaPlayer::mediaStatusChanged, &loop, [&](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::LoadedMedia && playNs == 0) {
            playNs = clock.nsecsElapsed();
            player.play();
        }
        if (status == QMediaPlayer::EndOfMedia || status == QMediaPlayer::InvalidMedia)
            loop.quit();
    });
    clock.start();
    player.setSource(QUrl::fromLocalFile(path));
    loop.exec();
    run.openSeconds = playNs / 1e9;
    run.seconds = (clock.nsecsElapsed() - playNs) / 1e9;
    return run;
}

Run runFfmpeg(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-hide_banner", "-nostdin", "-benchmark", "-i", path, "-f", "null", "-"});
    Run run;
    if (!ffmpeg.waitForFinished(120000))
        return run;
    const QString log = QString::fromUtf8(ffmpeg.readAllStandardError());
    const auto frames = QRegularExpression(QStringLiteral("frame=\\s*(\\d+)")).globalMatch(log);
    for (auto it = frames; it.hasNext();)
        run.frames = it.next().captured(1).toInt();
    const auto rtime = QRegularExpression(QStringLiteral("rtime=([0-9.]+)s")).match(log);
    run.seconds = rtime.hasMatch() ? rtime.captured(1).toDouble() : 0;
    return run;
}

QString peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    }
    return QStringLiteral("?");
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath("clip_1080p25.mp4");
    if (!QFile::exists(path)) {
        std::fprintf(stderr, "no such clip: %s (set ZELVO_FIXTURES or pass a path)\n", qPrintable(path));
        return 1;
    }
    constexpr int Rounds = 7;
    // Alternate the two so that both see the same machine load.
    QList<double> player;
    QList<double> withOpen;
    QList<double> ffmpeg;
    int frames = 0;
    int ffmpegFrames = 0;
    for (int i = 0; i < Rounds; ++i) {
        const Run ours = runPlayer(path);
        const Run theirs = runFfmpeg(path);
        frames = ours.frames;
        ffmpegFrames = theirs.frames;
        player << ours.fps();
        withOpen << ours.withOpenFps();
        ffmpeg << theirs.fps();
        std::printf("round %d: player %d frames in %.3f s = %.0f fps (opening %.0f ms), "
                    "ffmpeg %d frames in %.3f s = %.0f fps\n",
                    i + 1, ours.frames, ours.seconds, ours.fps(), ours.openSeconds * 1000, theirs.frames,
                    theirs.seconds, theirs.fps());
    }
    const auto median = [](QList<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double ourMedian = median(player);
    const double theirMedian = median(ffmpeg);
    std::printf("\n%s\n", qPrintable(path));
    std::printf("player, play() to EndOfMedia (decode, wrap into QVideoFrame, deliver to QVideoSink): "
                "median %.0f fps, %d frames\n", ourMedian, frames);
    std::printf("player, setSource() to EndOfMedia (with opening the file):                          "
                "median %.0f fps\n", median(withOpen));
    std::printf("ffmpeg -benchmark -i clip -f null - (rtime, after opening the input):               "
                "median %.0f fps, %d frames\n", theirMedian, ffmpegFrames);
    std::printf("player / ffmpeg: %.0f %%\n", theirMedian > 0 ? 100.0 * ourMedian / theirMedian : 0.0);
    std::printf("peak memory of this process (VmHWM): %s\n", qPrintable(peakMemory()));
    return 0;
}
