// AES67 sender timing on one host: a master-only PTP clock and an AES67 sender whose own clock is
// slave only, over multicast loopback inside a private network namespace (the program re-runs
// itself under `unshare -n` when it is root; otherwise run it as:
// unshare -r -n sh -c 'ip link set lo up && exec bench_aes67 60').
//   bench_aes67 [seconds=60]
// Prints the sender clock's offset from the master (median and 99th percentile of
// |slave - master| over readings every 10 ms), the interval jitter of the sender's packets
// (|interval - 1 ms| from kernel receive timestamps: median, 99th percentile, maximum) and the
// alignment of the RTP timestamps with PTP time (arrival time in master PTP time minus the time of
// the packet's first sample).
#include "outputs/aes67/Aes67Backend.h"
#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/aes67/PtpClock.h"
#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int Domain = 93;
constexpr qint64 Second = 1'000'000'000;



qint64 realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * Second + ts.tv_nsec;
}

struct ReceiveResults
{
    std::vector<double> intervalJitterUs; // |interval - 1000 us| between consecutive packets
    std::vector<double> alignmentUs;      // arrival in master PTP time - time of the first sample
    std::vector<std::pair<double, double>> stalls; // (seconds since the first packet, interval ms) over 1.5 ms
    qint64 packets = 0;
    qint64 gaps = 0;
};

// Receives the stream with kernel timestamps and turns each arrival into master PTP time.
void receiveLoop(const PtpClock &master, const std::atomic<bool> &stop, ReceiveResults &results)
{
    sched_param param{};
    param.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), 70);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const timeval timeout{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5004);
    inet_pton(AF_INET, "239.69.1.1", &address.sin_addr);
    ip_mreq membership{};
    membership.imr_multiaddr = address.sin_addr;
    inet_pton(AF_INET, "127.0.0.1", &membership.imr_interface);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        std::perror("receive socket");
        return;
    }

    char data[2048];
    char control[256];
    qint64 lastArrival = -1;
    qint64 firstArrival = -1;
    quint16 lastSequence = 0;
    while (!stop) {
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(fd, &message, 0);
        const qint64 ptpNow = master.now();
        const qint64 realNow = realtimeNs();
        const auto packet = Aes67RtpPacket::parse(data, size, 8);
        if (!packet)
            continue;
        qint64 arrival = realNow;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                arrival = qint64(ts.tv_sec) * Second + ts.tv_nsec;
            }
        }
        const qint64 ptpArrival = ptpNow - (realNow - arrival);
        const qint64 ptpSamples = (ptpArrival / Second) * 48000 + (ptpArrival % Second) * 48000 / Second;
        const qint64 firstSample = ptpSamples - qint32(quint32(ptpSamples) - packet->timestamp);
        const qint64 firstSampleNs = (firstSample / 48000) * Second + (firstSample % 48000) * Second / 48000;
        results.alignmentUs.push_back(double(ptpArrival - firstSampleNs) / 1000);
        if (firstArrival < 0)
            firstArrival = arrival;
        if (lastArrival >= 0) {
            results.intervalJitterUs.push_back(std::abs(double(arrival - lastArrival) / 1000 - 1000));
            if (arrival - lastArrival > 1'500'000)
                results.stalls.emplace_back(double(arrival - firstArrival) / Second, double(arrival - lastArrival) / 1e6);
            results.gaps += packet->sequence != quint16(lastSequence + 1);
        }
        lastArrival = arrival;
        lastSequence = packet->sequence;
        ++results.packets;
    }
    ::close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    if (reexecInNamespace(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    int seconds = 60;
    for (const QString &arg : app.arguments().mid(1)) {
        if (arg.toInt() > 0)
            seconds = arg.toInt();
    }

    PtpClock master;
    master.setPresetIdentity(QByteArray::fromHex("02aabbfffe000001"));
    QString error;
    if (!master.start(QStringLiteral("127.0.0.1"), Domain, 2, &error)) {
        std::fprintf(stderr, "cannot start the master: %s\n(run as root, or inside `unshare -r -n` with lo up)\n",
                     qPrintable(error));
        return 1;
    }
    LocalAudioEngine engine;
    engine.aes67Options = QJsonObject{{QStringLiteral("domain"), Domain}, {QStringLiteral("ptp"), QStringLiteral("slave")}};
    Aes67Backend sender(&engine);
    if (!sender.open(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "cannot open the sender: %s\n", qPrintable(error));
        return 1;
    }
    const PtpClock &slave = sender.ptpClock();
    QElapsedTimer timer;
    timer.start();
    while (!slave.status().locked && timer.elapsed() < 15000)
        QThread::msleep(5);
    if (!slave.status().locked) {
        std::fprintf(stderr, "the sender's clock did not lock within 15 s\n");
        return 1;
    }
    std::printf("locked after %.2f s; measuring %d s\n", timer.elapsed() / 1000.0, seconds);
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    ReceiveResults received;
    std::thread receiver([&] { receiveLoop(master, stop, received); });
    const QJsonObject before = sender.status();
    std::vector<double> offsetUs;
    int unlocked = 0;
    timer.restart();
    while (timer.elapsed() < qint64(seconds) * 1000) {
        const qint64 a = master.now();
        const qint64 s = slave.now();
        const qint64 b = master.now();
        offsetUs.push_back(std::abs(double(s - (a + b) / 2)) / 1000);
        unlocked += slave.status().locked ? 0 : 1;
        QThread::msleep(10);
    }
    stop = true;
    receiver.join();
    const QJsonObject after = sender.status();
    const auto grown = [&](const char *key) {
        return after.value(QLatin1String(key)).toInteger() - before.value(QLatin1String(key)).toInteger();
    };
    const PtpStatus status = slave.status();

    std::printf("offset |sender clock - master|   median %8.2f us   p99 %8.2f us   max %8.2f us (%zu readings, %d unlocked)\n",
                percentile(offsetUs, 0.5), percentile(offsetUs, 0.99), percentile(offsetUs, 1.0), offsetUs.size(),
                unlocked);
    std::printf("packet interval jitter        median %8.2f us   p99 %8.2f us   max %8.2f us (%lld packets, %lld gaps)\n",
                percentile(received.intervalJitterUs, 0.5), percentile(received.intervalJitterUs, 0.99),
                percentile(received.intervalJitterUs, 1.0), static_cast<long long>(received.packets),
                static_cast<long long>(received.gaps));
    std::printf("RTP-to-PTP alignment          median %8.2f us   p1 %8.2f us   p99 %8.2f us   min %8.2f us   max %8.2f us\n",
                percentile(received.alignmentUs, 0.5), percentile(received.alignmentUs, 0.01),
                percentile(received.alignmentUs, 0.99), percentile(received.alignmentUs, 0.0),
                percentile(received.alignmentUs, 1.0));
    std::printf("intervals over 1.5 ms: %zu", received.stalls.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(received.stalls.size(), 10); ++i)
        std::printf("%s%.1f ms at %.2f s", i ? ", " : " (", received.stalls[i].second, received.stalls[i].first);
    std::printf("%s\n", received.stalls.empty() ? "" : received.stalls.size() > 10 ? ", ...)" : ")");
    std::printf("sender: %lld cycles, %lld late, %lld re-anchors, %lld refused; clock path delay %.2f us, rate %.3f ppm, steps %lld\n",
                static_cast<long long>(grown("packets")), static_cast<long long>(grown("late_packets")),
                static_cast<long long>(grown("reanchors")), static_cast<long long>(grown("send_errors")),
                status.pathDelayUs, status.ratePpm, static_cast<long long>(status.steps));
    sender.stop();
    return 0;
}
