#include "app/widgets/StereoMeter.h"

#include "engine/NativeChannel.h"

#include "WidgetCapture.h"

#include <QTest>

namespace {

const QColor off(QStringLiteral("#243343"));
const QColor green(QStringLiteral("#55cc8f"));
const QColor yellow(QStringLiteral("#e7c86b"));
const QColor red(QStringLiteral("#f47f74"));

// Colour in the middle of segment j of channel i at pitch 4 (segments 2 wide).
QRgb segmentPixel(const QImage &image, int channel, int j)
{
    return image.pixel(4 * j + 16, 13 * channel + 6);
}

QImage render(StereoMeter &meter)
{
    meter.resize(128, 27);
    return grabWidget(&meter);
}

} // namespace

class TestStereoMeter : public QObject
{
    Q_OBJECT

private slots:
    void litSegments_data()
    {
        QTest::addColumn<float>("level");
        QTest::addColumn<int>("lit");
        QTest::newRow("silence") << 0.0f << 0;
        QTest::newRow("below floor") << 0.000001f << 0;
        QTest::newRow("-60 dB") << 0.001f << 0;
        QTest::newRow("-20 dB") << 0.1f << 19;
        QTest::newRow("-6 dB") << 0.5f << 25;
        QTest::newRow("full scale") << 1.0f << 28;
        QTest::newRow("over full scale") << 2.0f << 28;
        QTest::newRow("negative") << -0.5f << 0;
    }

    void litSegments()
    {
        QFETCH(float, level);
        QFETCH(int, lit);
        QCOMPARE(StereoMeter::litSegments(level), lit);
    }

    void pitch_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("pitch");
        QTest::newRow("narrow") << 40 << 1;
        QTest::newRow("71") << 71 << 1;
        QTest::newRow("72") << 72 << 2;
        QTest::newRow("128") << 128 << 4;
        QTest::newRow("zero") << 0 << 1;
    }

    void pitch()
    {
        QFETCH(int, width);
        QFETCH(int, pitch);
        QCOMPARE(StereoMeter::segmentPitch(width), pitch);
    }

    void sizeAndPolicy()
    {
        StereoMeter meter(nullptr, 0);
        QCOMPARE(meter.minimumSize(), QSize(110, 27));
        QCOMPARE(meter.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(meter.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    }

    // A single full-scale peak lights everything, then falls by 0.72 per tick; the highest peak
    // between two ticks counts.
    void peakHoldAndDecay()
    {
        StereoMeter meter(nullptr, 0);
        meter.feed(0.2f, 0.1f);
        meter.feed(1.0f, 0.05f);
        meter.feed(0.3f, 0.0f);
        meter.tick();
        QCOMPARE(meter.levelLeft(), 1.0f);
        QCOMPARE(meter.levelRight(), 0.1f);
        QCOMPARE(StereoMeter::litSegments(meter.levelLeft()), 28);
        meter.tick();
        QCOMPARE(meter.levelLeft(), 0.72f);
        meter.tick();
        QVERIFY(qAbs(meter.levelLeft() - 0.72f * 0.72f) < 1e-6f);
        meter.feed(0.9f, 0.0f); // a new peak above the decayed level takes over
        meter.tick();
        QCOMPARE(meter.levelLeft(), 0.9f);
        for (int i = 0; i < 60; ++i)
            meter.tick();
        QCOMPARE(StereoMeter::litSegments(meter.levelLeft()), 0);
    }

    void timerTicksEvery80ms()
    {
        StereoMeter meter(nullptr, 0);
        meter.feed(1.0f, 1.0f);
        QTRY_COMPARE_WITH_TIMEOUT(meter.levelLeft(), 1.0f, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(meter.levelLeft() < 1.0f, 2000);
    }

    void sampleLevelsAreFixed()
    {
        StereoMeter meter(nullptr, 1);
        meter.feed(1.0f, 1.0f);
        meter.tick();
        QCOMPARE(meter.levelLeft(), 0.47f);
        QCOMPARE(meter.levelRight(), 0.38f);
        const QImage image = render(meter);
        saveCapture(image, QStringLiteral("stereo-meter-sample"));
        // 0.47 lights 25 segments, 0.38 lights 24.
        QCOMPARE(segmentPixel(image, 0, 21), green.rgb());
        QCOMPARE(segmentPixel(image, 0, 24), yellow.rgb());
        QCOMPARE(segmentPixel(image, 0, 25), off.rgb());
        QCOMPARE(segmentPixel(image, 1, 23), yellow.rgb());
        QCOMPARE(segmentPixel(image, 1, 24), off.rgb());
    }

    void deckMeterSignalFeedsTheMeter()
    {
        NativeChannel deck(false);
        StereoMeter meter(&deck, 0);
        emit deck.audioMeter(0.5f, 0.25f);
        meter.tick();
        QCOMPARE(meter.levelLeft(), 0.5f);
        QCOMPARE(meter.levelRight(), 0.25f);
    }

    // At 128 pixels: pitch 4, segments 2 wide; -20 dB lights 19 green segments.
    void paintsSegmentsByLevel()
    {
        StereoMeter meter(nullptr, 0);
        meter.feed(0.1f, 1.0f);
        meter.tick();
        const QImage image = render(meter);
        saveCapture(image, QStringLiteral("stereo-meter-levels"));
        QCOMPARE(segmentPixel(image, 0, 0), green.rgb());
        QCOMPARE(segmentPixel(image, 0, 18), green.rgb());
        QCOMPARE(segmentPixel(image, 0, 19), off.rgb());
        QCOMPARE(segmentPixel(image, 0, 27), off.rgb());
        QCOMPARE(segmentPixel(image, 1, 21), green.rgb());
        QCOMPARE(segmentPixel(image, 1, 22), yellow.rgb());
        QCOMPARE(segmentPixel(image, 1, 25), yellow.rgb());
        QCOMPARE(segmentPixel(image, 1, 26), red.rgb());
        QCOMPARE(segmentPixel(image, 1, 27), red.rgb());
        // Segments are 2 wide: the gap after a lit segment is not segment-coloured.
        QVERIFY(image.pixel(4 * 3 + 16 + 2, 6) != green.rgb());
        QCOMPARE(image.pixel(4 * 3 + 16 + 1, 6), green.rgb());
        // Rows: 3..9 for the left channel, 16..22 for the right one.
        QCOMPARE(image.pixel(16, 3), green.rgb());
        QVERIFY(image.pixel(16, 10) != green.rgb());
        QCOMPARE(image.pixel(16, 22), green.rgb());
        // The channel letters.
        QVERIFY(hasColorNear(image, QRect(0, 0, 12, 13), QColor(QStringLiteral("#9aacc0")), 60));
    }

    void narrowMeterDrawsOnePixelSegments()
    {
        StereoMeter meter(nullptr, 0);
        meter.feed(1.0f, 1.0f);
        meter.tick();
        meter.setMinimumSize(0, 0);
        meter.resize(60, 27);
        const QImage image = grabWidget(&meter);
        // Pitch 1 and width 1: 28 adjacent pixels from x = 16.
        QCOMPARE(image.pixel(16, 6), green.rgb());
        QCOMPARE(image.pixel(16 + 21, 6), green.rgb());
        QCOMPARE(image.pixel(16 + 22, 6), yellow.rgb());
        QCOMPARE(image.pixel(16 + 27, 6), red.rgb());
        QVERIFY(image.pixel(16 + 28, 6) != red.rgb());
    }
};

QTEST_MAIN(TestStereoMeter)
#include "tst_stereometer.moc"
