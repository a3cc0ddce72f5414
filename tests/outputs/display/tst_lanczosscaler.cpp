#include "outputs/display/LanczosScaler.h"

#include <QColorSpace>
#include <QTest>

namespace {

// A picture whose every pixel tells where it is: red follows x, green follows y.
QImage gradient(QSize size, QImage::Format format)
{
    QImage picture(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 255 / (size.width() - 1), y * 255 / (size.height() - 1), 80));
    }
    return picture.convertToFormat(format);
}

} // namespace

class TestLanczosScaler : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { LanczosScaler::resetRuntimeForTesting(); }
    void loadsTheBuildMajors();
    void runtimeProblems_data();
    void runtimeProblems();
    void refusesWhatItCannotScale_data();
    void refusesWhatItCannotScale();
    void keepsAPictureOfTheTargetSize();
    void followsTheSourceGeometry_data();
    void followsTheSourceGeometry();
    void keepsFlatColourAndColourSpace();
};

void TestLanczosScaler::loadsTheBuildMajors()
{
    LanczosScaler scaler;
    QVERIFY2(scaler.isAvailable(), qPrintable(scaler.errorString()));
    QVERIFY(scaler.errorString().isEmpty());
}

void TestLanczosScaler::runtimeProblems_data()
{
    QTest::addColumn<bool>("missingSwscale");
    QTest::addColumn<bool>("missingAvutil");
    QTest::addColumn<int>("majorShift");
    QTest::addColumn<QString>("error");
    QTest::newRow("no swscale") << true << false << 0 << "Lanczos runtime could not be loaded";
    QTest::newRow("no avutil") << false << true << 0 << "Lanczos runtime could not be loaded";
    QTest::newRow("newer runtime") << false << false << -1 << "Lanczos runtime ABI mismatch";
    QTest::newRow("older runtime") << false << false << 1 << "Lanczos runtime ABI mismatch";
}

void TestLanczosScaler::runtimeProblems()
{
    QFETCH(bool, missingSwscale);
    QFETCH(bool, missingAvutil);
    QFETCH(int, majorShift);
    QFETCH(QString, error);
    LanczosScaler::Runtime runtime = LanczosScaler::defaultRuntime();
    const QStringList absent{QStringLiteral("/nonexistent/libswscale.so.0")};
    if (missingSwscale)
        runtime.swscaleCandidates = absent;
    if (missingAvutil)
        runtime.avutilCandidates = absent;
    runtime.swscaleMajor += majorShift;
    LanczosScaler::setRuntimeForTesting(runtime);

    LanczosScaler scaler;
    QVERIFY(!scaler.isAvailable());
    QCOMPARE(scaler.errorString(), error);
    QVERIFY(scaler.scale(gradient({64, 36}, QImage::Format_RGB32), QSize(32, 18)).isNull());
}

void TestLanczosScaler::refusesWhatItCannotScale_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QSize>("target");
    const QImage picture = gradient({64, 36}, QImage::Format_RGB32);
    QTest::newRow("null picture") << QImage() << QSize(32, 18);
    QTest::newRow("empty target") << picture << QSize(0, 18);
    QTest::newRow("invalid target") << picture << QSize();
    QTest::newRow("above 4096 x 2160") << picture << QSize(4096, 2161);
    QTest::newRow("8K") << picture << QSize(7680, 4320);
}

void TestLanczosScaler::refusesWhatItCannotScale()
{
    QFETCH(QImage, image);
    QFETCH(QSize, target);
    LanczosScaler scaler;
    QVERIFY(scaler.scale(image, target).isNull());
}

void TestLanczosScaler::keepsAPictureOfTheTargetSize()
{
    LanczosScaler scaler;
    const QImage picture = gradient({64, 36}, QImage::Format_RGB32);
    const QImage same = scaler.scale(picture, picture.size());
    QCOMPARE(same.cacheKey(), picture.cacheKey());
    // The largest output allowed is still scaled.
    QCOMPARE(scaler.scale(picture, QSize(4096, 2160)).size(), QSize(4096, 2160));
}

void TestLanczosScaler::followsTheSourceGeometry_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");
    // 33 RGB888 pixels make 99 bytes, padded to 100 per row: the stride must be honoured.
    QTest::newRow("padded rows, enlarged") << int(QImage::Format_RGB888) << QSize(33, 17) << QSize(66, 34);
    QTest::newRow("reduced") << int(QImage::Format_ARGB32) << QSize(320, 180) << QSize(160, 90);
    QTest::newRow("one axis only") << int(QImage::Format_RGBA8888) << QSize(200, 100) << QSize(120, 100);
}

void TestLanczosScaler::followsTheSourceGeometry()
{
    QFETCH(int, format);
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    LanczosScaler scaler;
    const QImage picture = gradient(source, QImage::Format(format));
    const QImage scaled = scaler.scale(picture, target);
    QCOMPARE(scaled.size(), target);
    QCOMPARE(scaled.format(), QImage::Format_RGBA8888);
    // Away from the edges (where the filter rings) every output pixel shows the source colour at
    // the same relative position.
    for (int y = target.height() / 8; y < target.height() * 7 / 8; ++y) {
        for (int x = target.width() / 8; x < target.width() * 7 / 8; ++x) {
            const double sx = (x + 0.5) * source.width() / target.width() - 0.5;
            const double sy = (y + 0.5) * source.height() / target.height() - 0.5;
            const QRgb pixel = scaled.pixel(x, y);
            QVERIFY2(std::abs(qRed(pixel) - sx * 255 / (source.width() - 1)) <= 3, qPrintable(QString::number(x)));
            QVERIFY2(std::abs(qGreen(pixel) - sy * 255 / (source.height() - 1)) <= 3, qPrintable(QString::number(y)));
            QVERIFY(std::abs(qBlue(pixel) - 80) <= 1);
        }
    }
}

void TestLanczosScaler::keepsFlatColourAndColourSpace()
{
    LanczosScaler scaler;
    QImage flat(1920, 1080, QImage::Format_RGB32);
    flat.fill(qRgb(32, 96, 192));
    flat.setColorSpace(QColorSpace::DisplayP3);
    const QImage up = scaler.scale(flat, QSize(3840, 2160));
    QCOMPARE(up.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
    const QImage down = scaler.scale(up, QSize(1920, 1080));
    for (const QPoint at : {QPoint(0, 0), QPoint(960, 540), QPoint(1919, 1079)})
        QCOMPARE(down.pixel(at), qRgba(32, 96, 192, 255));
    QCOMPARE(up.pixel(1920, 1080), qRgba(32, 96, 192, 255));
}

QTEST_GUILESS_MAIN(TestLanczosScaler)
#include "tst_lanczosscaler.moc"
