#include "app/AppInfo.h"
#include "app/AppStyle.h"
#include "app/FileLog.h"
#include "app/LayoutBoard.h"
#include "app/MainWindow.h"
#include "app/StateDirectory.h"
#include "outputs/network/OmtApi.h"
#include "selftest/Aes67Tests.h"
#include "selftest/AudioEngineTests.h"
#include "selftest/GpuTests.h"
#include "selftest/LinkTests.h"
#include "selftest/NetworkTests.h"
#include "selftest/OutputTests.h"
#include "selftest/ReadinessTests.h"
#include "selftest/SelfTestRunners.h"
#include "selftest/SmokeTest.h"
#include "selftest/TransportTests.h"
#include "selftest/WebTests.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStyleFactory>
#include <cstdio>
#include <functional>
#include <optional>

namespace {

struct OptionSpec
{
    const char *name;
    const char *help;
    const char *valueName;
    const char *defaultValue;
};

// Every option, in the order the help lists them.
const OptionSpec optionSpecs[] = {
    {"update-test", "Test signed update metadata and validation", nullptr, nullptr},
    {"update-online-test", "Test the live update feed and verified download", nullptr, nullptr},
    {"show", "Open a saved show without starting outputs", "path", nullptr},
    {"portable", "Keep settings beside the executable in state/", nullptr, nullptr},
    {"runtime-info", "Write version and resolved settings path, then exit", "path", nullptr},
    {"board", "Show sample content for layout review", nullptr, nullptr},
    {"board-multi-output", "Show three Programs and five display routes in sample mode", nullptr, nullptr},
    {"board-programs", "Number of sample Programs in multiview", "count", "1"},
    {"capture-sequential", "Select sequential mode in a sample board", nullptr, nullptr},
    {"lang", "UI language", "locale", nullptr},
    {"capture-dir", "Export one native layout board and exit", "directory", nullptr},
    {"capture-page", "Layout page: 0 MAIN, 1 EDIT, 2 library, 3 outputs, 4 audio", "page", "0"},
    {"capture-size", "Native board viewport, e.g. 1280x800", "widthxheight", "1600x1000"},
    {"state-dir", "Portable settings directory", "directory", nullptr},
    {"cpu", "Force software decoding", nullptr, nullptr},
    {"link-mirror-test", "Test Zelvo Link backup mirroring end to end", nullptr, nullptr},
    {"link-test", "Test Zelvo Link discovery, pairing and distribution", nullptr, nullptr},
    {"audio-engine-test", "Test the low-latency local audio engine", nullptr, nullptr},
    {"aes67-test", "Test AES67 network audio (PTP, RTP, SAP)", nullptr, nullptr},
    {"web-test", "Test the local WebRTC web monitor", nullptr, nullptr},
    {"network-test", "Test audio mixing and native NDI/OMT loopback", nullptr, nullptr},
    {"capture-link", "Capture the Zelvo Link tab", nullptr, nullptr},
    {"capture-settings", "Capture Settings → Playback (project setup)", nullptr, nullptr},
    {"capture-digital", "Capture the Digital/IP outputs tab", nullptr, nullptr},
    {"capture-diagnostics", "Capture Settings / Engine diagnostics", nullptr, nullptr},
    {"readiness-test", "Test real source readiness and engine metrics", nullptr, nullptr},
    {"gpu-test", "Test GPU Lanczos pixels, output fallback and short playback", nullptr, nullptr},
    {"output-test", "Test native output scaling and fullscreen geometry", nullptr, nullptr},
    {"ui-test", "Test native MAIN/EDIT controls with fixture media", nullptr, nullptr},
    {"transport-test", "Test trims, transitions and playlist modes", nullptr, nullptr},
    {"smoke-test", "Decode fixture suite and exit", nullptr, nullptr},
    {"fixtures", "Fixture directory", "directory", nullptr},
    {"result", "Smoke result JSON", "path", nullptr},
};

using Runner = std::function<int(const QString &, const QString &)>;

// The runners dispatched once the state directory is published, first set option wins.
const std::pair<const char *, Runner> stateRunners[] = {
    {"readiness-test", runReadinessTests},
    {"network-test", runNetworkTests},
    {"web-test", runWebTests},
    {"audio-engine-test", runAudioEngineTests},
    {"aes67-test", runAes67Tests},
    {"link-test", runLinkTests},
    {"gpu-test", runGpuTests},
    {"output-test", runOutputTests},
    {"transport-test", runTransportTests},
    {"smoke-test", runSmoke},
};

QStringList argumentsFromArgv(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void forceSoftwareDecoding()
{
    qputenv("QT_FFMPEG_DECODING_HW_DEVICE_TYPES", ",");
    qputenv("ZELVO_DECODE_MODE", "cpu");
}

// The folder of the executable, known before the application object exists.
QString executableDir()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

QString resolveStateDir(const QCommandLineParser &parser)
{
    QString dir;
    if (parser.isSet(QStringLiteral("state-dir")))
        dir = QDir::current().absoluteFilePath(parser.value(QStringLiteral("state-dir")));
    else if (parser.isSet(QStringLiteral("portable")))
        dir = executableDir() + QStringLiteral("/state");
    else
        dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir::cleanPath(dir);
}

void configureParser(QCommandLineParser &parser)
{
    parser.addHelpOption();
    parser.addVersionOption();
    for (const OptionSpec &spec : optionSpecs) {
        QCommandLineOption option(QString::fromLatin1(spec.name), QString::fromUtf8(spec.help));
        if (spec.valueName)
            option.setValueName(QString::fromLatin1(spec.valueName));
        if (spec.defaultValue)
            option.setDefaultValue(QString::fromLatin1(spec.defaultValue));
        parser.addOption(option);
    }
    parser.addPositionalArgument(QStringLiteral("media"), QStringLiteral("Local media paths"),
                                 QStringLiteral("[media...]"));
}

// Neither an X11 nor a Wayland display, and no platform chosen explicitly (tests choose
// "offscreen"): the window cannot open, but help, version, runtime information and the runners
// that need no window still work on the offscreen platform.
bool withoutDisplay()
{
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
           && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int refuseWithoutDisplay()
{
    std::fputs("Zelvo Playout cannot open its window: no display (DISPLAY or WAYLAND_DISPLAY is not set).\n", stderr);
    return 1;
}

void prepareCapture(MainWindow &window, const QCommandLineParser &parser)
{
    const QString directory = parser.value(QStringLiteral("capture-dir"));
    QDir().mkpath(directory);
    window.showPage(std::clamp(parser.value(QStringLiteral("capture-page")).toInt(), 0, 4));
    if (parser.isSet(QStringLiteral("capture-digital")))
        window.showDigitalOutputsTab();
    if (parser.isSet(QStringLiteral("capture-link")))
        window.showOutputsTab(3);
    if (parser.isSet(QStringLiteral("capture-settings")))
        window.showSettingsTab(0);
    if (parser.isSet(QStringLiteral("capture-diagnostics")))
        window.showDiagnosticsTab();
    const QString path = directory + QStringLiteral("/")
                         + LayoutBoard::captureName(parser, parser.value(QStringLiteral("lang")) == QStringLiteral("pt-BR"));
    QTimer::singleShot(2100, &window, [&window, path] {
        window.captureBoard(path);
        QCoreApplication::quit();
    });
}

int writeRuntimeInfo(const QString &path, const QString &stateDir, const QCommandLineParser &parser)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 5;
    const QJsonObject info{
        {QStringLiteral("version"), AppInfo::version},
        {QStringLiteral("source_commit"), AppInfo::sourceCommit()},
        {QStringLiteral("state_dir"), stateDir},
        {QStringLiteral("portable"), parser.isSet(QStringLiteral("portable"))},
        {QStringLiteral("state_override"), parser.isSet(QStringLiteral("state-dir"))},
        {QStringLiteral("default_language"), QStringLiteral("en")},
        {QStringLiteral("asio"), false},
    };
    const QByteArray text = QJsonDocument(info).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size() || !file.commit())
        return 5;
    return 0;
}

void copyLegacyPreferences(const QString &stateDir)
{
    const QString target = stateDir + QStringLiteral("/preferences.ini");
    const QString legacy = QCoreApplication::applicationDirPath() + QStringLiteral("/state/preferences.ini");
    if (QFile::exists(target) || !QFile::exists(legacy))
        return;
    if (!QDir().mkpath(stateDir) || !QFile::copy(legacy, target))
        qWarning("Legacy preferences could not be copied; original retained.");
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("ZELVO_LOG_PATH"))
        qInstallMessageHandler(messageHandler);
    qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    const QStringList arguments = argumentsFromArgv(argc, argv);
    if (arguments.contains(QStringLiteral("--cpu")))
        forceSoftwareDecoding();

