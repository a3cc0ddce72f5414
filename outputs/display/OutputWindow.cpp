#include "outputs/display/OutputWindow.h"

#include "engine/NativeChannel.h"
#include "outputs/display/FrameGate.h"
#include "outputs/display/GpuSurface.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/display/PixelSize.h"
#include "outputs/display/QualityFeed.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShortcut>
#include <QStackedLayout>
#include <QVideoSink>
#include <QVideoWidget>
#include <QWindow>
#include <cmath>

namespace {

QString gpuUnavailableNotice()
{
    return QStringLiteral("GPU context unavailable; using Native scaling");
}

} // namespace

OutputWindow::OutputWindow(NativeChannel *source, OutputRouter *router, int scalingMode, QWidget *parent)
    : QWidget(parent), m_source(source), m_router(router), m_scalingMode(scalingMode == 0 || scalingMode == 2 ? scalingMode : 1)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setStyleSheet(QStringLiteral("background:black"));

    m_container = new QWidget(this);
    m_container->setStyleSheet(QStringLiteral("background:black"));
    m_stack = new QStackedLayout(m_container);
    m_stack->setContentsMargins(0, 0, 0, 0);
    m_stack->setSpacing(0);

    m_videoWidget = new QVideoWidget(m_container);
    m_videoWidget->setAspectRatioMode(Qt::KeepAspectRatio);
    m_stack->addWidget(m_videoWidget);

    // Read once, at construction: a window keeps the path it was built with.
    if (m_scalingMode == 2 && !qEnvironmentVariableIsSet("ZELVO_DISABLE_GPU_SCALER") && router) {
        m_gpuSurface = new GpuSurface(router->gpuFrameCache(source), m_container);
        m_stack->addWidget(m_gpuSurface);
        m_stack->setCurrentWidget(m_gpuSurface);
        connect(m_gpuSurface, &GpuSurface::failed, this, &OutputWindow::gpuFallback);
    }

    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(80);
    connect(&m_restartTimer, &QTimer::timeout, this, &OutputWindow::refreshRoute);

    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    connect(qApp, &QGuiApplication::screenRemoved, this, &OutputWindow::onScreenRemoved);

    if (source && m_scalingMode == 0)
        connect(source, &NativeChannel::frameReady, this, &OutputWindow::showNative);
    else if (source && m_scalingMode == 2)
        connect(source, &NativeChannel::frameReady, this, &OutputWindow::onGpuFrame);

    resize(720, 405);
}

OutputWindow::OutputWindow(NativeChannel *source, OutputRouter *router, bool lanczos, QWidget *parent)
    : OutputWindow(source, router, lanczos ? 1 : 0, parent)
{
}

OutputWindow::~OutputWindow()
{
    disconnect(m_feedFrameConnection);
    disconnect(m_feedWarningConnection);
    if (m_router)
        m_router->pruneQualityFeeds();
}

QVideoFrame OutputWindow::publishedFrame() const
{
    return m_source ? m_source->currentFrame() : QVideoFrame();
}

QSize OutputWindow::physicalSize() const
{
    const QWidget *current = m_stack->currentWidget();
    return current ? devicePixelSize(current->size(), current->devicePixelRatioF()) : QSize();
}

QualityFeed *OutputWindow::feed() const
{
    return m_feed;
}

QRect OutputWindow::videoRect() const
{
    return m_container->geometry();
}

bool OutputWindow::gpuScalerActive() const
{
    return m_gpuSurface && !m_gpuFailed && m_stack->currentWidget() == m_gpuSurface;
}

bool OutputWindow::event(QEvent *event)
{
    // Qt 6.4 has no device-pixel-ratio event; a change of screen is how the ratio changes here.
    if (event->type() == QEvent::ScreenChangeInternal)
        m_restartTimer.start();
    return QWidget::event(event);
}

void OutputWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeVideo();
    m_restartTimer.start();
}

void OutputWindow::placeVideo()
{
    const double x = m_area.x(), y = m_area.y(), w = m_area.width(), h = m_area.height();
    const double windowWidth = width(), windowHeight = height();
    m_container->setGeometry(int(std::lround(-x * windowWidth / w)), int(std::lround(-y * windowHeight / h)),
                             int(std::lround(windowWidth / w)), int(std::lround(windowHeight / h)));
    const bool whole = m_area.topLeft() == QPointF(0, 0) && m_area.size() == QSizeF(1, 1);
    m_videoWidget->setAspectRatioMode(whole ? Qt::KeepAspectRatio : Qt::IgnoreAspectRatio);
    if (m_gpuSurface) {
        m_gpuSurface->setStretch(!whole);
        m_gpuSurface->update();
    }
}

