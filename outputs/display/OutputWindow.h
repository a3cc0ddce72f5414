#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QRectF>
#include <QTimer>
#include <QVideoFrame>
#include <QWidget>

class GpuSurface;
class NativeChannel;
class OutputRouter;
class QScreen;
class QStackedLayout;
class QVideoWidget;
class QualityFeed;

// Shows one Program deck's picture on one display (full screen) or as a floating window. The
// scaling mode is fixed at construction: 0 native (frames go straight into a QVideoWidget),
// 1 CPU Lanczos (through the router's shared QualityFeed for the window's physical size),
// 2 GPU Lanczos (a GpuSurface, with the native view as fallback). An area, a normalised rectangle of
// the picture, can be stretched over the whole window so that windows side by side split one
// Program. Closing deletes the window; nothing it does stops the Program.
class OutputWindow : public QWidget
{
    Q_OBJECT
public:
    OutputWindow(NativeChannel *source, OutputRouter *router, int scalingMode, QWidget *parent);
    OutputWindow(NativeChannel *source, OutputRouter *router, bool lanczos, QWidget *parent);
    ~OutputWindow() override;

    // Full screen on screen, or a normal window when screen is null.
    void showOnScreen(QScreen *screen);
    // The part of the picture (0..1) that fills the window; degenerate parts mean the whole.
    void setArea(const QRectF &normalized);
    QRectF area() const { return m_area; }

    QSize physicalSize() const;
    QRect videoRect() const;
    int publishedToWindow() const { return m_publishedToWindow; }
    bool gpuScalerActive() const;
    int scalingMode() const { return m_scalingMode; }

    QVideoWidget *videoWidget() const { return m_videoWidget; }
    GpuSurface *gpuSurface() const { return m_gpuSurface; }
    bool gpuFailed() const { return m_gpuFailed; }
    QStackedLayout *stack() const { return m_stack; }
    QualityFeed *feed() const;
    // A route refresh is still due after a resize or a change of screen (test seam).
    bool refreshPending() const { return m_restartTimer.isActive(); }

signals:
    void warning(const QString &message);

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeVideo();
    void refreshRoute();
    void showNative(const QVideoFrame &frame);
    void onGpuFrame(const QVideoFrame &frame);
    void gpuFallback(const QString &message);
    void onScreenRemoved(QScreen *screen);
    void followScreen(QScreen *screen);
    void dropFeed();
    QVideoFrame publishedFrame() const;

    QPointer<NativeChannel> m_source;
    QPointer<OutputRouter> m_router;
    QVideoWidget *m_videoWidget = nullptr;
    int m_scalingMode = 0;
    QWidget *m_container = nullptr;
    QRectF m_area{0, 0, 1, 1};
    QStackedLayout *m_stack = nullptr;
    GpuSurface *m_gpuSurface = nullptr;
    bool m_gpuFailed = false;
    QString m_lastWarning;
    QPointer<QScreen> m_screen;
    QPointer<QualityFeed> m_feed;
    QMetaObject::Connection m_feedFrameConnection;
    QMetaObject::Connection m_feedWarningConnection;
    QTimer m_restartTimer;
    int m_publishedToWindow = 0;
    QList<QMetaObject::Connection> m_screenConnections;
};
