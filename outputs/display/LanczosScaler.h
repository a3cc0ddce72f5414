#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <memory>

// Lanczos resampling of RGBA pictures through FFmpeg's swscale, loaded at run time (never linked),
// so a machine without the libraries, or with another major version of them, still runs the
// program: the scaler then only reports why it is unavailable. One scaler keeps one cached swscale
// context and must not be used by two threads at once.
class LanczosScaler
{
public:
    LanczosScaler();
    ~LanczosScaler();
    LanczosScaler(const LanczosScaler &) = delete;
    LanczosScaler &operator=(const LanczosScaler &) = delete;

    bool isAvailable() const;
    QString errorString() const;

    // The picture scaled to target; the picture itself when it already has that size; a null image
    // when the scaler is unavailable, the picture is null, the target is empty or above
    // 4096 x 2160 pixels, or swscale fails.
    QImage scale(const QImage &image, QSize target);

    // Where the libraries are looked for and which majors are required. The default looks in the
    // application directory first, then on the system library path, for the majors this program was
    // built with.
    struct Runtime
    {
        QStringList swscaleCandidates;
        QStringList avutilCandidates;
        int swscaleMajor = 0;
        int avutilMajor = 0;
    };
    static Runtime defaultRuntime();
    // Test seam: scalers built after this call load the given runtime instead of the default.
    static void setRuntimeForTesting(const Runtime &runtime);
    static void resetRuntimeForTesting();

    static constexpr qint64 maxOutputPixels = 4096LL * 2160LL;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
