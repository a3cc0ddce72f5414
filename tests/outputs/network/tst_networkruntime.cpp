// The NDI and OMT runtime loaders against the stand-in runtimes (built by network.cmake into
// ZELVO_STANDIN_APP, broken variants into ZELVO_STANDIN_VARIANTS).
#include "outputs/network/NdiApi.h"
#include "outputs/network/OmtApi.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <dlfcn.h>

namespace {

using Environment = QMap<QString, QString>;

const QString ndiNotFound = QStringLiteral("NDI runtime not found. Install the official NDI Runtime.");
const QString ndiIncomplete = QStringLiteral("NDI runtime API is incomplete");
const QString ndiInitFailed = QStringLiteral("NDI initialization failed");
const QString omtCodec = QStringLiteral("OMT video codec unavailable. Reinstall the OMT libraries.");
const QString omtNotFound = QStringLiteral("OMT runtime not found. Install the OMT libraries.");
const QString omtIncomplete = QStringLiteral("OMT runtime API is incomplete");

QString standinApp()
{
    return qEnvironmentVariable("ZELVO_STANDIN_APP");
}

QString variant(const QString &name)
{
    return qEnvironmentVariable("ZELVO_STANDIN_VARIANTS") + QLatin1Char('/') + name;
}

} // namespace

class NetworkRuntimeTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(standinApp() + "/libndi.so.6"), "stand-in runtimes not built");
        QStandardPaths::setTestModeEnabled(true);
    }

    void sharedNdiApiIsLoadedOnceAndNotRetried()
    {
        // Runs first: once any libndi.so.6 is mapped, the search path finds it by its name.
        // Nothing beside the test program: the shared loader fails, and a runtime that appears
        // later is not picked up before a restart.
        const std::shared_ptr<NdiApi> first = sharedNdiApi();
        QVERIFY(!first->initialised);
        QCOMPARE(first->error, ndiNotFound);
        qputenv("ZELVO_NDI_RUNTIME", (standinApp() + "/libndi.so.6").toUtf8());
        const std::shared_ptr<NdiApi> second = sharedNdiApi();
        qunsetenv("ZELVO_NDI_RUNTIME");
        QCOMPARE(second.get(), first.get());
        QVERIFY(!second->initialised);
    }

    void ndiCandidatesFollowTheSearchOrder_data()
    {
        QTest::addColumn<Environment>("env");
        QTest::addColumn<QStringList>("expected");
        const QStringList system{"libndi.so.6", "libndi.so.5"};
        QTest::newRow("nothing set") << Environment{}
                                     << QStringList{"/app/libndi.so.6", "/app/libndi.so.5"} + system;
        QTest::newRow("everything set")
            << Environment{{"ZELVO_NDI_RUNTIME", "/private/libndi.so.6"},
                                      {"NDI_RUNTIME_DIR_V6", "/v6"},
                                      {"NDI_RUNTIME_DIR_V5", "/v5"}}
            << QStringList{"/private/libndi.so.6", "/app/libndi.so.6", "/app/libndi.so.5", "/v6/libndi.so.6",
                           "/v6/libndi.so.5", "/v5/libndi.so.6", "/v5/libndi.so.5"}
                   + system;
        QTest::newRow("only the v5 folder")
            << Environment{{"NDI_RUNTIME_DIR_V5", "/v5"}}
            << QStringList{"/app/libndi.so.6", "/app/libndi.so.5", "/v5/libndi.so.6", "/v5/libndi.so.5"} + system;
        QTest::newRow("empty values count as unset")
            << Environment{{"ZELVO_NDI_RUNTIME", ""}, {"NDI_RUNTIME_DIR_V6", ""}}
            << QStringList{"/app/libndi.so.6", "/app/libndi.so.5"} + system;
    }

    void ndiCandidatesFollowTheSearchOrder()
    {
        QFETCH(const Environment, env);
        QFETCH(const QStringList, expected);
        const auto read = [&env](const char *name) { return env.value(QString::fromLatin1(name)); };
        QCOMPARE(NdiApi::candidateFiles("/app", read), expected);
    }

    void ndiLoadsTheFirstCandidateThatLoads()
    {
        // A missing file and a file that is no library are passed over.
        QTemporaryDir dir;
        QFile junk(dir.filePath("libndi.so.6"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a shared library");
        junk.close();
        const NdiApi api({dir.filePath("missing/libndi.so.6"), junk.fileName(), variant("ndi-v5/libndi.so.5"),
                          standinApp() + "/libndi.so.6"});
        QVERIFY2(api.initialised, qPrintable(api.error));
        QCOMPARE(api.path, QFileInfo(variant("ndi-v5/libndi.so.5")).absoluteFilePath());
        QVERIFY(api.error.isEmpty());
        QVERIFY2(api.version.contains("stand-in"), qPrintable(api.version));
        QVERIFY(api.NDIlib_find_get_current_sources);
    }

    void ndiPrivateCopyWinsOverInstalledOne()
    {
        QTemporaryDir dir;
        const QString copy = dir.filePath("libndi.so.6");
        QVERIFY(QFile::copy(standinApp() + "/libndi.so.6", copy));
        qputenv("ZELVO_NDI_RUNTIME", copy.toUtf8());
        qputenv("NDI_RUNTIME_DIR_V6", standinApp().toUtf8());
        const NdiApi api;
        qunsetenv("ZELVO_NDI_RUNTIME");
        qunsetenv("NDI_RUNTIME_DIR_V6");
        QVERIFY2(api.initialised, qPrintable(api.error));
        QCOMPARE(api.path, copy);
    }

    void ndiFailuresKeepTheirTexts_data()
    {
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing to load") << QStringList{} << ndiNotFound;
        QTest::newRow("missing file") << QStringList{"/nonexistent/libndi.so.6"} << ndiNotFound;
        QTest::newRow("entry point missing") << QStringList{variant("ndi-incomplete/libndi.so.6")} << ndiIncomplete;
        QTest::newRow("initialisation refused") << QStringList{variant("ndi-initfail/libndi.so.6")} << ndiInitFailed;
    }

    void ndiFailuresKeepTheirTexts()
    {
        QFETCH(const QStringList, candidates);
        QFETCH(const QString, error);
        const NdiApi api(candidates);
        QVERIFY(!api.initialised);
        QCOMPARE(api.error, error);
        QVERIFY(api.version.isEmpty());
    }

    void omtRuntimeFile()
    {
        QCOMPARE(OmtApi::runtimeFile("/app", QString()), QStringLiteral("/app/libomt.so"));
        QCOMPARE(OmtApi::runtimeFile("/app", "/opt/omt/libomt.so"), QStringLiteral("/opt/omt/libomt.so"));
    }

    void omtLoadsCodecThenRuntime()
    {
        OmtApi api(standinApp() + "/libomt.so");
        QVERIFY2(api.initialised, qPrintable(api.error));
        QCOMPARE(api.path, QFileInfo(standinApp() + "/libomt.so").absoluteFilePath());
        QVERIFY(api.codec.isLoaded());
        QVERIFY(api.omt_receive && api.omt_shutdown);
        // Logging was set to no file once everything resolved.
        auto logging = reinterpret_cast<int (*)()>(api.library.resolve("zelvo_standin_omt_logging_state"));
        QVERIFY(logging);
        QCOMPARE(logging(), 1);
    }

    void omtFailuresKeepTheirTexts_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<QString>("error");
        // The codec is looked for in the runtime's own folder, even when a codec of that name is
        // already loaded from elsewhere (so libomt itself would load).
        QTest::newRow("codec missing beside the runtime") << variant("omt-nocodec/libomt.so") << omtCodec;
        QTest::newRow("folder missing") << QStringLiteral("/nonexistent/libomt.so") << omtCodec;
        QTest::newRow("runtime missing") << variant("omt-noruntime/libomt.so") << omtNotFound;
        QTest::newRow("entry point missing") << variant("omt-incomplete/libomt.so") << omtIncomplete;
    }

    void omtFailuresKeepTheirTexts()
    {
        QFETCH(const QString, runtime);
        QFETCH(const QString, error);
        const OmtApi keepCodecLoaded(standinApp() + "/libomt.so");
        QVERIFY(keepCodecLoaded.initialised);
        const OmtApi api(runtime);
        QVERIFY(!api.initialised);
        QCOMPARE(api.error, error);
    }

    void omtDefaultLooksBesideTheProgram()
    {
        // Nothing beside the test program, and the variable names no runtime.
        qunsetenv("ZELVO_OMT_RUNTIME");
        const OmtApi missing;
        QCOMPARE(missing.error, omtCodec);
        qputenv("ZELVO_OMT_RUNTIME", (standinApp() + "/libomt.so").toUtf8());
        const OmtApi configured;
        qunsetenv("ZELVO_OMT_RUNTIME");
        QVERIFY2(configured.initialised, qPrintable(configured.error));
    }

    void omtStoragePath_data()
    {
        QTest::addColumn<bool>("preset");
        QTest::addColumn<bool>("stateDir");
        QTest::newRow("already set: left alone") << true << true;
        QTest::newRow("under the state directory") << false << true;
        QTest::newRow("no state directory: local data location") << false << false;
    }

    void omtStoragePath()
    {
        QFETCH(const bool, preset);
        QFETCH(const bool, stateDir);
        QTemporaryDir state;
        if (preset)
            qputenv("OMT_STORAGE_PATH", "/elsewhere/omt-files");
        else
            qunsetenv("OMT_STORAGE_PATH");
        // An empty state directory counts as none, rather than giving "/omt".
        qputenv("ZELVO_STATE_DIR", stateDir ? state.path().toUtf8() : QByteArray());

        prepareOmtStoragePath();
        const QString result = qEnvironmentVariable("OMT_STORAGE_PATH");
        qunsetenv("OMT_STORAGE_PATH");
        qunsetenv("ZELVO_STATE_DIR");

        if (preset) {
            QCOMPARE(result, QStringLiteral("/elsewhere/omt-files"));
            QVERIFY(!QFileInfo::exists(state.filePath("omt")));
            return;
        }
        const QString base = stateDir ? state.path()
                                      : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QCOMPARE(result, base + "/omt");
        QVERIFY(QFileInfo(result).isDir());
    }
};

QTEST_GUILESS_MAIN(NetworkRuntimeTest)
#include "tst_networkruntime.moc"
