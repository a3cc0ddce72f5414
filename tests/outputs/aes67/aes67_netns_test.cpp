// The AES67 sender over real sockets: what it puts on the wire, what it announces and withdraws,
// how it fails. It binds the PTP ports and multicasts, so this program runs only inside the private
// network namespace that aes67-netns.sh makes (loopback plus a veth pair), never on a real network.
// The engine behind the sender is not started, so the packets carry silence; the self-test runner
// plays a real deck through it.
#include "outputs/aes67/Aes67Addresses.h"
#include "outputs/aes67/Aes67Backend.h"
#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/SapPacket.h"
#include "tests/support/UdpPorts.h"

#include <QDir>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QProcess>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace {

const QString loopback = QStringLiteral("127.0.0.1");
const QString veth = QStringLiteral("10.67.0.1");

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}


qint64 samplesAt(qint64 ptpNs)
{
    return (ptpNs / 1'000'000'000) * 48000 + ((ptpNs % 1'000'000'000) * 48000) / 1'000'000'000;
}

// A multicast receiver on one group, joined on the interface with the given address. Bound to the
// group address itself, so it sees that group only.
class Receiver
{
public:
    Receiver(const QString &group, int port, const QString &interface)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const int buffer = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        inet_pton(AF_INET, group.toLatin1().constData(), &address.sin_addr);
        ip_mreq membership{};
        membership.imr_multiaddr = address.sin_addr;
        inet_pton(AF_INET, interface.toLatin1().constData(), &membership.imr_interface);
        ok = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
            && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    }
    ~Receiver() { ::close(fd); }

    // The next datagram within timeoutMs, or an empty array.
    QByteArray next(int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        QByteArray datagram(9000, '\0'); // more than any datagram of the sender
        const ssize_t size = ::recv(fd, datagram.data(), size_t(datagram.size()), 0);
        datagram.resize(std::max<qsizetype>(size, 0));
        if (!datagram.isEmpty())
            last = datagram;
        return datagram;
    }

    // Reads what is queued now (at most 4096 datagrams); returns how many there were.
    int drain()
    {
        int count = 0;
        while (count < 4096 && !next(0).isEmpty())
            ++count;
        return count;
    }

    int fd = -1;
    bool ok = false;
    QByteArray last; // the latest datagram read
};

// SAP datagrams received within timeoutMs, parsed, in arrival order.
std::vector<SapPacket> collectSap(Receiver &sap, int timeoutMs)
{
    std::vector<SapPacket> packets;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const QByteArray datagram = sap.next(int(timeoutMs - timer.elapsed()));
        if (const auto packet = SapPacket::parse(datagram.constData(), datagram.size()))
            packets.push_back(*packet);
    }
    return packets;
}

bool runIp(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

} // namespace

class TestAes67Network : public QObject
{
    Q_OBJECT

    LocalAudioEngine engine;

