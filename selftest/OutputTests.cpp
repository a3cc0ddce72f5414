#include "selftest/OutputTests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "outputs/display/LanczosScaler.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/display/OutputWindow.h"
#include "outputs/display/PixelSize.h"
#include "outputs/display/QualityFeed.h"
#include "outputs/display/VideoFrameFromImage.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QPointer>
#include <QScreen>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWindow>
#include <cmath>
#include <memory>

namespace {

constexpr int waitLimitMs = 12000;

QImage constantPicture(QSize size, QRgb colour)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

QVideoFrame timedFrame(const QImage &picture, qint64 startUs, qint64 endUs = -1)
{
    QVideoFrame frame = videoFrameFromImage(picture);
    frame.setStartTime(startUs);
    frame.setEndTime(endUs);
    return frame;
}

bool pixelIs(const QImage &image, QPoint at, QRgb expected)
{
    return !image.isNull() && image.rect().contains(at) && image.pixel(at) == expected;
}

void deliverDeferredDeletions()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QJsonObject screenObject(QScreen *screen)
{
    const QSize pixels = devicePixelSize(screen->geometry().size(), screen->devicePixelRatio());
    return {{QStringLiteral("name"), screen->name()},
            {QStringLiteral("logical_w"), screen->geometry().width()},
            {QStringLiteral("logical_h"), screen->geometry().height()},
            {QStringLiteral("pixel_w"), pixels.width()},
            {QStringLiteral("pixel_h"), pixels.height()},
            {QStringLiteral("dpr"), screen->devicePixelRatio()},
            {QStringLiteral("refresh_hz"), screen->refreshRate()}};
}

class OutputTestRun
{
public:
    explicit OutputTestRun(const QString &fixtures)
        : m_report(QStringLiteral("Synthetic SDR resampling and short native 1080p/4K H.264 tests; detected "
                                  "desktop geometry only, not physical display or vendor-specific qualification")),
          m_fixtures(QDir(fixtures))
    {
        m_report.setLogStyle(SelfTestReport::LogStyle::None);
    }

    int run(const QString &resultPath);

private:
    void geometryCases();
    void scalerCases();
    void feedCases();
    void decodeCases();
    void streamCase(int pass);
    QString fixture(const QString &name) const { return m_fixtures.absoluteFilePath(name); }

