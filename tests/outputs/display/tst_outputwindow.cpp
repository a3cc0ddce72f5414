#include "engine/NativeChannel.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/display/OutputWindow.h"
#include "outputs/display/QualityFeed.h"
#include "outputs/display/VideoFrameFromImage.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWindow>
#include <memory>

// Runs on the offscreen platform with the screens of screens.json: "a-left" and "b-right", two
// 1920 x 1080 screens side by side, and "c-hidpi", 1536 x 864 logical pixels at a ratio of 1.25.

namespace {

QScreen *screenNamed(const QString &name)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

QVideoFrame picture(QSize size = QSize(640, 360))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(qRgb(200, 40, 40));
    return videoFrameFromImage(image);
}

// Counts the feeds a router creates (they are its children).
class FeedCounter : public QObject
{
public:
    explicit FeedCounter(QObject *router) { router->installEventFilter(this); }
    int created = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded)
            ++created;
        return false;
    }
};

// Lets the 80 ms restart timer and the feed jobs run.
// Lets the windows take their place and run the route refresh that resizes and screen changes
// schedule. The tests hand the windows pictures that the deck does not hold, which a refresh still
// due would replace with the deck's own (none).
void settle()
{
    QTest::qWait(200);
    QTest::qWaitFor([] {
        const QWidgetList windows = QApplication::topLevelWidgets();
        return std::none_of(windows.cbegin(), windows.cend(), [](QWidget *widget) {
            const auto *output = qobject_cast<OutputWindow *>(widget);
            return output && output->refreshPending();
        });
    }, 5000);
}

} // namespace

class TestOutputWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void areaPlacement_data();
    void areaPlacement();
    void pictureSplitOverTwoScreens();
    void physicalPixelsOfAHighDensityScreen();
    void geometryBurstRestartsOnce();
    void mirrorsShareAFeedUntilTheLastCloses();
    void blackClearsAndIsNotCounted_data();
    void blackClearsAndIsNotCounted();
    void disabledGpuUsesNativeView();
    void followsScreenGeometry();
    void closesWhenItsScreenGoes();
    void escapeCloses();

private:
    std::unique_ptr<NativeChannel> m_deck;
    std::unique_ptr<OutputRouter> m_router;
};

void TestOutputWindow::initTestCase()
{
    QVERIFY2(screenNamed(QStringLiteral("a-left")) && screenNamed(QStringLiteral("b-right"))
                 && screenNamed(QStringLiteral("c-hidpi")),
             "needs QT_QPA_PLATFORM=offscreen:configfile=screens.json");
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

void TestOutputWindow::init()
{
    m_deck = std::make_unique<NativeChannel>(false);
    m_router = std::make_unique<OutputRouter>();
}

void TestOutputWindow::cleanup()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_router.reset();
    m_deck.reset();
}

void TestOutputWindow::areaPlacement_data()
{
    QTest::addColumn<QRectF>("area");
    QTest::addColumn<QRectF>("stored");
    QTest::addColumn<QRect>("videoRect");
    QTest::addColumn<bool>("keepsAspect");
    QTest::newRow("whole picture") << QRectF(0, 0, 1, 1) << QRectF(0, 0, 1, 1) << QRect(0, 0, 400, 300) << true;
    QTest::newRow("right half") << QRectF(0.5, 0, 0.5, 1) << QRectF(0.5, 0, 0.5, 1) << QRect(-400, 0, 800, 300)
                                << false;
    QTest::newRow("bottom-right quarter") << QRectF(0.5, 0.5, 0.5, 0.5) << QRectF(0.5, 0.5, 0.5, 0.5)
                                          << QRect(-400, -300, 800, 600) << false;
    QTest::newRow("middle third") << QRectF(1.0 / 3, 0, 1.0 / 3, 1) << QRectF(1.0 / 3, 0, 1.0 / 3, 1)
                                  << QRect(-400, 0, 1200, 300) << false;
    QTest::newRow("negative size is normalised") << QRectF(1, 1, -0.5, -0.5) << QRectF(0.5, 0.5, 0.5, 0.5)
                                                 << QRect(-400, -300, 800, 600) << false;
    QTest::newRow("clipped to the picture") << QRectF(-0.5, 0, 1, 1) << QRectF(0, 0, 0.5, 1)
                                            << QRect(0, 0, 800, 300) << false;
    QTest::newRow("too narrow") << QRectF(0, 0, 0.005, 1) << QRectF(0, 0, 1, 1) << QRect(0, 0, 400, 300) << true;
    QTest::newRow("too low") << QRectF(0.2, 0.2, 0.5, 0.009) << QRectF(0, 0, 1, 1) << QRect(0, 0, 400, 300) << true;
    QTest::newRow("outside the picture") << QRectF(2, 2, 1, 1) << QRectF(0, 0, 1, 1) << QRect(0, 0, 400, 300)
                                         << true;
}

