// PTP accuracy against a standard peer: linuxptp's ptp4l (software time stamps, UDPv4, E2E,
// free_running 1 so it never adjusts this machine's clock) over a veth pair in a private network
// namespace (the program re-runs itself under `unshare -n` as root and makes the pair itself).
//   bench_ptp [seconds=60] [--own [--flood]]
// First ptp4l leads and our clock follows (slave only): for `seconds`, every 10 ms, our now()
// against ptp4l's clock (the system clock, read around it): median and 99th percentile of the
// error. Then our clock leads and a slave-only ptp4l follows: the mean path delay ptp4l measures to
// our master (pmc, once a second for 20 s) and its offset from it.
// With --own, the older one-host figures instead: a master-only and a slave-only clock of ours over
// multicast loopback, and what a now() call costs, the latter also while a flood of Announce
// messages from 30,000 new senders a second hits both clocks with --flood.
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"
#include "bench/BenchSupport.h"
#include "tests/outputs/aes67/Ptp4lPeer.h"
#include "tests/support/PtpFlood.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int Domain = 93;
const QString ourAddress = QStringLiteral("10.77.0.1");
const QString peerInterface = QStringLiteral("zpb");

qint64 realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The two-host LAN of the interoperability tests in this namespace: our side zpa (10.77.0.1), the
// peer's side zpb (10.77.0.2), the kernel accepting datagrams between the two local addresses.
bool makeVethPair()
{
    const char *script = R"(
set -e
for k in all default; do sysctl -qw net.ipv4.conf.$k.accept_local=1 net.ipv4.conf.$k.rp_filter=0; done
ip link add zpa type veth peer name zpb
ip link set zpa address 02:c0:de:77:00:01
ip addr add 10.77.0.1/24 dev zpa
ip addr add 10.77.0.2/24 dev zpb
for k in zpa zpb; do sysctl -qw net.ipv4.conf.$k.accept_local=1 net.ipv4.conf.$k.rp_filter=0; done
ip link set zpa up
ip link set zpb up
for i in $(seq 20); do ip -br link show zpb | grep -q LOWER_UP && break; sleep 0.1; done
)";
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromLatin1(script)}) == 0;
}

