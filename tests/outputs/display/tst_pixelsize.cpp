#include "outputs/display/PixelSize.h"

#include <QTest>
#include <limits>

class TestPixelSize : public QObject
{
    Q_OBJECT
private slots:
    void devicePixelSize_data();
    void devicePixelSize();
    void fitSize_data();
    void fitSize();
};

void TestPixelSize::devicePixelSize_data()
{
    QTest::addColumn<QSize>("logical");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("125 percent") << QSize(1536, 864) << 1.25 << QSize(1920, 1080);
    QTest::newRow("unscaled") << QSize(1920, 1080) << 1.0 << QSize(1920, 1080);
    QTest::newRow("150 percent") << QSize(1280, 720) << 1.5 << QSize(1920, 1080);
    // 3 x 1.5 = 4.5 and 5 x 1.5 = 7.5: halves round away from zero, not to even.
    QTest::newRow("halves round up") << QSize(3, 5) << 1.5 << QSize(5, 8);
    QTest::newRow("just below half") << QSize(3, 3) << 1.49 << QSize(4, 4);
    QTest::newRow("empty width") << QSize(0, 1080) << 1.0 << QSize();
    QTest::newRow("negative size") << QSize(-5, 10) << 1.0 << QSize();
    QTest::newRow("zero ratio") << QSize(100, 100) << 0.0 << QSize();
    QTest::newRow("negative ratio") << QSize(100, 100) << -1.0 << QSize();
    QTest::newRow("nan ratio") << QSize(100, 100) << std::numeric_limits<double>::quiet_NaN() << QSize();
    QTest::newRow("infinite ratio") << QSize(100, 100) << std::numeric_limits<double>::infinity() << QSize();
    QTest::newRow("overflowing ratio") << QSize(100, 100) << 1e300 << QSize();
}

void TestPixelSize::devicePixelSize()
{
    QFETCH(QSize, logical);
    QFETCH(double, ratio);
    QFETCH(QSize, expected);
    const QSize actual = ::devicePixelSize(logical, ratio);
    QCOMPARE(actual, expected);
    QCOMPARE(actual.isValid(), expected.isValid());
}

void TestPixelSize::fitSize_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("bounds");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("4K into 1080p") << QSize(3840, 2160) << QSize(1920, 1080) << QSize(1920, 1080);
    QTest::newRow("1080p into 4K") << QSize(1920, 1080) << QSize(3840, 2160) << QSize(3840, 2160);
    // 1080 x 1080 / 1920 = 607.5: the derived side is truncated.
    QTest::newRow("portrait into landscape") << QSize(1080, 1920) << QSize(1920, 1080) << QSize(607, 1080);
    QTest::newRow("4:3 pillar-boxed") << QSize(640, 480) << QSize(1920, 1080) << QSize(1440, 1080);
    QTest::newRow("cinema letter-boxed") << QSize(2048, 858) << QSize(1920, 1080) << QSize(1920, 804);
    QTest::newRow("empty source") << QSize(0, 0) << QSize(1920, 1080) << QSize();
    QTest::newRow("empty bounds") << QSize(1920, 1080) << QSize(1920, 0) << QSize();
    QTest::newRow("invalid bounds") << QSize(1920, 1080) << QSize() << QSize();
}

void TestPixelSize::fitSize()
{
    QFETCH(QSize, source);
    QFETCH(QSize, bounds);
    QFETCH(QSize, expected);
    const QSize actual = ::fitSize(source, bounds);
    QCOMPARE(actual, expected);
    QCOMPARE(actual.isValid(), expected.isValid());
}

QTEST_APPLESS_MAIN(TestPixelSize)
#include "tst_pixelsize.moc"
