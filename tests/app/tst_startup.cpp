// The program's start-up, run as a separate process: exit codes, runtime information, the state
// directory's rights, the file log and starting without a display.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QString program()
{
    return qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/ZelvoPlayout");
}

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        int timeoutMs = 30000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program(), arguments);
    Run result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

int unixMode(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return environment;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(program()).isExecutable(), qPrintable(program()));
    }

    void init()
    {
        state = std::make_unique<QTemporaryDir>();
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0;
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0;
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--no-such-option")} << 1;
        QTest::newRow("missing value") << QStringList{QStringLiteral("--runtime-info")} << 1;
        for (const char *size : {"1279x800", "1280x799", "12800x900", "1600x1000x", "x"})
            QTest::newRow(size) << QStringList{QStringLiteral("--board"), QStringLiteral("--capture-size"),
                                               QString::fromLatin1(size), QStringLiteral("--capture-dir")}
                                << 4;
    }

    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        if (arguments.last() == QStringLiteral("--capture-dir"))
            arguments << state->filePath(QStringLiteral("captures"));
        arguments.prepend(state->path());
        arguments.prepend(QStringLiteral("--state-dir"));
        const Run result = run(arguments);
        QCOMPARE(result.code, code);
        if (code == 4)
            QVERIFY(!QFileInfo::exists(state->filePath(QStringLiteral("captures"))));
    }

    void versionAndHelpText()
    {
        QCOMPARE(run({QStringLiteral("--version")}).out.trimmed(), QByteArray("Zelvo Playout v0.1.0 (build 0001)"));
        const QByteArray help = run({QStringLiteral("--help")}).out;
        QVERIFY(help.contains("--capture-diagnostics"));
        QVERIFY(help.contains("Decode fixture suite and exit"));
        QVERIFY(help.indexOf("--update-test") < help.indexOf("--result"));
    }

    void runtimeInformation_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("portable");
        QTest::addColumn<bool>("override");
        QTest::newRow("state dir") << QStringList{QStringLiteral("--state-dir"), QStringLiteral("rel")} << false << true;
        QTest::newRow("both") << QStringList{QStringLiteral("--portable"), QStringLiteral("--state-dir"), QStringLiteral("rel")}
                              << true << true;
    }

    void runtimeInformation()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, portable);
        QFETCH(bool, override);
        QProcess process;
        const QString info = state->filePath(QStringLiteral("info.json"));
        process.setWorkingDirectory(state->path());
        process.start(program(), options + QStringList{QStringLiteral("--runtime-info"), info});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QFile file(info);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(object.keys(), (QStringList{QStringLiteral("asio"), QStringLiteral("default_language"), QStringLiteral("portable"),
                                             QStringLiteral("source_commit"), QStringLiteral("state_dir"),
                                             QStringLiteral("state_override"), QStringLiteral("version")}));
        QCOMPARE(object.value(QStringLiteral("version")).toString(), QStringLiteral("v0.1.0 (build 0001)"));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(object.value(QStringLiteral("source_commit")).toString()).hasMatch());
        QCOMPARE(object.value(QStringLiteral("state_dir")).toString(), QDir::cleanPath(state->filePath(QStringLiteral("rel"))));
        QCOMPARE(object.value(QStringLiteral("portable")).toBool(), portable);
        QCOMPARE(object.value(QStringLiteral("state_override")).toBool(), override);
        QCOMPARE(object.value(QStringLiteral("default_language")).toString(), QStringLiteral("en"));
        QCOMPARE(object.value(QStringLiteral("asio")).toBool(), false);
    }

    void unwritableRuntimeInformationLeavesNoFile_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("folder missing") << QStringLiteral("missing/info.json");
        QTest::newRow("a folder") << QStringLiteral("taken");
        QTest::newRow("read-only folder") << QStringLiteral("locked/info.json");
    }

    void unwritableRuntimeInformationLeavesNoFile()
    {
        QFETCH(QString, target);
        QDir(state->path()).mkdir(QStringLiteral("taken"));
        QDir(state->path()).mkdir(QStringLiteral("locked"));
        const QString locked = state->filePath(QStringLiteral("locked"));
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString path = state->filePath(target);
        const Run result = run({QStringLiteral("--runtime-info"), path, QStringLiteral("--state-dir"),
                                state->filePath(QStringLiteral("s"))});
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (target.startsWith(QStringLiteral("locked")) && result.code == 0)
            QSKIP("The test runs with rights that ignore file permissions");
        QCOMPARE(result.code, 5);
        QVERIFY(QFileInfo(path).isDir() || !QFileInfo::exists(path));
        for (const QString &folder : {QStringLiteral("taken"), QStringLiteral("locked")})
            QCOMPARE(QDir(state->filePath(folder)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
        QCOMPARE(QDir(state->path()).entryList(QStringList{QStringLiteral("*.json*"), QStringLiteral("taken.*")},
                                               QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void withoutADisplay()
    {
        const QProcessEnvironment environment = withoutDisplay();
        const QString stateArg = state->filePath(QStringLiteral("s"));
        QCOMPARE(run({QStringLiteral("--help")}, environment).code, 0);
        QCOMPARE(run({QStringLiteral("--version")}, environment).code, 0);
        const QString info = state->filePath(QStringLiteral("info.json"));
        QCOMPARE(run({QStringLiteral("--runtime-info"), info, QStringLiteral("--state-dir"), stateArg}, environment).code, 0);
        QVERIFY(QFileInfo::exists(info));
        const QString report = state->filePath(QStringLiteral("smoke.json"));
        const Run smoke = run({QStringLiteral("--smoke-test"), QStringLiteral("--fixtures"),
                               qEnvironmentVariable("ZELVO_FIXTURES") + QStringLiteral("/smoke"), QStringLiteral("--result"),
                               report, QStringLiteral("--state-dir"), stateArg},
                              environment, 120000);
        QVERIFY2(smoke.code == 0 || smoke.code == 2, smoke.err.constData());
        QVERIFY(QFileInfo::exists(report));

        const Run window = run({QStringLiteral("--state-dir"), stateArg}, environment);
        QCOMPARE(window.code, 1);
        const QList<QByteArray> lines = window.err.trimmed().split('\n');
        QVERIFY2(lines.last().contains("no display"), window.err.constData());
        QVERIFY(!window.err.contains("qt.qpa.plugin"));
    }

    void stateDirectoryIsPrivate()
    {
        const QString dir = state->filePath(QStringLiteral("fresh/state"));
        const QString info = state->filePath(QStringLiteral("info.json"));
        QCOMPARE(run({QStringLiteral("--runtime-info"), info, QStringLiteral("--state-dir"), dir}).code, 0);
        QCOMPARE(unixMode(dir), 0700);

        // A window run creates preferences.ini for the owner only.
        const Run capture = run({QStringLiteral("--state-dir"), dir, QStringLiteral("--capture-dir"),
                                 state->filePath(QStringLiteral("captures"))});
        QCOMPARE(capture.code, 0);
        const QFileInfo preferences(dir + QStringLiteral("/preferences.ini"));
        QVERIFY(preferences.exists());
        QCOMPARE(unixMode(preferences.filePath()), 0600);
    }

    void legacyPreferencesAreCopiedNotMoved()
    {
        // The program in a folder of its own, with a legacy state/preferences.ini beside it, and a
        // private home so the default state directory lies inside the test's folder.
        const QString bin = state->filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin + QStringLiteral("/state")));
        QVERIFY(QFile::copy(program(), bin + QStringLiteral("/ZelvoPlayout")));
        QFile legacy(bin + QStringLiteral("/state/preferences.ini"));
        QVERIFY(legacy.open(QIODevice::WriteOnly));
        legacy.write("[General]\nmanualFadeMs=1234\n");
        legacy.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), state->filePath(QStringLiteral("home")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), state->filePath(QStringLiteral("home/data")));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(bin + QStringLiteral("/ZelvoPlayout"), {QStringLiteral("--capture-dir"), state->filePath(QStringLiteral("captures"))});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QString copied = state->filePath(QStringLiteral("home/data/Zelvo/Zelvo Playout/preferences.ini"));
        QVERIFY2(QFileInfo::exists(copied), qPrintable(copied));
        QCOMPARE(QSettings(copied, QSettings::IniFormat).value(QStringLiteral("manualFadeMs")).toInt(), 1234);
        QCOMPARE(unixMode(copied), 0600);
        QVERIFY(legacy.exists());
    }

    void emptyLogPathKeepsTheConsole()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ZELVO_LOG_PATH"), QString());
        const Run result = run({QStringLiteral("--link-mirror-test"), QStringLiteral("--state-dir"), state->path()}, environment);
        QCOMPARE(result.code, 3);
        QVERIFY2(result.err.contains("--link-mirror-test"), result.err.constData());

        const QString log = state->filePath(QStringLiteral("run.log"));
        environment.insert(QStringLiteral("ZELVO_LOG_PATH"), log);
        const Run logged = run({QStringLiteral("--link-mirror-test"), QStringLiteral("--state-dir"), state->path()}, environment);
        QCOMPARE(logged.code, 3);
        QVERIFY(!logged.err.contains("--link-mirror-test"));
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("default: --link-mirror-test"));
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