// ptp4l leads, our clock follows: our error against ptp4l's clock (its system clock, on its
// arbitrary timescale) over `seconds`.
bool measureSlave(int seconds)
{
    Ptp4lPeer peer;
    PtpClock clock;
    QString error;
    if (!peer.start(peerInterface, {QStringLiteral("priority1 128")}, &error)
        || !clock.start(ourAddress, 0, 1, &error)) {
        std::fprintf(stderr, "cannot start: %s\n", qPrintable(error));
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (!clock.status().locked && timer.elapsed() < 30000)
        peer.waitFor(QRegularExpression(QStringLiteral("(?!)")), 50);
    if (!clock.status().locked) {
        std::fprintf(stderr, "our clock did not lock to ptp4l within 30 s\n%s", qPrintable(peer.output()));
        return false;
    }
    std::printf("ptp4l master %s; our slave locked after %.2f s; measuring %d s\n",
                qPrintable(clock.status().grandmaster), timer.elapsed() / 1000.0, seconds);
    QThread::msleep(2000); // Delay_Resp samples and a first rate estimate

    std::vector<double> errorUs;
    std::vector<double> signedUs;
    int unlocked = 0;
    timer.restart();
    while (timer.elapsed() < seconds * 1000) {
        const qint64 a = realtimeNs();
        const qint64 s = clock.now();
        const qint64 b = realtimeNs();
        const double error = double(s - (a + (b - a) / 2)) / 1000;
        signedUs.push_back(error);
        errorUs.push_back(std::abs(error));
        unlocked += clock.status().locked ? 0 : 1;
        peer.waitFor(QRegularExpression(QStringLiteral("(?!)")), 0);
        QThread::msleep(10);
    }
    const PtpStatus status = clock.status();
    std::printf("readings %zu, unlocked readings %d\n", errorUs.size(), unlocked);
    std::printf("|slave - ptp4l master|  median %8.2f us   p99 %8.2f us   max %8.2f us   (signed median %+.2f us)\n",
                percentile(errorUs, 0.5), percentile(errorUs, 0.99), percentile(errorUs, 1.0),
                percentile(signedUs, 0.5));
    std::printf("our path delay %.2f us, rate %.3f ppm, Sync measurements %lld, steps %lld\n", status.pathDelayUs,
                status.ratePpm, static_cast<long long>(status.sampleCount), static_cast<long long>(status.steps));
    std::printf("time stamps: kernel %lld, program %lld\n", static_cast<long long>(clock.kernelStampCount()),
                static_cast<long long>(clock.programStampCount()));
    return true;
}

// Our clock leads, a slave-only ptp4l follows: the path delay and offset ptp4l reports to us.
bool measureMaster(int seconds)
{
    PtpClock clock;
    Ptp4lPeer peer;
    QString error;
    if (!clock.start(ourAddress, 0, 2, &error)
        || !peer.start(peerInterface, {QStringLiteral("slaveOnly 1"), QStringLiteral("priority1 255")}, &error)) {
        std::fprintf(stderr, "cannot start: %s\n", qPrintable(error));
        return false;
    }
    const QRegularExpressionMatch slave = peer.waitFor(
        QRegularExpression(QStringLiteral("port 1: \\S+ to (UNCALIBRATED|SLAVE) on \\S+")), 20000);
    if (!slave.hasMatch()) {
        std::fprintf(stderr, "ptp4l did not take our master within 20 s\n%s", qPrintable(peer.output()));
        return false;
    }
    std::vector<double> delayUs;
    std::vector<double> offsetUs;
    QString state;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < seconds * 1000) {
        peer.waitFor(QRegularExpression(QStringLiteral("(?!)")), 1000);
        const QMap<QString, QString> current = peer.query(QStringLiteral("CURRENT_DATA_SET"));
        const double delay = current.value(QStringLiteral("meanPathDelay")).toDouble() / 1000;
        if (delay > 0) {
            delayUs.push_back(delay);
            offsetUs.push_back(std::abs(current.value(QStringLiteral("offsetFromMaster")).toDouble()) / 1000);
        }
    }
    state = peer.query(QStringLiteral("PORT_DATA_SET")).value(QStringLiteral("portState"));
    std::printf("ptp4l slave: %s (%s), %zu readings\n", qPrintable(state), qPrintable(slave.captured(0)),
                delayUs.size());
    std::printf("path delay ptp4l measures to our master  median %8.2f us   p99 %8.2f us   max %8.2f us\n",
                percentile(delayUs, 0.5), percentile(delayUs, 0.99), percentile(delayUs, 1.0));
    std::printf("|offset from our master| (ptp4l)        median %8.2f us   p99 %8.2f us\n",
                percentile(offsetUs, 0.5), percentile(offsetUs, 0.99));
    std::printf("our master's time stamps: kernel %lld, program %lld\n",
                static_cast<long long>(clock.kernelStampCount()), static_cast<long long>(clock.programStampCount()));
    return true;
}



// Sends Announces from ever new source identities until stop is set.
void flood(const std::atomic<bool> &stop, std::atomic<qint64> &sent)
{
    LoopbackAnnounceFlood announces(Domain);
    for (quint32 i = 0; !stop; ++i) {
        if (announces.send(i))
            ++sent;
        if (i % 30 == 29)
            QThread::usleep(1000);
    }
}