    SelfTestReport m_report;
    QDir m_fixtures;
    QJsonArray m_measurements;
    QJsonArray m_screens;
    LanczosScaler m_scaler;
    const QImage m_blue = constantPicture(QSize(1920, 1080), qRgb(32, 96, 192));
    const QImage m_green = constantPicture(QSize(640, 360), qRgb(96, 192, 64));
    std::unique_ptr<NativeChannel> m_idleDeck;
    std::unique_ptr<OutputRouter> m_router;
    std::unique_ptr<NativeChannel> m_decodingDeck;
    bool m_decodePassed = false;
};

void OutputTestRun::geometryCases()
{
    m_report.recordResult(QStringLiteral("pinned_lgpl_scaler_runtime"), m_scaler.isAvailable(),
                          {{QStringLiteral("error"), m_scaler.errorString()}});
    m_report.recordResult(QStringLiteral("4k_to_1080_fit"), fitSize({3840, 2160}, {1920, 1080}) == QSize(1920, 1080),
                          {});
    m_report.recordResult(QStringLiteral("1080_to_4k_fit"), fitSize({1920, 1080}, {3840, 2160}) == QSize(3840, 2160),
                          {});
    const QSize portrait = fitSize({1080, 1920}, {1920, 1080});
    const bool portraitKept = portrait.height() == 1080
                              && std::abs(double(portrait.width()) / portrait.height() - 0.5625) < 0.002;
    m_report.recordResult(QStringLiteral("portrait_aspect_is_preserved"), portraitKept, {});
    m_report.recordResult(QStringLiteral("hidpi_uses_physical_pixels"),
                          devicePixelSize({1536, 864}, 1.25) == QSize(1920, 1080), {});
}

void OutputTestRun::scalerCases()
{
    const QRgb blue = qRgba(32, 96, 192, 255);
    QElapsedTimer timer;
    timer.start();
    const QImage up = m_scaler.scale(m_blue, QSize(3840, 2160));
    const double upMs = timer.nsecsElapsed() / 1e6;
    m_report.recordResult(QStringLiteral("lanczos_1080_to_4k_pixels"),
                          up.size() == QSize(3840, 2160) && pixelIs(up, {1920, 1080}, blue), {});
    timer.restart();
    const QImage down = m_scaler.scale(up, QSize(1920, 1080));
    const double downMs = timer.nsecsElapsed() / 1e6;
    m_report.recordResult(QStringLiteral("lanczos_4k_to_1080_pixels"),
                          down.size() == m_blue.size() && pixelIs(down, {960, 540}, blue), {});
    m_measurements.append(QJsonObject{
        {QStringLiteral("scope"), QStringLiteral("single constant-image resample, not playback throughput")},
        {QStringLiteral("up_ms"), upMs},
        {QStringLiteral("down_ms"), downMs}});
}

void OutputTestRun::feedCases()
{
    m_idleDeck = std::make_unique<NativeChannel>(false);
    m_router = std::make_unique<OutputRouter>();
    NativeChannel *deck = m_idleDeck.get();

    QualityFeed *feed = m_router->qualityFeed(deck, QSize(1280, 720));
    QPointer<QualityFeed> guard(feed);
    QVideoSink sinkA, sinkB;
    const auto toA = QObject::connect(feed, &QualityFeed::frameReady, &sinkA,
                                      [&sinkA](const QVideoFrame &frame) { sinkA.setVideoFrame(frame); });
    QualityFeed *mirror = m_router->qualityFeed(deck, QSize(1280, 720));
    const auto toB = QObject::connect(mirror, &QualityFeed::frameReady, &sinkB,
                                      [&sinkB](const QVideoFrame &frame) { sinkB.setVideoFrame(frame); });

    const QVideoFrame first = timedFrame(m_green, 123000, 156333);
    emit deck->frameReady(first);
    emit deck->frameReady(first);
    bool waited = waitUntil([&] { return guard && guard->scaledFrames() >= 1; }, waitLimitMs);
    const QVideoFrame shown = sinkA.videoFrame();
    m_report.recordResult(QStringLiteral("mirrors_share_one_scaled_frame"),
                          waited && feed == mirror && feed->scaledFrames() == 1 && shown.isValid()
                              && shown == sinkB.videoFrame() && shown.size() == QSize(1280, 720)
                              && shown.startTime() == 123000,
                          {});

    const int jobsBefore = feed->scaledFrames();
    for (int k = 0; k < 40; ++k)
        emit deck->frameReady(timedFrame(m_green, 1000000 + k * 33333));
    waited = waitUntil(
        [&] {
            return guard && !guard->isBusy() && !guard->pendingFrame().isValid()
                   && guard->outputFrame().startTime() == 2299987;
        },
        waitLimitMs);
    const int burstJobs = feed->scaledFrames() - jobsBefore;
    m_report.recordResult(QStringLiteral("scaler_queue_is_bounded_latest_wins"),
                          waited && burstJobs <= 2 && feed->supersededFrames() >= 38,
                          {{QStringLiteral("jobs"), burstJobs},
                           {QStringLiteral("superseded_frames"), feed->supersededFrames()}});

    emit deck->frameReady(timedFrame(m_green, 9999999));
    emit deck->frameReady(QVideoFrame());
    waitUntil([&] { return guard && !guard->isBusy() && !guard->pendingFrame().isValid(); }, waitLimitMs);
    m_report.recordResult(QStringLiteral("black_invalidates_pending_scaled_frame"),
                          !feed->outputFrame().isValid() && !sinkA.videoFrame().isValid(), {});

    QVideoFrame rotated = videoFrameFromImage(m_green);
    rotated.setRotationAngle(QVideoFrame::Rotation90);
    emit deck->frameReady(rotated);
    m_report.recordResult(QStringLiteral("transformed_frame_uses_native_fallback"),
                          sinkA.videoFrame() == rotated && sinkA.videoFrame().rotationAngle() == QVideoFrame::Rotation90,
                          {});

    const QVideoFrame tenBit(QVideoFrameFormat(QSize(64, 64), QVideoFrameFormat::Format_P010));
    emit deck->frameReady(tenBit);
    m_report.recordResult(QStringLiteral("10bit_frame_preserves_native_precision"),
                          sinkA.videoFrame() == tenBit
                              && sinkA.videoFrame().pixelFormat() == QVideoFrameFormat::Format_P010,
                          {});

    QObject::disconnect(toA);
    QObject::disconnect(toB);
    m_router->pruneQualityFeeds();
    deliverDeferredDeletions();
    m_report.recordResult(QStringLiteral("unused_scaler_feed_is_released"), guard.isNull(), {});

    for (QScreen *screen : QGuiApplication::screens())
        m_screens.append(screenObject(screen));
}

void OutputTestRun::decodeCases()
{
    m_decodingDeck = std::make_unique<NativeChannel>(false);
    NativeChannel *deck = m_decodingDeck.get();
    deck->setLooping(true);
    QStringList errors;
    QObject::connect(deck, &NativeChannel::failed, deck, [&errors](const QString &text) { errors << text; });
    deck->load(Cue::forPath(fixture(QStringLiteral("h264-3840x2160.mp4"))), true);
    m_decodePassed = waitUntil(
        [deck] { return deck->currentFrame().size() == QSize(3840, 2160) && deck->frameCount() >= 8; },
        waitLimitMs);
    m_report.recordResult(QStringLiteral("native_4k_h264_decode"), m_decodePassed,
                          {{QStringLiteral("frames"), deck->frameCount()},
                           {QStringLiteral("error"), errors.join(QStringLiteral("; "))}});
    QObject::disconnect(deck, &NativeChannel::failed, deck, nullptr);

    QPointer<OutputWindow> window = new OutputWindow(deck, m_router.get(), 0, nullptr);
    QScreen *primary = QGuiApplication::primaryScreen();
    window->showOnScreen(primary);
    pump(250);
    const bool fullScreen = primary && window && window->isFullScreen() && window->windowHandle()
                            && window->windowHandle()->screen() == primary
                            && window->geometry() == primary->geometry()
                            && window->videoWidget()->aspectRatioMode() == Qt::KeepAspectRatio;
    m_report.recordResult(QStringLiteral("detected_screen_fullscreen_geometry"), fullScreen, {});
    const QVideoFrame shown = window ? window->videoWidget()->videoSink()->videoFrame() : QVideoFrame();
    m_report.recordResult(QStringLiteral("native_output_preserves_decoded_frame"),
                          m_decodePassed && shown.size() == QSize(3840, 2160) && window
                              && window->publishedToWindow() > 0,
                          {});
    if (window)
        window->close();
    deliverDeferredDeletions();
    m_report.recordResult(QStringLiteral("closing_output_preserves_program"), window.isNull() && deck->isPlaying(),
                          {});
}

void OutputTestRun::streamCase(int pass)
{
    NativeChannel *deck = m_decodingDeck.get();
    const QSize sourceSize = pass == 0 ? QSize(3840, 2160) : QSize(1920, 1080);
    const QSize outputSize = pass == 0 ? QSize(1920, 1080) : QSize(3840, 2160);
    auto sink = std::make_unique<QVideoSink>();
    QualityFeed *feed = m_router->qualityFeed(deck, outputSize);
    int delivered = 0;
    QElapsedTimer stopwatch;
    stopwatch.start();
    const auto accept = QObject::connect(feed, &QualityFeed::frameReady, sink.get(), [&](const QVideoFrame &frame) {
        if (!frame.isValid() || frame.size() != outputSize || deck->currentFrame().size() != sourceSize)
            return;
        sink->setVideoFrame(frame);
        ++delivered;
    });
    if (pass == 0)
        feed->refresh();
    else
        deck->load(Cue::forPath(fixture(QStringLiteral("h264-1920x1080.mp4"))), true);
    const bool waited = waitUntil([&] { return delivered >= 8 && deck->currentFrame().size() == sourceSize; },
                                  waitLimitMs);
    const qint64 elapsedMs = stopwatch.elapsed();
    m_report.recordResult(pass == 0 ? QStringLiteral("native_4k_downscale_1080_stream")
                                    : QStringLiteral("native_1080_upscale_4k_stream"),
                          waited,
                          {{QStringLiteral("delivered_frames"), delivered},
                           {QStringLiteral("elapsed_ms"), elapsedMs},
                           {QStringLiteral("last_service_ms"), feed->lastJobMs()},
                           {QStringLiteral("superseded_frames"), feed->supersededFrames()}});
    m_measurements.append(QJsonObject{
        {QStringLiteral("source_w"), sourceSize.width()},
        {QStringLiteral("source_h"), sourceSize.height()},
        {QStringLiteral("output_w"), outputSize.width()},
        {QStringLiteral("output_h"), outputSize.height()},
        {QStringLiteral("frames"), delivered},
        {QStringLiteral("elapsed_ms"), elapsedMs},
        {QStringLiteral("last_service_ms"), feed->lastJobMs()},
        {QStringLiteral("scope"), QStringLiteral("short functional stream; not sustained performance or AV sync "
                                                 "qualification")}});
    QObject::disconnect(accept);
    m_router->pruneQualityFeeds();
    deliverDeferredDeletions();
}

int OutputTestRun::run(const QString &resultPath)
{
    m_report.setDecodeMode();
    geometryCases();
    scalerCases();
    feedCases();
    decodeCases();
    streamCase(0);
    streamCase(1);
    m_decodingDeck->clear();
    m_report.setMember(QStringLiteral("measurements"), m_measurements);
    m_report.setMember(QStringLiteral("screens"), m_screens);
    const int code = m_report.write(resultPath);
    m_decodingDeck.reset();
    m_router.reset();
    m_idleDeck.reset();
    return code;
}

} // namespace

int runOutputTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    OutputTestRun run(fixtures);
    return run.run(result);
}