void TestOutputWindow::areaPlacement()
{
    QFETCH(QRectF, area);
    QFETCH(QRectF, stored);
    QFETCH(QRect, videoRect);
    QFETCH(bool, keepsAspect);
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 0, nullptr);
    window->resize(400, 300);
    window->showOnScreen(nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->setArea(QRectF(0.25, 0.25, 0.25, 0.25));
    window->setArea(area);
    QCOMPARE(window->area(), stored);
    QCOMPARE(window->videoRect(), videoRect);
    QCOMPARE(window->videoWidget()->aspectRatioMode(), keepsAspect ? Qt::KeepAspectRatio : Qt::IgnoreAspectRatio);
    // The placement follows the window size.
    window->resize(800, 600);
    QTRY_COMPARE(window->videoRect(), QRect(videoRect.topLeft() * 2, videoRect.size() * 2));
}

void TestOutputWindow::pictureSplitOverTwoScreens()
{
    QScreen *left = screenNamed(QStringLiteral("a-left"));
    QScreen *right = screenNamed(QStringLiteral("b-right"));
    auto *leftWindow = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    auto *rightWindow = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    leftWindow->setArea(QRectF(0, 0, 0.5, 1));
    rightWindow->setArea(QRectF(0.5, 0, 0.5, 1));
    leftWindow->showOnScreen(left);
    rightWindow->showOnScreen(right);
    settle();

    QCOMPARE(leftWindow->geometry(), left->geometry());
    QCOMPARE(rightWindow->geometry(), right->geometry());
    QVERIFY(leftWindow->isFullScreen() && rightWindow->isFullScreen());
    QCOMPARE(leftWindow->windowHandle()->screen(), left);
    QCOMPARE(rightWindow->windowHandle()->screen(), right);
    // Each window lays the whole picture out over both screens and shows its own half: the two
    // pictures coincide on the desktop, so the halves meet without a seam or an overlap.
    QCOMPARE(leftWindow->videoRect(), QRect(0, 0, 3840, 1080));
    QCOMPARE(rightWindow->videoRect(), QRect(-1920, 0, 3840, 1080));
    QCOMPARE(leftWindow->mapToGlobal(leftWindow->videoRect().topLeft()), QPoint(0, 0));
    QCOMPARE(rightWindow->mapToGlobal(rightWindow->videoRect().topLeft()), QPoint(0, 0));
    QCOMPARE(leftWindow->videoWidget()->aspectRatioMode(), Qt::IgnoreAspectRatio);

    // Both scale to the size of the whole picture, so they share one feed and one scaled frame.
    QCOMPARE(leftWindow->physicalSize(), QSize(3840, 1080));
    QCOMPARE(rightWindow->physicalSize(), QSize(3840, 1080));
    QVERIFY(leftWindow->feed());
    QCOMPARE(leftWindow->feed(), rightWindow->feed());
    emit m_deck->frameReady(picture(QSize(1920, 540)));
    QTRY_VERIFY(leftWindow->videoWidget()->videoSink()->videoFrame().size() == QSize(3840, 1080));
    QCOMPARE(rightWindow->videoWidget()->videoSink()->videoFrame(),
             leftWindow->videoWidget()->videoSink()->videoFrame());
    QCOMPARE(leftWindow->feed()->scaledFrames(), 1);
}

void TestOutputWindow::physicalPixelsOfAHighDensityScreen()
{
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    window->showOnScreen(screenNamed(QStringLiteral("c-hidpi")));
    settle();
    QCOMPARE(window->size(), QSize(1536, 864));
    QCOMPARE(window->physicalSize(), QSize(1920, 1080));
    QVERIFY(window->feed());
    QCOMPARE(window->feed()->targetSize(), QSize(1920, 1080));
    emit m_deck->frameReady(picture(QSize(3840, 2160)));
    QTRY_COMPARE(window->videoWidget()->videoSink()->videoFrame().size(), QSize(1920, 1080));
}

void TestOutputWindow::geometryBurstRestartsOnce()
{
    FeedCounter feeds(m_router.get());
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    window->showOnScreen(nullptr);
    settle();
    QCOMPARE(feeds.created, 1);
    QCOMPARE(window->feed()->targetSize(), QSize(720, 405));
    for (const QSize size : {QSize(800, 450), QSize(900, 500), QSize(1000, 560)}) {
        window->resize(size);
        QTest::qWait(20);
    }
    window->setArea(QRectF(0, 0, 1, 1));
    settle();
    QCOMPARE(feeds.created, 2);
    QCOMPARE(window->feed()->targetSize(), QSize(1000, 560));
}

