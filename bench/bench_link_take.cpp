// Synchronized takes between two real machines: a master and a mirroring backup, each a
// ZelvoPlayout process in its own network namespace, joined by a veth pair (made by
// tests/link/link-two-process.sh, which this program runs itself when started without arguments).
// This program signs in to the master as a control station and sends CUTs that the master runs as
// synchronized takes; both processes trace every frame Program A publishes (monotonic time, frame
// start time, file). Per take it finds the first frame of the new clip on each machine and prints
// the gap between the two in ms, then the median and worst over all takes. The goal is less than
// one frame period.
//   bench_link_take --drive MASTER_IP CODE OPERATOR PIN MASTER_TRACE BACKUP_TRACE BACKUP_STATE FIXTURES TAKES
#include "BenchSupport.h"
#include "link/LinkNode.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>

namespace {

struct TraceFrame
{
    qint64 monoUs;
    qint64 startUs;
    QString file;
};

qint64 monoUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QList<TraceFrame> readTrace(const QString &path, bool *loaded = nullptr)
{
    QList<TraceFrame> frames;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return frames;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("# loaded") && loaded)
            *loaded = true;
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() >= 3 && !line.startsWith('#'))
            frames.append({parts[0].toLongLong(), parts[1].toLongLong(), QString::fromUtf8(parts.mid(2).join(' '))});
    }
    return frames;
}

// The first frame of file published at or after fromUs, or nullopt.
std::optional<TraceFrame> firstFrame(const QList<TraceFrame> &frames, const QString &file, qint64 fromUs)
{
    for (const TraceFrame &frame : frames)
        if (frame.monoUs >= fromUs && frame.file == file)
            return frame;
    return std::nullopt;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

int drive(const QStringList &a)
{
    const QString masterIp = a[0], code = a[1], operatorName = a[2], pin = a[3];
    const QString masterTrace = a[4], backupTrace = a[5], backupState = a[6], fixtures = a[7];
    const int takes = a[8].toInt();
    const QStringList clips{QStringLiteral("01-h264.mp4"), QStringLiteral("03-h264.mkv")};

    QTemporaryDir scratch;
    LinkNode station(QStringLiteral("bench-station"), scratch.path());
    QJsonObject desk;
    QObject::connect(&station, &LinkNode::deskReceived, &station, [&desk](const QJsonObject &d) { desk = d; });
    if (!station.startControlStation(code, operatorName, pin, false)) {
        std::printf("FAIL: the control station did not start: %s\n", qPrintable(station.lastError));
        return 1;
    }
    const bool welcomed = waitFor([&] {
        if (!station.masterSession)
            station.connectToMaster(masterIp, 47810);
        return station.welcomed;
    }, 30000);
    if (!welcomed) {
        std::printf("FAIL: not signed in to the master at %s: %s\n", qPrintable(masterIp), qPrintable(station.lastError));
        return 1;
    }
    // The follower found the master by its beacon, paired, received the show and its media.
    bool loaded = false;
    const bool mirrored = waitFor([&] {
        readTrace(backupTrace, &loaded);
        return loaded && desk.value(QStringLiteral("sync")).toBool();
    }, 60000);
    std::printf("backup loaded the received show: %s, synchronized takes active: %s\n", loaded ? "yes" : "no",
                desk.value(QStringLiteral("sync")).toBool() ? "yes" : "no");
    if (!mirrored)
        return 1;
    for (const QString &clip : clips) {
        QString received;
        QDirIterator it(backupState + QStringLiteral("/link-media"), {clip}, QDir::Files, QDirIterator::Subdirectories);
        if (it.hasNext())
            received = it.next();
        const QByteArray expected = sha256Of(QDir(fixtures).filePath(clip));
        const bool same = !received.isEmpty() && sha256Of(received) == expected;
        std::printf("media %s on the backup: %s (sha256 %s)\n", qPrintable(clip), same ? "verified" : "MISSING OR DIFFERENT",
                    expected.left(16).constData());
        if (!same)
            return 1;
    }

    const int programId = desk.value(QStringLiteral("programs")).toArray().first().toObject().value(QStringLiteral("id")).toInt(1);
    std::vector<double> gaps;
    int switched = 0;
    for (int k = 0; k < takes; ++k) {
        const int row = (k + 1) % 2;  // the backup plays nothing or row 0 at first: start with row 1
        const QString clip = clips[row];
        const qint64 sentUs = monoUs();
        station.sendCommand({{QStringLiteral("action"), QStringLiteral("cut")},
                             {QStringLiteral("program"), programId},
                             {QStringLiteral("row"), row},
                             {QStringLiteral("fadeMs"), 300}});
        std::optional<TraceFrame> onMaster, onBackup;
        waitFor([&] {
            onMaster = firstFrame(readTrace(masterTrace), clip, sentUs);
            onBackup = firstFrame(readTrace(backupTrace), clip, sentUs);
            return onMaster && onBackup;
        }, 5000);
        if (!onMaster || !onBackup) {
            std::printf("take %2d to %s: %s did not switch\n", k + 1, qPrintable(clip),
                        !onMaster ? (!onBackup ? "neither machine" : "the master") : "the backup");
            QTest::qWait(1000);
            continue;
        }
        ++switched;
        const double gapMs = std::abs(onMaster->monoUs - onBackup->monoUs) / 1000.0;
        gaps.push_back(gapMs);
        std::printf("take %2d to %s: master %.1f ms, backup %.1f ms after the command; gap %.1f ms; frame start %lld / %lld us\n",
                    k + 1, qPrintable(clip), (onMaster->monoUs - sentUs) / 1000.0, (onBackup->monoUs - sentUs) / 1000.0,
                    gapMs, onMaster->startUs, onBackup->startUs);
        QTest::qWait(1500);
    }
    std::printf("synchronized takes: %d of %d switched both machines; gap median %.1f ms, worst %.1f ms "
                "(goal under one frame period, 40 ms at 25 fps)\n",
                switched, takes, percentile(gaps, 0.5), gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
    return switched == takes ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 10 && args[0] == QStringLiteral("--drive"))
        return drive(args.mid(1));
    // Started by hand (make bench): the two-machine set-up runs this program again as its driver.
    const QString here = QCoreApplication::applicationDirPath();
    const QString script = QStringLiteral(ZELVO_SOURCE_DIR "/tests/link/link-two-process.sh");
    QProcess run;
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    run.start(script, {here + QStringLiteral("/../ZelvoPlayout"), QCoreApplication::applicationFilePath(),
                       qEnvironmentVariable("ZELVO_FIXTURES"), QStringLiteral("20")});
    run.waitForFinished(-1);
    return run.exitCode();
}
