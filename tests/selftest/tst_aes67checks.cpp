// The AES67 runner's receive side: how it counts an RTP stream and reads SAP.
#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/aes67/Aes67Sdp.h"
#include "outputs/aes67/SapPacket.h"
#include "selftest/RtpStreamChecker.h"
#include "selftest/SapAnnouncementFlags.h"

#include <QtTest>

#include <vector>

namespace {

const QHostAddress group1(QStringLiteral("239.69.93.1"));
const QHostAddress group2(QStringLiteral("239.69.93.2"));

// A packet of `channels` channels whose first frame holds `level` on channel `loudChannel`.
QByteArray packet(quint16 sequence, quint32 timestamp, int channels = 8, int loudChannel = -1, float level = 0.0f)
{
    std::vector<float> frames(size_t(48 * channels), 0.0f);
    if (loudChannel >= 0)
        frames[size_t(loudChannel)] = level;
    QByteArray bytes(Aes67RtpPacket::sizeFor(channels), '\0');
    Aes67RtpPacket::write(reinterpret_cast<uchar *>(bytes.data()), sequence, timestamp, 0x1234, frames.data(), channels,
                          0, channels);
    return bytes;
}

void feed(const RtpStreamChecker &checker, const QByteArray &bytes, const QHostAddress &destination = group1,
          std::optional<qint64> ptpNs = std::nullopt)
{
    checker.examine(bytes.constData(), bytes.size(), destination, ptpNs);
}

QByteArray sap(bool deletion, const QString &address, int channels, int domain)
{
    const QByteArray sdp = buildSdp(QStringLiteral("Zelvo Test"), QStringLiteral("10.67.0.1"), address, 32, channels,
                                    domain, 7, 1, QByteArray::fromHex("02aabbfffe000001"));
    return buildSapPacket(deletion, 7, QStringLiteral("10.67.0.1"), sdp);
}

} // namespace

class TestAes67Checks : public QObject
{
    Q_OBJECT

private slots:
    void sequenceAndTimestampSteps_data()
    {
        QTest::addColumn<QList<quint16>>("sequences");
        QTest::addColumn<QList<quint32>>("timestamps");
        QTest::addColumn<int>("gaps");
        QTest::addColumn<int>("badSteps");
        QTest::newRow("first packet alone") << QList<quint16>{500} << QList<quint32>{77} << 0 << 0;
        QTest::newRow("in order") << QList<quint16>{1, 2, 3} << QList<quint32>{0, 48, 96} << 0 << 0;
        QTest::newRow("sequence wraps") << QList<quint16>{65534, 65535, 0, 1} << QList<quint32>{0, 48, 96, 144} << 0 << 0;
        QTest::newRow("timestamp wraps by 48") << QList<quint16>{1, 2} << QList<quint32>{0xFFFFFFE8u, 0x18} << 0 << 0;
        QTest::newRow("lost packet") << QList<quint16>{1, 3} << QList<quint32>{0, 96} << 1 << 1;
        QTest::newRow("repeated packet") << QList<quint16>{1, 1} << QList<quint32>{0, 0} << 1 << 1;
        QTest::newRow("timestamp jumps") << QList<quint16>{1, 2, 3} << QList<quint32>{0, 48, 4848} << 0 << 1;
    }

    void sequenceAndTimestampSteps()
    {
        QFETCH(QList<quint16>, sequences);
        QFETCH(QList<quint32>, timestamps);
        RtpStreamStats stats;
        const RtpStreamChecker checker(group1, 8, &stats);
        for (qsizetype i = 0; i < sequences.size(); ++i)
            feed(checker, packet(sequences[i], timestamps[i]));
        QCOMPARE(stats.packets, int(sequences.size()));
        QTEST(stats.gaps, "gaps");
        QTEST(stats.badSteps, "badSteps");
        QCOMPARE(stats.badSize, 0);
        QCOMPARE(stats.lastSequence, sequences.back());
        QCOMPARE(stats.lastTimestamp, timestamps.back());
    }

    // A datagram of another size counts only as such, and does not become the previous packet.
    void otherSizesCountOnlyAsBadSize()
    {
        RtpStreamStats stats;
        const RtpStreamChecker checker(group1, 8, &stats);
        feed(checker, packet(1, 0));
        feed(checker, packet(2, 48, 2)); // the 300-byte packet of the other stream
        feed(checker, packet(2, 48).left(1163));
        feed(checker, QByteArray());
        feed(checker, packet(2, 48));
        QCOMPARE(stats.badSize, 3);
        QCOMPARE(stats.packets, 2);
        QCOMPARE(stats.gaps, 0);
        QCOMPARE(stats.badSteps, 0);
    }