    QCoreApplication::setApplicationName(AppInfo::applicationName);
    QCoreApplication::setOrganizationName(AppInfo::organizationName);
    QCoreApplication::setApplicationVersion(AppInfo::version);
    QCommandLineParser parser;
    configureParser(parser);

    // The state directory and everything the environment takes from it are settled before the
    // application object exists: that object starts threads (the display connection, D-Bus), and
    // setenv is not safe against readers on other threads.
    QString stateDir;
    const bool parsed = parser.parse(QStringList{QString::fromLocal8Bit(argv[0])} + arguments);
    const bool informationOnly = !parsed || parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"));
    const bool updateTest = parser.isSet(QStringLiteral("update-test")) || parser.isSet(QStringLiteral("update-online-test"));
    if (!informationOnly && !updateTest) {
        stateDir = resolveStateDir(parser);
        qputenv("ZELVO_STATE_DIR", stateDir.toUtf8());
        // The OMT runtime's folder lives inside; make the directory private before anything creates it.
        StateDirectory::prepare(stateDir);
        prepareOmtStoragePath();
    }
    const bool headless = withoutDisplay();
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setStyleSheet(applicationStyleSheet());
    parser.process(app);

    const QString fixtures = parser.value(QStringLiteral("fixtures"));
    const QString result = parser.value(QStringLiteral("result"));
    if (updateTest)
        return runUpdateTests(fixtures, result, parser.isSet(QStringLiteral("update-online-test")));

