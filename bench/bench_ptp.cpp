// PTP slave accuracy on one host: a master-only and a slave-only clock over multicast loopback,
// inside a private network namespace (the program re-runs itself under `unshare -n` when it is
// root; otherwise run it as: unshare -n sh -c 'ip link set lo up && exec bench_ptp 10').
//   bench_ptp [seconds=10] [--flood]
// Prints the slave's offset from the master (median and 99th percentile of |slave - master| over
// readings every 10 ms), its own status, and what a now() call costs, the latter also while a flood of
// Announce messages from 30,000 new senders a second hits both clocks with --flood.
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"
#include "bench/BenchSupport.h"
#include "tests/support/PtpFlood.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
    int seconds = 10;
    for (const QString &arg : args.mid(1)) {
        if (arg.toInt() > 0)
            seconds = arg.toInt();
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
