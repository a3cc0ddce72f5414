// Our PTP clock and AES67 sender against standard peers from Debian, over a veth pair in the private
// network namespace that interop-netns.sh makes (never a real network): linuxptp's ptp4l as our
// master and as our slave, ffmpeg and GStreamer receiving our streams from the SDP we announce.
// Every peer runs with a time limit; ptp4l always with free_running 1 (Ptp4lPeer).
#include "outputs/aes67/Aes67Backend.h"
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/SapPacket.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "tests/outputs/aes67/Ptp4lPeer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <numeric>
#include <numbers>
#include <thread>
#include <vector>

namespace {

const QString ourAddress = QStringLiteral("10.77.0.1");
const QString peerAddress = QStringLiteral("10.77.0.2");
const QString peerInterface = QStringLiteral("zpb");
const QString secondPeerInterface = QStringLiteral("zpc");
constexpr qint64 Second = 1'000'000'000;
constexpr int SampleRate = 48000;

qint64 realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * Second + ts.tv_nsec;
}

// Waits until the clock is locked to the grandmaster, keeping the peers' output drained.
bool awaitLock(const PtpClock &clock, const QString &grandmaster, int timeoutMs, Ptp4lPeer &peer)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const PtpStatus status = clock.status();
        if (status.locked && status.grandmaster == grandmaster)
            return true;
        peer.waitFor(QRegularExpression(QStringLiteral("(?!)")), 100);
    }
    return false;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Median of now() minus the system clock (ptp4l's clock with software stamps), in microseconds.
double medianErrorUs(const PtpClock &clock)
{
    std::vector<double> errorsUs;
    for (int i = 0; i < 100; ++i) {
        const qint64 a = realtimeNs();
        const qint64 s = clock.now();
        const qint64 b = realtimeNs();
        errorsUs.push_back(double(s - (a + (b - a) / 2)) / 1000);
        QThread::msleep(10);
    }
    return median(errorsUs);
}

// Calls now() every millisecond, as the AES67 sender does, and counts the jumps of PTP time: changes
// that differ from the local time that passed by more than 1 ms. Each reading of now() is bracketed
// by two local readings; a reading whose bracket is wider than 100 us (the thread was preempted in
// between, as happens on a busy machine) is skipped, since its local time is not known well enough.
// A step of the clock still shows against the last good reading.
class JumpWatcher
{
public:
    explicit JumpWatcher(const PtpClock &clock)
        : m_thread([this, &clock] {
              qint64 lastNow = 0;
              qint64 lastLocal = -1;
              while (!m_stop) {
                  QThread::usleep(1000);
                  const qint64 before = monotonicNs();
                  const qint64 now = clock.now();
                  const qint64 after = monotonicNs();
                  if (after - before > 100'000) {
                      ++m_skipped;
                      continue;
                  }
                  const qint64 local = before + (after - before) / 2;
                  if (lastLocal >= 0 && std::abs((now - lastNow) - (local - lastLocal)) > 1'000'000)
                      ++m_jumps;
                  lastNow = now;
                  lastLocal = local;
              }
          })
    {
    }
    ~JumpWatcher()
    {
        m_stop = true;
        m_thread.join();
    }
    int jumps() const { return m_jumps; }
    int skipped() const { return m_skipped; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_jumps{0};
    std::atomic<int> m_skipped{0};
    std::thread m_thread;
};

// The first SAP announcement (not a deletion) heard on the peer's side within timeoutMs whose SDP
// contains `needle`; empty when none.
QByteArray awaitSdp(const QByteArray &needle, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(SapPacket::Port);
    inet_pton(AF_INET, Aes67Backend::SapGroup, &address.sin_addr);
    ip_mreq membership{};
    membership.imr_multiaddr = address.sin_addr;
    inet_pton(AF_INET, peerAddress.toLatin1().constData(), &membership.imr_interface);
    QByteArray sdp;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0) {
        QElapsedTimer timer;
        timer.start();
        char datagram[4096];
        while (sdp.isEmpty() && timer.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t size = ::recv(fd, datagram, sizeof datagram, 0);
            const auto packet = SapPacket::parse(datagram, size);
            if (packet && !packet->deletion && packet->payload.contains(needle))
                sdp = packet->payload;
        }
    }
    ::close(fd);
    return sdp;
}

// Tone of each channel: its own frequency, none a multiple of 1 kHz so that a lost or repeated
// 1 ms packet shows as a break in the waveform, and its own level.
double toneFrequency(int channel)
{
    return 300.0 + 110.0 * channel;
}

double toneLevel(int channel)
{
    return 0.8 - 0.08 * channel;
}

// What a receiver heard on one channel: frequency from the zero crossings, level from the RMS, and
// breaks where the waveform leaves the sine recursion x[n+1] + x[n-1] = 2 cos(w) x[n].
struct ChannelReading
{
    double frequency = 0;
    double level = 0;
    int breaks = 0;
};

ChannelReading readChannel(const std::vector<float> &samples, int channels, int channel, double expectedFrequency)
{
    ChannelReading reading;
    const qsizetype frames = qsizetype(samples.size()) / channels;
    const qsizetype first = SampleRate / 4; // the receivers' start-up
    auto at = [&](qsizetype frame) { return double(samples[size_t(frame * channels + channel)]); };
    double sumSquares = 0;
    double firstCrossing = -1;
    double lastCrossing = -1;
    int crossings = 0;
    const double twoCos = 2 * std::cos(2 * std::numbers::pi * expectedFrequency / SampleRate);
    for (qsizetype n = first + 1; n + 1 < frames; ++n) {
        sumSquares += at(n) * at(n);
        if (at(n - 1) < 0 && at(n) >= 0) {
            const double crossing = double(n - 1) + at(n - 1) / (at(n - 1) - at(n));
            firstCrossing = firstCrossing < 0 ? crossing : firstCrossing;
            lastCrossing = crossing;
            ++crossings;
        }
        if (std::abs(at(n + 1) + at(n - 1) - twoCos * at(n)) > 0.002)
            ++reading.breaks;
    }
    if (crossings > 1)
        reading.frequency = (crossings - 1) * SampleRate / (lastCrossing - firstCrossing);
    if (frames > first + 2)
        reading.level = std::sqrt(2 * sumSquares / double(frames - first - 2));
    return reading;
}

// Printed line by line, since a failure message is cut short: the sender's statistics, then the
// jitter buffer's informational log (its resyncs, its first deadline, its warnings), first and last
// 40 lines.
void printJitterBufferAccount(const QString &logPath, const QJsonObject &senderStatus)
{
    qInfo("sender: %s", QJsonDocument(senderStatus).toJson(QJsonDocument::Compact).constData());
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qInfo("no jitter buffer log at %s", qPrintable(logPath));
        return;
    }
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    qInfo("jitter buffer log: %lld lines", qint64(lines.size()));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i == 40 && lines.size() > 80)
            i = lines.size() - 40;
        qInfo("jitter buffer: %s", lines.at(i).constData());
    }
}

} // namespace

