#include "engine/NativeChannel.h"
#include "outputs/display/LanczosScaler.h"
#include "outputs/display/QualityFeed.h"
#include "outputs/display/VideoFrameFromImage.h"

#include <QSignalSpy>
#include <QTest>
#include <QVideoFrameFormat>
#include <memory>

namespace {

const QString budgetNotice = QStringLiteral("Lanczos output exceeds tested pixel budget; using Native scaling");
const QString highDepth = QStringLiteral("High-depth, HDR or transformed frame: using Native scaling");

QVideoFrame greenFrame(QSize size = QSize(640, 360), qreal frameRate = 0)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(qRgb(96, 192, 64));
    return videoFrameFromImage(picture, frameRate);
}

// An RGB frame whose format carries one property the scalers must leave to the native view.
QVideoFrame frameWithFormat(const std::function<void(QVideoFrameFormat &)> &change)
{
    QVideoFrameFormat format(QSize(640, 360), QVideoFrameFormat::Format_BGRA8888);
    change(format);
    return QVideoFrame(format);
}

} // namespace

class TestQualityFeed : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void withoutReceiverDoesNothing();
    void scaledFrameKeepsTimingAndText();
    void passesThroughWhatItMustNotScale_data();
    void passesThroughWhatItMustNotScale();
    void missingRuntimePassesEveryFrameThrough();
    void warnsOnceAboutTheFrameBudget();
    void destructionWaitsForTheRunningJob();

private:
    std::unique_ptr<NativeChannel> m_deck;
};

void TestQualityFeed::init()
{
    m_deck = std::make_unique<NativeChannel>(false);
}

void TestQualityFeed::cleanup()
{
    m_deck.reset();
    LanczosScaler::resetRuntimeForTesting();
}

void TestQualityFeed::withoutReceiverDoesNothing()
{
    QualityFeed feed(m_deck.get(), QSize(1280, 720), nullptr);
    emit m_deck->frameReady(greenFrame());
    QVERIFY(!feed.isBusy());
    QVERIFY(!feed.outputFrame().isValid());
    QTest::qWait(50);
    QCOMPARE(feed.scaledFrames(), 0);
}

void TestQualityFeed::scaledFrameKeepsTimingAndText()
{
    QualityFeed feed(m_deck.get(), QSize(1280, 720), nullptr);
    QSignalSpy frames(&feed, &QualityFeed::frameReady);
    QVideoFrame frame = greenFrame(QSize(640, 360), 25.0);
    frame.setStartTime(40000);
    frame.setEndTime(80000);
    frame.setSubtitleText(QStringLiteral("subtitle line"));
    emit m_deck->frameReady(frame);
    QVERIFY(feed.isBusy());
    QVERIFY(frames.wait(5000));
    QCOMPARE(frames.size(), 1);
    const QVideoFrame scaled = frames.at(0).at(0).value<QVideoFrame>();
    QCOMPARE(scaled.size(), QSize(1280, 720));
    QCOMPARE(scaled.startTime(), 40000);
    QCOMPARE(scaled.endTime(), 80000);
    QCOMPARE(scaled.surfaceFormat().frameRate(), 25.0);
    QCOMPARE(scaled.subtitleText(), QStringLiteral("subtitle line"));
    QCOMPARE(scaled.toImage().pixel(640, 360), qRgb(96, 192, 64));
    QCOMPARE(feed.outputFrame(), scaled);
    QCOMPARE(feed.scaledFrames(), 1);
    QVERIFY(feed.lastJobMs() > 0);
    QVERIFY(!feed.isBusy());
}

void TestQualityFeed::passesThroughWhatItMustNotScale_data()
{
    QTest::addColumn<QSize>("bounds");
    QTest::addColumn<QVideoFrame>("frame");
    QTest::addColumn<QString>("notice");
    QTest::newRow("window without size") << QSize() << greenFrame() << budgetNotice;
    QTest::newRow("beyond 4096 x 2160") << QSize(7680, 4320) << greenFrame() << budgetNotice;
    QTest::newRow("already the fitted size") << QSize(640, 360) << greenFrame() << QString();
    QTest::newRow("fits inside taller bounds") << QSize(640, 1000) << greenFrame() << QString();
    QTest::newRow("mirrored") << QSize(1280, 720)
                              << frameWithFormat([](QVideoFrameFormat &f) { f.setMirrored(true); }) << highDepth;
    QTest::newRow("PQ transfer") << QSize(1280, 720) << frameWithFormat([](QVideoFrameFormat &f) {
        f.setColorTransfer(QVideoFrameFormat::ColorTransfer_ST2084);
    }) << highDepth;
    QTest::newRow("HLG transfer") << QSize(1280, 720) << frameWithFormat([](QVideoFrameFormat &f) {
        f.setColorTransfer(QVideoFrameFormat::ColorTransfer_STD_B67);
    }) << highDepth;
    QTest::newRow("cropped viewport") << QSize(1280, 720) << frameWithFormat([](QVideoFrameFormat &f) {
        f.setViewport(QRect(0, 0, 320, 360));
    }) << highDepth;
    QTest::newRow("16-bit grey") << QSize(1280, 720)
                                 << QVideoFrame(QVideoFrameFormat(QSize(64, 64), QVideoFrameFormat::Format_Y16))
                                 << highDepth;
    QTest::newRow("10-bit 4:2:0") << QSize(1280, 720)
                                  << QVideoFrame(QVideoFrameFormat(QSize(64, 64), QVideoFrameFormat::Format_YUV420P10))
                                  << highDepth;
    QVideoFrame upsideDown = greenFrame();
    upsideDown.setRotationAngle(QVideoFrame::Rotation180);
    QTest::newRow("rotated 180") << QSize(1280, 720) << upsideDown << highDepth;
}

