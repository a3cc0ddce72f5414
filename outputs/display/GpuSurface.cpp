#include "outputs/display/GpuSurface.h"

#include "outputs/display/GpuFrameCache.h"
#include "outputs/display/PixelSize.h"

#include <QElapsedTimer>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QSurfaceFormat>

GpuSurface::GpuSurface(QSharedPointer<GpuFrameCache> cache, QWidget *parent)
    : QOpenGLWidget(parent), m_cache(std::move(cache))
{
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    setFormat(format);
}

GpuSurface::~GpuSurface()
{
    // The base class destroys the context after this destructor has run; its aboutToBeDestroyed
    // must not reach a surface that is already gone.
    if (context())
        disconnect(context(), nullptr, this, nullptr);
    releaseGl();
}

void GpuSurface::setStretch(bool stretch)
{
    m_stretch = stretch;
}

void GpuSurface::setFrame(const QVideoFrame &frame)
{
    if (m_dirty && frame != m_pending)
        ++m_supersededFrames;
    m_pending = frame;
    m_dirty = true;
    // No frame: let go of the last one now. A surface that the window has put aside is not painted,
    // so waiting for paintGL would keep a stale frame (and its buffer) for as long as it stays aside.
    if (!frame.isValid()) {
        m_drawn = QVideoFrame();
        m_lastTarget = QSize();
    }
    update();
}

void GpuSurface::initializeGL()
{
    m_ready = m_lanczos.initialize();
    m_error = m_ready ? QString() : m_lanczos.errorString();
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &GpuSurface::releaseGl,
            Qt::UniqueConnection);
    if (!m_ready)
        emit failed(m_error);
}

void GpuSurface::releaseGl()
{
    if (context()) {
        makeCurrent();
        m_lanczos.release();
        doneCurrent();
    }
    m_ready = false;
}

void GpuSurface::fail(const QString &message)
{
    // Reported once: a surface that failed stops rendering, so later paints cannot repeat it.
    m_error = message;
    m_ready = false;
    emit failed(message);
}

bool GpuSurface::renderPending(QSize target)
{
    QElapsedTimer timer;
    timer.start();
    const QImage image = m_cache ? m_cache->image(m_pending) : m_pending.toImage();
    // Converting a frame may use a context of its own; ours must be current again to render.
    if (QOpenGLContext::currentContext() != context())
        makeCurrent();
    if (image.isNull() || !m_lanczos.render(image, target)) {
        fail(image.isNull() ? QStringLiteral("Frame readback failed; using Native scaling")
                            : m_lanczos.errorString());
        return false;
    }
    m_renderMs = timer.nsecsElapsed() / 1e6;
    m_drawn = m_pending;
    m_lastTarget = target;
    ++m_renders;
    return true;
}

void GpuSurface::paintGL()
{
    if (!m_ready)
        return;
    const QSize physical = devicePixelSize(size(), devicePixelRatioF());
    const QSize target = m_stretch ? physical : fitSize(m_pending.size(), physical);
    if (m_dirty || target != m_lastTarget) {
        m_dirty = false;
        if (m_pending.isValid()) {
            if (!renderPending(target))
                return;
        } else {
            m_drawn = QVideoFrame();
            m_lastTarget = QSize();
        }
    }
    present(physical);
}

void GpuSurface::present(QSize physical)
{
    QOpenGLFunctions *gl = context()->functions();
    gl->glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    gl->glViewport(0, 0, physical.width(), physical.height());
    gl->glDisable(GL_SCISSOR_TEST);
    gl->glClearColor(0, 0, 0, 1);
    gl->glClear(GL_COLOR_BUFFER_BIT);
    QOpenGLFramebufferObject *output = m_lanczos.output();
    if (!m_drawn.isValid() || !output)
        return;
    const QSize fit = fitSize(output->size(), physical);
    gl->glViewport((physical.width() - fit.width()) / 2, (physical.height() - fit.height()) / 2, fit.width(),
                   fit.height());
    m_lanczos.draw(m_lanczos.presentProgram(), output->texture());
}
