#include "engine/NativeChannel.h"
#include "outputs/display/GpuFrameCache.h"
#include "outputs/display/GpuLanczos.h"
#include "outputs/display/GpuSurface.h"
#include "outputs/display/LanczosScaler.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/display/OutputWindow.h"
#include "outputs/display/VideoFrameFromImage.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QVideoSink>
#include <QVideoWidget>
#include <cmath>
#include <memory>
#include <numbers>

// Runs on a real OpenGL driver (xcb on Xvfb with Mesa here). Software renderers are refused in
// production, so this test sets ZELVO_TEST_ALLOW_SOFTWARE_GL=1 (see display.cmake).

namespace {

QImage flatPicture(QSize size, QRgb colour)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

QVideoFrame flatFrame(QSize size, QRgb colour)
{
    return videoFrameFromImage(flatPicture(size, colour));
}

// Stripes of a period of 2.5 source pixels across the given axis: finer than a 1920 -> 1280
// reduction can show (its output Nyquist limit is a period of 3 source pixels), so a correctly
// widened filter turns them into flat grey while an unwidened one folds them into visible bands.
QImage fineStripes(QSize size, int axis)
{
    QImage picture(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int position = axis == 0 ? x : y;
            const int level = int(std::lround(128 + 100 * std::cos(2 * std::numbers::pi * position / 2.5)));
            picture.setPixel(x, y, qRgb(level, level, level));
        }
    }
    return picture;
}

struct Statistics
{
    double deviation = 0;      // of the grey level around its mean
    double meanDifference = 0; // mean absolute difference to the other picture
};

// Over the picture without a 16-pixel border (where edge handling differs between scalers).
Statistics compare(const QImage &image, const QImage &reference)
{
    double sum = 0, squares = 0, difference = 0;
    int count = 0;
    for (int y = 16; y < image.height() - 16; ++y) {
        for (int x = 16; x < image.width() - 16; ++x) {
            const int level = qGreen(image.pixel(x, y));
            sum += level;
            squares += double(level) * level;
            difference += std::abs(level - qGreen(reference.pixel(x, y)));
            ++count;
        }
    }
    const double mean = sum / count;
    return {std::sqrt(std::max(0.0, squares / count - mean * mean)), difference / count};
}

// Makes the test's context current for one scope and done again on every way out, a failed check
// included: a context left current on the offscreen surface outlives the test function, and one
// still current when that surface is destroyed leaves the platform reading a surface that is gone.
class CurrentContext
{
public:
    CurrentContext(QOpenGLContext *context, QSurface *surface) : m_context(context)
    {
        m_current = m_context->makeCurrent(surface);
    }
    ~CurrentContext()
    {
        if (m_current)
            m_context->doneCurrent();
    }
    bool isCurrent() const { return m_current; }

private:
    QOpenGLContext *m_context;
    bool m_current = false;
};

} // namespace

class TestGpuScaling : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void softwareRendererNeedsTheTestSwitch();
    void nonIntegerReductionIsFiltered_data();
    void nonIntegerReductionIsFiltered();
    void presentsCentredOnBlackOrStretched();
    void mirroredWindowsConvertEachFrameOnce();
    void refusedFramesGoNativeAndBack();
    void oversizedSurfaceStaysNative();

private:
    std::unique_ptr<QOpenGLContext> m_context;
    std::unique_ptr<QOffscreenSurface> m_surface;
    std::unique_ptr<NativeChannel> m_deck;
    std::unique_ptr<OutputRouter> m_router;
};

void TestGpuScaling::initTestCase()
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    m_context = std::make_unique<QOpenGLContext>();
    m_context->setFormat(format);
    QVERIFY(m_context->create());
    m_surface = std::make_unique<QOffscreenSurface>();
    m_surface->setFormat(m_context->format());
    m_surface->create();
}

void TestGpuScaling::cleanupTestCase()
{
    // The context goes first: it must never outlive, current or not, the surface it was made on.
    m_context.reset();
    m_surface.reset();
}

void TestGpuScaling::init()
{
    m_deck = std::make_unique<NativeChannel>(false);
    m_router = std::make_unique<OutputRouter>();
}

void TestGpuScaling::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_router.reset();
    m_deck.reset();
}

