#include "outputs/display/GpuLanczos.h"

#include <QOpenGLFramebufferObject>
#include <QOpenGLShaderProgram>

namespace {

// One triangle that covers the viewport, made from gl_VertexID alone (no vertex buffer).
const char *const vertexShader = R"(#version 330 core
out vec2 uv;
void main()
{
    vec2 p = vec2(float((gl_VertexID << 1) & 2), float(gl_VertexID & 2));
    uv = p;
    gl_Position = vec4(p * 2.0 - 1.0, 0.0, 1.0);
}
)";

// One axis of the separable filter. The reduction ratio must be a float: with integer division a
// 1920 -> 1280 reduction (1.5) would come out as 1, the kernel would not be widened, and the
// picture would alias.
const char *const lanczosPassShader = R"(#version 330 core
uniform sampler2D source;
uniform ivec2 sourceSize;
uniform ivec2 targetSize;
uniform int axis;
out vec4 color;

const float PI = 3.14159265359;

float sinc(float x)
{
    if (abs(x) < 0.00001)
        return 1.0;
    float px = PI * x;
    return sin(px) / px;
}

void main()
{
    vec2 pos = gl_FragCoord.xy * vec2(sourceSize) / vec2(targetSize) - 0.5;
    float ratio = max(1.0, float(sourceSize[axis]) / float(targetSize[axis]));
    float center = pos[axis];
    float first = ceil(center - 3.0 * ratio);
    ivec2 base = ivec2(floor(pos + 0.5));
    vec4 sum = vec4(0.0);
    float total = 0.0;
    for (int j = 0; j < 25; ++j) {
        float index = first + float(j);
        float d = (index - center) / ratio;
        // d grows with j: past the kernel's right end no further tap can contribute.
        if (d >= 3.0)
            break;
        if (d <= -3.0)
            continue;
        float w = sinc(d) * sinc(d / 3.0);
        ivec2 texel = base;
        texel[axis] = int(index);
        texel = clamp(texel, ivec2(0), sourceSize - 1);
        sum += texelFetch(source, texel, 0) * w;
        total += w;
    }
    color = sum / total;
}
)";

// The framebuffers hold the picture top row first, so presenting flips rows; output is opaque.
const char *const presentShader = R"(#version 330 core
uniform sampler2D source;
in vec2 uv;
out vec4 color;
void main()
{
    color = vec4(texture(source, vec2(uv.x, 1.0 - uv.y)).rgb, 1.0);
}
)";

QString glString(QOpenGLFunctions_3_3_Core *gl, GLenum name)
{
    return QString::fromLatin1(reinterpret_cast<const char *>(gl->glGetString(name)));
}

} // namespace

GpuLanczos::GpuLanczos() = default;
GpuLanczos::~GpuLanczos() = default;

bool GpuLanczos::isSoftwareRenderer(const QString &renderer)
{
    const QString name = renderer.toLower();
    for (const char *marker : {"llvmpipe", "softpipe", "software", "gdi generic", "basic render"}) {
        if (name.contains(QLatin1String(marker)))
            return true;
    }
    return false;
}

bool GpuLanczos::softwareRendererAllowedForTesting()
{
    return qEnvironmentVariable("ZELVO_TEST_ALLOW_SOFTWARE_GL") == QLatin1String("1");
}

bool GpuLanczos::initialize()
{
    if (!initializeOpenGLFunctions()) {
        m_error = QStringLiteral("GPU Lanczos requires OpenGL 3.3; using Native scaling");
        return false;
    }
    m_rendererInfo = {{QStringLiteral("vendor"), glString(this, GL_VENDOR)},
                      {QStringLiteral("renderer"), glString(this, GL_RENDERER)},
                      {QStringLiteral("version"), glString(this, GL_VERSION)}};
    if (isSoftwareRenderer(glString(this, GL_RENDERER)) && !softwareRendererAllowedForTesting()) {
        m_error = QStringLiteral("GPU context unavailable; using Native scaling");
        return false;
    }
    m_passProgram = buildProgram(lanczosPassShader);
    if (!m_passProgram)
        return false;
    m_presentProgram = buildProgram(presentShader);
    if (!m_presentProgram)
        return false;
    glGenVertexArrays(1, &m_vertexArray);
    glGenTextures(1, &m_sourceTexture);
    glBindTexture(GL_TEXTURE_2D, m_sourceTexture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenQueries(1, &m_timerQuery);
    m_initialized = true;
    return true;
}

std::unique_ptr<QOpenGLShaderProgram> GpuLanczos::buildProgram(const char *fragmentSource)
{
    auto program = std::make_unique<QOpenGLShaderProgram>();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, vertexShader)
        || !program->addShaderFromSourceCode(QOpenGLShader::Fragment, fragmentSource) || !program->link()) {
        m_error = program->log();
        return nullptr;
    }
    return program;
}

bool GpuLanczos::withinTestedLimits(QSize source, QSize target)
{
    GLint maxTexture = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
    const int limit = std::min(maxDimension, int(maxTexture));
    const bool fits = source.width() <= limit && source.height() <= limit && target.width() <= limit
                      && target.height() <= limit
                      && qint64(target.width()) * target.height() <= maxOutputPixels
                      && source.width() <= maxReduction * target.width()
                      && source.height() <= maxReduction * target.height();
    if (!fits)
        m_error = QStringLiteral("GPU scaling exceeds tested size or ratio; using Native scaling");
    return fits;
}

