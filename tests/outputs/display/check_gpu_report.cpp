// Runs the GPU self-test and checks its report. On a hardware renderer the suite must simply pass.
// On a software renderer:
// - "fallback" (the runner as shipped): the GPU path must be refused and every output must fall
//   back to native scaling with the documented notice;
// - "software" (the software renderer let through by the test switch): every case must pass, and the
//   two playback streams are judged against the renderer's own measured cost per picture instead of
//   the frame rate a hardware driver reaches. There a 4K picture costs the host's CPU about half a
//   second to convert, upload and filter, so the count of pictures in the 4 s pump measures how busy
//   the machine is. What the streams must still show is that the surface renders picture after
//   picture as fast as that cost allows, without stalls or lost paints.
// Usage: check_gpu_report fallback|software RESULT_JSON -- COMMAND [ARGS...]

#include "outputs/display/GpuLanczos.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <cstdio>

namespace {

const QString gpuUnavailable = QStringLiteral("GPU context unavailable; using Native scaling");
int failures = 0;

void expect(bool condition, const QString &what)
{
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", qPrintable(what));
    if (!condition)
        ++failures;
}

using Cases = QHash<QString, QJsonObject>;

void expectFallback(const QJsonObject &report, const Cases &cases, int exitCode)
{
    const auto passed = [&cases](const char *name) { return cases.value(QLatin1String(name)).value(QStringLiteral("pass")).toBool(); };
    expect(exitCode == 2, QStringLiteral("exit code 2 (a case failed), got %1").arg(exitCode));
    expect(report.value(QStringLiteral("result")).toString() == QLatin1String("FAIL"), QStringLiteral("result FAIL"));
    expect(passed("opengl_context"), QStringLiteral("an OpenGL 3.3 context exists"));
    const QJsonObject shaders = cases.value(QStringLiteral("shader_compiles_and_links"));
    expect(!shaders.isEmpty() && !shaders.value(QStringLiteral("pass")).toBool()
               && shaders.value(QStringLiteral("error")).toString() == gpuUnavailable,
           QStringLiteral("the software renderer is refused with the notice"));
    expect(!cases.contains(QStringLiteral("identity_preserves_pixels_and_orientation"))
               && !cases.contains(QStringLiteral("excessive_reduction_is_rejected")),
           QStringLiteral("no scaler case runs on a refused renderer"));
    expect(report.value(QStringLiteral("quality")).toObject().isEmpty(), QStringLiteral("no quality summary"));
    expect(passed("mirrors_share_input_readback") && passed("independent_programs_have_independent_caches"),
           QStringLiteral("the frame caches work without a GPU scaler"));
    const QJsonObject window = cases.value(QStringLiteral("gpu_output_framebuffer_pixels"));
    expect(!window.isEmpty() && !window.value(QStringLiteral("pass")).toBool()
               && window.value(QStringLiteral("error")).toString() == gpuUnavailable
               && window.value(QStringLiteral("frames")).toInt() == 0,
           QStringLiteral("the GPU window draws nothing and reports the notice"));
    expect(!cases.contains(QStringLiteral("gpu_surface_coalesces_burst_to_latest")),
           QStringLiteral("window cases that need a drawn frame are left out"));
    expect(passed("unavailable_gpu_uses_native"), QStringLiteral("a window without GPU shows frames natively"));
    for (const char *name : {"gpu_native_4k_downscale_stream", "gpu_native_1080_upscale_stream"}) {
        const QJsonObject stream = cases.value(QLatin1String(name));
        expect(!stream.isEmpty() && !stream.value(QStringLiteral("pass")).toBool()
                   && stream.value(QStringLiteral("rendered_unique_frames")).toInt() == 0,
               QStringLiteral("%1 renders nothing").arg(QLatin1String(name)));
    }
}

// A stream renders one picture per service: the CPU service (readback, upload, submission) plus the
// filter passes, which on a software renderer take the same CPU. Half of what that cost allows
// leaves room for the picture's composition and for the deck decoding on the same cores, and still
// fails a surface that skips paints or stalls between pictures.
void expectStreamKeepsUp(const QJsonObject &stream, const QString &name)
{
    const int rendered = stream.value(QStringLiteral("rendered_unique_frames")).toInt();
    const double elapsedMs = stream.value(QStringLiteral("elapsed_ms")).toDouble();
    const double perPictureMs = stream.value(QStringLiteral("service_cpu_median_ms")).toDouble()
                                + std::max(0.0, stream.value(QStringLiteral("gpu_filter_median_ms")).toDouble());
    const int affordable = perPictureMs > 0 ? int(elapsedMs / perPictureMs) : 0;
    expect(rendered >= 2 && rendered * 2 >= affordable,
           QStringLiteral("%1: %2 pictures rendered in %3 ms at %4 ms each (%5 affordable)")
               .arg(name)
               .arg(rendered)
               .arg(elapsedMs)
               .arg(perPictureMs, 0, 'f', 1)
               .arg(affordable));
}

void expectSoftware(const QJsonObject &report, const Cases &cases, int exitCode)
{
    const QStringList streams{QStringLiteral("gpu_native_4k_downscale_stream"),
                              QStringLiteral("gpu_native_1080_upscale_stream")};
    expect(exitCode == 0 || exitCode == 2, QStringLiteral("exit code 0 or 2, got %1").arg(exitCode));
    expect(cases.size() == 21, QStringLiteral("all 21 cases ran, got %1").arg(cases.size()));
    for (auto it = cases.cbegin(); it != cases.cend(); ++it) {
        if (!streams.contains(it.key()))
            expect(it.value().value(QStringLiteral("pass")).toBool(), it.key());
    }
    for (const QString &name : streams) {
        const QJsonObject stream = cases.value(name);
        expect(!stream.isEmpty(), name + QStringLiteral(" ran"));
        if (!stream.isEmpty())
            expectStreamKeepsUp(stream, name);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QStringList modes{QStringLiteral("fallback"), QStringLiteral("software")};
    if (args.size() < 4 || !modes.contains(args.at(0)) || args.at(2) != QLatin1String("--")) {
        std::fprintf(stderr, "usage: check_gpu_report fallback|software RESULT_JSON -- COMMAND [ARGS...]\n");
        return 1;
    }
    const QString mode = args.takeFirst();
    const QString resultPath = args.takeFirst();
    args.removeFirst();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(args.takeFirst(), args);
    process.waitForFinished(-1);
    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;

    QFile file(resultPath);
    expect(file.open(QIODevice::ReadOnly), QStringLiteral("report written"));
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    Cases cases;
    for (const QJsonValue &value : report.value(QStringLiteral("tests")).toArray())
        cases.insert(value[QStringLiteral("name")].toString(), value.toObject());

    const QString renderer = report.value(QStringLiteral("device"))[QStringLiteral("renderer")].toString();
    expect(!renderer.isEmpty(), QStringLiteral("renderer reported: ") + renderer);
    if (!GpuLanczos::isSoftwareRenderer(renderer)) {
        expect(exitCode == 0 && report.value(QStringLiteral("result")).toString() == QLatin1String("PASS"),
               QStringLiteral("hardware renderer: every case passes"));
        return failures == 0 ? 0 : 1;
    }
    if (mode == QLatin1String("fallback"))
        expectFallback(report, cases, exitCode);
    else
        expectSoftware(report, cases, exitCode);
    return failures == 0 ? 0 : 1;
}
