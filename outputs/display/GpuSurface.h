#pragma once

#include "outputs/display/GpuLanczos.h"

#include <QOpenGLWidget>
#include <QSharedPointer>
#include <QVideoFrame>

class GpuFrameCache;

// An OpenGL widget that shows one Program's frames rescaled by its own GpuLanczos, centred on black
// (or stretched over the widget when only a part of the picture is shown). Frames are converted to
// pictures through the Program's shared GpuFrameCache. Only the newest frame handed in is rendered,
// and only when the frame or the target size changed. Any failure is reported once by failed();
// the surface then draws nothing new.
class GpuSurface : public QOpenGLWidget
{
    Q_OBJECT
public:
    GpuSurface(QSharedPointer<GpuFrameCache> cache, QWidget *parent);
    ~GpuSurface() override;

    void setFrame(const QVideoFrame &frame);
    void setStretch(bool stretch);
    bool stretch() const { return m_stretch; }

    QVideoFrame drawnFrame() const { return m_drawn; }
    int renders() const { return m_renders; }
    int supersededFrames() const { return m_supersededFrames; }
    double renderMs() const { return m_renderMs; }
    QString errorText() const { return m_error; }
    bool isReady() const { return m_ready; }
    double gpuMs() const { return m_lanczos.gpuMs(); }
    QJsonObject rendererInfo() const { return m_lanczos.rendererInfo(); }

signals:
    void failed(const QString &message);

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    bool renderPending(QSize target);
    void present(QSize physical);
    void fail(const QString &message);
    void releaseGl();

    QSharedPointer<GpuFrameCache> m_cache;
    GpuLanczos m_lanczos;
    QVideoFrame m_pending;
    QVideoFrame m_drawn;
    bool m_stretch = false;
    QSize m_lastTarget;
    QString m_error;
    int m_renders = 0;
    int m_supersededFrames = 0;
    bool m_dirty = false;
    bool m_ready = false;
    double m_renderMs = 0;
};