void TestGpuScaling::softwareRendererNeedsTheTestSwitch()
{
    bool refusedInitialized = false, allowedInitialized = false;
    QString renderer;
    GpuLanczos refused, allowed;
    {
        const CurrentContext current(m_context.get(), m_surface.get());
        QVERIFY(current.isCurrent());
        const QByteArray switchValue = qgetenv("ZELVO_TEST_ALLOW_SOFTWARE_GL");
        qunsetenv("ZELVO_TEST_ALLOW_SOFTWARE_GL");
        refusedInitialized = refused.initialize();
        renderer = refused.rendererInfo().value(QStringLiteral("renderer")).toString();
        qputenv("ZELVO_TEST_ALLOW_SOFTWARE_GL", switchValue);
        allowedInitialized = allowed.initialize();
        allowed.release();
        refused.release();
    }
    QVERIFY2(allowedInitialized, qPrintable(allowed.errorString()));
    if (!renderer.contains(QLatin1String("llvmpipe"), Qt::CaseInsensitive))
        QSKIP("a hardware renderer: nothing to refuse");
    QVERIFY(!refusedInitialized);
    QCOMPARE(refused.errorString(), QStringLiteral("GPU context unavailable; using Native scaling"));
}

void TestGpuScaling::nonIntegerReductionIsFiltered_data()
{
    QTest::addColumn<int>("axis");
    QTest::newRow("horizontal") << 0;
    QTest::newRow("vertical") << 1;
}

void TestGpuScaling::nonIntegerReductionIsFiltered()
{
    QFETCH(int, axis);
    const QImage stripes = fineStripes(QSize(1920, 1080), axis);
    LanczosScaler cpu;
    QVERIFY(cpu.isAvailable());
    const QImage cpuResult = cpu.scale(stripes, QSize(1280, 720));

    QImage gpuResult;
    {
        const CurrentContext current(m_context.get(), m_surface.get());
        QVERIFY(current.isCurrent());
        GpuLanczos gpu;
        // Released while the context is current, also when a check below fails.
        const auto release = qScopeGuard([&gpu] { gpu.release(); });
        QVERIFY2(gpu.initialize(), qPrintable(gpu.errorString()));
        QVERIFY2(gpu.render(stripes, QSize(1280, 720)), qPrintable(gpu.errorString()));
        gpuResult = gpu.result();
    }
    QCOMPARE(gpuResult.size(), QSize(1280, 720));

    const double sourceDeviation = compare(stripes, stripes).deviation;
    const Statistics gpuStats = compare(gpuResult, cpuResult);
    const Statistics cpuStats = compare(cpuResult, gpuResult);
    qInfo("stripe deviation %.2f levels, left after reduction: GPU %.2f, CPU %.2f; mean difference %.2f levels",
          sourceDeviation, gpuStats.deviation, cpuStats.deviation, gpuStats.meanDifference);
    // Lanczos-3 widened by 1.5 leaves about a sixth of the stripes (as the CPU scaler does); an
    // unwidened kernel passes most of them, folded into coarser bands the picture never had.
    QVERIFY2(gpuStats.deviation < 0.25 * sourceDeviation, qPrintable(QString::number(gpuStats.deviation)));
    QVERIFY2(gpuStats.deviation < cpuStats.deviation + 2, qPrintable(QString::number(gpuStats.deviation)));
    QVERIFY2(gpuStats.meanDifference < 2, qPrintable(QString::number(gpuStats.meanDifference)));
}

void TestGpuScaling::presentsCentredOnBlackOrStretched()
{
    GpuSurface surface(m_router->gpuFrameCache(m_deck.get()), nullptr);
    surface.setFixedSize(400, 400);
    surface.show();
    QVERIFY(QTest::qWaitForWindowExposed(&surface));
    surface.setFrame(flatFrame(QSize(320, 180), qRgb(255, 0, 0)));
    QImage picture = surface.grabFramebuffer();
    QCOMPARE(picture.size(), QSize(400, 400));
    QCOMPARE(surface.renders(), 1);
    // 320 x 180 fitted into 400 x 400 is 400 x 225, placed 87 rows above the bottom (the odd row
    // of the 175 left over goes to the top).
    QCOMPARE(picture.pixel(200, 87), qRgb(0, 0, 0));
    QCOMPARE(picture.pixel(200, 88), qRgb(255, 0, 0));
    QCOMPARE(picture.pixel(200, 312), qRgb(255, 0, 0));
    QCOMPARE(picture.pixel(200, 313), qRgb(0, 0, 0));
    QCOMPARE(picture.pixel(0, 200), qRgb(255, 0, 0));

    surface.setStretch(true);
    surface.update();
    picture = surface.grabFramebuffer();
    QCOMPARE(surface.renders(), 2);
    QCOMPARE(picture.pixel(200, 2), qRgb(255, 0, 0));
    QCOMPARE(picture.pixel(200, 397), qRgb(255, 0, 0));

    // Unchanged frame and size: presented again without rendering again.
    surface.update();
    surface.grabFramebuffer();
    QCOMPARE(surface.renders(), 2);
}

