#include "selftest/Aes67Tests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "outputs/aes67/Aes67Sdp.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/SapPacket.h"
#include "selftest/RtpStreamChecker.h"
#include "selftest/SapAnnouncementFlags.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QThread>
#include <QUdpSocket>

#include <cstdlib>
#include <functional>
#include <memory>

namespace {

const char *const scope = "PTPv2 clocks, RTP sender and SAP on this computer over multicast loopback (test PTP domain "
                          "93). Not a Dante/AES67 hardware interoperability qualification.";

constexpr int TestDomain = 93;
constexpr int MaxHoldMs = 600000;
constexpr double SoundingLevel = 0.005;
const QString clock1Text = QStringLiteral("02-AA-BB-FF-FE-00-00-01");
const QString clock3Text = QStringLiteral("02-AA-BB-FF-FE-00-00-03");
const QHostAddress group1(QStringLiteral("239.69.93.1"));
const QHostAddress group2(QStringLiteral("239.69.93.2"));

std::unique_ptr<PtpClock> makeClock(const char *identityHex)
{
    auto clock = std::make_unique<PtpClock>();
    clock->setPresetIdentity(QByteArray::fromHex(identityHex));
    return clock;
}

// The first interface that is up, running, not loopback and able to multicast with an IPv4
// address; else loopback; else an invalid interface. The address text goes to *address.
QNetworkInterface pickMulticastInterface(QString *address)
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanMulticast;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if ((interface.flags() & wanted) != wanted || interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                *address = entry.ip().toString();
                return interface;
            }
        }
    }
    *address = QStringLiteral("127.0.0.1");
    for (const QNetworkInterface &interface : interfaces) {
        if (interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            return interface;
    }
    return QNetworkInterface();
}

std::unique_ptr<QUdpSocket> openReceiveSocket(const QHostAddress &group, int port, const QNetworkInterface &interface)
{
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(QHostAddress::AnyIPv4, quint16(port), QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        qWarning().noquote() << "cannot bind the receive socket on port" << port << socket->errorString();
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);
    const bool joined = interface.isValid() ? socket->joinMulticastGroup(group, interface)
                                            : socket->joinMulticastGroup(group);
    if (!joined)
        qWarning().noquote() << "cannot join" << group.toString() << socket->errorString();
    return socket;
}

// The largest |s - (a + b) / 2| over twenty readings of the master (a), the slave (s) and the
// master again (b), 20 ms apart.
qint64 timeErrorNs(const PtpClock &master, const PtpClock &slave)
{
    qint64 worst = 0;
    for (int i = 0; i < 20; ++i) {
        const qint64 a = master.now();
        const qint64 s = slave.now();
        const qint64 b = master.now();
        worst = std::max(worst, std::abs(s - (a + b) / 2));
        QThread::msleep(20);
    }
    return worst;
}

double tappedBuffers(const NativeChannel &deck)
{
    return deck.diagnostics().value(QStringLiteral("audio_buffers_tapped")).toDouble();
}

// Runs `step` between slices of event processing for ms milliseconds; returns the seconds it took.
double measureWindow(int ms, const std::function<void()> &step)
{
    QElapsedTimer window;
    window.start();
    while (window.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        step();
        QThread::msleep(1);
    }
    return double(window.elapsed()) / 1000.0;
}

int holdMilliseconds()
{
    bool ok = false;
    const int hold = qEnvironmentVariable("ZELVO_AES67_HOLD_MS").toInt(&ok);
    return ok && hold > 0 ? std::min(hold, MaxHoldMs) : 0;
}

QJsonObject rtpDetails(const RtpStreamStats &stats, double seconds)
{
    return {{QStringLiteral("packets_per_s"), seconds > 0 ? stats.packets / seconds : 0.0},
            {QStringLiteral("gaps"), stats.gaps},
            {QStringLiteral("bad_steps"), stats.badSteps},
            {QStringLiteral("bad_size"), stats.badSize}};
}

