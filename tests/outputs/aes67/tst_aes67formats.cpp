// What the AES67 sender puts on the wire: RTP packets of L24 samples, the SDP of a stream and the
// SAP datagrams that carry it, and the parsers that read such datagrams back.
#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/aes67/Aes67Sdp.h"
#include "outputs/aes67/SapPacket.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Copies into a heap block of exactly the datagram's size, so a sanitizer build catches any read
// past the end (a QByteArray keeps a terminating zero behind its data).
std::unique_ptr<char[]> exactCopy(const QByteArray &bytes)
{
    auto block = std::make_unique<char[]>(std::size_t(std::max<qsizetype>(bytes.size(), 1)));
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

std::optional<SapPacket> parseSapExact(const QByteArray &bytes)
{
    const auto block = exactCopy(bytes);
    return SapPacket::parse(block.get(), bytes.size());
}

QByteArray rtpPacket(quint16 sequence, quint32 timestamp, quint32 ssrc, const std::vector<float> &frames,
                     int totalChannels, int firstChannel, int channels)
{
    QByteArray packet(Aes67RtpPacket::sizeFor(channels), '\xEE');
    Aes67RtpPacket::write(reinterpret_cast<uchar *>(packet.data()), sequence, timestamp, ssrc, frames.data(),
                          totalChannels, firstChannel, channels);
    return packet;
}

const QByteArray grandmaster = QByteArray::fromHex("02c0defffe123456");

QByteArray caseOneSdp()
{
    return buildSdp(QStringLiteral("Zelvo Playout"), QStringLiteral("192.168.1.30"), QStringLiteral("239.69.30.1"), 32,
                    8, 0, 1234, 1, grandmaster);
}

} // namespace

class TestAes67Formats : public QObject
{
    Q_OBJECT

private slots:
    void rtpHeaderIsBigEndianVersion2PayloadType96()
    {
        const std::vector<float> silence(48 * 8, 0.0f);
        const QByteArray packet = rtpPacket(0xBEEF, 0x89ABCDEF, 0x01020304, silence, 8, 0, 8);
        QCOMPARE(packet.size(), 1164);
        QCOMPARE(packet.left(12).toHex(), QByteArray("8060beef89abcdef01020304"));
        QCOMPARE(packet.mid(12), QByteArray(1152, '\0'));
        QCOMPARE(Aes67RtpPacket::sizeFor(2), 300);
    }

    void l24Samples_data()
    {
        QTest::addColumn<float>("sample");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("full scale") << 1.0f << QByteArray("7fffff");
        QTest::newRow("negative full scale") << -1.0f << QByteArray("800001");
        QTest::newRow("zero") << 0.0f << QByteArray("000000");
        QTest::newRow("one step below zero") << float(-1.0 / 8388607.0) << QByteArray("ffffff");
        // 0.5 x 8388607 = 4194303.5: the half goes to the even neighbour.
        QTest::newRow("half rounds to even") << 0.5f << QByteArray("400000");
        QTest::newRow("minus half rounds to even") << -0.5f << QByteArray("c00000");
        QTest::newRow("above full scale clips") << 2.5f << QByteArray("7fffff");
        QTest::newRow("below full scale clips") << -7.0f << QByteArray("800001");
        QTest::newRow("infinity clips") << std::numeric_limits<float>::infinity() << QByteArray("7fffff");
        QTest::newRow("minus infinity clips") << -std::numeric_limits<float>::infinity() << QByteArray("800001");
        QTest::newRow("NaN is silence") << std::numeric_limits<float>::quiet_NaN() << QByteArray("000000");
    }

    void l24Samples()
    {
        QFETCH(float, sample);
        QFETCH(QByteArray, bytes);
        std::vector<float> frames(48, 0.0f);
        frames[0] = sample;
        frames[47] = sample;
        const QByteArray packet = rtpPacket(1, 2, 3, frames, 1, 0, 1);
        QCOMPARE(packet.mid(12, 3).toHex(), bytes);
        QCOMPARE(packet.mid(12 + 47 * 3, 3).toHex(), bytes);
        QCOMPARE(packet.mid(15, 3).toHex(), QByteArray("000000"));
    }

