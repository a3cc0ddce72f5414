#include "outputs/aes67/PtpMessage.h"

#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(PtpMessage)

namespace {

// Parses from a heap block of exactly the datagram's size, so a sanitizer build catches any read
// past the end.
std::optional<PtpMessage> parseExact(const QByteArray &bytes)
{
    auto block = std::make_unique<char[]>(std::size_t(std::max<qsizetype>(bytes.size(), 1)));
    std::copy(bytes.begin(), bytes.end(), block.get());
    return PtpMessage::parse(block.get(), bytes.size());
}

PtpPortIdentity port(quint8 last)
{
    return {0x02, 0xAA, 0xBB, 0xFF, 0xFE, 0x00, 0x00, last, 0x00, 0x01};
}

PtpMessage sample(quint8 type)
{
    PtpMessage m;
    m.messageType = type;
    m.messageLength = quint16(PtpMessage::sizeForType(type));
    m.domainNumber = 93;
    m.flags = 0x0208;
    m.correctionNs = -123456789;
    m.sourcePortIdentity = port(7);
    m.sequenceId = 0xFFFE;
    m.controlField = 2;
    m.logMessageInterval = -3;
    m.timestampNs = 1'699'363'600'499'999'999;
    return m;
}

// A Follow_Up as a master of domain 93 sends it: sequenceId 258, correction 0x1234 ns, precise
// origin 1699363600 s + 499999999 ns.
const QByteArray followUpWire = QByteArray::fromHex(
    "0802002c5d000208000000001234000000000000" "02aabbfffe0000010001" "010202fd" "0000654a3b101dcd64ff");

// An Announce: priority1 128, class 6, accuracy 0x21, variance 0x4E5D, priority2 127, grandmaster
// 00-1B-21-FF-FE-00-00-09, stepsRemoved 1, time source 0xA0, UTC offset 37.
const QByteArray announceWire = QByteArray::fromHex(
    "0b0200400000000c00000000000000000000000002aabbfffe0000020001000705" "01"
    "00000000000000000000" "0025" "00" "80" "06" "21" "4e5d" "7f" "001b21fffe000009" "0001" "a0");

} // namespace

