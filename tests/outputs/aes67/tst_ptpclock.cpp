#include "outputs/aes67/ForeignMaster.h"
#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"

#include <QDateTime>
#include <QJsonObject>
#include <QtTest>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <optional>
#include <vector>

namespace {

constexpr qint64 Ms = 1'000'000;
constexpr qint64 Second = 1'000'000'000;
constexpr int Domain = 93;
const QByteArray ownIdentity = QByteArray::fromHex("02aabbfffe0000aa");

// A PtpClock driven with synthetic monotonic time; what it sends is decoded and kept.
struct Harness
{
    struct Sent
    {
        PtpMessage message;
        bool event;
    };

    qint64 local = 500 * Second;
    std::vector<Sent> sent;
    PtpClock clock;
    // When set, event messages leave this long after the clock's own reading before sending, and
    // the transmit stamp says so.
    std::optional<qint64> transmitDelay;
    std::function<void()> duringSend; // runs inside every send, with the clock's lock held

    explicit Harness(int mode)
    {
        clock.setPresetIdentity(ownIdentity);
        clock.setTestHooks({[this] { return local; },
                            [this](const QByteArray &bytes, bool event) {
                                const auto message = PtpMessage::parse(bytes.constData(), bytes.size());
                                QVERIFY(message);
                                sent.push_back({*message, event});
                                if (duringSend)
                                    duringSend();
                            },
                            [this](const QByteArray &) { return transmitDelay ? local + *transmitDelay : -1; }});
        QString error;
        started = clock.start(QStringLiteral("127.0.0.1"), Domain, mode, &error);
    }

    void deliver(const PtpMessage &message, bool event = false)
    {
        const QByteArray bytes = message.encode();
        clock.handleMessage(bytes.constData(), int(bytes.size()), local, event);
    }

    void tick() { clock.tick(local); }

    int count(quint8 type) const
    {
        return int(std::count_if(sent.begin(), sent.end(), [&](const Sent &s) { return s.message.messageType == type; }));
    }

    bool started = false;
};

// A remote master whose time is offset + local × (1 + drift), reached over a fixed path delay.
struct FakeMaster
{
    PtpPortIdentity port;
    ForeignMaster dataset;
    qint64 offset = 7 * Second;
    double drift = 0;
    qint64 pathDelay = 40'000;
    quint16 sequence = 0;
    qint64 driftOrigin = 500 * Second;

    explicit FakeMaster(quint8 id, quint8 priority1 = 128)
    {
        port = {0x00, 0x1B, 0x21, 0xFF, 0xFE, 0x00, 0x00, id, 0x00, 0x01};
        dataset.priority1 = priority1;
        dataset.clockClass = 248;
        dataset.clockAccuracy = 0xFE;
        dataset.offsetScaledLogVariance = 0xFFFF;
        dataset.priority2 = 128;
        std::copy_n(port.begin(), 8, dataset.grandmasterIdentity.begin());
    }

    qint64 timeAt(qint64 local) const
    {
        return offset + local + qint64(double(local - driftOrigin) * drift);
    }

    PtpMessage header(quint8 type) const
    {
        PtpMessage m;
        m.messageType = type;
        m.domainNumber = Domain;
        m.sourcePortIdentity = port;
        m.sequenceId = sequence;
        return m;
    }

    PtpMessage announce() const
    {
        PtpMessage m = header(PtpMessage::Announce);
        m.priority1 = dataset.priority1;
        m.clockClass = dataset.clockClass;
        m.clockAccuracy = dataset.clockAccuracy;
        m.offsetScaledLogVariance = dataset.offsetScaledLogVariance;
        m.priority2 = dataset.priority2;
        m.grandmasterIdentity = dataset.grandmasterIdentity;
        return m;
    }

    // A two-step Sync received now, and its Follow_Up carrying the time it left the master.
    void sync(Harness &h, qint64 extraOffset = 0)
    {
        PtpMessage sync = header(PtpMessage::Sync);
        sync.flags = PtpMessage::TwoStepFlag;
        sync.correctionNs = 300;
        PtpMessage followUp = header(PtpMessage::FollowUp);
        followUp.timestampNs = timeAt(h.local - pathDelay) + extraOffset - 300 - 200;
        followUp.correctionNs = 200;
        h.deliver(sync, true);
        h.deliver(followUp);
        ++sequence;
    }

