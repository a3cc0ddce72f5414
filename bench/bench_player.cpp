// Decode-and-deliver speed of the media player against FFmpeg's own decoder on the same file.
//
//   bench_player [clip]   (default: three 30 s clips made on first use in $ZELVO_FIXTURES/bench:
//                          1080p25 and 2160p25 H.264, 1080p25 10-bit HEVC)
//
// The player runs unpaced (every frame goes to a QVideoSink on the GUI thread as soon as it is
// decoded and wrapped), timed from play() on LoadedMedia to EndOfMedia; FFmpeg runs as
// `ffmpeg -benchmark -threads N -i clip -f null -` with the player's own decoder thread count N, whose
// rtime also starts after the input has been opened. Both decode video and audio. The two alternate
// for five rounds per clip, so both see the same machine load; the median ratio is printed per clip.
// Peak memory is this process's VmHWM.
#include "platform/media/MediaPlayer.h"
#include "platform/media/MediaSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaMetaData>
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
    int threads = 0;             // the player's video decoder threads
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
            const QSize size = player.metaData().value(QMediaMetaData::Resolution).toSize();
            run.threads = MediaSession::videoDecoderThreads(size.width(), size.height(), player.frameRate());
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

Run runFfmpeg(const QString &path, int threads)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-hide_banner", "-nostdin", "-benchmark", "-threads", QString::number(threads),
                                            "-i", path, "-f", "null", "-"});
    Run run;
    run.threads = threads;
    if (!ffmpeg.waitForFinished(600000))
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

// Makes a 30 s bench clip with ffmpeg when it is missing; false when that fails.
bool ensureClip(const QString &path, const QString &size, const QStringList &codec)
{
    if (QFile::exists(path))
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::printf("making %s ...\n", qPrintable(path));
    std::fflush(stdout);
    const QString partial = path + QStringLiteral(".part.mp4");
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                     "testsrc2=s=" + size + ":r=25:d=30", "-f", "lavfi", "-i",
                     "sine=frequency=440:sample_rate=48000:duration=30", "-map", "0:v", "-map", "1:a"};
    args << codec << QStringList{"-c:a", "aac", "-ac", "2", partial};
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    if (!ffmpeg.waitForFinished(900000) || ffmpeg.exitCode() != 0)
        return false;
    return QFile::rename(partial, path);
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void benchClip(const QString &path)
{
    constexpr int Rounds = 5;
    QList<double> player, withOpen, ffmpeg, ratios;
    int frames = 0, ffmpegFrames = 0, threads = 0;
    for (int i = 0; i < Rounds; ++i) {
        const Run ours = runPlayer(path);
        const Run theirs = runFfmpeg(path, std::max(1, ours.threads));
        frames = ours.frames;
        ffmpegFrames = theirs.frames;
        threads = ours.threads;
        player << ours.fps();
        withOpen << ours.withOpenFps();
        ffmpeg << theirs.fps();
        ratios << (theirs.fps() > 0 ? ours.fps() / theirs.fps() : 0);
        std::printf("round %d: player %d frames in %.3f s = %.0f fps (opening %.0f ms), "
                    "ffmpeg %d frames in %.3f s = %.0f fps, ratio %.3f\n",
                    i + 1, ours.frames, ours.seconds, ours.fps(), ours.openSeconds * 1000, theirs.frames,
                    theirs.seconds, theirs.fps(), ratios.last());
        std::fflush(stdout);
    }
    std::printf("%s (%d decoder threads each)\n", qPrintable(QFileInfo(path).fileName()), threads);
    std::printf("  player, play() to EndOfMedia (decode, wrap, deliver to QVideoSink): median %.0f fps, %d frames\n",
                median(player), frames);
    std::printf("  player, setSource() to EndOfMedia (with opening the file):          median %.0f fps\n",
                median(withOpen));
    std::printf("  ffmpeg -benchmark (rtime, after opening the input):                  median %.0f fps, %d frames\n",
                median(ffmpeg), ffmpegFrames);
    std::printf("  player / ffmpeg, median of the paired rounds: %.3f\n\n", median(ratios));
    std::fflush(stdout);
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList clips;
    if (argc > 1) {
        clips << QString::fromLocal8Bit(argv[1]);
    } else {
        // Made clips go with the generated fixtures, never into whatever folder this runs in.
        if (qEnvironmentVariableIsEmpty("ZELVO_FIXTURES")) {
            std::fprintf(stderr, "usage: bench_player CLIP, or set ZELVO_FIXTURES for the default clips\n");
            return 2;
        }
        const QDir dir(QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath("bench"));
        const QStringList h264{"-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-pix_fmt", "yuv420p"};
        const QStringList hevc10{"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                                 "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1"};
        const struct { const char *name; const char *size; QStringList codec; } wanted[] = {
            {"h264_1080p25_30s.mp4", "1920x1080", h264},
            {"h264_2160p25_30s.mp4", "3840x2160", h264},
            {"hevc10_1080p25_30s.mp4", "1920x1080", hevc10},
        };
        for (const auto &clip : wanted) {
            const QString path = dir.filePath(QLatin1String(clip.name));
            if (!ensureClip(path, QLatin1String(clip.size), clip.codec)) {
                std::fprintf(stderr, "could not make %s (set ZELVO_FIXTURES)\n", qPrintable(path));
                return 1;
            }
            clips << path;
        }
    }
    for (const QString &path : std::as_const(clips)) {
        if (!QFile::exists(path)) {
            std::fprintf(stderr, "no such clip: %s\n", qPrintable(path));
            return 1;
        }
        benchClip(path);
    }
    std::printf("peak memory of this process (VmHWM): %s\n", qPrintable(peakMemory()));
    return 0;
}
