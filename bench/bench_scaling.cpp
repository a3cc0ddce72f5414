// Speed of the display-output scalers, per frame, for 1920x1080 -> 3840x2160 and back:
//  - the CPU path (LanczosScaler::scale) next to a bare sws_scale call with the same flags on the
//    same RGBA buffers, so the ratio shows what the wrapper costs (it should be about 1);
//  - the GPU path (GpuLanczos::render, waited for with glFinish) on the OpenGL renderer at hand,
//    with the GPU time of the filter passes from the timer query.
// Run by hand, e.g. `scripts/test-env.sh env QT_QPA_PLATFORM=xcb build/bench/bench_scaling`.
// On a software renderer the GPU path runs only because this benchmark sets the tests' switch.

#include "outputs/display/GpuLanczos.h"
#include "outputs/display/LanczosScaler.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <cstdio>
#include <functional>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

constexpr int warmup = 2;
constexpr int rounds = 10;

double msPerFrame(const std::function<void()> &work)
{
    for (int i = 0; i < warmup; ++i)
        work();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        work();
    return timer.nsecsElapsed() / 1e6 / rounds;
}

// A picture with detail everywhere, so no scaler can take a shortcut on flat areas.
QImage testPicture(QSize size)
{
    QImage picture(size, QImage::Format_RGBA8888);
    for (int y = 0; y < size.height(); ++y) {
        uchar *line = picture.scanLine(y);
        for (int x = 0; x < size.width(); ++x) {
            line[4 * x] = uchar(x * 7 + y);
            line[4 * x + 1] = uchar(x ^ y);
            line[4 * x + 2] = uchar(y * 3);
            line[4 * x + 3] = 255;
        }
    }
    return picture;
}

double bareSwscale(const QImage &source, QSize target)
{
    QImage destination(target, QImage::Format_RGBA8888);
    SwsContext *context = nullptr;
    const double ms = msPerFrame([&] {
        context = sws_getCachedContext(context, source.width(), source.height(), AV_PIX_FMT_RGBA, target.width(),
                                       target.height(), AV_PIX_FMT_RGBA, SWS_LANCZOS | SWS_ACCURATE_RND, nullptr,
                                       nullptr, nullptr);
        const uint8_t *sourcePlanes[4] = {source.constBits(), nullptr, nullptr, nullptr};
        const int sourceStrides[4] = {int(source.bytesPerLine()), 0, 0, 0};
        uint8_t *destinationPlanes[4] = {destination.bits(), nullptr, nullptr, nullptr};
        const int destinationStrides[4] = {int(destination.bytesPerLine()), 0, 0, 0};
        sws_scale(context, sourcePlanes, sourceStrides, 0, source.height(), destinationPlanes, destinationStrides);
    });
    sws_freeContext(context);
    return ms;
}

void cpuPath(const QImage &source, QSize target)
{
    LanczosScaler scaler;
    if (!scaler.isAvailable()) {
        std::printf("CPU  %4dx%-4d -> %4dx%-4d  unavailable: %s\n", source.width(), source.height(), target.width(),
                    target.height(), qPrintable(scaler.errorString()));
        return;
    }
    const double ours = msPerFrame([&] { scaler.scale(source, target); });
    const double bare = bareSwscale(source, target);
    std::printf("CPU  %4dx%-4d -> %4dx%-4d  LanczosScaler %7.2f ms/frame   bare sws_scale %7.2f ms/frame   "
                "ratio %.2f\n",
                source.width(), source.height(), target.width(), target.height(), ours, bare, ours / bare);
}

void gpuPath(const QImage &source, QSize target)
{
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    QOpenGLContext context;
    context.setFormat(format);
    QOffscreenSurface surface;
    if (!context.create() || (surface.setFormat(context.format()), surface.create(), !context.makeCurrent(&surface))) {
        std::printf("GPU  no OpenGL 3.3 core context\n");
        return;
    }
    qputenv("ZELVO_TEST_ALLOW_SOFTWARE_GL", "1");
    GpuLanczos lanczos;
    if (lanczos.initialize()) {
        QOpenGLFunctions *gl = context.functions();
        const double ms = msPerFrame([&] {
            lanczos.render(source, target);
            gl->glFinish();
        });
        lanczos.render(source, target); // collects the timer result of the last measured render
        gl->glFinish();
        std::printf("GPU  %4dx%-4d -> %4dx%-4d  GpuLanczos %7.2f ms/frame (upload + both passes, finished)   "
                    "filter passes %7.2f ms   on %s\n",
                    source.width(), source.height(), target.width(), target.height(), ms, lanczos.gpuMs(),
                    qPrintable(lanczos.rendererInfo().value(QStringLiteral("renderer")).toString()));
    } else {
        std::printf("GPU  unavailable: %s\n", qPrintable(lanczos.errorString()));
    }
    lanczos.release();
    context.doneCurrent();
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QImage hd = testPicture(QSize(1920, 1080));
    const QImage uhd = testPicture(QSize(3840, 2160));
    cpuPath(hd, QSize(3840, 2160));
    cpuPath(uhd, QSize(1920, 1080));
    gpuPath(hd, QSize(3840, 2160));
    gpuPath(uhd, QSize(1920, 1080));
    return 0;
}