void OutputWindow::setArea(const QRectF &normalized)
{
    QRectF area = normalized.normalized().intersected(QRectF(0, 0, 1, 1));
    if (area.width() < 0.01 || area.height() < 0.01)
        area = QRectF(0, 0, 1, 1);
    m_area = area;
    placeVideo();
    m_restartTimer.start();
}

void OutputWindow::showNative(const QVideoFrame &frame)
{
    m_videoWidget->videoSink()->setVideoFrame(frame);
    if (frame.isValid())
        ++m_publishedToWindow;
}

void OutputWindow::dropFeed()
{
    disconnect(m_feedFrameConnection);
    disconnect(m_feedWarningConnection);
    m_feed = nullptr;
    m_router->pruneQualityFeeds();
}

void OutputWindow::refreshRoute()
{
    if (!m_source || !m_router)
        return;
    if (m_scalingMode == 2) {
        onGpuFrame(publishedFrame());
        return;
    }
    if (m_scalingMode == 0) {
        showNative(publishedFrame());
        return;
    }
    const QSize physical = physicalSize();
    if (!m_feed || m_feed->targetSize() != physical) {
        dropFeed();
        m_feed = m_router->qualityFeed(m_source, physical);
        m_feedFrameConnection = connect(m_feed, &QualityFeed::frameReady, this, &OutputWindow::showNative);
        m_feedWarningConnection = connect(m_feed, &QualityFeed::warning, this, &OutputWindow::warning);
    }
    // A mirror that joins late shows the shared scaled frame at once.
    if (m_feed->outputFrame().isValid())
        showNative(m_feed->outputFrame());
    m_feed->onFrame(publishedFrame());
}

void OutputWindow::onGpuFrame(const QVideoFrame &frame)
{
    const QString reason = frame.isValid() ? gpuRefusalReason(frame) : QString();
    if (m_gpuSurface && !m_gpuFailed && reason.isEmpty()) {
        m_stack->setCurrentWidget(m_gpuSurface);
        m_gpuSurface->setFrame(frame);
        if (frame.isValid())
            ++m_publishedToWindow;
        return;
    }
    if (m_gpuSurface)
        m_gpuSurface->setFrame(QVideoFrame());
    m_stack->setCurrentWidget(m_videoWidget);
    showNative(frame);
    if (!reason.isEmpty() && reason != m_lastWarning) {
        m_lastWarning = reason;
        emit warning(reason);
    }
}

void OutputWindow::gpuFallback(const QString &message)
{
    m_gpuFailed = true;
    m_stack->setCurrentWidget(m_videoWidget);
    showNative(publishedFrame());
    emit warning(message);
}

void OutputWindow::followScreen(QScreen *screen)
{
    for (const QMetaObject::Connection &connection : std::as_const(m_screenConnections))
        disconnect(connection);
    m_screenConnections.clear();
    if (screen) {
        m_screenConnections << connect(screen, &QScreen::geometryChanged, this, [this](const QRect &geometry) {
            if (isFullScreen())
                setGeometry(geometry);
            m_restartTimer.start();
        });
        // The device pixel ratio follows the screen's logical DPI on this platform.
        m_screenConnections << connect(screen, &QScreen::logicalDotsPerInchChanged, this,
                                       [this] { m_restartTimer.start(); });
    }
    if (QWindow *window = windowHandle()) {
        m_screenConnections << connect(window, &QWindow::screenChanged, this, [this] { m_restartTimer.start(); });
    }
}

void OutputWindow::showOnScreen(QScreen *screen)
{
    m_screen = screen;
    if (screen) {
        winId();
        windowHandle()->setScreen(screen);
        // Without a window manager showFullScreen() does not resize, so the geometry is set too.
        setGeometry(screen->geometry());
        followScreen(screen);
        showFullScreen();
    } else {
        show();
        followScreen(nullptr);
    }
    refreshRoute();
    if (m_gpuSurface) {
        QTimer::singleShot(1000, this, [this] {
            if (m_gpuSurface && !m_gpuFailed && !m_gpuSurface->isValid())
                gpuFallback(gpuUnavailableNotice());
        });
    } else if (m_scalingMode == 2) {
        emit warning(gpuUnavailableNotice());
    }
}

void OutputWindow::onScreenRemoved(QScreen *screen)
{
    if (!screen || screen != m_screen)
        return;
    emit warning(QStringLiteral("Output display disconnected; output closed"));
    close();
}