void recordBuilderCases(SelfTestReport &report)
{
    const QByteArray sdp = buildSdp(QStringLiteral("Zelvo Playout"), QStringLiteral("192.168.1.30"),
                                    QStringLiteral("239.69.30.1"), 32, 8, 0, 1234, 1,
                                    QByteArray::fromHex("02c0defffe123456"));
    const QString text = QString::fromUtf8(sdp);
    const bool described = text.contains(QLatin1String("a=rtpmap:96 L24/48000/8\r\n"))
        && text.contains(QLatin1String("a=ptime:1\r\n"))
        && text.contains(QLatin1String("a=ts-refclk:ptp=IEEE1588-2008:02-C0-DE-FF-FE-12-34-56:0\r\n"))
        && text.contains(QLatin1String("a=mediaclk:direct=0\r\n"))
        && text.contains(QLatin1String("c=IN IP4 239.69.30.1/32\r\n"))
        && text.startsWith(QLatin1String("v=0\r\no=- 1234 1 IN IP4 192.168.1.30\r\n"));
    report.recordResult(QStringLiteral("sdp_describes_an_aes67_stream"), described, {{QStringLiteral("sdp"), text}});

    const QByteArray announcement = buildSapPacket(false, 1234, QStringLiteral("192.168.1.30"), sdp);
    const QByteArray deletion = buildSapPacket(true, 1234, QStringLiteral("192.168.1.30"), sdp);
    const bool rfc2974 = announcement.size() >= 24 && deletion.size() >= 1 && uchar(announcement.at(0)) == 0x20
        && uchar(deletion.at(0)) == 0x24 && announcement.mid(4, 4) == QByteArray::fromHex("c0a8011e")
        && announcement.mid(8, 16) == QByteArray("application/sdp\0", 16) && announcement.endsWith(sdp);
    report.recordResult(QStringLiteral("sap_header_follows_rfc2974"), rfc2974, {});
}

} // namespace