void TestOutputWindow::mirrorsShareAFeedUntilTheLastCloses()
{
    QPointer<OutputWindow> first = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    QPointer<OutputWindow> second = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    first->showOnScreen(nullptr);
    second->showOnScreen(nullptr);
    settle();
    QPointer<QualityFeed> feed = first->feed();
    QVERIFY(feed);
    QCOMPARE(second->feed(), feed.data());

    // A frame sent twice is scaled once, and both mirrors show that one scaled frame.
    const QVideoFrame frame = picture();
    emit m_deck->frameReady(frame);
    emit m_deck->frameReady(frame);
    QTRY_VERIFY(second->videoWidget()->videoSink()->videoFrame().size() == QSize(720, 405));
    QCOMPARE(first->videoWidget()->videoSink()->videoFrame(), second->videoWidget()->videoSink()->videoFrame());
    QCOMPARE(feed->scaledFrames(), 1);

    first->close();
    QTRY_VERIFY(first.isNull());
    QTest::qWait(20);
    QVERIFY(feed);
    // A window that joins late shows the shared scaled frame at once.
    auto *late = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    late->showOnScreen(nullptr);
    QCOMPARE(late->feed(), feed.data());
    QCOMPARE(late->videoWidget()->videoSink()->videoFrame(), feed->outputFrame());
    late->close();
    second->close();
    QTRY_VERIFY(feed.isNull());
}

void TestOutputWindow::blackClearsAndIsNotCounted_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("native") << 0;
    QTest::newRow("CPU Lanczos") << 1;
}

void TestOutputWindow::blackClearsAndIsNotCounted()
{
    QFETCH(int, mode);
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), mode, nullptr);
    window->showOnScreen(nullptr);
    settle();
    QVideoSink *sink = window->videoWidget()->videoSink();
    emit m_deck->frameReady(picture());
    QTRY_VERIFY(sink->videoFrame().isValid());
    QCOMPARE(window->publishedToWindow(), 1);
    emit m_deck->frameReady(QVideoFrame());
    QVERIFY(!sink->videoFrame().isValid());
    QTest::qWait(50);
    QVERIFY(!sink->videoFrame().isValid());
    QCOMPARE(window->publishedToWindow(), 1);
}

void TestOutputWindow::disabledGpuUsesNativeView()
{
    qputenv("ZELVO_DISABLE_GPU_SCALER", "");
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 2, nullptr);
    qunsetenv("ZELVO_DISABLE_GPU_SCALER");
    QSignalSpy warnings(window, &OutputWindow::warning);
    QVERIFY(!window->gpuSurface());
    window->showOnScreen(nullptr);
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).at(0).toString(), QStringLiteral("GPU context unavailable; using Native scaling"));
    const QVideoFrame frame = picture();
    emit m_deck->frameReady(frame);
    QCOMPARE(window->videoWidget()->videoSink()->videoFrame(), frame);
    QCOMPARE(window->publishedToWindow(), 1);
    QVERIFY(!window->gpuScalerActive());
    QTest::qWait(1100);
    QCOMPARE(warnings.size(), 1);
}

void TestOutputWindow::followsScreenGeometry()
{
    QScreen *right = screenNamed(QStringLiteral("b-right"));
    auto *window = new OutputWindow(m_deck.get(), m_router.get(), 1, nullptr);
    window->showOnScreen(right);
    settle();
    const QRect changed(1920, 0, 1280, 720);
    emit right->geometryChanged(changed);
    QCOMPARE(window->geometry(), changed);
    settle();
    QCOMPARE(window->feed()->targetSize(), QSize(1280, 720));
}

void TestOutputWindow::closesWhenItsScreenGoes()
{
    QPointer<OutputWindow> onLeft = new OutputWindow(m_deck.get(), m_router.get(), 0, nullptr);
    QPointer<OutputWindow> onRight = new OutputWindow(m_deck.get(), m_router.get(), 0, nullptr);
    onLeft->showOnScreen(screenNamed(QStringLiteral("a-left")));
    onRight->showOnScreen(screenNamed(QStringLiteral("b-right")));
    QSignalSpy leftWarnings(onLeft.data(), &OutputWindow::warning);
    QSignalSpy rightWarnings(onRight.data(), &OutputWindow::warning);
    emit qApp->screenRemoved(screenNamed(QStringLiteral("b-right")));
    QCOMPARE(rightWarnings.size(), 1);
    QCOMPARE(rightWarnings.at(0).at(0).toString(), QStringLiteral("Output display disconnected; output closed"));
    QTRY_VERIFY(onRight.isNull());
    QVERIFY(onLeft && onLeft->isVisible());
    QCOMPARE(leftWarnings.size(), 0);
}

void TestOutputWindow::escapeCloses()
{
    QPointer<OutputWindow> window = new OutputWindow(m_deck.get(), m_router.get(), 0, nullptr);
    window->showOnScreen(nullptr);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY(window.isNull());
}

QTEST_MAIN(TestOutputWindow)
#include "tst_outputwindow.moc"