    for (const auto &[name, runner] : stateRunners) {
        if (!parser.isSet(QString::fromLatin1(name)))
            continue;
        if (!runner) {
            qCritical("--%s: this build has no runner for that test", name);
            return 1;
        }
        return runner(fixtures, result);
    }

    if (parser.isSet(QStringLiteral("runtime-info")))
        return writeRuntimeInfo(parser.value(QStringLiteral("runtime-info")), stateDir, parser);

    if (!parser.isSet(QStringLiteral("state-dir")) && !parser.isSet(QStringLiteral("portable")))
        copyLegacyPreferences(stateDir);
    QSettings preferences(stateDir + QStringLiteral("/preferences.ini"), QSettings::IniFormat);
    if (preferences.value(QStringLiteral("decode"), QStringLiteral("auto")).toString() == QStringLiteral("cpu"))
        forceSoftwareDecoding();

    if (headless)
        return refuseWithoutDisplay();
    if (parser.isSet(QStringLiteral("link-mirror-test")))
        return MainWindow::runLinkMirrorTests(fixtures, result);

    const bool capture = parser.isSet(QStringLiteral("capture-dir"));
    const bool board = parser.isSet(QStringLiteral("board"));
    auto window = std::make_unique<MainWindow>(board, parser.value(QStringLiteral("lang")), stateDir);
    LayoutBoard::applyBoardOptions(*window, parser);
    if (capture) {
        const std::optional<QSize> size = LayoutBoard::captureSize(parser.value(QStringLiteral("capture-size")));
        if (!size)
            return 4;
        window->resize(*size);
    }
    window->show();
    if (parser.isSet(QStringLiteral("ui-test")))
        return window->runUiTests(fixtures, result);

    const bool showGiven = parser.isSet(QStringLiteral("show"));
    if (showGiven && !window->openShowFile(parser.value(QStringLiteral("show"))))
        QMessageBox::warning(window.get(), AppInfo::applicationName, QStringLiteral("Could not open the saved show."),
                             QMessageBox::Ok);
    if (!capture && !board) {
        if (showGiven)
            window->checkMissingMedia(true);
        else
            window->offerRecovery();
    }
    window->addMediaPaths(parser.positionalArguments());
    if (capture)
        prepareCapture(*window, parser);
    else
        window->scheduleUpdateCheck();
    return app.exec();
}
