#include "selftest/GpuTests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "outputs/display/GpuFrameCache.h"
#include "outputs/display/GpuLanczos.h"
#include "outputs/display/GpuSurface.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/display/OutputWindow.h"
#include "outputs/display/VideoFrameFromImage.h"
#include "selftest/SelfTestReport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QPainter>
#include <QPointer>
#include <QStackedLayout>
#include <QThread>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>

namespace {

constexpr int waitLimitMs = 12000;

// This suite's waits sleep 1 ms between event slices (the GPU surfaces repaint between them).
bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return condition();
}

void pumpFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    waitFor([&clock, ms] { return clock.elapsed() >= ms; }, ms + 1000);
}

void deliverDeferredDeletions()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

double percentile(QList<double> samples, double fraction)
{
    if (samples.isEmpty())
        return -1;
    std::sort(samples.begin(), samples.end());
    const qsizetype index = std::min<qsizetype>(samples.size() - 1, qsizetype((samples.size() - 1) * fraction));
    return samples.at(index);
}

QImage rampPicture()
{
    QImage picture(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb((7 * x + 3 * y) % 256, (3 * x + 11 * y) % 256, (13 * x + 5 * y) % 256));
    }
    return picture;
}

QImage checkerboardPicture()
{
    QImage picture(128, 128, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, (x + y) % 2 == 0 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
    }
    return picture;
}

double waveLevel(double x, double y)
{
    return 128 + 48 * std::cos(2 * std::numbers::pi * x / 8) + 48 * std::sin(2 * std::numbers::pi * y / 10);
}

QImage wavePicture()
{
    QImage picture(128, 80, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const int level = int(std::round(waveLevel(x, y)));
            picture.setPixel(x, y, qRgb(level, level, level));
        }
    }
    return picture;
}

QImage constantPicture(QSize size, const QColor &colour)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

int maxChannelError(const QImage &a, const QImage &b)
{
    if (a.isNull() || b.isNull() || a.size() != b.size())
        return 0;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return worst;
}

// Mean squared error of a 2x enlargement of the wave against the exact wave, inside a margin.
double waveError(const QImage &enlarged)
{
    double sum = 0;
    int samples = 0;
    if (!enlarged.isNull() && enlarged.width() >= 240 && enlarged.height() >= 144) {
        for (int y = 16; y <= 143; ++y) {
            for (int x = 16; x <= 239; ++x) {
                const double reference = waveLevel((x + 0.5) * 0.5 - 0.5, (y + 0.5) * 0.5 - 0.5);
                const double difference = qRed(enlarged.pixel(x, y)) - reference;
                sum += difference * difference;
                ++samples;
            }
        }
    }
    return sum / std::max(samples, 1);
}

QImage grab(GpuSurface *surface)
{
    return surface ? surface->grabFramebuffer() : QImage();
}

QRgb centrePixel(const QImage &image)
{
    return image.isNull() ? 0 : image.pixel(image.width() / 2, image.height() / 2);
}

class GpuTestRun
{
public:
    explicit GpuTestRun(const QString &fixtures)
        : m_report(QStringLiteral("GPU SDR 8-bit scaler functional/quality tests and bounded playback "
                                  "measurements; not AMD/macOS/Linux, physical 4K, AV sync or show-duration "
                                  "certification")),
          m_fixtures(QDir(fixtures))
    {
    }

    int run(const QString &resultPath);

private:
    void offscreenGroup(const QString &resultPath);
    void scalerCases(GpuLanczos &lanczos, const QString &resultPath);
    void cacheGroup();
    void windowGroup();
    void streamPass(int pass);

    SelfTestReport m_report;
    QDir m_fixtures;
    QJsonObject m_device;
    QJsonObject m_quality;
    QJsonArray m_streams;
    std::unique_ptr<QOpenGLContext> m_context;
    std::unique_ptr<QOffscreenSurface> m_surface;
    std::unique_ptr<NativeChannel> m_deckA;
    std::unique_ptr<NativeChannel> m_deckB;
    std::unique_ptr<OutputRouter> m_router;
    QSharedPointer<GpuFrameCache> m_cacheA;
    const QImage m_redCard = constantPicture(QSize(320, 180), Qt::red);
    QVideoFrame m_baseFrame;
};

void GpuTestRun::offscreenGroup(const QString &resultPath)
{
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    m_context = std::make_unique<QOpenGLContext>();
    m_context->setFormat(format);
    const bool created = m_context->create();
    m_surface = std::make_unique<QOffscreenSurface>();
    m_surface->setFormat(m_context->format());
    m_surface->create();
    const bool current = created && m_context->makeCurrent(m_surface.get());
    m_report.recordResult(QStringLiteral("opengl_context"), current, {});
    if (!current)
        return;

    auto lanczos = std::make_unique<GpuLanczos>();
    const bool initialized = lanczos->initialize();
    m_report.recordResult(QStringLiteral("shader_compiles_and_links"), initialized,
                          {{QStringLiteral("error"), lanczos->errorString()}});
    m_device = lanczos->rendererInfo();
    if (initialized)
        scalerCases(*lanczos, resultPath);
    lanczos->release();
    m_context->doneCurrent();
}