void TestQualityFeed::passesThroughWhatItMustNotScale()
{
    QFETCH(QSize, bounds);
    QFETCH(QVideoFrame, frame);
    QFETCH(QString, notice);
    QualityFeed feed(m_deck.get(), bounds, nullptr);
    QSignalSpy frames(&feed, &QualityFeed::frameReady);
    QSignalSpy warnings(&feed, &QualityFeed::warning);
    emit m_deck->frameReady(frame);
    // Delivered unchanged, within the emission, without a job.
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.at(0).at(0).value<QVideoFrame>(), frame);
    QVERIFY(!feed.isBusy());
    QCOMPARE(warnings.size(), notice.isEmpty() ? 0 : 1);
    if (!notice.isEmpty())
        QCOMPARE(warnings.at(0).at(0).toString(), notice);

    // A second frame with the same problem passes too, without repeating the notice.
    QVideoFrame again(frame.surfaceFormat());
    again.setRotationAngle(frame.rotationAngle());
    emit m_deck->frameReady(again);
    QCOMPARE(frames.size(), 2);
    QCOMPARE(warnings.size(), notice.isEmpty() ? 0 : 1);
    QCOMPARE(feed.scaledFrames(), 0);
}

void TestQualityFeed::missingRuntimePassesEveryFrameThrough()
{
    LanczosScaler::Runtime runtime = LanczosScaler::defaultRuntime();
    runtime.swscaleCandidates = QStringList{QStringLiteral("/nonexistent/libswscale.so.0")};
    LanczosScaler::setRuntimeForTesting(runtime);
    QualityFeed feed(m_deck.get(), QSize(1280, 720), nullptr);
    QSignalSpy frames(&feed, &QualityFeed::frameReady);
    QSignalSpy warnings(&feed, &QualityFeed::warning);
    const QVideoFrame first = greenFrame(), second = greenFrame();
    emit m_deck->frameReady(first);
    emit m_deck->frameReady(second);
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames.at(1).at(0).value<QVideoFrame>(), second);
    QCOMPARE(frames.at(1).at(0).value<QVideoFrame>().size(), QSize(640, 360));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(),
             QStringLiteral("Lanczos runtime could not be loaded; using Native scaling"));
}

void TestQualityFeed::warnsOnceAboutTheFrameBudget()
{
    // At 1000 frames per second the budget is 1 ms, which no 640 x 360 -> 3840 x 2160 job meets.
    QualityFeed feed(m_deck.get(), QSize(3840, 2160), nullptr);
    QSignalSpy frames(&feed, &QualityFeed::frameReady);
    QSignalSpy warnings(&feed, &QualityFeed::warning);
    emit m_deck->frameReady(greenFrame(QSize(640, 360), 1000.0));
    QVERIFY(frames.wait(5000));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(),
             QStringLiteral("Lanczos exceeds the frame budget; use Native for live playback"));
    emit m_deck->frameReady(greenFrame(QSize(640, 360), 1000.0));
    QVERIFY(frames.wait(5000));
    QCOMPARE(feed.scaledFrames(), 2);
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(frames.last().at(0).value<QVideoFrame>().size(), QSize(3840, 2160));
}

void TestQualityFeed::destructionWaitsForTheRunningJob()
{
    auto feed = std::make_unique<QualityFeed>(m_deck.get(), QSize(3840, 2160), nullptr);
    int delivered = 0;
    connect(feed.get(), &QualityFeed::frameReady, this, [&delivered] { ++delivered; });
    emit m_deck->frameReady(greenFrame(QSize(1920, 1080)));
    QVERIFY(feed->isBusy());
    feed.reset();
    QTest::qWait(100);
    QCOMPARE(delivered, 0);
}

QTEST_MAIN(TestQualityFeed)
#include "tst_qualityfeed.moc"