class TestPtpMessage : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<PtpMessage>("message");
        QTest::addColumn<int>("wireSize");
        QTest::newRow("Sync") << sample(PtpMessage::Sync) << 44;
        QTest::newRow("Delay_Req") << sample(PtpMessage::DelayReq) << 44;
        QTest::newRow("Follow_Up") << sample(PtpMessage::FollowUp) << 44;
        PtpMessage response = sample(PtpMessage::DelayResp);
        response.requestingPortIdentity = port(9);
        response.correctionNs = (qint64(1) << 47) - 1; // largest correction the field holds
        QTest::newRow("Delay_Resp") << response << 54;
        PtpMessage announce = sample(PtpMessage::Announce);
        announce.currentUtcOffset = 37;
        announce.priority1 = 250;
        announce.clockClass = 248;
        announce.clockAccuracy = 0xFE;
        announce.offsetScaledLogVariance = 0xFFFF;
        announce.priority2 = 249;
        announce.grandmasterIdentity = {1, 2, 3, 0xFF, 0xFE, 4, 5, 6};
        announce.stepsRemoved = 3;
        announce.timeSource = 0xA0;
        announce.correctionNs = -(qint64(1) << 47);
        announce.timestampNs = 0;
        QTest::newRow("Announce") << announce << 64;
        PtpMessage peerDelay = sample(2); // Pdelay_Req: only the header is carried
        peerDelay.timestampNs = 0;
        peerDelay.messageLength = 34;
        QTest::newRow("other type, header only") << peerDelay << 34;
    }

    void roundTrip()
    {
        QFETCH(PtpMessage, message);
        QFETCH(int, wireSize);
        const QByteArray wire = message.encode();
        QCOMPARE(wire.size(), wireSize);
        const auto parsed = parseExact(wire);
        QVERIFY(parsed);
        QVERIFY(*parsed == message);
    }

    void decodesWireFixtures()
    {
        const auto followUp = parseExact(followUpWire);
        QVERIFY(followUp);
        QCOMPARE(followUp->messageType, quint8(PtpMessage::FollowUp));
        QCOMPARE(followUp->domainNumber, quint8(93));
        QCOMPARE(followUp->flags, quint16(0x0208));
        QVERIFY(followUp->twoStep());
        QCOMPARE(followUp->correctionNs, qint64(0x1234));
        QCOMPARE(followUp->sourcePortIdentity, port(1));
        QCOMPARE(followUp->sequenceId, quint16(258));
        QCOMPARE(followUp->controlField, quint8(2));
        QCOMPARE(followUp->logMessageInterval, qint8(-3));
        QCOMPARE(followUp->timestampNs, qint64(1'699'363'600'499'999'999));
        QCOMPARE(followUp->encode(), followUpWire);

        const auto announce = parseExact(announceWire);
        QVERIFY(announce);
        QCOMPARE(announce->messageType, quint8(PtpMessage::Announce));
        QCOMPARE(announce->sequenceId, quint16(7));
        QCOMPARE(announce->currentUtcOffset, qint16(37));
        QCOMPARE(announce->priority1, quint8(128));
        QCOMPARE(announce->clockClass, quint8(6));
        QCOMPARE(announce->clockAccuracy, quint8(0x21));
        QCOMPARE(announce->offsetScaledLogVariance, quint16(0x4E5D));
        QCOMPARE(announce->priority2, quint8(127));
        QCOMPARE(announce->grandmasterIdentity, (PtpClockIdentity{0x00, 0x1B, 0x21, 0xFF, 0xFE, 0x00, 0x00, 0x09}));
        QCOMPARE(announce->stepsRemoved, quint16(1));
        QCOMPARE(announce->timeSource, quint8(0xA0));
        QCOMPARE(announce->encode(), announceWire);
    }

    void negativeCorrectionKeepsItsSign()
    {
        QByteArray wire = followUpWire;
        wire.replace(8, 8, QByteArray::fromHex("fffffffffffe8000")); // -2 ns and a sub-nanosecond part
        const auto parsed = parseExact(wire);
        QVERIFY(parsed);
        QCOMPARE(parsed->correctionNs, qint64(-2));
    }

    void rejectsMalformed_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<bool>("accepted");
        auto with = [](QByteArray wire, int at, const char *hex) {
            wire.replace(at, int(qstrlen(hex) / 2), QByteArray::fromHex(hex));
            return wire;
        };
        const QByteArray delayResp = sample(PtpMessage::DelayResp).encode();
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("one byte") << QByteArray(1, '\x0b') << false;
        QTest::newRow("33 bytes") << followUpWire.left(33) << false;
        QTest::newRow("PTPv1") << with(followUpWire, 1, "01") << false;
        QTest::newRow("version 0") << with(followUpWire, 1, "00") << false;
        QTest::newRow("minor version 1 is still v2") << with(followUpWire, 1, "12") << true;
        QTest::newRow("transportSpecific ignored") << with(followUpWire, 0, "18") << true;
        QTest::newRow("Follow_Up cut to 43") << with(followUpWire.left(43), 2, "002b") << false;
        QTest::newRow("Follow_Up cut, length field intact") << followUpWire.left(43) << false;
        QTest::newRow("length beyond datagram") << with(followUpWire, 2, "002d") << false;
        QTest::newRow("length below type size") << with(followUpWire, 2, "0022") << false;
        QTest::newRow("length zero") << with(followUpWire, 2, "0000") << false;
        QTest::newRow("padded datagram") << followUpWire + QByteArray(6, '\0') << true;
        QTest::newRow("Delay_Resp 53") << with(delayResp.left(53), 2, "0035") << false;
        QTest::newRow("Announce 63") << with(announceWire.left(63), 2, "003f") << false;
        QTest::newRow("Announce with a Sync's length") << with(announceWire.left(44), 2, "002c") << false;
        QTest::newRow("nanoseconds 10^9") << with(followUpWire, 40, "3b9aca00") << false;
        QTest::newRow("nanoseconds 10^9-1") << with(followUpWire, 40, "3b9ac9ff") << true;
        QTest::newRow("seconds at the limit") << with(followUpWire, 34, "000112e0be82") << false;
        QTest::newRow("seconds below the limit") << with(followUpWire, 34, "000112e0be81") << true;
        QTest::newRow("seconds all ones") << with(followUpWire, 34, "ffffffffffff") << false;
        QTest::newRow("unknown type, bare header") << with(followUpWire.left(34), 0, "0d020022") << true;
        QTest::newRow("unknown type, short") << with(followUpWire.left(33), 0, "0d020021") << false;
    }

    void rejectsMalformed()
    {
        QFETCH(QByteArray, wire);
        QFETCH(bool, accepted);
        QCOMPARE(bool(parseExact(wire)), accepted);
    }

    void nullDataIsRejected()
    {
        QVERIFY(!PtpMessage::parse(nullptr, 64));
    }

    void timestampLayout()
    {
        uchar bytes[10];
        writePtpTimestamp(bytes, 0x0001'0000'0002LL * 1'000'000'000 + 3);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(bytes), 10), QByteArray::fromHex("00010000000200000003"));
        qint64 back = 0;
        QVERIFY(readPtpTimestamp(bytes, &back));
        QCOMPARE(back, 0x0001'0000'0002LL * 1'000'000'000 + 3);
        writePtpTimestamp(bytes, -5);
        QVERIFY(readPtpTimestamp(bytes, &back));
        QCOMPARE(back, qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestPtpMessage)
#include "tst_ptpmessage.moc"
