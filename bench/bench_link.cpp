// What Link costs: the slow key derivation, signing and verifying control lines, hashing a show's
// media for publication (first time and from the cache), a follower's verified download over
// loopback, and how close a follower's view of the master's clock gets. The master's beacons go to
// loopback only (the nodes here pair by address), so nothing reaches the network.
//   bench_link [media MiB]
#include "bench/BenchSupport.h"
#include "link/LinkKeys.h"
#include "link/LinkLine.h"
#include "link/LinkNode.h"
#include "selftest/SelfTestWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1.0e6;
}

void benchKeys()
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray key = deriveLinkKey(QStringLiteral("pine-fox"));
        times.push_back(msSince(timer));
        Q_UNUSED(key);
    }
    std::printf("key derivation (PBKDF2, %d iterations): median %.1f ms, worst %.1f ms\n", LinkKeys::kdfIterations,
                percentile(times, 0.5), percentile(times, 1.0));

    const QByteArray key = deriveLinkKey(QStringLiteral("pine-fox"));
    const QByteArray nonce = randomHexNonce(), clientNonce = randomHexNonce();
    QJsonObject body;
    for (int i = 0; i < 8; ++i)
        body.insert(QStringLiteral("field%1").arg(i), QStringLiteral("value of some length %1").arg(i));
    constexpr int lines = 50000;
    QElapsedTimer timer;
    timer.start();
    QByteArray last;
    for (int i = 1; i <= lines; ++i) {
        LinkLine line;
        line.type = QStringLiteral("state");
        line.seq = quint64(i);
        line.body = body;
        line.mac = linkMac(key, LinkLine::signedText(nonce, clientNonce, LinkLine::ToClient, line.seq, line.type, body));
        last = line.encode();
    }
    const double signUs = msSince(timer) * 1000.0 / lines;
    timer.restart();
    int good = 0;
    for (int i = 0; i < lines; ++i) {
        const LinkLine line = LinkLine::parse(last);
        good += linkMacEquals(line.mac, linkMac(key, LinkLine::signedText(nonce, clientNonce, LinkLine::ToClient,
                                                                         line.seq, line.type, line.body)));
    }
    std::printf("control line of %lld bytes: sign and write %.2f us, parse and verify %.2f us (%d verified)\n",
                qlonglong(last.size()), signUs, msSince(timer) * 1000.0 / lines, good);
}

void benchDistribution(int mediaMiB)
{
    QTemporaryDir dir;
    const QString media = dir.filePath(QStringLiteral("media.bin"));
    {
        QFile file(media);
        file.open(QIODevice::WriteOnly);
        QByteArray block(1024 * 1024, '\0');
        for (int i = 0; i < mediaMiB; ++i) {
            block.fill(char(i));
            file.write(block);
        }
    }
    Show show;
    show.library = {media};
    ShowProgram program;
    program.name = QStringLiteral("Program A");
    show.programs = {program};

    LinkNode master(QStringLiteral("Main"), dir.filePath(QStringLiteral("master")));
    LinkNode follower(QStringLiteral("Wall"), dir.filePath(QStringLiteral("follower")));
    master.beaconTarget = QStringLiteral("127.0.0.1");
    master.startMaster(QStringLiteral("pine-fox"), 0);
    follower.startFollower(QStringLiteral("pine-fox"), false);
    follower.connectToMaster(QStringLiteral("127.0.0.1"), master.controlPort());
    if (!waitUntil([&] { return follower.welcomed; }, 5000)) {
        std::printf("follower did not join\n");
        return;
    }
    QString ready;
    QObject::connect(&follower, &LinkNode::showReady, &follower, [&](const QString &path) { ready = path; });
    QElapsedTimer timer;
    timer.start();
    master.publishShow(show, QStringLiteral("Bench"));
    waitUntil([&] { return master.revision == 1; }, 120000);
    const double hashMs = msSince(timer);
    waitUntil([&] { return !ready.isEmpty(); }, 300000);
    const double totalMs = msSince(timer);
    std::printf("publication of %d MiB: hashing %.0f ms (%.0f MB/s); follower's verified download %.0f ms (%.0f MB/s), "
                "%d file(s)\n",
                mediaMiB, hashMs, mediaMiB * 1.048576 / (hashMs / 1000.0), totalMs - hashMs,
                mediaMiB * 1.048576 / ((totalMs - hashMs) / 1000.0), follower.downloadedFiles);
    ready.clear();
    timer.restart();
    master.publishShow(show, QStringLiteral("Bench"));
    waitUntil([&] { return master.revision == 2; }, 60000);
    const double cachedMs = msSince(timer);
    waitUntil([&] { return !ready.isEmpty(); }, 60000);
    std::printf("republication of the unchanged show: %.1f ms on the master (hash cache), %.1f ms until the follower "
                "is ready (sidecar, nothing downloaded)\n",
                cachedMs, msSince(timer));

    pump(5000);
    std::vector<double> errors;
    for (int i = 0; i < 20; ++i) {
        pump(100);
        const qint64 masterNow = master.clockUs();
        errors.push_back(std::abs(double(follower.clockUs() + follower.clockOffsetUs - masterNow)));
    }
    std::printf("follower clock against the master over loopback: rtt %.0f us, error median %.0f us, worst %.0f us\n",
                double(follower.roundTripUs), percentile(errors, 0.5), percentile(errors, 1.0));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int mediaMiB = argc > 1 ? std::max(1, atoi(argv[1])) : 256;
    benchKeys();
    benchDistribution(mediaMiB);
    return 0;
}
