// Runs the GPU self-test as shipped and checks its report: on a software renderer the GPU path must
// be refused and every output must fall back to native scaling with the documented notice; on a
// hardware renderer the suite must simply pass.
// Usage: check_gpu_fallback RESULT_JSON -- COMMAND [ARGS...]

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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

bool isSoftware(const QString &renderer)
{
    const QString name = renderer.toLower();
    for (const char *marker : {"llvmpipe", "softpipe", "software", "gdi generic", "basic render"}) {
        if (name.contains(QLatin1String(marker)))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 3 || args.at(1) != QLatin1String("--")) {
        std::fprintf(stderr, "usage: check_gpu_fallback RESULT_JSON -- COMMAND [ARGS...]\n");
        return 1;
    }
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
    QHash<QString, QJsonObject> cases;
    for (const QJsonValue &value : report.value(QStringLiteral("tests")).toArray())
        cases.insert(value[QStringLiteral("name")].toString(), value.toObject());
    const auto passed = [&cases](const char *name) { return cases.value(QLatin1String(name)).value(QStringLiteral("pass")).toBool(); };

    const QString renderer = report.value(QStringLiteral("device"))[QStringLiteral("renderer")].toString();
    expect(!renderer.isEmpty(), QStringLiteral("renderer reported: ") + renderer);
    if (!isSoftware(renderer)) {
        expect(exitCode == 0 && report.value(QStringLiteral("result")).toString() == QLatin1String("PASS"),
               QStringLiteral("hardware renderer: every case passes"));
        return failures == 0 ? 0 : 1;
    }

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
    return failures == 0 ? 0 : 1;
}