class TestAes67Interop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("ZELVO_INTEROP_IN_NETNS") != QLatin1String("1"))
            QSKIP("binds the PTP ports and multicasts: run through interop-netns.sh, in a private network namespace");
        for (const char *tool : {"ptp4l", "pmc"})
            QVERIFY2(!Ptp4lPeer::program(QLatin1String(tool)).isEmpty(), "needs linuxptp (ptp4l, pmc)");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(), "needs ffmpeg");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty(), "needs gstreamer1.0-tools");
    }

    void clockLocksToPtp4lMaster_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("slave only") << 1;
        QTest::newRow("automatic") << 0;
    }

    // ptp4l leads (priority1 128 beats our 250): our clock selects it, locks, and its time follows
    // ptp4l's clock (the system clock, on ptp4l's arbitrary timescale), reached by one step.
    void clockLocksToPtp4lMaster()
    {
        QFETCH(int, mode);
        Ptp4lPeer peer;
        QString error;
        QVERIFY2(peer.start(peerInterface, {QStringLiteral("priority1 128")}, &error), qPrintable(error));
        PtpClock clock;
        QVERIFY2(clock.start(ourAddress, 0, mode, &error), qPrintable(error));
        const JumpWatcher watcher(clock);

        const QRegularExpressionMatch leader =
            peer.waitFor(QRegularExpression(QStringLiteral("selected local clock (\\S+) as best master")), 10000);
        QVERIFY2(leader.hasMatch(), qPrintable(peer.output()));
        const QString identity = Ptp4lPeer::formatIdentity(leader.captured(1));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 25000 && !(clock.status().locked && clock.status().grandmaster == identity))
            peer.waitFor(QRegularExpression(QStringLiteral("(?!)")), 100);
        const PtpStatus status = clock.status();
        QVERIFY2(status.locked && status.grandmaster == identity,
                 qPrintable(QStringLiteral("grandmaster %1, locked %2 after %3 ms\n%4")
                                .arg(status.grandmaster).arg(status.locked).arg(timer.elapsed()).arg(peer.output())));
        QVERIFY(!status.grandmasterHere);
        QTest::qWait(2000); // Delay_Resp samples

        const double errorUs = medianErrorUs(clock);
        const PtpStatus settled = clock.status();
        qInfo("locked after %lld ms; error against ptp4l's clock: median %.1f us; path delay %.1f us, rate %.2f ppm, "
              "kernel stamps %lld, program stamps %lld, jumps of now() %d (%d readings skipped)",
              timer.elapsed(), errorUs, settled.pathDelayUs, settled.ratePpm, clock.kernelStampCount(),
              clock.programStampCount(), watcher.jumps(), watcher.skipped());
        QVERIFY2(std::abs(errorUs) < 200, qPrintable(QString::number(errorUs)));
        QVERIFY2(settled.pathDelayUs < 200, qPrintable(QString::number(settled.pathDelayUs)));
        QVERIFY2(watcher.jumps() <= 1, "PTP time moved to ptp4l's time by more than one step");
        QVERIFY(clock.programStampCount() <= clock.kernelStampCount() / 10);
    }

    // A better ptp4l master joins, then leaves again: our clock follows each in turn and its time
    // runs on without falling back to the time base it started with. Only the first lock moves it
    // (to ptp4l's timescale); the two ptp4l masters share this machine's clock.
    void timeStaysContinuousWhenTheMasterChanges()
    {
        const QString first = QStringLiteral("02-C0-DE-FF-FE-77-00-02");  // from zpb's MAC
        const QString second = QStringLiteral("02-C0-DE-FF-FE-77-00-03"); // from zpc's MAC
        Ptp4lPeer firstPeer;
        Ptp4lPeer secondPeer;
        QString error;
        QVERIFY2(firstPeer.start(peerInterface, {QStringLiteral("priority1 128")}, &error), qPrintable(error));
        PtpClock clock;
        QVERIFY2(clock.start(ourAddress, 0, 1, &error), qPrintable(error));
        const JumpWatcher watcher(clock);
        QVERIFY2(awaitLock(clock, first, 20000, firstPeer), qPrintable(firstPeer.output()));

        QVERIFY2(secondPeer.start(secondPeerInterface, {QStringLiteral("priority1 100")}, &error), qPrintable(error));
        QVERIFY2(awaitLock(clock, second, 20000, secondPeer), qPrintable(secondPeer.output()));
        const double secondErrorUs = medianErrorUs(clock);

        secondPeer.stop();
        QVERIFY2(awaitLock(clock, first, 25000, firstPeer), qPrintable(firstPeer.output()));
        const double backErrorUs = medianErrorUs(clock);
        qInfo("error against ptp4l's clock: %.1f us under the second master, %.1f us back under the first; "
              "jumps of now() %d (%d readings skipped), servo steps %lld",
              secondErrorUs, backErrorUs, watcher.jumps(), watcher.skipped(), clock.status().steps);
        QVERIFY2(std::abs(secondErrorUs) < 200, qPrintable(QString::number(secondErrorUs)));
        QVERIFY2(std::abs(backErrorUs) < 200, qPrintable(QString::number(backErrorUs)));
        QCOMPARE(watcher.jumps(), 1);
    }

    // Our clock leads; a slave-only ptp4l (priority1 255) takes it as its grandmaster and measures
    // its offset and path delay to it. With free_running 1, ptp4l's servo never reports a lock, so
    // its port stays UNCALIBRATED after choosing the slave role (RS_SLAVE) instead of going on to
    // SLAVE; either state counts.
    void ptp4lSlaveTakesOurMaster()
    {
        PtpClock clock;
        QString error;
        QVERIFY2(clock.start(ourAddress, 0, 2, &error), qPrintable(error));
        QCOMPARE(clock.status().grandmaster, QStringLiteral("02-C0-DE-FF-FE-77-00-01")); // from zpa's MAC
        Ptp4lPeer peer;
        QVERIFY2(peer.start(peerInterface, {QStringLiteral("slaveOnly 1"), QStringLiteral("priority1 255")}, &error),
                 qPrintable(error));
        const QRegularExpressionMatch slave = peer.waitFor(
            QRegularExpression(QStringLiteral("port 1: \\S+ to (UNCALIBRATED on RS_SLAVE|SLAVE on MASTER_CLOCK_SELECTED)")),
            15000);
        QVERIFY2(slave.hasMatch(), qPrintable(peer.output()));

        QMap<QString, QString> parent;
        QMap<QString, QString> current;
        std::vector<double> delaysUs;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 6000) {
            QTest::qWait(500);
            current = peer.query(QStringLiteral("CURRENT_DATA_SET"));
            if (current.value(QStringLiteral("meanPathDelay")).toDouble() > 0)
                delaysUs.push_back(current.value(QStringLiteral("meanPathDelay")).toDouble() / 1000);
        }
        parent = peer.query(QStringLiteral("PARENT_DATA_SET"));
        const QString state = peer.query(QStringLiteral("PORT_DATA_SET")).value(QStringLiteral("portState"));
        const double offsetUs = current.value(QStringLiteral("offsetFromMaster")).toDouble() / 1000;
        qInfo("ptp4l: %s, grandmaster %s, offset from our master %.1f us, path delay median %.1f us over %zu readings",
              qPrintable(state), qPrintable(parent.value(QStringLiteral("grandmasterIdentity"))), offsetUs,
              median(delaysUs), delaysUs.size());
        QVERIFY2(state == QLatin1String("UNCALIBRATED") || state == QLatin1String("SLAVE"), qPrintable(peer.output()));
        QCOMPARE(Ptp4lPeer::formatIdentity(parent.value(QStringLiteral("grandmasterIdentity"))), clock.status().grandmaster);
        QVERIFY2(delaysUs.size() >= 5, qPrintable(peer.output()));
        QVERIFY2(median(delaysUs) < 100, qPrintable(QString::number(median(delaysUs))));
        // Our time is TAI from the system clock's UTC (to the millisecond at start); ptp4l takes the
        // UTC offset we announce into account.
        QVERIFY2(std::abs(offsetUs) < 2000, qPrintable(QString::number(offsetUs)));
        QVERIFY(clock.programStampCount() <= clock.kernelStampCount() / 10);
    }

    void streamsPlayInStandardReceivers_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("receiver");
        for (const int channels : {2, 8}) {
            for (const QString receiver : {QStringLiteral("ffmpeg"), QStringLiteral("gstreamer")})
                QTest::addRow("%d channels, %s", channels, qPrintable(receiver)) << channels << receiver;
        }
    }

    // Our stream, described by the SDP of our own SAP announcement, received for 3 s: every channel
    // carries its own tone at its own level, in order and without a break.
    void streamsPlayInStandardReceivers()
    {
        QFETCH(int, channels);
        QFETCH(QString, receiver);
        LocalAudioEngine engine;
        engine.aes67Options = QJsonObject{{QStringLiteral("channels"), channels},
                                          {QStringLiteral("multicast"), QStringLiteral("239.69.77.1")},
                                          {QStringLiteral("ptp"), QStringLiteral("master")},
                                          {QStringLiteral("name"), QStringLiteral("Zelvo Interop")}};
        Aes67Backend backend(&engine);
        qint64 frame = 0; // the sender thread's only
        backend.setRenderHook([&frame](float *out, int frames, int total) {
            for (int i = 0; i < frames; ++i, ++frame) {
                for (int c = 0; c < total; ++c) {
                    const double phase = 2 * std::numbers::pi * toneFrequency(c) * double(frame) / SampleRate;
                    out[i * total + c] = float(toneLevel(c) * std::sin(phase));
                }
            }
        });
        QString error;
        QVERIFY2(backend.open(ourAddress, 0, &error), qPrintable(error));
        const QByteArray sdp = awaitSdp("a=ts-refclk:ptp=IEEE1588-2008:02-C0-DE-FF-FE-77-00-01:0\r\n", 3000);
        QVERIFY2(!sdp.isEmpty(), "no announcement of the stream with its grandmaster");

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString raw = dir.filePath(QStringLiteral("heard.raw"));
        // Output and errors are read apart: a receiver's warnings (late or lost packets on a busy
        // machine) would otherwise land inside a line of its buffered output, such as the caps below.
        QProcess process;
        if (receiver == QLatin1String("ffmpeg")) {
            QFile file(dir.filePath(QStringLiteral("stream.sdp")));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(sdp) == sdp.size());
            file.close();
            process.start(QStringLiteral("ffmpeg"),
                          {"-hide_banner", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file,udp,rtp",
                           "-i", file.fileName(), "-t", "3", "-c:a", "pcm_f32le", "-f", "f32le", "-y", raw});
        } else {
            // GStreamer takes the stream's address and format from the same SDP.
            const QString text = QString::fromLatin1(sdp);
            const QString group = QRegularExpression(QStringLiteral("c=IN IP4 ([0-9.]+)/")).match(text).captured(1);
            const QString count = QRegularExpression(QStringLiteral("a=rtpmap:96 L24/48000/(\\d+)")).match(text).captured(1);
            QCOMPARE(count.toInt(), channels);
            // The jitter buffer's own account, read only when it hands nothing on.
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("GST_DEBUG"), QStringLiteral("rtpjitterbuffer:4"));
            environment.insert(QStringLiteral("GST_DEBUG_NO_COLOR"), QStringLiteral("1"));
            environment.insert(QStringLiteral("GST_DEBUG_FILE"), dir.filePath(QStringLiteral("gst.log")));
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral("gst-launch-1.0"),
                          {"-v", "udpsrc", "address=" + group, "port=5004", "multicast-iface=" + peerInterface,
                           "num-buffers=3000",
                           "caps=application/x-rtp,media=audio,clock-rate=48000,encoding-name=L24,payload=96,channels=" + count,
                           "!", "rtpjitterbuffer", "latency=20", "!", "rtpL24depay", "!", "filesink", "location=" + raw});
        }
        const bool finished = process.waitForFinished(20000);
        if (!finished) {
            process.kill();
            process.waitForFinished(2000);
        }
        const QString receiverOutput = QString::fromUtf8(process.readAllStandardOutput());
        const QString receiverErrors = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(finished && process.exitCode() == 0, qPrintable(receiverOutput + receiverErrors));
        const QJsonObject status = backend.status();
        backend.stop();

        QFile heard(raw);
        QVERIFY(heard.open(QIODevice::ReadOnly));
        const QByteArray bytes = heard.readAll();
        std::vector<float> samples;
        if (receiver == QLatin1String("ffmpeg")) {
            samples.resize(size_t(bytes.size()) / sizeof(float));
            std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
        } else {
            const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
            for (qsizetype i = 0; i + 2 < bytes.size(); i += 3) {
                const qint32 value = qint32((quint32(data[i]) << 24) | (quint32(data[i + 1]) << 16) | (quint32(data[i + 2]) << 8)) >> 8;
                samples.push_back(float(value / 8388607.0));
            }
        }
        // Where each of our channels lands. The SDP names no channel order (none is asked of an
        // AES67 sender); GStreamer then gives eight channels its default RTP layout (L R C LFE Ls1 Rs1
        // Ls2 Rs2) and hands them on in its own order (... RL RR SL SR): our 5-6 and 7-8 change
        // places. Its output caps say which it did.
        std::vector<int> sentChannel(static_cast<size_t>(channels), 0);
        std::iota(sentChannel.begin(), sentChannel.end(), 0);
        const QString mask = QRegularExpression(QStringLiteral("rtpl24depay0\\.GstPad:src: caps = .*channel-mask=\\(bitmask\\)(0x[0-9a-f]+)"))
                                 .match(receiverOutput).captured(1);
        if (receiver == QLatin1String("gstreamer") && channels == 8) {
            if (mask.isEmpty())
                printJitterBufferAccount(dir.filePath(QStringLiteral("gst.log")), status);
            QVERIFY2(mask == QStringLiteral("0x0000000000000c3f"), qPrintable(receiverOutput + receiverErrors));
            sentChannel = {0, 1, 2, 3, 6, 7, 4, 5};
        }
        const double seconds = double(samples.size()) / channels / SampleRate;
        qInfo("%s heard %.2f s; sender: %lld late cycles, %lld re-anchors", qPrintable(receiver), seconds,
              status.value(QStringLiteral("late_packets")).toInteger(), status.value(QStringLiteral("reanchors")).toInteger());
        QVERIFY2(seconds > 2.5, qPrintable(receiverOutput + receiverErrors));
        for (int c = 0; c < channels; ++c) {
            const int sent = sentChannel[size_t(c)];
            const ChannelReading reading = readChannel(samples, channels, c, toneFrequency(sent));
            qInfo("channel %d: %.2f Hz, level %.4f, breaks %d (our channel %d: %.0f Hz, %.2f)", c + 1, reading.frequency,
                  reading.level, reading.breaks, sent + 1, toneFrequency(sent), toneLevel(sent));
            QVERIFY2(std::abs(reading.frequency - toneFrequency(sent)) < 0.5, qPrintable(QString::number(reading.frequency)));
            QVERIFY2(std::abs(reading.level - toneLevel(sent)) < 0.005, qPrintable(QString::number(reading.level)));
            QCOMPARE(reading.breaks, 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestAes67Interop)
#include "interop_netns_test.moc"