    // Ten engine channels: the second stream carries channels 9 and 10 of every frame, in order.
    void streamTakesItsOwnChannelsFrameByFrame()
    {
        const int total = 10;
        std::vector<float> frames(size_t(48 * total));
        for (int f = 0; f < 48; ++f) {
            for (int c = 0; c < total; ++c)
                frames[size_t(f * total + c)] = float(f * total + c) / 1000.0f - 0.25f;
        }
        const QByteArray packet = rtpPacket(7, 9, 11, frames, total, 8, 2);
        QCOMPARE(packet.size(), 300);
        const auto parsed = Aes67RtpPacket::parse(packet.constData(), packet.size(), 2);
        QVERIFY(parsed);
        for (int f = 0; f < 48; ++f) {
            for (int c = 0; c < 2; ++c) {
                const double expected = std::lrint(double(frames[size_t(f * total + 8 + c)]) * 8388607.0) / 8388607.0;
                QCOMPARE(parsed->sample(f, c), expected);
            }
        }
        QVERIFY(parsed->sample(0, 0) < 0); // sign extension of the 24-bit value
    }

    void rtpParseReadsHeaderFields()
    {
        const std::vector<float> frames(48 * 2, -1.0f);
        const QByteArray packet = rtpPacket(0xFFFF, 0xFFFFFFD0, 0xCAFEBABE, frames, 2, 0, 2);
        const auto parsed = Aes67RtpPacket::parse(packet.constData(), packet.size(), 2);
        QVERIFY(parsed);
        QCOMPARE(parsed->firstByte, quint8(0x80));
        QCOMPARE(parsed->payloadType, quint8(96));
        QVERIFY(!parsed->marker);
        QCOMPARE(parsed->sequence, quint16(0xFFFF));
        QCOMPARE(parsed->timestamp, 0xFFFFFFD0u);
        QCOMPARE(parsed->ssrc, 0xCAFEBABEu);
        QCOMPARE(parsed->sample(47, 1), -1.0);
        QCOMPARE(parsed->sample(48, 0), 0.0); // outside the packet
    }

