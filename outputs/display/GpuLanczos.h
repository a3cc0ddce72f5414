#pragma once

#include <QImage>
#include <QJsonObject>
#include <QOpenGLFunctions_3_3_Core>
#include <QSize>
#include <QString>
#include <memory>

class QOpenGLFramebufferObject;
class QOpenGLShaderProgram;

// Separable Lanczos-3 resampling on the GPU: a horizontal pass into a half-float framebuffer of
// (target width, source height), so filter over- and undershoot reaches the second pass unclamped,
// then a vertical pass into an 8-bit framebuffer of the target size. Works on whatever OpenGL 3.3
// core context is current; every call must be made with that context current.
class GpuLanczos : protected QOpenGLFunctions_3_3_Core
{
public:
    GpuLanczos();
    ~GpuLanczos();
    GpuLanczos(const GpuLanczos &) = delete;
    GpuLanczos &operator=(const GpuLanczos &) = delete;

    // Resolves the functions, refuses software renderers, builds the shaders.
    bool initialize();
    // Renders source into the output framebuffer at target size.
    bool render(const QImage &source, QSize target);
    // The output framebuffer read back top row first; null when there is none.
    QImage result();
    // Deletes every GL object; call with the context current.
    void release();
    // Draws texture over the current viewport with program (used to present the output).
    void draw(QOpenGLShaderProgram *program, GLuint texture);

    bool isInitialized() const { return m_initialized; }
    QString errorString() const { return m_error; }
    QJsonObject rendererInfo() const { return m_rendererInfo; }
    // GPU time of both passes of an earlier render, -1 until a timer result arrived.
    double gpuMs() const { return m_gpuMs; }
    bool timerQuerySupported() const { return m_timerQuery != 0; }
    QOpenGLShaderProgram *presentProgram() const { return m_presentProgram.get(); }
    QOpenGLFramebufferObject *output() const { return m_output.get(); }

    // Test seam: software renderers are refused in production; tests on machines that only have one
    // set ZELVO_TEST_ALLOW_SOFTWARE_GL=1 to exercise the scaler anyway. Nothing else reads it.
    static bool softwareRendererAllowedForTesting();
    // Whether an OpenGL renderer string names a software rasteriser, which the scaler refuses.
    static bool isSoftwareRenderer(const QString &renderer);

    static constexpr int maxDimension = 4096;
    static constexpr qint64 maxOutputPixels = 4096LL * 2160LL;
    static constexpr int maxReduction = 4;

private:
    std::unique_ptr<QOpenGLShaderProgram> buildProgram(const char *fragmentSource);
    void pass(QOpenGLFramebufferObject *target, GLuint texture, QSize sourceSize, int axis);
    bool withinTestedLimits(QSize source, QSize target);
    bool prepareFramebuffers(QSize source, QSize target);
    void upload(const QImage &source);
    void collectTimerResult();

    std::unique_ptr<QOpenGLShaderProgram> m_passProgram;
    std::unique_ptr<QOpenGLShaderProgram> m_presentProgram;
    std::unique_ptr<QOpenGLFramebufferObject> m_intermediate;
    std::unique_ptr<QOpenGLFramebufferObject> m_output;
    GLuint m_timerQuery = 0;
    GLuint m_sourceTexture = 0;
    GLuint m_vertexArray = 0;
    QSize m_textureSize;
    bool m_queryPending = false;
    bool m_initialized = false;
    double m_gpuMs = -1.0;
    QString m_error;
    QJsonObject m_rendererInfo;
};