    bool hasVeth() const
    {
        return QNetworkInterface::interfaceFromName(QStringLiteral("aes0")).flags().testFlag(QNetworkInterface::IsRunning);
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("ZELVO_AES67_IN_NETNS") != QLatin1String("1"))
            QSKIP("multicasts and binds the PTP ports: run through aes67-netns.sh, in a private network namespace");
    }

    void init()
    {
        engine.aes67Options = QJsonObject{{QStringLiteral("domain"), 93}};
    }

    void interfaceListOffersOrdinaryMulticastInterfaces()
    {
        if (!hasVeth())
            QSKIP("needs the interface aes0 that aes67-netns.sh creates");
        const QList<AudioDeviceInfo> devices = aes67Interfaces();
        QCOMPARE(devices.size(), 1); // aes1 has no address, loopback is left out
        QCOMPARE(devices.front().backendType, int(LocalAudioEngine::Aes67Network));
        QCOMPARE(devices.front().id, veth);
        QCOMPARE(devices.front().name, QStringLiteral("10.67.0.1 (aes0)"));
        QCOMPARE(devices.front().channels, 0);
    }

    // Eight channels: one stream of 1164-byte packets, one a millisecond, numbered and stamped
    // with the sender's PTP time, announced by SAP.
    void eightChannelsGiveOneStreamOfMillisecondPackets()
    {
        const QString interface = hasVeth() ? veth : loopback;
        const QString group = defaultStreamAddress(interface, 0);
        Receiver rtp(group, 5004, interface);
        Receiver sap(QStringLiteral("239.255.255.255"), SapPacket::Port, interface);
        QVERIFY(rtp.ok && sap.ok);

        Aes67Backend backend(&engine);
        QString error;
        QVERIFY2(backend.open(interface, 256, &error), qPrintable(error));
        QCOMPARE(backend.bufferFrames(), 48);
        QCOMPARE(backend.channels(), 8);
        QCOMPARE(backend.description(), QStringLiteral("AES67 · 8 ch · %1 · 48 kHz L24 · 1 ms").arg(group));

        const std::vector<SapPacket> announced = collectSap(sap, 300);
        QCOMPARE(announced.size(), size_t(1));
        QVERIFY(!announced.front().deletion);
        const QByteArray sdp = announced.front().payload;
        QVERIFY2(sdp.contains("s=Zelvo Playout\r\n"), sdp.constData());
        QVERIFY(sdp.contains("c=IN IP4 " + group.toLatin1() + "/32\r\n"));
        QVERIFY(sdp.contains(" 1 IN IP4 " + interface.toLatin1() + "\r\n"));
        QVERIFY(sdp.contains("a=rtpmap:96 L24/48000/8\r\n"));
        QVERIFY(sdp.contains("a=ts-refclk:ptp=IEEE1588-2008:" + formatClockIdentity(backend.ptpClock().grandmasterIdentity()).toLatin1() + ":93\r\n"));

        rtp.drain();
        int packets = 0;
        int gaps = 0;
        int badSteps = 0;
        qint32 minLag = std::numeric_limits<qint32>::max();
        qint32 maxLag = std::numeric_limits<qint32>::min();
        std::optional<Aes67RtpPacket> previous;
        QByteArray previousBytes;
        QElapsedTimer window;
        window.start();
        while (window.elapsed() < 1000) {
            QByteArray datagram = rtp.next(50);
            const qint64 ptpSamples = samplesAt(backend.ptpClock().now());
            QCOMPARE(datagram.size(), 1164);
            const auto packet = Aes67RtpPacket::parse(datagram.constData(), datagram.size(), 8);
            QVERIFY(packet);
            QCOMPARE(packet->firstByte, quint8(0x80));
            QCOMPARE(packet->payloadType, quint8(96));
            QCOMPARE(datagram.mid(12), QByteArray(1152, '\0'));
            const qint32 lag = qint32(quint32(ptpSamples) - packet->timestamp);
            minLag = std::min(minLag, lag);
            maxLag = std::max(maxLag, lag);
            if (previous) {
                gaps += packet->sequence != quint16(previous->sequence + 1);
                badSteps += packet->timestamp != previous->timestamp + 48;
                QCOMPARE(packet->ssrc, previous->ssrc);
            }
            previousBytes = std::move(datagram); // the parsed packet points into it
            previous = Aes67RtpPacket::parse(previousBytes.constData(), previousBytes.size(), 8);
            ++packets;
        }
        qInfo("%d packets in 1 s; read %d..%d samples after their first sample's time", packets, minLag, maxLag);
        QVERIFY2(packets >= 900 && packets <= 1100, qPrintable(QString::number(packets)));
        QCOMPARE(gaps, 0);
        QCOMPARE(badSteps, 0);
        // Sent no earlier than half a packet before its first sample's time, and at best within a
        // packet after it.
        QVERIFY2(minLag >= -25, qPrintable(QString::number(minLag)));
        QVERIFY2(minLag < 48, qPrintable(QString::number(minLag)));

        const QJsonObject status = backend.status();
        QCOMPARE(status.value(QStringLiteral("kind")).toString(), QStringLiteral("aes67"));
        QCOMPARE(status.value(QStringLiteral("interface")).toString(), interface);
        QCOMPARE(status.value(QStringLiteral("receiver_latency_ms")).toInt(), 2);
        QCOMPARE(status.value(QStringLiteral("reanchors")).toInt(), 1);
        QCOMPARE(status.value(QStringLiteral("send_errors")).toInt(), 0);
        QCOMPARE(status.value(QStringLiteral("error")).toString(), QString());
        QVERIFY(status.value(QStringLiteral("packets")).toInt() >= packets);
        QCOMPARE(status.value(QStringLiteral("ptp")).toObject().value(QStringLiteral("domain")).toInt(), 93);
        const QJsonArray streams = status.value(QStringLiteral("streams")).toArray();
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.at(0).toObject(),
                 (QJsonObject{{QStringLiteral("name"), QStringLiteral("Zelvo Playout")},
                              {QStringLiteral("address"), group},
                              {QStringLiteral("port"), 5004},
                              {QStringLiteral("channels"), 8},
                              {QStringLiteral("first_channel"), 1}}));
    }

    void channelCountsGiveStreamsOfEight_data()
    {
        QTest::addColumn<QJsonValue>("channels");
        QTest::addColumn<QString>("multicast");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("ten channels") << QJsonValue(10) << QStringLiteral("239.69.30.255")
                                      << QStringList{"239.69.30.255", "239.69.30.0"}
                                      << QStringList{"Zelvo Playout 1-8", "Zelvo Playout 9-10"}
                                      << QList<int>{1164, 300};
        QTest::newRow("channels 0 gives one") << QJsonValue(0) << QString() << QStringList{"239.69.1.1"}
                                              << QStringList{"Zelvo Playout"} << QList<int>{156};
        QStringList addresses;
        QStringList names;
        for (int i = 0; i < 8; ++i) {
            addresses << QStringLiteral("239.69.93.%1").arg(10 + i);
            names << QStringLiteral("Zelvo Playout %1-%2").arg(8 * i + 1).arg(8 * i + 8);
        }
        QTest::newRow("100 gives 64 in eight streams") << QJsonValue(100) << QStringLiteral("239.69.93.10") << addresses
                                                       << names << QList<int>(8, 1164);
    }

    // The streams on the wire, each packet of a cycle with the same timestamp; stop withdraws every
    // stream once and closes everything it opened.
    void channelCountsGiveStreamsOfEight()
    {
        QFETCH(QJsonValue, channels);
        QFETCH(QString, multicast);
        QFETCH(QStringList, addresses);
        QFETCH(QStringList, names);
        QFETCH(QList<int>, sizes);
        engine.aes67Options.insert(QStringLiteral("channels"), channels);
        engine.aes67Options.insert(QStringLiteral("multicast"), multicast);
        std::vector<std::unique_ptr<Receiver>> receivers;
        for (const QString &address : addresses)
            receivers.push_back(std::make_unique<Receiver>(address, 5004, loopback));
        Receiver sap(QStringLiteral("239.255.255.255"), SapPacket::Port, loopback);
        const int descriptorsBefore = openDescriptors();

        auto backend = std::make_unique<Aes67Backend>(&engine);
        QString error;
        QVERIFY2(backend->open(loopback, 0, &error), qPrintable(error));
        const QJsonArray streams = backend->status().value(QStringLiteral("streams")).toArray();
        QCOMPARE(streams.size(), addresses.size());
        QStringList announcedNames;
        for (const SapPacket &packet : collectSap(sap, 300))
            announcedNames << QString::fromUtf8(packet.payload).section(QStringLiteral("s="), 1).section(QLatin1Char('\r'), 0, 0);
        QCOMPARE(announcedNames, names);

        for (int i = 0; i < streams.size(); ++i) {
            const QJsonObject stream = streams.at(i).toObject();
            QCOMPARE(stream.value(QStringLiteral("address")).toString(), addresses.at(i));
            QCOMPARE(stream.value(QStringLiteral("name")).toString(), names.at(i));
            QCOMPARE(stream.value(QStringLiteral("first_channel")).toInt(), 8 * i + 1);
        }
        sap.drain();
        QTest::qWait(20);
        // Empty every queue in turns until one turn finds nothing, so each holds only a few packets
        // when the sender stops.
        QElapsedTimer turns;
        turns.start();
        while (turns.elapsed() < 2000) {
            int queued = 0;
            for (const auto &receiver : receivers)
                queued += receiver->drain();
            if (queued == 0)
                break;
        }
        backend->stop();

        // The last cycle before the stop went to every stream, with one timestamp. (Loopback may
        // still hold the last datagrams in its backlog when stop() returns.)
        std::vector<quint32> lastTimestamps;
        for (int i = 0; i < streams.size(); ++i) {
            Receiver &receiver = *receivers[size_t(i)];
            for (int count = 0; count < 4096 && !receiver.next(50).isEmpty(); ++count) {
            }
            QCOMPARE(receiver.last.size(), sizes.at(i));
            const auto packet = Aes67RtpPacket::parse(receiver.last.constData(), receiver.last.size(), (sizes.at(i) - 12) / 144);
            QVERIFY(packet);
            lastTimestamps.push_back(packet->timestamp);
        }
        QVERIFY(std::all_of(lastTimestamps.begin(), lastTimestamps.end(),
                            [&](quint32 t) { return t == lastTimestamps.front(); }));

        const std::vector<SapPacket> withdrawn = collectSap(sap, 200);
        QCOMPARE(int(withdrawn.size()), addresses.size());
        for (int i = 0; i < addresses.size(); ++i) {
            QVERIFY(withdrawn[size_t(i)].deletion);
            QVERIFY(withdrawn[size_t(i)].payload.contains("c=IN IP4 " + addresses.at(i).toLatin1() + "/32"));
        }
        QCOMPARE(backend->status().value(QStringLiteral("streams")).toArray().size(), 0);
        backend->stop(); // harmless a second time
        QCOMPARE(openDescriptors(), descriptorsBefore);
        const int eventPort = bindExclusive(PtpClock::EventPort); // the clock is gone too
        QVERIFY(eventPort >= 0);
        ::close(eventPort);
    }

    void invalidMulticastFailsAndLeavesNothingOpen_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("multicast");
        QTest::newRow("not an address") << 8 << QStringLiteral("not-an-address");
        QTest::newRow("three parts") << 16 << QStringLiteral("239.69.30");
        QTest::newRow("part above 255") << 8 << QStringLiteral("239.69.300.1");
    }

    void invalidMulticastFailsAndLeavesNothingOpen()
    {
        QFETCH(int, channels);
        QFETCH(QString, multicast);
        engine.aes67Options.insert(QStringLiteral("channels"), channels);
        engine.aes67Options.insert(QStringLiteral("multicast"), multicast);
        const int descriptorsBefore = openDescriptors();
        Aes67Backend backend(&engine);
        QString error;
        QVERIFY(!backend.open(loopback, 0, &error));
        QCOMPARE(error, QStringLiteral("Invalid AES67 multicast address: ") + multicast);
        QCOMPARE(openDescriptors(), descriptorsBefore);
        QVERIFY(!backend.ptpClock().status().running);
        QVERIFY(backend.open(loopback, 0, nullptr) == false); // no error text wanted, still refused
    }

    void busyPtpPortFailsWithTheClocksMessage()
    {
        const int blocker = bindExclusive(PtpClock::GeneralPort);
        QVERIFY(blocker >= 0);
        Aes67Backend backend(&engine);
        QString error;
        const bool opened = backend.open(loopback, 0, &error);
        ::close(blocker);
        QVERIFY(!opened);
        QVERIFY2(error.startsWith(QStringLiteral("PTP ports 319/320 unavailable (error %1)").arg(EADDRINUSE)),
                 qPrintable(error));
        QCOMPARE(backend.status().value(QStringLiteral("streams")).toArray().size(), 0);
    }

    // A slave-only sender starts on its own time; when a master appears, every stream is announced
    // again at once with version 2 and the new grandmaster, and the packets follow the master's time.
    void newGrandmasterIsAnnouncedAtOnce()
    {
        engine.aes67Options.insert(QStringLiteral("ptp"), QStringLiteral("slave"));
        Receiver sap(QStringLiteral("239.255.255.255"), SapPacket::Port, loopback);
        Receiver rtp(QStringLiteral("239.69.1.1"), 5004, loopback);
        Aes67Backend backend(&engine);
        QString error;
        QVERIFY2(backend.open(loopback, 0, &error), qPrintable(error));
        const std::vector<SapPacket> first = collectSap(sap, 300);
        QCOMPARE(first.size(), size_t(1));
        QVERIFY(first.front().payload.contains(" 1 IN IP4 127.0.0.1\r\n"));

        PtpClock master;
        master.setPresetIdentity(QByteArray::fromHex("02aabbfffe000001"));
        QVERIFY2(master.start(loopback, 93, 2, &error), qPrintable(error));
        QElapsedTimer timer;
        timer.start();
        std::vector<SapPacket> again;
        while (again.empty() && timer.elapsed() < 3000)
            again = collectSap(sap, 50);
        QCOMPARE(again.size(), size_t(1));
        qInfo("announced again %lld ms after the master started", timer.elapsed());
        QVERIFY(timer.elapsed() < 1500); // the master's first Announce leaves at once
        const QByteArray sdp = again.front().payload;
        QVERIFY2(sdp.contains(" 2 IN IP4 127.0.0.1\r\n"), sdp.constData());
        QVERIFY(sdp.contains("a=ts-refclk:ptp=IEEE1588-2008:02-AA-BB-FF-FE-00-00-01:93\r\n"));
        // A new version under a new hash, or receivers that cache by origin and hash keep the old
        // grandmaster.
        const quint32 sessionId = QString::fromLatin1(sdp).section(QLatin1Char(' '), 1, 1).toUInt();
        QVERIFY(sessionId != 0);
        QCOMPARE(first.front().messageIdHash, sapMessageIdHash(sessionId, 1));
        QCOMPARE(again.front().messageIdHash, sapMessageIdHash(sessionId, 2));
        QVERIFY(again.front().messageIdHash != first.front().messageIdHash);

        QTRY_VERIFY_WITH_TIMEOUT(backend.ptpClock().status().locked, 5000);
        QTest::qWait(300);
        rtp.drain();
        qint32 minLag = std::numeric_limits<qint32>::max();
        for (int i = 0; i < 200; ++i) {
            const QByteArray datagram = rtp.next(50);
            const qint64 masterSamples = samplesAt(master.now());
            const auto packet = Aes67RtpPacket::parse(datagram.constData(), datagram.size(), 8);
            QVERIFY(packet);
            minLag = std::min(minLag, qint32(quint32(masterSamples) - packet->timestamp));
        }
        QVERIFY2(std::abs(minLag) < 48, qPrintable(QString::number(minLag)));

        sap.drain();
        backend.stop();
        const std::vector<SapPacket> withdrawn = collectSap(sap, 200);
        QCOMPARE(withdrawn.size(), size_t(1));
        QVERIFY(withdrawn.front().deletion);
        QCOMPARE(withdrawn.front().messageIdHash, again.front().messageIdHash);
    }

    // An automatic sender alone starts announcing its own identity provisionally; when it takes
    // the master role (3 s later) it is announced again at once, not 30 s later.
    void grandmasterIsAnnouncedOnceKnown()
    {
        Receiver sap(QStringLiteral("239.255.255.255"), SapPacket::Port, loopback);
        Aes67Backend backend(&engine);
        QString error;
        QVERIFY2(backend.open(loopback, 0, &error), qPrintable(error));
        QCOMPARE(collectSap(sap, 300).size(), size_t(1));
        QVERIFY(!backend.ptpClock().grandmaster().known);
        QElapsedTimer timer;
        timer.start();
        std::vector<SapPacket> again;
        while (again.empty() && timer.elapsed() < 6000)
            again = collectSap(sap, 50);
        QCOMPARE(again.size(), size_t(1));
        QVERIFY(backend.ptpClock().status().grandmasterHere);
        QVERIFY(again.front().payload.contains(
            "a=ts-refclk:ptp=IEEE1588-2008:" + backend.ptpClock().status().grandmaster.toLatin1() + ":93\r\n"));
    }

    // A network that refuses the packets: the cycles are not counted as sent, the refusals are,
    // and the status says why. When the network returns, counting goes on.
    void refusedPacketsShowInTheStatus()
    {
        Aes67Backend backend(&engine);
        QString error;
        QVERIFY2(backend.open(loopback, 0, &error), qPrintable(error));
        const auto number = [&](const char *key) { return backend.status().value(QLatin1String(key)).toInteger(); };
        QTRY_VERIFY(number("packets") > 100);
        QCOMPARE(number("send_errors"), 0);

        QVERIFY(runIp({"link", "set", "lo", "down"}));
        QTest::qWait(100);
        const qint64 packetsWhileDown = number("packets");
        QTest::qWait(300);
        const qint64 refused = number("send_errors");
        const QString text = backend.status().value(QStringLiteral("error")).toString();
        const qint64 packetsAfter = number("packets");
        QVERIFY(runIp({"link", "set", "lo", "up"}));

        QCOMPARE(packetsAfter, packetsWhileDown);
        QVERIFY2(refused >= 250, qPrintable(QString::number(refused)));
        QCOMPARE(text, QStringLiteral("Sending to 239.69.1.1 failed: ") + qt_error_string(ENETUNREACH));
        QTRY_VERIFY(number("packets") > packetsAfter + 100);
    }
};

QTEST_GUILESS_MAIN(TestAes67Network)
#include "aes67_netns_test.moc"