void GpuTestRun::scalerCases(GpuLanczos &lanczos, const QString &resultPath)
{
    const QImage ramp = rampPicture();
    bool rendered = lanczos.render(ramp, ramp.size());
    const QImage identity = lanczos.result();
    const int identityError = rendered ? maxChannelError(identity, ramp) : 0;
    m_report.recordResult(QStringLiteral("identity_preserves_pixels_and_orientation"),
                          rendered && identity.size() == ramp.size() && identityError <= 1,
                          {{QStringLiteral("max_channel_error"), identityError}});

    const QImage checkerboard = checkerboardPicture();
    rendered = lanczos.render(checkerboard, QSize(64, 64));
    const QImage reduced = lanczos.result();
    int checkerError = 0;
    for (int y = 8; y <= 55 && !reduced.isNull(); ++y) {
        for (int x = 8; x <= 55; ++x)
            checkerError = std::max(checkerError, std::abs(qRed(reduced.pixel(x, y)) - 128));
    }
    m_report.recordResult(QStringLiteral("downscale_kernel_suppresses_checkerboard_aliasing"),
                          rendered && !reduced.isNull() && checkerError <= 2,
                          {{QStringLiteral("maximum_error_from_midgray"), checkerError}});

    const QImage wave = wavePicture();
    rendered = lanczos.render(wave, QSize(256, 160));
    const QImage gpuWave = rendered ? lanczos.result() : QImage();
    const QImage smoothWave = wave.scaled(256, 160, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const double gpuMse = waveError(gpuWave);
    const double qtMse = waveError(smoothWave);
    m_report.recordResult(QStringLiteral("upscale_reconstructs_wave_better_than_linear"),
                          rendered && !gpuWave.isNull() && gpuMse < qtMse,
                          {{QStringLiteral("gpu_mse"), gpuMse}, {QStringLiteral("qt_smooth_mse"), qtMse}});

    const QRgb blue = qRgba(32, 96, 192, 255);
    rendered = lanczos.render(constantPicture(QSize(1920, 1080), QColor(32, 96, 192)), QSize(3840, 2160));
    const QImage up = lanczos.result();
    m_report.recordResult(QStringLiteral("gpu_1080_to_4k_pixels"),
                          rendered && up.size() == QSize(3840, 2160) && up.pixel(1920, 1080) == blue, {});
    rendered = lanczos.render(up, QSize(1920, 1080));
    const QImage down = lanczos.result();
    m_report.recordResult(QStringLiteral("gpu_4k_to_1080_pixels"),
                          rendered && down.size() == QSize(1920, 1080) && down.pixel(960, 540) == blue, {});

    m_report.recordResult(QStringLiteral("excessive_reduction_is_rejected"),
                          !lanczos.render(checkerboard, QSize(16, 16)), {});

    m_quality = {{QStringLiteral("sdr_gamma_encoded_rgb"), true},
                 {QStringLiteral("gpu_wave_mse"), gpuMse},
                 {QStringLiteral("qt_smooth_wave_mse"), qtMse},
                 {QStringLiteral("identity_max_error"), identityError},
                 {QStringLiteral("checkerboard_max_error"), checkerError},
                 {QStringLiteral("timer_query_supported"), lanczos.timerQuerySupported()}};

    QImage proof(800, 260, QImage::Format_RGB32);
    proof.fill(QColor(QStringLiteral("#10141c")));
    QPainter painter(&proof);
    painter.setPen(Qt::white);
    painter.setFont(QFont(QStringLiteral("Segoe UI"), 10));
    painter.drawText(16, 24, QStringLiteral("SDR TEST PATTERN / 2x UPSCALE — native GPU readback for QA only"));
    painter.drawImage(16, 58, wave.scaled(256, 160, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    painter.drawImage(280, 58, smoothWave);
    painter.drawImage(544, 58, gpuWave);
    painter.drawText(16, 242, QStringLiteral("Nearest (reference)"));
    painter.drawText(280, 242, QStringLiteral("Qt Smooth"));
    painter.drawText(544, 242, QStringLiteral("GPU Lanczos-3"));
    painter.end();
    proof.save(QFileInfo(resultPath).absolutePath() + QStringLiteral("/gpu-quality-proof.png"));
}

void GpuTestRun::cacheGroup()
{
    m_deckA = std::make_unique<NativeChannel>(false);
    m_router = std::make_unique<OutputRouter>();
    m_cacheA = m_router->gpuFrameCache(m_deckA.get());
    m_baseFrame = videoFrameFromImage(m_redCard);
    m_baseFrame.setStartTime(123000);
    m_cacheA->image(m_baseFrame);
    m_cacheA->image(m_baseFrame);
    m_report.recordResult(QStringLiteral("mirrors_share_input_readback"),
                          m_router->gpuFrameCache(m_deckA.get()) == m_cacheA && m_cacheA->conversions() == 1, {});
    m_deckB = std::make_unique<NativeChannel>(false);
    m_report.recordResult(QStringLiteral("independent_programs_have_independent_caches"),
                          m_router->gpuFrameCache(m_deckB.get()) != m_cacheA, {});
}

void GpuTestRun::windowGroup()
{
    NativeChannel *deck = m_deckA.get();
    QPointer<OutputWindow> window = new OutputWindow(deck, m_router.get(), 2, nullptr);
    const auto gpuViewActive = [&window] {
        return window && window->gpuSurface() && !window->gpuFailed()
               && window->stack()->currentWidget() == window->gpuSurface();
    };
    const auto nativeFrame = [&window] {
        return window ? window->videoWidget()->videoSink()->videoFrame() : QVideoFrame();
    };
    window->showOnScreen(nullptr);
    pumpFor(250);
    emit deck->frameReady(m_baseFrame);

    GpuSurface *surface = window->gpuSurface();
    const bool exposed = window->windowHandle() && window->windowHandle()->isExposed();
    QImage picture = grab(surface);
    const bool firstDrawn = surface && surface->renders() > 0 && !picture.isNull();
    m_report.recordResult(QStringLiteral("gpu_output_framebuffer_pixels"),
                          firstDrawn && gpuViewActive() && centrePixel(picture) == QColor(Qt::red).rgb(),
                          {{QStringLiteral("valid"), surface && surface->isValid()},
                           {QStringLiteral("window_exposed"), exposed},
                           {QStringLiteral("error"), surface ? surface->errorText() : QStringLiteral("no surface")},
                           {QStringLiteral("frames"), surface ? surface->renders() : 0}});

    if (firstDrawn) {
        for (int k = 0; k < 40; ++k) {
            QVideoFrame frame = videoFrameFromImage(m_redCard);
            frame.setStartTime(1000000 + k * 33333);
            emit deck->frameReady(frame);
        }
        grab(surface);
        m_report.recordResult(QStringLiteral("gpu_surface_coalesces_burst_to_latest"),
                              surface->drawnFrame().startTime() == 2299987 && surface->supersededFrames() >= 38,
                              {{QStringLiteral("superseded_frames"), surface->supersededFrames()}});

        emit deck->frameReady(QVideoFrame());
        pumpFor(60);
        picture = grab(surface);
        m_report.recordResult(QStringLiteral("black_clears_gpu_output"),
                              surface->drawnFrame().startTime() == -1 && !picture.isNull()
                                  && centrePixel(picture) == QColor(Qt::black).rgb(),
                              {});

        QVideoFrame rotated = videoFrameFromImage(m_redCard);
        rotated.setRotationAngle(QVideoFrame::Rotation90);
        emit deck->frameReady(rotated);
        m_report.recordResult(QStringLiteral("gpu_rotation_falls_back_to_native"),
                              !gpuViewActive() && nativeFrame() == rotated, {});

        const QVideoFrame tenBit(QVideoFrameFormat(QSize(64, 64), QVideoFrameFormat::Format_P010));
        emit deck->frameReady(tenBit);
        m_report.recordResult(QStringLiteral("gpu_10bit_falls_back_without_requantizing"),
                              !gpuViewActive() && nativeFrame() == tenBit, {});

        emit deck->frameReady(m_baseFrame);
        m_report.recordResult(QStringLiteral("gpu_resumes_after_compatible_frame"),
                              waitFor(gpuViewActive, waitLimitMs), {});
    }
    if (window)
        window->close();
    deliverDeferredDeletions();

    qputenv("ZELVO_DISABLE_GPU_SCALER", "1");
    window = new OutputWindow(deck, m_router.get(), 2, nullptr);
    window->showOnScreen(nullptr);
    emit deck->frameReady(m_baseFrame);
    m_report.recordResult(QStringLiteral("unavailable_gpu_uses_native"),
                          !window->gpuSurface() && nativeFrame() == m_baseFrame, {});
    window->close();
    deliverDeferredDeletions();
    qunsetenv("ZELVO_DISABLE_GPU_SCALER");
}

void GpuTestRun::streamPass(int pass)
{
    const QSize surfaceSize = pass == 0 ? QSize(1920, 1080) : QSize(3840, 2160);
    const QString file = pass == 0 ? QStringLiteral("h264-3840x2160.mp4") : QStringLiteral("h264-1920x1080.mp4");
    auto deck = std::make_unique<NativeChannel>(false);
    deck->setLooping(true);
    QSharedPointer<GpuFrameCache> cache = m_router->gpuFrameCache(deck.get());
    auto surface = std::make_unique<GpuSurface>(cache, nullptr);
    surface->setFixedSize(surfaceSize);
    surface->show();
    QObject::connect(deck.get(), &NativeChannel::frameReady, surface.get(), &GpuSurface::setFrame);
    deck->load(Cue::forPath(m_fixtures.absoluteFilePath(file)), true);
    const bool started = waitFor([&] { return surface->renders() >= 8; }, waitLimitMs);

    const QImage picture = surface->grabFramebuffer();
    const QString prefix = pass == 0 ? QStringLiteral("stream_1080") : QStringLiteral("stream_4k");
    m_report.recordResult(prefix + QStringLiteral("_framebuffer_size"), picture.size() == surfaceSize,
                          {{QStringLiteral("actual_w"), picture.width()}, {QStringLiteral("actual_h"), picture.height()}});

    QList<double> cpuSamples, gpuSamples;
    const int rendersBefore = surface->renders();
    const int framesBefore = deck->frameCount();
    int seenRenders = rendersBefore;
    const auto sampler = QObject::connect(surface.get(), &QOpenGLWidget::frameSwapped, surface.get(), [&] {
        if (surface->renders() == seenRenders)
            return;
        seenRenders = surface->renders();
        cpuSamples << surface->renderMs();
        if (surface->gpuMs() >= 0)
            gpuSamples << surface->gpuMs();
    });
    QElapsedTimer timer;
    timer.start();
    pumpFor(4000);
    const qint64 elapsedMs = timer.elapsed();
    QObject::disconnect(sampler);

    const int rendered = surface->renders() - rendersBefore;
    const qreal ratio = surface->devicePixelRatioF();
    const QJsonObject measurement{
        {QStringLiteral("direction"), pass == 0 ? QStringLiteral("4K to 1080p") : QStringLiteral("1080p to 4K")},
        {QStringLiteral("output_w"), surfaceSize.width()},
        {QStringLiteral("output_h"), surfaceSize.height()},
        {QStringLiteral("elapsed_ms"), elapsedMs},
        {QStringLiteral("rendered_unique_frames"), rendered},
        {QStringLiteral("source_frames"), deck->frameCount() - framesBefore},
        {QStringLiteral("render_fps"), elapsedMs > 0 ? rendered * 1000.0 / elapsedMs : 0.0},
        {QStringLiteral("service_cpu_median_ms"), percentile(cpuSamples, 0.5)},
        {QStringLiteral("service_cpu_p95_ms"), percentile(cpuSamples, 0.95)},
        {QStringLiteral("gpu_filter_median_ms"), percentile(gpuSamples, 0.5)},
        {QStringLiteral("gpu_filter_p95_ms"), percentile(gpuSamples, 0.95)},
        {QStringLiteral("superseded_frames"), surface->supersededFrames()},
        {QStringLiteral("device"), surface->rendererInfo()},
        {QStringLiteral("framebuffer_pixels"),
         QStringLiteral("%1x%2")
             .arg(std::lround(surface->width() * ratio))
             .arg(std::lround(surface->height() * ratio))},
        {QStringLiteral("scope"), QStringLiteral("4-second native stream; CPU service includes input "
                                                 "readback/upload/submission; async GPU queries cover filter "
                                                 "passes only; excludes scanout and AV sync")}};
    m_report.recordResult(pass == 0 ? QStringLiteral("gpu_native_4k_downscale_stream")
                                    : QStringLiteral("gpu_native_1080_upscale_stream"),
                          started && rendered > 7, measurement);
    m_streams.append(measurement);

    deck->clear();
    surface->close();
    surface.reset();
    cache.reset();
    deck.reset();
}

int GpuTestRun::run(const QString &resultPath)
{
    m_report.setDecodeMode();
    offscreenGroup(resultPath);
    cacheGroup();
    windowGroup();
    streamPass(0);
    streamPass(1);
    m_report.setMember(QStringLiteral("device"), m_device);
    m_report.setMember(QStringLiteral("quality"), m_quality);
    m_report.setMember(QStringLiteral("streams"), m_streams);
    const int code = m_report.write(resultPath);
    m_baseFrame = QVideoFrame();
    m_cacheA.reset();
    m_deckB.reset();
    m_router.reset();
    m_deckA.reset();
    m_surface.reset();
    m_context.reset();
    return code;
}

} // namespace

int runGpuTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    GpuTestRun run(fixtures);
    return run.run(result);
}