    void rtpParseRejectsOtherSizes_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("channels");
        QTest::newRow("empty") << 0 << 8;
        QTest::newRow("header only") << 12 << 8;
        QTest::newRow("one byte short") << 1163 << 8;
        QTest::newRow("one byte long") << 1165 << 8;
        QTest::newRow("size of the other stream") << 300 << 8;
        QTest::newRow("no channels") << 12 << 0;
        QTest::newRow("nine channels") << 12 + 9 * 144 << 9;
    }

    void rtpParseRejectsOtherSizes()
    {
        QFETCH(int, size);
        QFETCH(int, channels);
        const auto block = exactCopy(QByteArray(size, '\x80'));
        QVERIFY(!Aes67RtpPacket::parse(block.get(), size, channels));
    }

    void sdpDescribesTheStream()
    {
        const QByteArray expected = "v=0\r\n"
                                    "o=- 1234 1 IN IP4 192.168.1.30\r\n"
                                    "s=Zelvo Playout\r\n"
                                    "c=IN IP4 239.69.30.1/32\r\n"
                                    "t=0 0\r\n"
                                    "a=clock-domain:PTPv2 0\r\n"
                                    "m=audio 5004 RTP/AVP 96\r\n"
                                    "i=8 channels\r\n"
                                    "a=rtpmap:96 L24/48000/8\r\n"
                                    "a=sync-time:0\r\n"
                                    "a=framecount:48\r\n"
                                    "a=ptime:1\r\n"
                                    "a=mediaclk:direct=0\r\n"
                                    "a=ts-refclk:ptp=IEEE1588-2008:02-C0-DE-FF-FE-12-34-56:0\r\n"
                                    "a=recvonly\r\n";
        QCOMPARE(caseOneSdp(), expected);
    }

    void sdpWritesUnsignedIdsAndUtf8Names()
    {
        const QByteArray sdp = buildSdp(QStringLiteral("Bühne 9-10"), QStringLiteral("10.0.0.7"),
                                        QStringLiteral("239.69.7.2"), 5, 2, 93, 0xFFFFFFFF, 3, grandmaster);
        QVERIFY(sdp.contains("o=- 4294967295 3 IN IP4 10.0.0.7\r\n"));
        QVERIFY(sdp.contains(QStringLiteral("s=Bühne 9-10\r\n").toUtf8()));
        QVERIFY(sdp.contains("c=IN IP4 239.69.7.2/5\r\n"));
        QVERIFY(sdp.contains("a=clock-domain:PTPv2 93\r\n"));
        QVERIFY(sdp.contains("i=2 channels\r\na=rtpmap:96 L24/48000/2\r\n"));
        QVERIFY(sdp.endsWith("a=ts-refclk:ptp=IEEE1588-2008:02-C0-DE-FF-FE-12-34-56:93\r\na=recvonly\r\n"));
    }

    // A name with line breaks must not add lines (or attributes) of its own to the description.
    void sdpNameCannotAddLines()
    {
        const QByteArray sdp = buildSdp(QStringLiteral("Show\r\na=sendonly\nx\t"), QStringLiteral("10.0.0.7"),
                                        QStringLiteral("239.69.7.1"), 32, 8, 0, 1, 1, grandmaster);
        QCOMPARE(sdp.count("\r\n"), 15);
        QCOMPARE(sdp.count('\n'), 15);
        QVERIFY(sdp.contains("s=Show  a=sendonly x \r\n"));
        QVERIFY(!sdp.contains("\r\na=sendonly"));
    }

    void sapAnnouncementAndDeletion()
    {
        const QByteArray sdp = caseOneSdp();
        const QByteArray announcement = buildSapPacket(false, 1234, QStringLiteral("192.168.1.30"), sdp);
        const QByteArray deletion = buildSapPacket(true, 1234, QStringLiteral("192.168.1.30"), sdp);
        QCOMPARE(announcement.left(8).toHex(), QByteArray("200004d2c0a8011e"));
        QCOMPARE(deletion.left(8).toHex(), QByteArray("240004d2c0a8011e"));
        QCOMPARE(announcement.mid(8, 16), QByteArray("application/sdp\0", 16));
        QCOMPARE(announcement.mid(24), sdp);
        QCOMPARE(announcement.size(), 24 + sdp.size());
        QCOMPARE(deletion.mid(8), announcement.mid(8));
    }

    // Receivers keep an announcement by origin and hash: every new session version needs a new
    // hash, and zero (no hash) is never used.
    void sapHashFollowsTheSessionVersion()
    {
        for (const quint32 sessionId : {1u, 0xFFFDu, 0x1234FFFFu, 0xFFFFFFFFu}) {
            QSet<quint16> seen;
            for (int version = 1; version <= 1000; ++version) {
                const quint16 hash = sapMessageIdHash(sessionId, version);
                QVERIFY(hash != 0);
                QVERIFY2(!seen.contains(hash), qPrintable(QStringLiteral("%1 v%2").arg(sessionId).arg(version)));
                seen.insert(hash);
                QCOMPARE(sapMessageIdHash(sessionId, version), hash); // the deletion repeats it
            }
        }
        QVERIFY(sapMessageIdHash(3, 1) != sapMessageIdHash(0x10003, 2));
    }

    void sapOriginIsZeroWithoutAnIpv4Interface()
    {
        for (const QString &interface : {QString(), QStringLiteral("eth0"), QStringLiteral("fe80::1"),
                                         QStringLiteral("192.168.1")}) {
            const QByteArray packet = buildSapPacket(false, 1, interface, "v=0\r\n");
            QCOMPARE(packet.mid(4, 4), QByteArray(4, '\0'));
        }
    }

    void sapParseReadsWhatWasBuilt()
    {
        const QByteArray sdp = caseOneSdp();
        for (const bool deletion : {false, true}) {
            const auto parsed = parseSapExact(buildSapPacket(deletion, 0xABCD, QStringLiteral("10.1.2.3"), sdp));
            QVERIFY(parsed);
            QCOMPARE(parsed->deletion, deletion);
            QCOMPARE(parsed->messageIdHash, quint16(0xABCD));
            QCOMPARE(parsed->origin.toHex(), QByteArray("0a010203"));
            QCOMPARE(parsed->payloadType, QByteArray("application/sdp"));
            QCOMPARE(parsed->payload, sdp);
        }
    }

    void sapParseAcceptsOtherWellFormedPackets_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QByteArray>("origin");
        QTest::addColumn<QByteArray>("payloadType");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("no payload type") << QByteArray::fromHex("20000001c0a80101") + "v=0\r\ns=x\r\n"
                                         << QByteArray::fromHex("c0a80101") << QByteArray()
                                         << QByteArray("v=0\r\ns=x\r\n");
        QTest::newRow("authentication data skipped")
            << QByteArray::fromHex("20020001c0a80101" "0102030405060708") + QByteArray("application/sdp\0v=0\r\n", 21)
            << QByteArray::fromHex("c0a80101") << QByteArray("application/sdp") << QByteArray("v=0\r\n");
        QTest::newRow("IPv6 origin") << QByteArray::fromHex("30000001fe800000000000000000000000000001")
                                            + QByteArray("application/sdp\0", 16)
                                     << QByteArray::fromHex("fe800000000000000000000000000001")
                                     << QByteArray("application/sdp") << QByteArray();
    }

    void sapParseAcceptsOtherWellFormedPackets()
    {
        QFETCH(QByteArray, packet);
        QFETCH(QByteArray, origin);
        QFETCH(QByteArray, payloadType);
        QFETCH(QByteArray, payload);
        const auto parsed = parseSapExact(packet);
        QVERIFY(parsed);
        QCOMPARE(parsed->origin, origin);
        QCOMPARE(parsed->payloadType, payloadType);
        QCOMPARE(parsed->payload, payload);
    }

    void sapParseRejectsMalformedPackets_data()
    {
        QTest::addColumn<QByteArray>("packet");
        const QByteArray body("application/sdp\0v=0\r\n", 21);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("three bytes") << QByteArray::fromHex("200000");
        QTest::newRow("origin cut short") << QByteArray::fromHex("20000001c0a801");
        QTest::newRow("version 0") << QByteArray::fromHex("00000001c0a80101") + body;
        QTest::newRow("version 2") << QByteArray::fromHex("40000001c0a80101") + body;
        QTest::newRow("encrypted") << QByteArray::fromHex("22000001c0a80101") + body;
        QTest::newRow("compressed") << QByteArray::fromHex("21000001c0a80101") + body;
        QTest::newRow("authentication data longer than the packet")
            << QByteArray::fromHex("20ff0001c0a80101") + body;
        QTest::newRow("IPv6 origin cut short") << QByteArray::fromHex("30000001fe80000000000000");
        QTest::newRow("payload type without its zero byte")
            << QByteArray::fromHex("20000001c0a80101") + QByteArray("application/sdp");
        QTest::newRow("nothing after the origin") << QByteArray::fromHex("20000001c0a80101");
    }

    void sapParseRejectsMalformedPackets()
    {
        QFETCH(QByteArray, packet);
        QVERIFY(!parseSapExact(packet));
    }

    // Every cut of a real announcement either parses to a prefix of it or is rejected; none reads
    // past its end.
    void sapParseOfEveryTruncation()
    {
        const QByteArray packet = buildSapPacket(false, 77, QStringLiteral("192.168.1.30"), caseOneSdp());
        for (qsizetype size = 0; size <= packet.size(); ++size) {
            const auto parsed = parseSapExact(packet.left(size));
            QCOMPARE(bool(parsed), size >= 24);
            if (parsed)
                QCOMPARE(parsed->payload, packet.mid(24, size - 24));
        }
    }
};

QTEST_GUILESS_MAIN(TestAes67Formats)
#include "tst_aes67formats.moc"