// Calls now() once a millisecond, as the AES67 sender does, and keeps each call's duration.
void senderLoop(const PtpClock &clock, const std::atomic<bool> &stop, std::vector<double> &callUs)
{
    while (!stop) {
        const qint64 before = monotonicNs();
        (void)clock.now();
        callUs.push_back(double(monotonicNs() - before) / 1000);
        QThread::usleep(1000);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (reexecInNamespace(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool withFlood = args.contains(QStringLiteral("--flood"));
    const bool own = args.contains(QStringLiteral("--own")) || withFlood;
    int seconds = own ? 10 : 60;
    for (const QString &arg : args.mid(1)) {
        if (arg.toInt() > 0)
            seconds = arg.toInt();
    }
    if (!own) {
        if (Ptp4lPeer::program(QStringLiteral("ptp4l")).isEmpty()) {
            std::fprintf(stderr, "needs ptp4l and pmc (linuxptp)\n");
            return 1;
        }
        if (!makeVethPair()) {
            std::fprintf(stderr, "cannot make the veth pair (run as root)\n");
            return 1;
        }
        return measureSlave(seconds) && measureMaster(std::min(seconds, 20)) ? 0 : 1;
    }

    PtpClock master;
    PtpClock slave;
    master.setPresetIdentity(QByteArray::fromHex("02aabbfffe000001"));
    slave.setPresetIdentity(QByteArray::fromHex("02aabbfffe000002"));
    QString error;
    if (!master.start(QStringLiteral("127.0.0.1"), Domain, 2, &error)
        || !slave.start(QStringLiteral("127.0.0.1"), Domain, 1, &error)) {
        std::fprintf(stderr, "cannot start the clocks: %s\n(run as root, or inside `unshare -n` with lo up)\n",
                     qPrintable(error));
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    while (!slave.status().locked && timer.elapsed() < 15000)
        QThread::msleep(5);
    if (!slave.status().locked) {
        std::fprintf(stderr, "the slave did not lock within 15 s\n");
        return 1;
    }
    std::printf("locked after %.2f s; measuring %d s%s\n", timer.elapsed() / 1000.0, seconds,
                withFlood ? " under an Announce flood" : "");

    std::atomic<bool> stop{false};
    std::atomic<qint64> floodSent{0};
    std::thread flooder;
    if (withFlood)
        flooder = std::thread([&] { flood(stop, floodSent); });
    std::vector<double> callUs;
    std::thread sender([&] { senderLoop(slave, stop, callUs); });

    std::vector<double> offsetUs;
    std::vector<double> statusOffsetUs;
    int unlocked = 0;
    timer.restart();
    while (timer.elapsed() < seconds * 1000) {
        const qint64 a = master.now();
        const qint64 s = slave.now();
        const qint64 b = master.now();
        offsetUs.push_back(std::abs(double(s - (a + b) / 2)) / 1000);
        const PtpStatus status = slave.status();
        statusOffsetUs.push_back(std::abs(status.offsetUs));
        unlocked += status.locked ? 0 : 1;
        QThread::msleep(10);
    }
    stop = true;
    sender.join();
    if (flooder.joinable())
        flooder.join();

    const PtpStatus status = slave.status();
    std::printf("readings %zu, unlocked readings %d\n", offsetUs.size(), unlocked);
    std::printf("|slave - master|   median %8.2f us   p99 %8.2f us   max %8.2f us\n", percentile(offsetUs, 0.5),
                percentile(offsetUs, 0.99), percentile(offsetUs, 1.0));
    std::printf("|servo error|      median %8.2f us   p99 %8.2f us\n", percentile(statusOffsetUs, 0.5),
                percentile(statusOffsetUs, 0.99));
    std::printf("path delay %.2f us, rate %.3f ppm, Sync measurements %lld, steps %lld\n", status.pathDelayUs,
                status.ratePpm, static_cast<long long>(status.sampleCount), static_cast<long long>(status.steps));
    std::printf("now() call          median %8.3f us   p99 %8.3f us   max %8.3f us (%zu calls)\n",
                percentile(callUs, 0.5), percentile(callUs, 0.99), percentile(callUs, 1.0), callUs.size());
    if (withFlood)
        std::printf("flood: %lld Announces sent; foreign-master table %d (slave), %d (master)\n",
                    static_cast<long long>(floodSent.load()), slave.foreignMasterCount(), master.foreignMasterCount());
    return 0;
}