int runAes67Tests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    SelfTestReport report(QString::fromUtf8(scope));

    // 1, 2
    recordBuilderCases(report);

    // 3
    QString address;
    const QNetworkInterface interface = pickMulticastInterface(&address);
    auto clock1 = makeClock("02aabbfffe000001");
    auto clock2 = makeClock("02aabbfffe000002");
    auto clock3 = makeClock("02aabbfffe000003");
    QString error1;
    QString error2;
    const bool started1 = clock1->start(address, TestDomain, 2, &error1);
    const bool started2 = started1 && clock2->start(address, TestDomain, 1, &error2);
    bool locked = false;
    if (started1 && started2)
        locked = waitUntil([&] { return clock2->status().locked; }, 15000);
    pump(4000);
    const qint64 timeError = timeErrorNs(*clock1, *clock2);
    const PtpStatus slaveStatus = clock2->status();
    QStringList startErrors;
    for (const QString &text : {error1, error2}) {
        if (!text.isEmpty())
            startErrors << text;
    }
    report.recordResult(QStringLiteral("ptp_slave_locks_to_the_grandmaster"),
                        locked && slaveStatus.grandmaster == clock1Text && timeError < 500000
                            && std::abs(slaveStatus.ratePpm) < 50,
                        {{QStringLiteral("interface"), address},
                         {QStringLiteral("error"), startErrors.join(QStringLiteral("; "))},
                         {QStringLiteral("time_error_us"), double(timeError) / 1000.0},
                         {QStringLiteral("path_delay_us"), slaveStatus.pathDelayUs},
                         {QStringLiteral("rate_ppm"), slaveStatus.ratePpm},
                         {QStringLiteral("syncs"), QJsonValue(slaveStatus.sampleCount)}});

    // 4
    QString error3;
    const bool started3 = clock3->start(address, TestDomain, 0, &error3);
    bool followed = false;
    if (started3) {
        followed = waitUntil(
            [&] {
                const PtpStatus status = clock3->status();
                return status.locked && !status.grandmasterHere && status.grandmaster == clock1Text;
            },
            15000);
    }
    clock1->stop();
    const bool tookOver = waitUntil([&] { return clock3->status().grandmasterHere; }, 12000);
    const bool slaveMoved = waitUntil(
        [&] {
            const PtpStatus status = clock2->status();
            return status.locked && status.grandmaster == clock3Text;
        },
        15000);
    clock3.reset();
    clock2.reset();
    clock1.reset();
    report.recordResult(QStringLiteral("auto_clock_follows_a_better_master_and_takes_over_when_it_leaves"),
                        followed && tookOver && slaveMoved,
                        {{QStringLiteral("followed"), followed},
                         {QStringLiteral("took_over"), tookOver},
                         {QStringLiteral("slave_moved"), slaveMoved},
                         {QStringLiteral("error"), error3}});

    // Engine stage. Declared so that they go in the order observer, SAP, stream 2, stream 1,
    // engine, deck.
    NativeChannel deck(false);
    deck.setLooping(true);
    Cue cue;
    cue.source = QDir(fixtures).absoluteFilePath(QStringLiteral("01-h264.mp4"));
    cue.in_ms = 0;
    cue.out_ms = -1;
    cue.transition = 0;
    cue.transition_ms = 300;
    cue.enter_ms = 0;
    cue.exit_ms = 0;
    deck.load(cue, true);
    const bool audioFlowing = waitUntil([&] { return tappedBuffers(deck) > 20; }, 15000);

    auto engine = std::make_unique<LocalAudioEngine>();
    engine->aes67Options = QJsonObject{{QStringLiteral("name"), QStringLiteral("Zelvo Test")},
                                       {QStringLiteral("channels"), 10},
                                       {QStringLiteral("multicast"), group1.toString()},
                                       {QStringLiteral("domain"), TestDomain},
                                       {QStringLiteral("latencyMs"), 2}};
    const std::unique_ptr<QUdpSocket> stream1 = openReceiveSocket(group1, 5004, interface);
    const std::unique_ptr<QUdpSocket> stream2 = openReceiveSocket(group2, 5004, interface);
    const std::unique_ptr<QUdpSocket> sap =
        openReceiveSocket(QHostAddress(QString::fromLatin1("239.255.255.255")), SapPacket::Port, interface);
    const std::unique_ptr<PtpClock> observer = makeClock("02aabbfffe000004");
    QString observerError;
    observer->start(address, TestDomain, 1, &observerError);

    bool started = false;
    if (audioFlowing)
        started = engine->start(LocalAudioEngine::Aes67Network, address, 0);
    engine->setRoutes({LocalAudioRoute{&deck, 0}});
    deck.setExternalOutput(started);

    SapAnnouncementFlags sapFlags;
    const auto keepSocketsEmpty = [&] {
        RtpStreamChecker(group1, 8, nullptr).drain(*stream1, false);
        RtpStreamChecker(group2, 2, nullptr).drain(*stream2, false);
        readSapAnnouncement(*sap, sapFlags);
    };
    bool observerLocked = false;
    if (started) {
        observerLocked = waitUntil(
            [&] {
                keepSocketsEmpty();
                return observer->status().locked;
            },
            15000);
    }

    RtpStreamStats stats1;
    RtpStreamStats stats2;
    const RtpStreamChecker checker1(group1, 8, &stats1, observer.get());
    const RtpStreamChecker checker2(group2, 2, &stats2);
    const double seconds = measureWindow(3000, [&] {
        checker1.drain(*stream1, true);
        checker2.drain(*stream2, true);
        readSapAnnouncement(*sap, sapFlags);
    });
    const QJsonObject network = engine->state().value(QStringLiteral("network")).toObject();

    // 5
    QJsonObject details = rtpDetails(stats1, seconds);
    details.insert(QStringLiteral("error"), engine->errorText());
    report.recordResult(QStringLiteral("engine_sends_1ms_l24_packets"),
                        started && stats1.packets >= 900 * seconds && stats1.packets <= 1100 * seconds
                            && stats1.gaps == 0 && stats1.badSteps == 0 && stats1.badSize == 0,
                        details);

    // 6
    report.recordResult(QStringLiteral("program_audio_reaches_its_channels_only"),
                        stats1.routedPeak > SoundingLevel && stats1.otherPeak == 0.0,
                        {{QStringLiteral("routed_peak"), stats1.routedPeak},
                         {QStringLiteral("other_peak"), stats1.otherPeak}});

    // 7
    report.recordResult(QStringLiteral("channels_beyond_eight_use_a_second_stream"),
                        stats2.packets >= 900 * seconds && stats2.badSize == 0 && stats2.routedPeak == 0.0,
                        {{QStringLiteral("packets_per_s"), seconds > 0 ? stats2.packets / seconds : 0.0}});

    // 8
    const bool lagMeasured = stats1.lagMeasured();
    report.recordResult(QStringLiteral("rtp_timestamps_follow_ptp_time"),
                        observerLocked && lagMeasured && std::abs(stats1.minLag) < 96 && stats1.maxLead < 96,
                        {{QStringLiteral("best_lag_ms"), lagMeasured ? double(stats1.minLag) / 48.0 : QJsonValue()},
                         {QStringLiteral("max_lead_ms"), lagMeasured ? double(stats1.maxLead) / 48.0 : QJsonValue()},
                         {QStringLiteral("observer"), observerError}});

    // 9
    const QJsonObject ptp = network.value(QStringLiteral("ptp")).toObject();
    report.recordResult(QStringLiteral("statistics_report_streams_and_ptp"),
                        network.value(QStringLiteral("kind")).toString() == QLatin1String("aes67")
                            && network.value(QStringLiteral("streams")).toArray().size() == 2
                            && ptp.value(QStringLiteral("grandmaster")).isString()
                            && ptp.value(QStringLiteral("grandmaster")).toString().size() == 23,
                        {{QStringLiteral("network"), network}});

    // 10
    qint64 lastPosition = deck.positionMs();
    bool wrapped = false;
    waitUntil(
        [&] {
            keepSocketsEmpty();
            const qint64 position = deck.positionMs();
            if (position + 1000 < lastPosition)
                wrapped = true;
            lastPosition = position;
            return wrapped;
        },
        12000);
    RtpStreamStats stats3;
    const RtpStreamChecker checker3(group1, 8, &stats3);
    measureWindow(2500, [&] {
        checker3.drain(*stream1, true);
        RtpStreamChecker(group2, 2, nullptr).drain(*stream2, false);
        readSapAnnouncement(*sap, sapFlags);
    });
    report.recordResult(QStringLiteral("audio_continues_after_the_program_loops"),
                        wrapped && stats3.routedPeak > SoundingLevel,
                        {{QStringLiteral("wrapped"), wrapped}, {QStringLiteral("peak_after_wrap"), stats3.routedPeak}});

    // Hold: keep the streams running for someone to listen to or capture.
    if (const int hold = holdMilliseconds(); hold > 0) {
        QElapsedTimer held;
        held.start();
        qint64 nextLog = 0;
        const auto logHoldProgress = [&] {
            keepSocketsEmpty();
            if (held.elapsed() >= nextLog * 1000) {
                const QByteArray state = QJsonDocument(engine->state()).toJson(QJsonDocument::Compact).left(300);
                qInfo().noquote() << "hold" << held.elapsed() / 1000 << "position" << deck.positionMs() << "playing"
                                  << deck.isPlaying() << "buffers" << qint64(tappedBuffers(deck))
                                  << QString::fromUtf8(state);
                nextLog = held.elapsed() / 1000 + 1;
            }
            return false;
        };
        waitUntil(logHoldProgress, hold);
    }
    engine->stop();
    deck.setExternalOutput(false);

    // 11
    waitUntil(
        [&] {
            readSapAnnouncement(*sap, sapFlags);
            return sapFlags.withdrawn;
        },
        3000);
    report.recordResult(QStringLiteral("sap_announces_and_withdraws_the_streams"),
                        sapFlags.announced1 && sapFlags.announced2 && sapFlags.withdrawn,
                        {{QStringLiteral("announced_1"), sapFlags.announced1},
                         {QStringLiteral("announced_2"), sapFlags.announced2},
                         {QStringLiteral("withdrawn"), sapFlags.withdrawn}});

    observer->stop();
    return report.write(result);
}
