// PTP clocks over real sockets. They bind the fixed ports 319/320 and multicast, so this program
// runs only inside the private network namespace that ptp-netns.sh makes (loopback plus a veth
// pair), never on a real network.
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"
#include "tests/support/PtpFlood.h"
#include "tests/support/UdpPorts.h"

#include <QNetworkInterface>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

namespace {

constexpr int Domain = 93;
const QString loopback = QStringLiteral("127.0.0.1");
const QByteArray masterIdentity = QByteArray::fromHex("02aabbfffe000001");
const QByteArray slaveIdentity = QByteArray::fromHex("02aabbfffe000002");
const QByteArray autoIdentity = QByteArray::fromHex("02aabbfffe000003");


// The largest |s - (a + b) / 2| over 20 readings of master (a), slave (s), master (b).
qint64 timeError(const PtpClock &master, const PtpClock &slave)
{
    qint64 worst = 0;
    for (int i = 0; i < 20; ++i) {
        const qint64 a = master.now();
        const qint64 s = slave.now();
        const qint64 b = master.now();
        worst = std::max(worst, std::abs(s - (a + b) / 2));
        QThread::msleep(5);
    }
    return worst;
}

} // namespace

class TestPtpNetwork : public QObject
{
    Q_OBJECT

    PtpClock master;
    PtpClock slave;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariable("ZELVO_PTP_IN_NETNS") != QLatin1String("1"))
            QSKIP("multicasts on fixed ports: run through ptp-netns.sh, inside a private network namespace");
    }

    void busyPortGivesTheMessage()
    {
        const int blocker = bindExclusive(PtpClock::GeneralPort);
        QVERIFY(blocker >= 0);
        PtpClock clock;
        QString error;
        QVERIFY(!clock.start(loopback, Domain, 1, &error));
        ::close(blocker);
        QCOMPARE(error, QStringLiteral("PTP ports 319/320 unavailable (error %1)").arg(EADDRINUSE));
        QVERIFY(!clock.status().running);
        const int eventPort = bindExclusive(PtpClock::EventPort); // the failed start left nothing open
        QVERIFY(eventPort >= 0);
        ::close(eventPort);

        QVERIFY(!clock.start(QStringLiteral("not-an-address"), Domain, 1, &error));
        QCOMPARE(error, QStringLiteral("PTP ports 319/320 unavailable (error %1)").arg(EINVAL));
    }

    void identityComesFromTheInterfaceMac()
    {
        if (QNetworkInterface::interfaceFromName(QStringLiteral("ptp0")).hardwareAddress().isEmpty())
            QSKIP("needs the interface ptp0 that ptp-netns.sh creates");
        QCOMPARE(clockIdentityFor(QStringLiteral("10.93.0.1")), QByteArray::fromHex("02c0defffe123456"));
        // Loopback has no usable MAC: random bytes around FF FE, different for every clock.
        const QByteArray first = clockIdentityFor(loopback);
        const QByteArray second = clockIdentityFor(loopback);
        QCOMPARE(first.size(), 8);
        QCOMPARE(first.mid(3, 2), QByteArray("\xFF\xFE", 2));
        QVERIFY(first != second);
    }

    void slaveLocksToMasterOverLoopback()
    {
        master.setPresetIdentity(masterIdentity);
        slave.setPresetIdentity(slaveIdentity);
        QString error;
        QVERIFY2(master.start(loopback, Domain, 2, &error), qPrintable(error));
        QVERIFY2(slave.start(loopback, Domain, 1, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(slave.status().locked, 5000);
        QTest::qWait(2500); // Delay_Resp samples and the first rate estimate

        const PtpStatus masterStatus = master.status();
        QVERIFY(masterStatus.running && masterStatus.grandmasterHere && masterStatus.locked);
        QCOMPARE(masterStatus.grandmaster, QStringLiteral("02-AA-BB-FF-FE-00-00-01"));
        const PtpStatus slaveStatus = slave.status();
        QVERIFY(slaveStatus.locked);
        QVERIFY(!slaveStatus.grandmasterHere);
        QCOMPARE(slaveStatus.grandmaster, QStringLiteral("02-AA-BB-FF-FE-00-00-01"));
        QCOMPARE(slave.grandmasterIdentity(), masterIdentity);
        QCOMPARE(slaveStatus.domain, Domain);
        QVERIFY2(slaveStatus.sampleCount >= 20, qPrintable(QString::number(slaveStatus.sampleCount)));
        QVERIFY2(std::abs(slaveStatus.offsetUs) < 100, qPrintable(QString::number(slaveStatus.offsetUs)));
        QVERIFY2(slaveStatus.pathDelayUs > 0 && slaveStatus.pathDelayUs < 100,
                 qPrintable(QString::number(slaveStatus.pathDelayUs)));
        QVERIFY2(std::abs(slaveStatus.ratePpm) < 50, qPrintable(QString::number(slaveStatus.ratePpm)));
        const qint64 error100 = timeError(master, slave);
        QVERIFY2(error100 < 100'000, qPrintable(QStringLiteral("time error %1 ns").arg(error100)));
        // Sync, Delay_Req and their departures are timed by the kernel's software stamps.
        qInfo("kernel stamps: master %lld (program %lld), slave %lld (program %lld)", master.kernelStampCount(),
              master.programStampCount(), slave.kernelStampCount(), slave.programStampCount());
        QVERIFY(master.kernelStampCount() >= 20 && slave.kernelStampCount() >= 20);
        QVERIFY(master.programStampCount() <= master.kernelStampCount() / 10);
        QVERIFY(slave.programStampCount() <= slave.kernelStampCount() / 10);
    }

    void automaticClockFollowsTheBetterMaster()
    {
        // The master announces its own dataset (priority1 250), so an automatic clock with the same
        // dataset follows it only when its identity is the lower one.
        PtpClock automatic;
        automatic.setPresetIdentity(autoIdentity);
        QString error;
        QVERIFY2(automatic.start(loopback, Domain, 0, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(automatic.status().locked, 5000);
        QCOMPARE(automatic.status().grandmaster, QStringLiteral("02-AA-BB-FF-FE-00-00-01"));
        QVERIFY(!automatic.status().grandmasterHere);
        QVERIFY(master.status().grandmasterHere); // a master-only clock keeps its role
    }

    void announceFloodKeepsTheSlaveLocked()
    {
        QVERIFY(slave.status().locked);
        LoopbackAnnounceFlood announces(Domain);
        QVERIFY(announces.isOpen());
        const qint64 syncsBefore = slave.status().sampleCount;
        int largestTable = 0;
        int sent = 0;
        QElapsedTimer timer;
        timer.start();
        for (quint32 i = 0; i < 30000; ++i) {
            if (announces.send(i))
                ++sent;
            if (i % 30 == 29) {
                largestTable = std::max({largestTable, slave.foreignMasterCount(), master.foreignMasterCount()});
                QThread::usleep(1000); // about 30,000 a second
            }
        }
        const qint64 floodMs = timer.elapsed();
        QTest::qWait(300);
        const PtpStatus status = slave.status();
        qInfo("%d Announces in %lld ms; largest foreign-master table %d; %lld Sync measurements meanwhile", sent,
              floodMs, largestTable, status.sampleCount - syncsBefore);
        QVERIFY(sent > 20000);
        QVERIFY2(largestTable <= PtpClock::ForeignMasterCapacity, qPrintable(QString::number(largestTable)));
        QVERIFY(status.locked);
        QCOMPARE(status.grandmaster, QStringLiteral("02-AA-BB-FF-FE-00-00-01"));
        // Every Sync/Follow_Up pair (8 a second) was still measured through the flood.
        const qint64 expected = (floodMs + 300) / 125;
        QVERIFY2(status.sampleCount - syncsBefore >= expected - 2, qPrintable(QString::number(expected)));
        QVERIFY(std::abs(status.offsetUs) < 100);
    }

    void bindRefusedWithoutCapability()
    {
        if (qEnvironmentVariable("ZELVO_PTP_NO_BIND_CAP") != QLatin1String("1"))
            QSKIP("run by ptp-netns.sh without CAP_NET_BIND_SERVICE");
        PtpClock clock;
        QString error;
        QVERIFY(!clock.start(loopback, Domain, 1, &error));
        QCOMPARE(error, QStringLiteral("PTP ports 319/320 unavailable (error %1): ports below 1024 need root or "
                                       "CAP_NET_BIND_SERVICE")
                            .arg(EACCES));
    }

    void cleanupTestCase()
    {
        slave.stop();
        master.stop();
        QVERIFY(!master.status().running);
    }
};

QTEST_GUILESS_MAIN(TestPtpNetwork)
#include "ptp_netns_test.moc"