bool GpuLanczos::prepareFramebuffers(QSize source, QSize target)
{
    const QSize intermediateSize(target.width(), source.height());
    if (!m_intermediate || m_intermediate->size() != intermediateSize) {
        QOpenGLFramebufferObjectFormat format;
        format.setInternalTextureFormat(GL_RGBA16F);
        m_intermediate = std::make_unique<QOpenGLFramebufferObject>(intermediateSize, format);
    }
    if (!m_output || m_output->size() != target) {
        QOpenGLFramebufferObjectFormat format;
        format.setInternalTextureFormat(GL_RGBA8);
        m_output = std::make_unique<QOpenGLFramebufferObject>(target, format);
    }
    if (!m_intermediate->isValid() || !m_output->isValid()) {
        m_error = QStringLiteral("GPU framebuffer allocation failed; using Native scaling");
        return false;
    }
    return true;
}

void GpuLanczos::upload(const QImage &source)
{
    // Premultiplied RGBA bytes either way; 32-bit BGRA pictures (what frame conversion gives) are
    // uploaded as they are instead of being converted on the CPU first.
    const bool bgra = Q_BYTE_ORDER == Q_LITTLE_ENDIAN
                      && (source.format() == QImage::Format_ARGB32_Premultiplied
                          || source.format() == QImage::Format_RGB32);
    const QImage picture = bgra ? source : source.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    const GLenum layout = bgra ? GL_BGRA : GL_RGBA;
    glBindTexture(GL_TEXTURE_2D, m_sourceTexture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(picture.bytesPerLine() / 4));
    if (picture.size() == m_textureSize) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, picture.width(), picture.height(), layout, GL_UNSIGNED_BYTE,
                        picture.constBits());
    } else {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, picture.width(), picture.height(), 0, layout, GL_UNSIGNED_BYTE,
                     picture.constBits());
        m_textureSize = picture.size();
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

void GpuLanczos::collectTimerResult()
{
    // Read last render's timing only when it is ready: asking for it earlier would stall until
    // the GPU caught up.
    if (!m_queryPending)
        return;
    GLint available = 0;
    glGetQueryObjectiv(m_timerQuery, GL_QUERY_RESULT_AVAILABLE, &available);
    if (!available)
        return;
    GLuint64 nanoseconds = 0;
    glGetQueryObjectui64v(m_timerQuery, GL_QUERY_RESULT, &nanoseconds);
    m_gpuMs = nanoseconds / 1e6;
    m_queryPending = false;
}

bool GpuLanczos::render(const QImage &source, QSize target)
{
    if (!m_initialized || source.isNull() || target.isEmpty())
        return false;
    if (!withinTestedLimits(source.size(), target) || !prepareFramebuffers(source.size(), target))
        return false;
    // Errors left behind by other drawing on this context are not ours to report.
    for (int guard = 0; guard < 16 && glGetError() != GL_NO_ERROR;)
        ++guard;
    upload(source);
    collectTimerResult();
    const bool timed = m_timerQuery != 0 && !m_queryPending;
    if (timed)
        glBeginQuery(GL_TIME_ELAPSED, m_timerQuery);
    pass(m_intermediate.get(), m_sourceTexture, source.size(), 0);
    pass(m_output.get(), m_intermediate->texture(), m_intermediate->size(), 1);
    if (timed) {
        glEndQuery(GL_TIME_ELAPSED);
        m_queryPending = true;
    }
    if (glGetError() != GL_NO_ERROR) {
        m_error = QStringLiteral("GPU rendering failed; using Native scaling");
        return false;
    }
    return true;
}

void GpuLanczos::pass(QOpenGLFramebufferObject *target, GLuint texture, QSize sourceSize, int axis)
{
    target->bind();
    glViewport(0, 0, target->width(), target->height());
    m_passProgram->bind();
    // Integer vectors: QOpenGLShaderProgram only sets float pairs, which an ivec2 rejects.
    glUniform2i(m_passProgram->uniformLocation("sourceSize"), sourceSize.width(), sourceSize.height());
    glUniform2i(m_passProgram->uniformLocation("targetSize"), target->width(), target->height());
    m_passProgram->setUniformValue("axis", axis);
    draw(m_passProgram.get(), texture);
}

void GpuLanczos::draw(QOpenGLShaderProgram *program, GLuint texture)
{
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_FRAMEBUFFER_SRGB);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    program->bind();
    program->setUniformValue("source", 0);
    glBindVertexArray(m_vertexArray);
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glBindVertexArray(0);
    program->release();
}

QImage GpuLanczos::result()
{
    return m_output ? m_output->toImage(false) : QImage();
}

void GpuLanczos::release()
{
    if (m_timerQuery)
        glDeleteQueries(1, &m_timerQuery);
    m_intermediate.reset();
    m_output.reset();
    m_passProgram.reset();
    m_presentProgram.reset();
    if (m_sourceTexture)
        glDeleteTextures(1, &m_sourceTexture);
    if (m_vertexArray)
        glDeleteVertexArrays(1, &m_vertexArray);
    m_timerQuery = 0;
    m_sourceTexture = 0;
    m_vertexArray = 0;
    m_textureSize = QSize();
    m_queryPending = false;
    m_initialized = false;
}