    // Answers every Delay_Req the clock sent since `from`.
    void answerDelayRequests(Harness &h, std::size_t from) const
    {
        for (std::size_t i = from; i < h.sent.size(); ++i) {
            const PtpMessage &request = h.sent[i].message;
            if (request.messageType != PtpMessage::DelayReq)
                continue;
            PtpMessage response = header(PtpMessage::DelayResp);
            response.sequenceId = request.sequenceId;
            response.requestingPortIdentity = request.sourcePortIdentity;
            response.correctionNs = 100;
            response.timestampNs = timeAt(h.local + h.transmitDelay.value_or(0) + pathDelay) + 100;
            h.deliver(response);
        }
    }

    // Runs the clock for `duration` in 5 ms ticks with this master announcing every second,
    // syncing every 125 ms and answering Delay_Req when `answer` is set.
    void run(Harness &h, qint64 duration, bool answer = true)
    {
        const qint64 end = h.local + duration;
        while (h.local < end) {
            h.local += 5 * Ms;
            const qint64 phase = h.local % Second;
            if (phase == 0)
                h.deliver(announce());
            if (phase % (125 * Ms) == 0)
                sync(h);
            const std::size_t before = h.sent.size();
            h.tick();
            if (answer)
                answerDelayRequests(h, before);
        }
    }
};

QByteArray bytesOf(const PtpPortIdentity &port)
{
    return QByteArray(reinterpret_cast<const char *>(port.data()), 8);
}

// A change of now() between two ticks that is not the local time that passed.
struct TimeJump
{
    qint64 size;
    bool locked;
    QString grandmaster;
};

// Runs the clock in 5 ms ticks next to the active masters (each announcing every second, syncing
// every 125 ms and answering Delay_Req) and returns every jump of now() beyond 10 us.
std::vector<TimeJump> runWatchingTime(Harness &h, std::vector<FakeMaster *> active, qint64 duration)
{
    std::vector<TimeJump> jumps;
    const qint64 end = h.local + duration;
    qint64 lastNow = h.clock.now();
    while (h.local < end) {
        const qint64 lastLocal = h.local;
        h.local += 5 * Ms;
        for (FakeMaster *master : active) {
            if (h.local % Second == 0)
                h.deliver(master->announce());
            if (h.local % (125 * Ms) == 0)
                master->sync(h);
        }
        const std::size_t before = h.sent.size();
        h.tick();
        for (FakeMaster *master : active)
            master->answerDelayRequests(h, before);
        const qint64 now = h.clock.now();
        const qint64 jump = (now - lastNow) - (h.local - lastLocal);
        if (std::abs(jump) > 10'000) {
            const PtpStatus status = h.clock.status();
            jumps.push_back({jump, status.locked, status.grandmaster});
        }
        lastNow = now;
    }
    return jumps;
}

// Counts the heap allocations of the calling thread, for the real-time readers of the clock.
thread_local qint64 allocations = 0;

} // namespace

Q_DECLARE_METATYPE(ForeignMaster)

class TestPtpClock : public QObject
{
    Q_OBJECT

private slots:
    void formatsClockIdentity()
    {
        QCOMPARE(formatClockIdentity(QByteArray::fromHex("02c0defffe123456")), QStringLiteral("02-C0-DE-FF-FE-12-34-56"));
        QCOMPARE(formatClockIdentity(QByteArray::fromHex("0a")), QStringLiteral("0A"));
        QCOMPARE(formatClockIdentity(QByteArray()), QString());
    }

    void bestMasterComparison_data()
    {
        QTest::addColumn<ForeignMaster>("winner");
        QTest::addColumn<ForeignMaster>("loser");
        const ForeignMaster base = FakeMaster(5, 128).dataset;
        auto tweak = [&](auto change) {
            ForeignMaster m = base;
            change(m);
            return m;
        };
        QTest::newRow("priority1") << tweak([](auto &m) { m.priority1 = 127; }) << base;
        QTest::newRow("priority1 outranks clockClass")
            << tweak([](auto &m) { m.priority1 = 127; m.clockClass = 255; }) << tweak([](auto &m) { m.clockClass = 6; });
        QTest::newRow("clockClass") << tweak([](auto &m) { m.clockClass = 6; }) << base;
        QTest::newRow("clockClass outranks accuracy")
            << tweak([](auto &m) { m.clockClass = 6; m.clockAccuracy = 0xFE; })
            << tweak([](auto &m) { m.clockAccuracy = 0x20; });
        QTest::newRow("clockAccuracy") << tweak([](auto &m) { m.clockAccuracy = 0x21; }) << base;
        QTest::newRow("variance") << tweak([](auto &m) { m.offsetScaledLogVariance = 0x4E5D; }) << base;
        QTest::newRow("variance outranks priority2")
            << tweak([](auto &m) { m.offsetScaledLogVariance = 0x4E5D; m.priority2 = 255; })
            << tweak([](auto &m) { m.priority2 = 0; });
        QTest::newRow("priority2") << tweak([](auto &m) { m.priority2 = 1; }) << base;
        QTest::newRow("identity breaks a tie") << FakeMaster(4, 128).dataset << FakeMaster(5, 128).dataset;
        QTest::newRow("priority2 outranks identity")
            << tweak([](auto &m) { m.priority2 = 1; }) << FakeMaster(4, 128).dataset;
    }