    void onlyItsOwnGroupOrAnUnknownDestination()
    {
        RtpStreamStats stats;
        const RtpStreamChecker checker(group1, 8, &stats);
        feed(checker, packet(1, 0), group2);
        QCOMPARE(stats.packets + stats.badSize, 0);
        feed(checker, packet(1, 0), QHostAddress());
        feed(checker, packet(2, 48), group1);
        QCOMPARE(stats.packets, 2);
    }

    void peaksOfRoutedAndOtherChannels()
    {
        RtpStreamStats stats;
        const RtpStreamChecker checker(group1, 8, &stats);
        feed(checker, packet(1, 0, 8, 1, -0.5f));
        feed(checker, packet(2, 48, 8, 0, 0.25f));
        QCOMPARE(stats.routedPeak, std::lrint(0.5 * 8388607.0) / 8388607.0);
        QCOMPARE(stats.otherPeak, 0.0);
        feed(checker, packet(3, 96, 8, 7, 1.0f / 8388607.0f));
        QCOMPARE(stats.otherPeak, 1.0 / 8388607.0); // one step of 24 bits is not silence
    }

    // PTP time 1 s + 1 ms gives sample 48048: a packet stamped 48000 lags by 48, one stamped 48096
    // leads by 48. The comparison is modulo 2^32, as RTP timestamps wrap.
    void lagAndLeadAgainstPtpTime()
    {
        RtpStreamStats stats;
        const RtpStreamChecker checker(group1, 8, &stats);
        feed(checker, packet(1, 0));
        QVERIFY(!stats.lagMeasured());
        feed(checker, packet(2, 48000), group1, 1'001'000'000);
        feed(checker, packet(3, 48096), group1, 1'001'000'000);
        QCOMPARE(stats.minLag, -48);
        QCOMPARE(stats.maxLead, 48);

        RtpStreamStats wrapped;
        const RtpStreamChecker wrappedChecker(group1, 8, &wrapped);
        const qint64 seconds = 89478; // 89478 s x 48000 = 4294944000, 23296 samples below 2^32
        feed(wrappedChecker, packet(1, 100), group1, seconds * 1'000'000'000 + 1'000'000'000);
        QCOMPARE(wrapped.minLag, qint64(48000 - 23296 - 100));
    }

    void sapFlags()
    {
        SapAnnouncementFlags flags;
        const QByteArray otherDomain = sap(false, QStringLiteral("239.69.93.1"), 8, 92);
        flags.note(otherDomain.constData(), otherDomain.size());
        QVERIFY(!flags.announced1);
        const QByteArray one = sap(false, QStringLiteral("239.69.93.1"), 8, 93);
        flags.note(one.constData(), 23);
        QVERIFY(!flags.announced1); // cut short
        flags.note(one.constData(), one.size());
        QVERIFY(flags.announced1);
        QVERIFY(!flags.announced2 && !flags.withdrawn);
        const QByteArray two = sap(false, QStringLiteral("239.69.93.2"), 8, 93);
        flags.note(two.constData(), two.size());
        QVERIFY(!flags.announced2); // 8 channels on the second stream
        const QByteArray twoOfTwo = sap(false, QStringLiteral("239.69.93.2"), 2, 93);
        flags.note(twoOfTwo.constData(), twoOfTwo.size());
        QVERIFY(flags.announced2);
    }

    void deletionNamingTheFirstStreamWithdraws()
    {
        SapAnnouncementFlags flags;
        const QByteArray other = sap(true, QStringLiteral("239.69.93.2"), 2, 93);
        flags.note(other.constData(), other.size());
        QVERIFY(!flags.withdrawn);
        QByteArray deletion = sap(true, QStringLiteral("239.69.93.1"), 8, 93);
        deletion[0] = char(0x60); // SAP version 3: not readable
        flags.note(deletion.constData(), deletion.size());
        QVERIFY(!flags.withdrawn);
        deletion[0] = char(0x24);
        flags.note(deletion.constData(), deletion.size());
        QVERIFY(flags.withdrawn);
        QVERIFY(!flags.announced1); // a deletion is no announcement
    }
};

QTEST_GUILESS_MAIN(TestAes67Checks)
#include "tst_aes67checks.moc"
