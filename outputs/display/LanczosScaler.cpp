#include "outputs/display/LanczosScaler.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QLibrary>
#include <optional>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
#include <libswscale/version.h>
}

namespace {

// Only the signatures come from the headers; the functions are resolved from the loaded libraries.
using GetCachedContextFn = decltype(&::sws_getCachedContext);
using ScaleFn = decltype(&::sws_scale);
using FreeContextFn = decltype(&::sws_freeContext);
using VersionFn = unsigned (*)();
using GetPixFmtFn = int (*)(const char *);

std::optional<LanczosScaler::Runtime> &runtimeOverride()
{
    static std::optional<LanczosScaler::Runtime> runtime;
    return runtime;
}

// Loads the first candidate that loads.
bool loadFirst(QLibrary &library, const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        library.setFileName(candidate);
        if (library.load())
            return true;
    }
    return false;
}

} // namespace

struct LanczosScaler::Private
{
    QLibrary swscale;
    QLibrary avutil;
    GetCachedContextFn getCachedContext = nullptr;
    ScaleFn scale = nullptr;
    FreeContextFn freeContext = nullptr;
    SwsContext *context = nullptr;
    int rgbaFormat = -1;
    QString error;

    void load(const Runtime &runtime);
};

void LanczosScaler::Private::load(const Runtime &runtime)
{
    if (!loadFirst(swscale, runtime.swscaleCandidates) || !loadFirst(avutil, runtime.avutilCandidates)) {
        error = QStringLiteral("Lanczos runtime could not be loaded");
        return;
    }
    const auto swscaleVersion = reinterpret_cast<VersionFn>(swscale.resolve("swscale_version"));
    getCachedContext = reinterpret_cast<GetCachedContextFn>(swscale.resolve("sws_getCachedContext"));
    scale = reinterpret_cast<ScaleFn>(swscale.resolve("sws_scale"));
    freeContext = reinterpret_cast<FreeContextFn>(swscale.resolve("sws_freeContext"));
    const auto avutilVersion = reinterpret_cast<VersionFn>(avutil.resolve("avutil_version"));
    const auto getPixFmt = reinterpret_cast<GetPixFmtFn>(avutil.resolve("av_get_pix_fmt"));
    if (!swscaleVersion || !getCachedContext || !scale || !freeContext || !avutilVersion || !getPixFmt) {
        error = QStringLiteral("Lanczos runtime ABI mismatch");
        return;
    }
    if (int(swscaleVersion() / 65536) != runtime.swscaleMajor
        || int(avutilVersion() / 65536) != runtime.avutilMajor) {
        error = QStringLiteral("Lanczos runtime ABI mismatch");
        return;
    }
    rgbaFormat = getPixFmt("rgba");
    if (rgbaFormat < 0)
        error = QStringLiteral("Lanczos RGBA format unavailable");
}

LanczosScaler::Runtime LanczosScaler::defaultRuntime()
{
    const QString dir = QCoreApplication::applicationDirPath();
    const QString swscaleName = QStringLiteral("libswscale.so.%1").arg(LIBSWSCALE_VERSION_MAJOR);
    const QString avutilName = QStringLiteral("libavutil.so.%1").arg(LIBAVUTIL_VERSION_MAJOR);
    Runtime runtime;
    runtime.swscaleCandidates = {dir + QLatin1Char('/') + swscaleName, swscaleName};
    runtime.avutilCandidates = {dir + QLatin1Char('/') + avutilName, avutilName};
    runtime.swscaleMajor = LIBSWSCALE_VERSION_MAJOR;
    runtime.avutilMajor = LIBAVUTIL_VERSION_MAJOR;
    return runtime;
}

void LanczosScaler::setRuntimeForTesting(const Runtime &runtime)
{
    runtimeOverride() = runtime;
}

void LanczosScaler::resetRuntimeForTesting()
{
    runtimeOverride().reset();
}

LanczosScaler::LanczosScaler() : d(std::make_unique<Private>())
{
    d->load(runtimeOverride().value_or(defaultRuntime()));
}

LanczosScaler::~LanczosScaler()
{
    // The libraries stay loaded: other scalers of the process may still use them.
    if (d->context)
        d->freeContext(d->context);
}

bool LanczosScaler::isAvailable() const
{
    return d->error.isEmpty();
}

QString LanczosScaler::errorString() const
{
    return d->error;
}

QImage LanczosScaler::scale(const QImage &image, QSize target)
{
    if (!isAvailable() || image.isNull() || target.isEmpty())
        return {};
    if (qint64(target.width()) * target.height() > maxOutputPixels)
        return {};
    if (target == image.size())
        return image;
    const QImage source = image.convertToFormat(QImage::Format_RGBA8888);
    QImage destination(target, QImage::Format_RGBA8888);
    if (source.isNull() || destination.isNull())
        return {};
    const auto format = AVPixelFormat(d->rgbaFormat);
    d->context = d->getCachedContext(d->context, source.width(), source.height(), format, target.width(),
                                     target.height(), format, SWS_LANCZOS | SWS_ACCURATE_RND, nullptr,
                                     nullptr, nullptr);
    if (!d->context)
        return {};
    const uint8_t *sourcePlanes[4] = {source.constBits(), nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {int(source.bytesPerLine()), 0, 0, 0};
    uint8_t *destinationPlanes[4] = {destination.bits(), nullptr, nullptr, nullptr};
    const int destinationStrides[4] = {int(destination.bytesPerLine()), 0, 0, 0};
    const int rows = d->scale(d->context, sourcePlanes, sourceStrides, 0, source.height(), destinationPlanes,
                              destinationStrides);
    if (rows != target.height())
        return {};
    destination.setColorSpace(image.colorSpace());
    return destination;
}