    void bestMasterComparison()
    {
        QFETCH(ForeignMaster, winner);
        QFETCH(ForeignMaster, loser);
        QVERIFY(winner.beats(loser));
        QVERIFY(!loser.beats(winner));
        QVERIFY(!winner.beats(winner));
    }

    void stoppedClockReportsNothing()
    {
        PtpClock clock;
        clock.setPresetIdentity(ownIdentity);
        const PtpStatus status = clock.status();
        QVERIFY(!status.running && !status.locked && !status.grandmasterHere);
        QVERIFY(status.grandmaster.isEmpty());
        QCOMPARE(status.sampleCount, 0);
        QCOMPARE(clock.grandmasterIdentity(), ownIdentity);
        const qint64 tai = QDateTime::currentMSecsSinceEpoch() * Ms + 37 * Second;
        QVERIFY(std::abs(clock.now() - tai) < 1000 * Ms);
    }

    void masterAnnouncesAndSyncsOnSchedule()
    {
        Harness h(2);
        QVERIFY(h.started);
        QVERIFY(h.clock.status().grandmasterHere);
        const qint64 start = h.local;
        for (int i = 0; i < 400; ++i) { // 2 s of 5 ms ticks, the first at the start
            h.tick();
            h.local += 5 * Ms;
        }
        QCOMPARE(h.count(PtpMessage::Announce), 2);
        QCOMPARE(h.count(PtpMessage::Sync), 16);
        QCOMPARE(h.count(PtpMessage::FollowUp), 16);

        const auto &first = h.sent.front();
        QCOMPARE(first.message.messageType, quint8(PtpMessage::Announce));
        QVERIFY(!first.event);
        QCOMPARE(first.message.flags, quint16(0x000C));
        QCOMPARE(first.message.controlField, quint8(5));
        QCOMPARE(first.message.currentUtcOffset, qint16(37));
        QCOMPARE(first.message.priority1, quint8(250));
        QCOMPARE(first.message.clockClass, quint8(248));
        QCOMPARE(first.message.priority2, quint8(250));
        QCOMPARE(first.message.timeSource, quint8(0xA0));
        QCOMPARE(bytesOf(first.message.sourcePortIdentity), ownIdentity);
        QCOMPARE(first.message.sourcePortIdentity[9], quint8(1));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(first.message.grandmasterIdentity.data()), 8), ownIdentity);

        qint64 lastOrigin = -1;
        for (std::size_t i = 0; i + 1 < h.sent.size(); ++i) {
            const PtpMessage &sync = h.sent[i].message;
            if (sync.messageType != PtpMessage::Sync)
                continue;
            const PtpMessage &followUp = h.sent[i + 1].message;
            QVERIFY(h.sent[i].event && !h.sent[i + 1].event);
            QCOMPARE(sync.flags, quint16(0x0208));
            QCOMPARE(sync.logMessageInterval, qint8(-3));
            QCOMPARE(followUp.messageType, quint8(PtpMessage::FollowUp));
            QCOMPARE(followUp.sequenceId, sync.sequenceId);
            QCOMPARE(followUp.controlField, quint8(2));
            if (lastOrigin >= 0)
                QCOMPARE(followUp.timestampNs - lastOrigin, 125 * Ms);
            lastOrigin = followUp.timestampNs;
        }
        QCOMPARE(h.clock.now() - lastOrigin, h.local - (start + 1875 * Ms));
    }

    void masterAnswersDelayReqOnTheEventSocketOnly()
    {
        Harness h(2);
        h.tick();
        h.sent.clear();
        FakeMaster slave(9);
        PtpMessage request = slave.header(PtpMessage::DelayReq);
        request.sequenceId = 4242;
        request.correctionNs = 1500;
        h.deliver(request, false);
        QVERIFY(h.sent.empty());
        h.local += 3 * Ms;
        h.deliver(request, true);
        QCOMPARE(h.sent.size(), std::size_t(1));
        const auto &response = h.sent.front();
        QVERIFY(!response.event);
        QCOMPARE(response.message.messageType, quint8(PtpMessage::DelayResp));
        QCOMPARE(response.message.sequenceId, quint16(4242));
        QCOMPARE(response.message.controlField, quint8(3));
        QCOMPARE(response.message.correctionNs, qint64(1500));
        QCOMPARE(response.message.requestingPortIdentity, slave.port);
        QCOMPARE(response.message.timestampNs, h.clock.now());
    }

    void slaveLocksToMasterTime()
    {
        Harness h(1);
        FakeMaster master(1);
        h.deliver(master.announce());
        h.tick();
        PtpStatus status = h.clock.status();
        QVERIFY(!status.grandmasterHere);
        QCOMPARE(status.grandmaster, QStringLiteral("00-1B-21-FF-FE-00-00-01"));
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(master.port));

        for (int i = 1; i <= 8; ++i) {
            QVERIFY(!h.clock.status().locked);
            master.run(h, 125 * Ms);
            QCOMPARE(h.clock.status().sampleCount, i);
        }
        QVERIFY(h.clock.status().locked);

        // Long enough for the rate history (16 s) to forget the samples taken before the first
        // Delay_Resp, which still lacked the path delay.
        const std::size_t before = h.sent.size();
        master.run(h, 20 * Second);
        int requests = 0;
        for (std::size_t i = before; i < h.sent.size(); ++i) {
            if (h.sent[i].message.messageType == PtpMessage::DelayReq) {
                ++requests;
                QVERIFY(h.sent[i].event);
                QCOMPARE(h.sent[i].message.logMessageInterval, qint8(0x7F));
            }
        }
        QCOMPARE(requests, 20);
        status = h.clock.status();
        QVERIFY(status.locked);
        QCOMPARE(status.steps, 1);
        QVERIFY2(std::abs(h.clock.now() - master.timeAt(h.local)) < 1000, "now() follows the master");
        QVERIFY(std::abs(status.pathDelayUs - 40.0) < 1.0);
        QVERIFY(std::abs(status.offsetUs) < 1.0);
        QVERIFY(std::abs(status.ratePpm) < 0.5);
    }

    void rateEstimate_data()
    {
        QTest::addColumn<double>("driftPpm");
        QTest::addColumn<double>("expectedPpm");
        QTest::newRow("none") << 0.0 << 0.0;
        QTest::newRow("fast 120 ppm") << 120.0 << 120.0;
        QTest::newRow("slow 300 ppm") << -300.0 << -300.0;
        QTest::newRow("fast 800 ppm, clamped") << 800.0 << 500.0;
        QTest::newRow("slow 800 ppm, clamped") << -800.0 << -500.0;
    }

    void rateEstimate()
    {
        QFETCH(double, driftPpm);
        QFETCH(double, expectedPpm);
        Harness h(1);
        FakeMaster master(1);
        master.drift = driftPpm * 1e-6;
        h.deliver(master.announce());
        master.run(h, 20 * Second, false); // the history then no longer holds the first, rate-less samples
        const PtpStatus status = h.clock.status();
        QVERIFY2(std::abs(status.ratePpm - expectedPpm) < 2.0, qPrintable(QString::number(status.ratePpm)));
        QCOMPARE(status.steps, 1); // only the first measurement
        if (std::abs(driftPpm) <= 500)
            QVERIFY(std::abs(h.clock.now() - master.timeAt(h.local)) < 50'000);
    }

    void stepsOnlyBeyondTwoMilliseconds()
    {
        Harness h(1);
        FakeMaster master(1);
        h.deliver(master.announce());
        master.run(h, 3 * Second, false); // without Delay_Resp the measured offset is the Sync's
        QVERIFY(h.clock.status().locked);
        QCOMPARE(h.clock.status().steps, 1);

        h.local += 5 * Ms;
        master.sync(h, 1'500'000); // 1.5 ms: slewed
        QCOMPARE(h.clock.status().steps, 1);
        QVERIFY(h.clock.status().locked);

        master.offset += 3 * Ms;
        h.local += 5 * Ms;
        master.sync(h);
        const PtpStatus status = h.clock.status();
        QCOMPARE(status.steps, 2);
        QVERIFY(!status.locked);
        QVERIFY2(std::abs(status.offsetUs - 3000) < 400, qPrintable(QString::number(status.offsetUs)));
        QVERIFY(std::abs(h.clock.now() - master.timeAt(h.local)) < 100'000);

        master.run(h, 2 * Second, false);
        QVERIFY(h.clock.status().locked);
        QCOMPARE(h.clock.status().steps, 2);
        QVERIFY(std::abs(h.clock.now() - (master.timeAt(h.local) - master.pathDelay)) < 1000);
    }

    void ignoresWhatIsNotForIt()
    {
        Harness h(1);
        FakeMaster master(1);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        const PtpStatus before = h.clock.status();

        PtpMessage sync = master.header(PtpMessage::Sync);
        sync.flags = PtpMessage::TwoStepFlag;
        sync.sequenceId = 900;
        h.deliver(sync, true);
        PtpMessage followUp = master.header(PtpMessage::FollowUp);
        followUp.sequenceId = 901; // not the pending Sync's
        followUp.timestampNs = master.timeAt(h.local);
        h.deliver(followUp);
        QCOMPARE(h.clock.status().sampleCount, before.sampleCount);

        FakeMaster stranger(2, 10);
        PtpMessage oneStep = stranger.header(PtpMessage::Sync);
        oneStep.timestampNs = master.timeAt(h.local) + 50 * Ms;
        h.deliver(oneStep, true); // not from the parent
        QCOMPARE(h.clock.status().sampleCount, before.sampleCount);

        PtpMessage otherDomain = stranger.announce();
        otherDomain.domainNumber = Domain + 1;
        h.deliver(otherDomain);
        PtpMessage mine = stranger.announce();
        std::copy_n(ownIdentity.constData(), 8, mine.sourcePortIdentity.begin());
        h.deliver(mine);
        QCOMPARE(h.clock.foreignMasterCount(), 1);

        PtpMessage response = master.header(PtpMessage::DelayResp);
        response.requestingPortIdentity = stranger.port; // another clock's answer
        response.timestampNs = master.timeAt(h.local) + 10 * Ms;
        h.deliver(response);
        master.sync(h);
        QVERIFY(std::abs(h.clock.status().pathDelayUs - 40.0) < 1.0);
        QCOMPARE(h.clock.status().grandmaster, before.grandmaster);
    }

    void autoClockFollowsBetterMasterThenTakesOver()
    {
        Harness h(0);
        FakeMaster master(1, 100);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        PtpStatus status = h.clock.status();
        QVERIFY(status.locked && !status.grandmasterHere);
        QCOMPARE(status.grandmaster, QStringLiteral("00-1B-21-FF-FE-00-00-01"));

        // The master falls silent: 4 s later it is forgotten and this clock leads, with no jump.
        qint64 lastNow = h.clock.now();
        qint64 lastLocal = h.local;
        qint64 becameMasterAt = -1;
        h.sent.clear();
        for (int i = 0; i < 1200; ++i) {
            h.local += 5 * Ms;
            h.tick();
            const qint64 now = h.clock.now();
            QVERIFY(std::abs((now - lastNow) - (h.local - lastLocal)) < 1000);
            lastNow = now;
            lastLocal = h.local;
            if (becameMasterAt < 0 && h.clock.status().grandmasterHere)
                becameMasterAt = h.local;
        }
        QVERIFY(becameMasterAt > 0);
        const qint64 silence = becameMasterAt - (h.local - 1200 * 5 * Ms) + 120 * Ms; // since the last Sync
        QVERIFY2(silence > 4 * Second && silence < 4400 * Ms, qPrintable(QString::number(silence)));
        status = h.clock.status();
        QCOMPARE(status.grandmaster, formatClockIdentity(ownIdentity));
        QCOMPARE(h.clock.grandmasterIdentity(), ownIdentity);
        const auto announce = std::find_if(h.sent.begin(), h.sent.end(), [](const auto &s) {
            return s.message.messageType == PtpMessage::Announce;
        });
        QVERIFY(announce != h.sent.end());
        QCOMPARE(bytesOf(announce->message.sourcePortIdentity), ownIdentity);
    }

    void autoClockLeadsOnlyWhenAlone_data()
    {
        QTest::addColumn<int>("neighbourPriority"); // 0: no neighbour
        QTest::addColumn<bool>("leads");
        QTest::newRow("alone") << 0 << true;
        QTest::newRow("next to a worse master") << 251 << false;
    }

    void autoClockLeadsOnlyWhenAlone()
    {
        QFETCH(int, neighbourPriority);
        QFETCH(bool, leads);
        Harness h(0);
        FakeMaster neighbour(3, quint8(neighbourPriority));
        const qint64 start = h.local;
        qint64 ledAt = -1;
        while (h.local - start < 8 * Second) {
            h.local += 5 * Ms;
            if (neighbourPriority && h.local % Second == 0)
                h.deliver(neighbour.announce());
            h.tick();
            if (ledAt < 0 && h.clock.status().grandmasterHere)
                ledAt = h.local - start;
        }
        QCOMPARE(ledAt > 0, leads);
        if (leads)
            QVERIFY(ledAt > 3 * Second && ledAt <= 3 * Second + 5 * Ms);
        else
            QVERIFY(h.clock.status().grandmaster.isEmpty());
    }

    void masterYieldsOnlyInAutomaticMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("automatic") << 0;
        QTest::newRow("master only") << 2;
    }

    void masterYieldsOnlyInAutomaticMode()
    {
        QFETCH(int, mode);
        Harness h(mode);
        const qint64 start = h.local;
        while (!h.clock.status().grandmasterHere && h.local - start < 5 * Second) {
            h.local += 5 * Ms;
            h.tick();
        }
        QVERIFY(h.clock.status().grandmasterHere);
        FakeMaster better(1, 10);
        const qint64 before = h.clock.now();
        h.deliver(better.announce());
        h.local += 5 * Ms;
        h.tick();
        QCOMPARE(h.clock.now() - before, 5 * Ms); // leaving the master role keeps time continuous
        const PtpStatus status = h.clock.status();
        QCOMPARE(status.grandmasterHere, mode == 2);
        if (mode == 0)
            QCOMPARE(status.grandmaster, QStringLiteral("00-1B-21-FF-FE-00-00-01"));
    }

    void equalCandidatesAreOrderedByIdentity()
    {
        Harness h(1);
        FakeMaster higher(7, 128);
        FakeMaster lower(6, 128);
        h.deliver(higher.announce());
        h.tick();
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(higher.port));
        h.deliver(lower.announce());
        h.tick();
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(lower.port));
    }

    void lockIsDroppedWithoutSync()
    {
        Harness h(1);
        FakeMaster master(1);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        QVERIFY(h.clock.status().locked);
        const qint64 lastSync = h.local;
        while (h.local - lastSync < 2 * Second) {
            h.local += 5 * Ms;
            if (h.local % Second == 0)
                h.deliver(master.announce());
            h.tick();
            QVERIFY(h.clock.status().locked);
        }
        h.local += 5 * Ms;
        h.tick();
        QVERIFY(!h.clock.status().locked);
        QCOMPARE(h.clock.status().grandmaster, QStringLiteral("00-1B-21-FF-FE-00-00-01"));
    }

    void announceFloodStaysBounded()
    {
        Harness h(1);
        FakeMaster master(1, 100);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        const qint64 syncsBefore = h.clock.status().sampleCount;

        // 200 fresh senders every 5 ms for 3 s, each worse than the master.
        int maxCount = 0;
        quint32 next = 0;
        const qint64 end = h.local + 3 * Second;
        while (h.local < end) {
            for (int i = 0; i < 200; ++i, ++next) {
                FakeMaster intruder(0, 200);
                qToBigEndian(next, intruder.port.data() + 4);
                h.deliver(intruder.announce());
            }
            maxCount = std::max(maxCount, h.clock.foreignMasterCount());
            master.run(h, 5 * Ms);
        }
        QVERIFY2(maxCount <= PtpClock::ForeignMasterCapacity, qPrintable(QString::number(maxCount)));
        // 8 admissions at once and 8 a second after that, minus the master's own place.
        QVERIFY2(maxCount <= 1 + PtpClock::AdmissionBurst + 3 * PtpClock::AdmissionsPerSecond,
                 qPrintable(QString::number(maxCount)));
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(master.port));
        QVERIFY(h.clock.status().locked);
        QCOMPARE(h.clock.status().sampleCount, syncsBefore + 24);

        // A better master is let in at once, however many tokens the flood has used.
        FakeMaster better(2, 50);
        h.deliver(better.announce());
        h.local += 5 * Ms;
        h.tick();
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(better.port));
        QVERIFY(h.clock.foreignMasterCount() <= PtpClock::ForeignMasterCapacity);

        // Once the flood stops, its entries expire and only the announcing masters remain.
        for (int i = 0; i < 1000; ++i) {
            h.local += 5 * Ms;
            if (h.local % Second == 0) {
                h.deliver(master.announce());
                h.deliver(better.announce());
            }
            h.tick();
        }
        QCOMPARE(h.clock.foreignMasterCount(), 2);
    }

    void fullTableMakesRoomForABetterNewcomer()
    {
        Harness h(1);
        FakeMaster master(1, 100);
        std::vector<FakeMaster> crowd;
        for (quint8 id = 10; id < 10 + PtpClock::ForeignMasterCapacity - 1; ++id)
            crowd.emplace_back(id, 220);
        FakeMaster newcomer(40, 150);
        auto runFor = [&](qint64 duration, bool masterAnnounces, bool newcomerAnnounces) {
            const qint64 end = h.local + duration;
            while (h.local < end) {
                h.local += 5 * Ms;
                if (h.local % Second == 0) {
                    for (const FakeMaster &member : crowd)
                        h.deliver(member.announce());
                    if (masterAnnounces)
                        h.deliver(master.announce());
                    if (newcomerAnnounces)
                        h.deliver(newcomer.announce());
                }
                h.tick();
                const QByteArray followed = h.clock.grandmasterIdentity();
                QVERIFY2(followed == ownIdentity || followed == bytesOf(master.port)
                             || followed == bytesOf(newcomer.port),
                         "a crowd member was followed");
            }
        };
        runFor(3 * Second, true, false);
        QCOMPARE(h.clock.foreignMasterCount(), PtpClock::ForeignMasterCapacity);
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(master.port));
        // The master falls silent while the newcomer starts announcing into the full table: it takes
        // the worst entry's place, so it is ready to be followed the moment the master expires.
        runFor(6 * Second, false, true);
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(newcomer.port));
        QVERIFY(h.clock.foreignMasterCount() <= PtpClock::ForeignMasterCapacity);
    }

    void timeStaysContinuousThroughChangesOfMaster_data()
    {
        QTest::addColumn<int>("scene");
        QTest::newRow("first lock") << 0;
        QTest::newRow("a better master appears") << 1;
        QTest::newRow("the followed master goes away") << 2;
    }

    // now() never falls back to the time base made at start: it runs on from its last estimate and
    // moves to a master's time by one step, once locked to that master.
    void timeStaysContinuousThroughChangesOfMaster()
    {
        QFETCH(int, scene);
        Harness h(0);
        FakeMaster first(1, 100);
        FakeMaster second(2, scene == 1 ? 50 : 120);
        second.offset = first.offset - 37 * Second; // a master on another timescale
        const QString secondName = formatClockIdentity(bytesOf(second.port));

        std::vector<FakeMaster *> before{&first};
        if (scene == 2)
            before.push_back(&second);
        std::vector<TimeJump> jumps = runWatchingTime(h, before, 3 * Second);
        QVERIFY(h.clock.status().locked);
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(first.port));
        if (scene == 0) {
            QCOMPARE(jumps.size(), std::size_t(1));
            QVERIFY2(jumps.front().locked, "the step waits for the lock");
            QVERIFY(std::abs(h.clock.now() - first.timeAt(h.local)) < 1000);
            return;
        }

        jumps = runWatchingTime(h, {&second}, 9 * Second);
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(second.port));
        QVERIFY(h.clock.status().locked);
        QCOMPARE(jumps.size(), std::size_t(1));
        QVERIFY2(jumps.front().locked && jumps.front().grandmaster == secondName, "one step, once locked to the new master");
        QVERIFY2(std::abs(jumps.front().size + 37 * Second) < 100'000, qPrintable(QString::number(jumps.front().size)));
        QVERIFY2(std::abs(h.clock.now() - second.timeAt(h.local)) < 10'000, qPrintable(QString::number(h.clock.now() - second.timeAt(h.local))));
    }

    void announceFromTooManyStepsAwayIsIgnored_data()
    {
        QTest::addColumn<int>("stepsRemoved");
        QTest::addColumn<bool>("followed");
        QTest::newRow("254") << 254 << true;
        QTest::newRow("255") << 255 << false;
        QTest::newRow("65535") << 65535 << false;
    }

    void announceFromTooManyStepsAwayIsIgnored()
    {
        QFETCH(int, stepsRemoved);
        QFETCH(bool, followed);
        Harness h(1);
        FakeMaster master(1, 100);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        QVERIFY(h.clock.status().locked);

        FakeMaster distant(9, 0);
        PtpMessage announce = distant.announce();
        announce.stepsRemoved = quint16(stepsRemoved);
        h.deliver(announce);
        master.run(h, 20 * Ms);
        QCOMPARE(h.clock.grandmasterIdentity(), bytesOf(followed ? distant.port : master.port));
        QCOMPARE(h.clock.foreignMasterCount(), followed ? 2 : 1);
        QCOMPARE(h.clock.status().locked, !followed);
    }

    // The kernel's transmit stamp, not the reading before sendto, times a master's Sync (its
    // Follow_Up) and a slave's Delay_Req (its path delay).
    void transmitStampsTimeEventMessages()
    {
        Harness master(2);
        master.transmitDelay = 25'000;
        master.tick();
        const auto followUp = std::find_if(master.sent.begin(), master.sent.end(), [](const auto &sent) {
            return sent.message.messageType == PtpMessage::FollowUp;
        });
        QVERIFY(followUp != master.sent.end());
        QCOMPARE(followUp->message.timestampNs - master.clock.now(), 25'000);
        QCOMPARE(master.clock.kernelStampCount(), 1);
        QCOMPARE(master.clock.programStampCount(), 0);

        Harness slave(1);
        slave.transmitDelay = 30'000;
        FakeMaster peer(1);
        slave.deliver(peer.announce());
        peer.run(slave, 4 * Second);
        QVERIFY(slave.clock.status().locked);
        QVERIFY2(std::abs(slave.clock.status().pathDelayUs - 40.0) < 1.0,
                 qPrintable(QString::number(slave.clock.status().pathDelayUs)));
        QVERIFY2(std::abs(slave.clock.now() - peer.timeAt(slave.local)) < 10'000, qPrintable(QString::number(slave.clock.now() - peer.timeAt(slave.local))));
    }

    // What the AES67 sender calls every millisecond neither allocates nor waits while the receive
    // thread holds the lock (here: inside a send).
    void realTimeReadersNeitherAllocateNorWait()
    {
        Harness h(1);
        FakeMaster master(1, 100);
        h.deliver(master.announce());
        master.run(h, 2 * Second);
        QVERIFY(h.clock.status().locked);

        const qint64 allocationsBefore = allocations;
        qint64 sum = 0;
        for (int i = 0; i < 1000; ++i) {
            sum += h.clock.now();
            const PtpClock::Grandmaster grandmaster = h.clock.grandmaster();
            sum += grandmaster.identity[7] + grandmaster.known;
        }
        QCOMPARE(allocations - allocationsBefore, 0);
        QVERIFY(sum != 0);
        QCOMPARE(h.clock.grandmaster(), (PtpClock::Grandmaster{master.dataset.grandmasterIdentity, true}));

        bool answered = false;
        h.duringSend = [&] {
            auto reader = std::async(std::launch::async, [&] {
                (void)h.clock.now();
                (void)h.clock.grandmaster();
            });
            answered = reader.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        };
        h.local = (h.local / Second + 1) * Second; // the next Delay_Req is due
        h.tick();
        h.duringSend = nullptr;
        QVERIFY2(answered, "now() waited for the receive thread's lock");
    }

    void grandmasterIsKnownOnceChosen_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("slave only") << 1;
        QTest::newRow("automatic") << 0;
    }

    void grandmasterIsKnownOnceChosen()
    {
        QFETCH(int, mode);
        Harness h(mode);
        h.tick();
        PtpClock::Grandmaster listening = h.clock.grandmaster();
        QVERIFY(!listening.known);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(listening.identity.data()), 8), ownIdentity);
        FakeMaster master(1, 100);
        h.deliver(master.announce());
        h.tick();
        QCOMPARE(h.clock.grandmaster(), (PtpClock::Grandmaster{master.dataset.grandmasterIdentity, true}));

        Harness leader(2);
        QVERIFY(leader.clock.grandmaster().known);
    }

    void statusObjectKeys()
    {
        Harness h(2);
        h.tick();
        const QJsonObject json = h.clock.status().toJson();
        QCOMPARE(json.keys(), (QStringList{"domain", "grandmaster", "grandmaster_here", "locked", "offset_us",
                                           "path_delay_us", "rate_ppm", "steps"}));
        QCOMPARE(json["grandmaster"].toString(), QStringLiteral("02-AA-BB-FF-FE-00-00-AA"));
        QCOMPARE(json["grandmaster_here"].toBool(), true);
        QCOMPARE(json["locked"].toBool(), true);
        QCOMPARE(json["domain"].toInt(), Domain);
    }
};

void *operator new(std::size_t size)
{
    ++allocations;
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

QTEST_GUILESS_MAIN(TestPtpClock)
#include "tst_ptpclock.moc"
