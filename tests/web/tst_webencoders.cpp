#include "web/WebH264Encoder.h"
#include "web/WebOpusEncoder.h"

#include <QPainter>
#include <QTest>
#include <cmath>
#include <vector>

namespace {

QImage testPicture(QSize size, int frame)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(qRgb(20, 40, 60));
    QPainter painter(&image);
    painter.fillRect(QRect((frame * 16) % size.width(), 40, 120, 80), Qt::white);
    return image;
}

} // namespace

class TestWebEncoders : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1"); }

    void softwareEncoderIsConstrainedBaselineWithHeadersOnEveryIdr()
    {
        WebH264Encoder encoder;
        QVERIFY2(encoder.open(1280, 720, 30, 3317760, true), qPrintable(encoder.lastError()));
        QCOMPARE(encoder.name(), QStringLiteral("libx264 (software)"));
        QVERIFY(!encoder.isHardware());

        bool key = false;
        const QByteArray first = encoder.encode(testPicture({1280, 720}, 0), 0, true, &key);
        QVERIFY(!first.isEmpty());
        QVERIFY(key);
        QVERIFY(WebH264Encoder::containsNalUnit(first, 7));
        QVERIFY(WebH264Encoder::containsNalUnit(first, 8));
        QVERIFY(WebH264Encoder::containsNalUnit(first, 5));
        QCOMPARE(WebH264Encoder::spsProfile(first), 66);

        const QByteArray second = encoder.encode(testPicture({1280, 720}, 1), 33333, false, &key);
        QVERIFY(!second.isEmpty());
        QVERIFY(!key);
        QVERIFY(!WebH264Encoder::containsNalUnit(second, 5));

        // A requested key frame is an IDR that carries its parameter sets again.
        const QByteArray forced = encoder.encode(testPicture({1280, 720}, 2), 66666, true, &key);
        QVERIFY(key);
        QVERIFY(WebH264Encoder::containsNalUnit(forced, 5));
        QVERIFY(WebH264Encoder::containsNalUnit(forced, 7));
    }

    void pictureOfAnotherSizeGivesNothing()
    {
        WebH264Encoder encoder;
        QVERIFY(encoder.open(1280, 720, 30, 3317760, false));
        bool key = true;
        QVERIFY(encoder.encode(testPicture({1280, 718}, 0), 0, true, &key).isEmpty());
        QVERIFY(!key);
        QVERIFY(encoder.lastError().isEmpty());
        encoder.close();
        QVERIFY(encoder.encode(testPicture({1280, 720}, 0), 0, true, &key).isEmpty());
        QVERIFY(encoder.name().isEmpty());
    }

    void hardwareProfileCheckAcceptsBaseline()
    {
        WebH264Encoder encoder;
        encoder.pretendHardwareForTesting(true);
        QVERIFY(encoder.open(640, 360, 25, 1500000, false));
        QVERIFY(encoder.isHardware());
        bool key = false;
        QVERIFY(!encoder.encode(testPicture({640, 360}, 0), 0, true, &key).isEmpty());
        QVERIFY(!encoder.needsFallback());
    }

    void spsProfileParsing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("profile");
        QTest::newRow("four-byte start code") << QByteArray("\x00\x00\x00\x01\x67\x42\xc0\x1f", 8) << 66;
        QTest::newRow("high profile") << QByteArray("\x00\x00\x01\x27\x64\x00", 6) << 100;
        QTest::newRow("no sps") << QByteArray("\x00\x00\x01\x65\x88\x84", 6) << -1;
        QTest::newRow("sps header at the very end") << QByteArray("\x00\x00\x01\x67", 4) << -1;
    }
    void spsProfileParsing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, profile);
        QCOMPARE(WebH264Encoder::spsProfile(bytes), profile);
    }

    void opusEncodesTwentyMilliseconds()
    {
        WebOpusEncoder encoder;
        std::vector<float> samples(1920);
        for (int i = 0; i < 960; ++i)
            samples[2 * i] = samples[2 * i + 1] = float(0.5 * std::sin(i * 2 * M_PI * 1000 / 48000));
        QVERIFY(encoder.encode(samples.data()).isEmpty());
        QVERIFY(encoder.create(WebOpusEncoder::streamBitrate));
        const QByteArray packet = encoder.encode(samples.data());
        QVERIFY(!packet.isEmpty());
        QVERIFY(packet.size() < 4000);
    }
};

QTEST_APPLESS_MAIN(TestWebEncoders)
#include "tst_webencoders.moc"