void TestGpuScaling::mirroredWindowsConvertEachFrameOnce()
{
    auto *first = new OutputWindow(m_deck.get(), m_router.get(), 2, nullptr);
    auto *second = new OutputWindow(m_deck.get(), m_router.get(), 2, nullptr);
    first->showOnScreen(nullptr);
    second->showOnScreen(nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(first) && QTest::qWaitForWindowExposed(second));
    const QSharedPointer<GpuFrameCache> cache = m_router->gpuFrameCache(m_deck.get());
    const int before = cache->conversions();
    emit m_deck->frameReady(flatFrame(QSize(640, 360), qRgb(0, 0, 255)));
    QTRY_VERIFY(first->gpuSurface()->renders() >= 1 && second->gpuSurface()->renders() >= 1);
    QCOMPARE(cache->conversions(), before + 1);
    emit m_deck->frameReady(flatFrame(QSize(640, 360), qRgb(0, 255, 0)));
    QTRY_VERIFY(first->gpuSurface()->renders() >= 2 && second->gpuSurface()->renders() >= 2);
    QCOMPARE(cache->conversions(), before + 2);
    QVERIFY(first->gpuScalerActive() && second->gpuScalerActive());

    // Another Program has a cache of its own.
    NativeChannel other(false);
    QVERIFY(m_router->gpuFrameCache(&other) != cache);
}

void TestGpuScaling::refusedFramesGoNativeAndBack()
{
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 2, nullptr);
    QSignalSpy warnings(window, &OutputWindow::warning);
    window->showOnScreen(nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QVideoFrame ordinary = flatFrame(QSize(320, 180), qRgb(255, 0, 0));
    emit m_deck->frameReady(ordinary);
    QTRY_VERIFY(window->gpuSurface()->renders() >= 1);
    QVERIFY(window->gpuScalerActive());

    QVideoFrame rotated = flatFrame(QSize(320, 180), qRgb(255, 0, 0));
    rotated.setRotationAngle(QVideoFrame::Rotation90);
    emit m_deck->frameReady(rotated);
    QVERIFY(!window->gpuScalerActive());
    QCOMPARE(window->videoWidget()->videoSink()->videoFrame(), rotated);
    const QVideoFrame tenBit(QVideoFrameFormat(QSize(64, 64), QVideoFrameFormat::Format_P010));
    emit m_deck->frameReady(tenBit);
    QCOMPARE(window->videoWidget()->videoSink()->videoFrame(), tenBit);
    QCOMPARE(window->videoWidget()->videoSink()->videoFrame().pixelFormat(), QVideoFrameFormat::Format_P010);
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(),
             QStringLiteral("High-depth, HDR or transformed frame: using Native scaling"));
    // The surface holds nothing stale while the native view shows the refused frames.
    QTRY_VERIFY(!window->gpuSurface()->drawnFrame().isValid());

    const QVideoFrame next = flatFrame(QSize(320, 180), qRgb(0, 255, 0));
    emit m_deck->frameReady(next);
    QVERIFY(window->gpuScalerActive());
    QTRY_COMPARE(window->gpuSurface()->drawnFrame(), next);
    QCOMPARE(window->publishedToWindow(), 4);
    QCOMPARE(warnings.size(), 1);
}

void TestGpuScaling::oversizedSurfaceStaysNative()
{
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 2, nullptr);
    QSignalSpy warnings(window, &OutputWindow::warning);
    window->resize(1200, 700);
    // A quarter of the picture: the surface is four times the window, 4800 x 2800.
    window->setArea(QRectF(0, 0, 0.25, 0.25));
    window->showOnScreen(nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    emit m_deck->frameReady(flatFrame(QSize(640, 360), qRgb(255, 0, 0)));
    QTRY_VERIFY(window->gpuFailed());
    QCOMPARE(window->gpuSurface()->errorText(),
             QStringLiteral("GPU scaling exceeds tested size or ratio; using Native scaling"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(), window->gpuSurface()->errorText());
    QVERIFY(!window->gpuScalerActive());

    const QVideoFrame later = flatFrame(QSize(640, 360), qRgb(0, 255, 0));
    emit m_deck->frameReady(later);
    QCOMPARE(window->videoWidget()->videoSink()->videoFrame(), later);
    QVERIFY(!window->gpuScalerActive());
    window->setArea(QRectF(0, 0, 1, 1));
    emit m_deck->frameReady(flatFrame(QSize(640, 360), qRgb(0, 0, 255)));
    QTest::qWait(200);
    QVERIFY(!window->gpuScalerActive());
    QCOMPARE(warnings.size(), 1);
}

QTEST_MAIN(TestGpuScaling)
#include "tst_gpuscaling.moc"
