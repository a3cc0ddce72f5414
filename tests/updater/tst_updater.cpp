// The updater program end to end: a stand-in application (a real executable, copied to the
// installation folder as "ZelvoPlayout") and a stand-in installer script, with the exit code, what
// the installer saw and how the application was started again as the evidence.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct UpdaterRun
{
    int code = -1;
    QString error;
};

QStringList lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Everything one updater run needs: an installation folder with the stand-in application, a state
// directory with the downloaded installer, and the logs the stand-ins write.
class Scene
{
public:
    Scene()
    {
        target = root.filePath(QStringLiteral("install"));
        restart = target + QStringLiteral("/ZelvoPlayout");
        stateDir = root.filePath(QStringLiteral("state"));
        downloads = stateDir + QStringLiteral("/updates");
        installer = downloads + QStringLiteral("/ZelvoPlayout-v0.2.0-setup.exe");
        appLog = root.filePath(QStringLiteral("app.log"));
        installerLog = root.filePath(QStringLiteral("installer.log"));
        QDir().mkpath(target);
        QDir().mkpath(downloads);
        QFile::copy(QStringLiteral(ZELVO_STAND_IN_APP), restart);
        QFile::copy(QStringLiteral(ZELVO_STAND_IN_INSTALLER), installer);
        QFile file(installer);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        size = bytes.size();
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZELVO_TEST_APP_LOG"), appLog);
        env.insert(QStringLiteral("ZELVO_TEST_INSTALLER_LOG"), installerLog);
        return env;
    }

    QStringList arguments(qint64 parentPid) const
    {
        return {QStringLiteral("--qa"),
                QStringLiteral("--parent-pid"), QString::number(parentPid),
                QStringLiteral("--installer"), installer,
                QStringLiteral("--sha256"), sha256,
                QStringLiteral("--size"), QString::number(size),
                QStringLiteral("--target"), target,
                QStringLiteral("--restart"), restart,
                QStringLiteral("--state-dir"), stateDir,
                QStringLiteral("--lang"), QStringLiteral("en")};
    }

    std::unique_ptr<QProcess> startApplication(int lingerMs) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment());
        process->start(restart, {QStringLiteral("--linger-ms"), QString::number(lingerMs)});
        process->waitForStarted();
        return process;
    }

    // The id of an application that has already ended (and been reaped).
    qint64 endedApplicationPid() const
    {
        const auto process = startApplication(0);
        const qint64 pid = process->processId();
        process->waitForFinished();
        return pid;
    }

    UpdaterRun runUpdater(const QStringList &arguments, const QProcessEnvironment &env) const
    {
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(QStringLiteral(ZELVO_UPDATER_PROGRAM), arguments);
        if (!updater.waitForFinished(60000))
            updater.kill();
        return {updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -1,
                QString::fromUtf8(updater.readAllStandardError())};
    }
    UpdaterRun runUpdater(const QStringList &arguments) const { return runUpdater(arguments, environment()); }

    QStringList installerRecord() const { return lines(installerLog); }
    QStringList installerValues(const QString &key) const
    {
        QStringList values;
        for (const QString &line : installerRecord()) {
            if (line.startsWith(key + QLatin1Char('\t')))
                values << line.mid(key.size() + 1);
        }
        return values;
    }
    QList<QStringList> applicationStarts() const
    {
        QList<QStringList> starts;
        for (const QString &line : lines(appLog)) {
            if (line.startsWith(QStringLiteral("start\t")))
                starts << line.split(QLatin1Char('\t')).mid(1);
        }
        return starts;
    }
    bool leftStagingFolders() const
    {
        return !QDir(downloads).entryList({QStringLiteral(".zelvo-installer-*")}, QDir::Dirs | QDir::Hidden).isEmpty();
    }
    QString updaterLog() const { return lines(stateDir + QStringLiteral("/updater.log")).join(QLatin1Char('\n')); }

    QTemporaryDir root;
    QString target, restart, stateDir, downloads, installer, appLog, installerLog, sha256;
    qint64 size = 0;
};

void setValue(QStringList &arguments, const QString &name, const QString &value)
{
    const qsizetype at = arguments.indexOf(name);
    if (at < 0)
        arguments << name << value;
    else
        arguments[at + 1] = value;
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void installsAfterTheApplicationEndsAndStartsItAgain_data();
    void installsAfterTheApplicationEndsAndStartsItAgain();
    void installerResult_data();
    void installerResult();
    void tamperedInstallerIsRefused_data();
    void tamperedInstallerIsRefused();
    void applicationThatNeverEndsTimesOut();
    void installerThatNeverEndsTimesOut();
    void applicationThatCannotStartAgain();
    void commandLineChecks();
    void statusWindow();
    void errorBoxWaitsForTheOperator();
    void swappedInstallerNeverRuns_data();
    void swappedInstallerNeverRuns();
    void stateFolderOthersCanChangeIsRefused_data();
    void stateFolderOthersCanChangeIsRefused();
    void logIsNeverFollowed_data();
    void logIsNeverFollowed();
};

void TestUpdater::installsAfterTheApplicationEndsAndStartsItAgain_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("show");
    QTest::addColumn<bool>("withStateDir");
    QTest::addColumn<QStringList>("installerArguments");
    QTest::addColumn<QStringList>("relaunchArguments");

    QTest::newRow("quiet portable with show")
        << QStringList{QStringLiteral("--qa"), QStringLiteral("--portable")} << QStringLiteral("en")
        << QStringLiteral("/shows/Evening show.zelvoshow") << true
        << QStringList{QStringLiteral("/S"), QStringLiteral("/PORTABLE"), QStringLiteral("/QA"), QStringLiteral("/D={target}")}
        << QStringList{QStringLiteral("--state-dir"), QStringLiteral("{state}"), QStringLiteral("--portable"),
                       QStringLiteral("--show"), QStringLiteral("/shows/Evening show.zelvoshow"),
                       QStringLiteral("--lang"), QStringLiteral("en")};
    // An empty state directory is no state directory: it is not passed on as "".
    QTest::newRow("plain, empty state directory and language")
        << QStringList{} << QString() << QString() << false
        << QStringList{QStringLiteral("/S"), QStringLiteral("/D={target}")} << QStringList{};
}

void TestUpdater::installsAfterTheApplicationEndsAndStartsItAgain()
{
    QFETCH(QStringList, switches);
    QFETCH(QString, language);
    QFETCH(QString, show);
    QFETCH(bool, withStateDir);
    QFETCH(QStringList, installerArguments);
    QFETCH(QStringList, relaunchArguments);
    Scene scene;
    const auto application = scene.startApplication(800);

    QStringList arguments = scene.arguments(application->processId());
    arguments.removeAll(QStringLiteral("--qa"));
    arguments << switches;
    setValue(arguments, QStringLiteral("--lang"), language);
    setValue(arguments, QStringLiteral("--show"), show);
    setValue(arguments, QStringLiteral("--state-dir"), withStateDir ? scene.stateDir : QString());
    QProcessEnvironment env = scene.environment();
    env.remove(QStringLiteral("DISPLAY")); // the status window has a test of its own
    const UpdaterRun run = scene.runUpdater(arguments, env);

    QCOMPARE(run.code, 0);
    QVERIFY(application->state() == QProcess::NotRunning || application->waitForFinished(1000));
    // The installer ran once, in the download folder, after the application had ended.
    QCOMPARE(scene.installerValues(QStringLiteral("app-exits")), QStringList{QStringLiteral("1")});
    QCOMPARE(scene.installerValues(QStringLiteral("cwd")), QStringList{scene.downloads});
    installerArguments.replaceInStrings(QStringLiteral("{target}"), scene.target);
    QCOMPARE(scene.installerValues(QStringLiteral("arg")), installerArguments);
    QVERIFY(!scene.leftStagingFolders());

    QTRY_COMPARE_WITH_TIMEOUT(scene.applicationStarts().size(), 2, 5000);
    relaunchArguments.replaceInStrings(QStringLiteral("{state}"), scene.stateDir);
    QCOMPARE(scene.applicationStarts().at(1), QStringList{scene.target} + relaunchArguments);
    QCOMPARE(scene.updaterLog().contains(QStringLiteral("installer exit code 0")), withStateDir);
}

void TestUpdater::installerResult_data()
{
    QTest::addColumn<QString>("installerExit");
    QTest::addColumn<int>("expectedCode");
    QTest::newRow("done, restart required") << QStringLiteral("3010") << 0;
    QTest::newRow("failed") << QStringLiteral("1") << 8;
    QTest::newRow("other code") << QStringLiteral("2") << 8;
}

void TestUpdater::installerResult()
{
    QFETCH(QString, installerExit);
    QFETCH(int, expectedCode);
    Scene scene;
    // An application that has already ended is not waited for.
    const QStringList arguments = scene.arguments(scene.endedApplicationPid());
    QProcessEnvironment env = scene.environment();
    env.insert(QStringLiteral("ZELVO_TEST_INSTALLER_EXIT"), installerExit);
    const UpdaterRun run = scene.runUpdater(arguments, env);

    QCOMPARE(run.code, expectedCode);
    QCOMPARE(scene.installerValues(QStringLiteral("app-exits")), QStringList{QStringLiteral("1")});
    if (expectedCode == 0) {
        QTRY_COMPARE_WITH_TIMEOUT(scene.applicationStarts().size(), 2, 5000);
    } else {
        QVERIFY(run.error.contains(QStringLiteral("The update installer could not finish. Your show files and preferences were kept.")));
        QTest::qWait(200);
        QCOMPARE(scene.applicationStarts().size(), 1);
    }
}

void TestUpdater::tamperedInstallerIsRefused_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::newRow("one byte changed") << QStringLiteral("change");
    QTest::newRow("one byte longer") << QStringLiteral("append");
    QTest::newRow("missing") << QStringLiteral("remove");
    QTest::newRow("a folder") << QStringLiteral("folder");
}

void TestUpdater::tamperedInstallerIsRefused()
{
    QFETCH(QString, tamper);
    Scene scene;
    const QStringList arguments = scene.arguments(scene.endedApplicationPid());
    QFile file(scene.installer);
    if (tamper == QStringLiteral("change") || tamper == QStringLiteral("append")) {
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (tamper == QStringLiteral("change"))
            bytes[bytes.size() - 2] = bytes[bytes.size() - 2] ^ 1;
        else
            bytes.append('\n');
        file.seek(0);
        file.write(bytes);
        file.close();
    } else {
        QVERIFY(file.remove());
        if (tamper == QStringLiteral("folder"))
            QVERIFY(QDir().mkpath(scene.installer));
    }
    const UpdaterRun run = scene.runUpdater(arguments);

    QCOMPARE(run.code, 4);
    QVERIFY2(run.error.contains(QStringLiteral("Update file verification failed. Nothing was installed.")), qPrintable(run.error));
    QVERIFY(scene.installerRecord().isEmpty());
    QVERIFY(!scene.leftStagingFolders());
    QTest::qWait(200);
    QCOMPARE(scene.applicationStarts().size(), 1);
    QVERIFY(scene.updaterLog().contains(QStringLiteral("exit 4: Update file verification failed")));
}

void TestUpdater::applicationThatNeverEndsTimesOut()
{
    Scene scene;
    const auto application = scene.startApplication(60000);
    QProcessEnvironment env = scene.environment();
    env.insert(QStringLiteral("ZELVO_UPDATER_APP_WAIT_MS"), QStringLiteral("400"));
    const UpdaterRun run = scene.runUpdater(scene.arguments(application->processId()), env);

    QCOMPARE(run.code, 5);
    QVERIFY(run.error.contains(QStringLiteral("Close Zelvo Playout before installing the update. Nothing was installed.")));
    QCOMPARE(application->state(), QProcess::Running);
    QVERIFY(scene.installerRecord().isEmpty());
    QVERIFY(!scene.leftStagingFolders());
    application->kill();
    application->waitForFinished();
}

void TestUpdater::installerThatNeverEndsTimesOut()
{
    Scene scene;
    QProcessEnvironment env = scene.environment();
    env.insert(QStringLiteral("ZELVO_TEST_INSTALLER_SLEEP"), QStringLiteral("20"));
    env.insert(QStringLiteral("ZELVO_UPDATER_INSTALL_WAIT_MS"), QStringLiteral("400"));
    const UpdaterRun run = scene.runUpdater(scene.arguments(scene.endedApplicationPid()), env);

    QCOMPARE(run.code, 7);
    QVERIFY(run.error.contains(QStringLiteral("Installation is still running. Open Zelvo Playout after it finishes.")));
    QTRY_VERIFY(!scene.installerValues(QStringLiteral("app-exits")).isEmpty());
    QTest::qWait(200);
    QCOMPARE(scene.applicationStarts().size(), 1);
    // The installer keeps running on its own; end it so that nothing outlives the test.
    const QStringList pids = scene.installerValues(QStringLiteral("pid"));
    QCOMPARE(pids.size(), 1);
    QCOMPARE(::kill(pid_t(pids.first().toInt()), SIGKILL), 0);
}

void TestUpdater::applicationThatCannotStartAgain()
{
    Scene scene;
    const QStringList arguments = scene.arguments(scene.endedApplicationPid());
    QVERIFY(QFile::setPermissions(scene.restart, QFile::ReadOwner | QFile::WriteOwner));
    const UpdaterRun run = scene.runUpdater(arguments);

    QCOMPARE(run.code, 9);
    QVERIFY(run.error.contains(QStringLiteral("Update installed. Open Zelvo Playout from its shortcut.")));
    QCOMPARE(scene.installerValues(QStringLiteral("app-exits")), QStringList{QStringLiteral("1")});
}

void TestUpdater::commandLineChecks()
{
    Scene scene;
    const QString otherFolder = scene.root.filePath(QStringLiteral("elsewhere"));
    QDir().mkpath(otherFolder);
    QFile::copy(scene.restart, otherFolder + QStringLiteral("/ZelvoPlayout"));
    using Change = std::function<void(QStringList &)>;
    const auto set = [](const char *name, const QString &value) -> Change {
        return [name, value](QStringList &arguments) { setValue(arguments, QString::fromLatin1(name), value); };
    };
    const QString upperSha = scene.sha256.left(63) + QStringLiteral("A");
    struct Row
    {
        const char *label;
        Change change;
        int code;
    };
    // The baseline names the test itself as the parent: it passes every command-line check and is
    // then refused as "not the application" (3), so a 2 below comes from the one changed element.
    const Row rows[] = {
        {"baseline", [](QStringList &) {}, 3},
        {"name without value", [](QStringList &a) { a << QStringLiteral("--size"); }, 2},
        {"size at the limit", set("--size", QStringLiteral("536870912")), 3},
        {"size over the limit", set("--size", QStringLiteral("536870913")), 2},
        {"size zero", set("--size", QStringLiteral("0")), 2},
        {"size negative", set("--size", QStringLiteral("-1")), 2},
        {"size with trailing junk", set("--size", QString::number(scene.size) + QStringLiteral("abc")), 2},
        {"size with leading blank", set("--size", QStringLiteral(" ") + QString::number(scene.size)), 2},
        {"size with plus sign", set("--size", QStringLiteral("+") + QString::number(scene.size)), 2},
        {"size empty", set("--size", QString()), 2},
        {"size overflowing", set("--size", QStringLiteral("18446744073709551617")), 2},
        {"parent zero", set("--parent-pid", QStringLiteral("0")), 2},
        {"parent negative", set("--parent-pid", QStringLiteral("-1")), 2},
        {"parent beyond 32 bits", set("--parent-pid", QStringLiteral("4294967296")), 2},
        {"parent with trailing junk", set("--parent-pid", QStringLiteral("12x")), 2},
        {"hash with an upper-case digit", set("--sha256", upperSha), 2},
        {"hash one digit short", set("--sha256", scene.sha256.left(63)), 2},
        {"target empty", set("--target", QString()), 2},
        {"target missing", [&](QStringList &a) {
             setValue(a, QStringLiteral("--target"), scene.root.filePath(QStringLiteral("gone")));
             setValue(a, QStringLiteral("--restart"), scene.root.filePath(QStringLiteral("gone/ZelvoPlayout")));
         }, 2},
        {"restart differs in letter case", set("--restart", scene.target + QStringLiteral("/zelvoplayout")), 2},
        {"restart in another folder", set("--restart", otherFolder + QStringLiteral("/ZelvoPlayout")), 2},
        {"restart empty", set("--restart", QString()), 2},
        {"restart through dot-dot segments", set("--restart", scene.target + QStringLiteral("/../install/ZelvoPlayout")), 3},
        {"empty state directory", set("--state-dir", QString()), 3},
    };
    for (const Row &row : rows) {
        QStringList arguments = scene.arguments(QCoreApplication::applicationPid());
        row.change(arguments);
        const UpdaterRun run = scene.runUpdater(arguments);
        QVERIFY2(run.code == row.code, qPrintable(QStringLiteral("%1: exit code %2, expected %3")
                                                      .arg(QLatin1String(row.label)).arg(run.code).arg(row.code)));
        const QString expectedMessage = row.code == 3 ? QStringLiteral("The running application does not match this update.")
                                                      : QStringLiteral("Invalid update handoff. Nothing was installed.");
        // A command line that cannot be read at all gets no message.
        const bool silent = QLatin1String(row.label) == QLatin1String("name without value");
        QVERIFY2(silent ? run.error.isEmpty() : run.error.contains(expectedMessage), row.label);
    }
    QVERIFY(scene.installerRecord().isEmpty());
    QVERIFY(scene.applicationStarts().isEmpty());
}

void TestUpdater::statusWindow()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under scripts/test-env.sh)");
    Scene scene;
    QStringList arguments = scene.arguments(scene.endedApplicationPid());
    arguments.removeAll(QStringLiteral("--qa"));
    setValue(arguments, QStringLiteral("--lang"), QStringLiteral("pt-BR"));
    QProcessEnvironment env = scene.environment();
    env.insert(QStringLiteral("ZELVO_TEST_WINDOW_PROBE"), QStringLiteral(ZELVO_WINDOW_PROBE));
    const UpdaterRun run = scene.runUpdater(arguments, env);

    QCOMPARE(run.code, 0);
    const QStringList seen = scene.installerValues(QStringLiteral("window"));
    QVERIFY2(seen.contains(QStringLiteral("found yes")), qPrintable(seen.join(QLatin1Char(';'))));
    QVERIFY(seen.contains(QStringLiteral("size 440x140")));
    QVERIFY(seen.contains(QStringLiteral("above yes")));
    QVERIFY(seen.contains(QStringLiteral("survives-close yes")));
    const QString textPixels = seen.filter(QStringLiteral("text-pixels ")).value(0).mid(12);
    QVERIFY2(textPixels.toInt() > 100, qPrintable(textPixels));
    QVERIFY(scene.updaterLog().contains(QStringLiteral("Instalando Zelvo Playout")));
}

void TestUpdater::errorBoxWaitsForTheOperator()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under scripts/test-env.sh)");
    Scene scene;
    QStringList arguments = scene.arguments(scene.endedApplicationPid());
    arguments.removeAll(QStringLiteral("--qa"));
    setValue(arguments, QStringLiteral("--sha256"), QString(64, QLatin1Char('0')));
    QProcess updater;
    updater.setProcessEnvironment(scene.environment());
    updater.start(QStringLiteral(ZELVO_UPDATER_PROGRAM), arguments);
    QVERIFY(updater.waitForStarted());
    QVERIFY(!updater.waitForFinished(500)); // the message stays until it is acknowledged

    QProcess probe;
    probe.start(QStringLiteral(ZELVO_WINDOW_PROBE), {QStringLiteral("Zelvo Playout Update")});
    QVERIFY(probe.waitForFinished(10000));
    const QString seen = QString::fromUtf8(probe.readAllStandardOutput());
    QVERIFY2(seen.contains(QStringLiteral("found yes")), qPrintable(seen));
    QVERIFY(seen.contains(QStringLiteral("survives-close no")));
    QVERIFY(updater.waitForFinished(5000));
    QCOMPARE(updater.exitCode(), 4);
    QVERIFY(scene.installerRecord().isEmpty());
}

namespace {

// A user id that is not ours, for the processes that play another account (needs root).
constexpr uid_t otherUser = 65534;

const char swapperScript[] = R"(
# Waits for the updater's private folder, moves it away and puts one with other bytes in its place.
for i in $(seq 1 500); do
  for folder in "$1"/.zelvo-installer-*; do
    [ -d "$folder" ] || continue
    sleep 0.1
    if mv "$folder" "$folder.moved" 2>/dev/null && mkdir "$folder" && cp "$2" "$folder/$3" && chmod 755 "$folder/$3"; then
      echo swapped
    else
      echo swap-refused
    fi
    exit 0
  done
  sleep 0.02
done
echo no-folder-seen
)";

} // namespace

void TestUpdater::swappedInstallerNeverRuns_data()
{
    QTest::addColumn<int>("downloadsMode");
    QTest::addColumn<bool>("asOtherUser");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("swapOutcome");
    // Our own folder: the swap succeeds, yet the bytes that were hashed are the ones that run.
    QTest::newRow("private folder, swapped by this account") << 0700 << false << 0 << QStringLiteral("swapped");
    // A folder anyone may change is refused before anything is staged.
    QTest::newRow("world-writable folder, another user") << 0777 << true << 10 << QStringLiteral("no-folder-seen");
    // With the sticky bit others may add entries but not rename ours.
    QTest::newRow("sticky world-writable folder, another user") << 01777 << true << 0 << QStringLiteral("swap-refused");
}

void TestUpdater::swappedInstallerNeverRuns()
{
    QFETCH(int, downloadsMode);
    QFETCH(bool, asOtherUser);
    QFETCH(int, expectedCode);
    QFETCH(QString, swapOutcome);
    if (asOtherUser && geteuid() != 0)
        QSKIP("playing another account needs root");
    Scene scene;
    const QString evil = scene.root.filePath(QStringLiteral("evil.sh"));
    QFile evilFile(evil);
    QVERIFY(evilFile.open(QIODevice::WriteOnly));
    evilFile.write("#!/bin/sh\nprintf 'evil\\t1\\n' >> \"$ZELVO_TEST_INSTALLER_LOG\"\n");
    evilFile.close();
    QVERIFY(evilFile.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    QCOMPARE(::chmod(QFile::encodeName(scene.root.path()).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(scene.stateDir).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(scene.downloads).constData(), mode_t(downloadsMode)), 0);

    QStringList swapper{QStringLiteral("sh"), QStringLiteral("-c"), QString::fromLatin1(swapperScript), QStringLiteral("swapper"),
                        scene.downloads, evil, QFileInfo(scene.installer).fileName()};
    if (asOtherUser)
        swapper = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(otherUser),
                              QStringLiteral("--regid=%1").arg(otherUser), QStringLiteral("--clear-groups"), QStringLiteral("--")}
                  + swapper;
    QProcess swap;
    swap.start(swapper.takeFirst(), swapper);
    QVERIFY(swap.waitForStarted());
    // The application stays long enough for the swap to happen while the updater waits for it.
    const auto application = scene.startApplication(2500);
    QStringList arguments = scene.arguments(application->processId());
    if (expectedCode != 0) {
        // Nothing is staged, so the swapper would wait in vain: let it give up early.
        swap.kill();
    }
    const UpdaterRun run = scene.runUpdater(arguments);
    if (expectedCode == 0)
        QVERIFY(swap.waitForFinished(15000));
    else
        swap.waitForFinished(5000);
    application->waitForFinished(5000);

    QVERIFY2(scene.installerValues(QStringLiteral("evil")).isEmpty(), "the swapped installer ran");
    QVERIFY2(run.code == expectedCode, qPrintable(QStringLiteral("exit %1: %2").arg(run.code).arg(run.error)));
    if (expectedCode == 0) {
        QCOMPARE(QString::fromUtf8(swap.readAllStandardOutput()).trimmed(), swapOutcome);
        QCOMPARE(scene.installerValues(QStringLiteral("app-exits")), QStringList{QStringLiteral("1")});
    } else {
        QVERIFY2(run.error.contains(QStringLiteral("The update download folder can be changed by other users. Nothing was installed.")),
                 qPrintable(run.error));
        QVERIFY(scene.installerRecord().isEmpty());
    }
}

void TestUpdater::stateFolderOthersCanChangeIsRefused_data()
{
    QTest::addColumn<int>("mode"); // negative: the mode of the folder above the state folder
    QTest::addColumn<bool>("otherOwner");
    QTest::addColumn<bool>("refused");
    QTest::newRow("group-writable") << 0770 << false << true;
    QTest::newRow("world-writable") << 0777 << false << true;
    QTest::newRow("owned by another user") << 0755 << true << true;
    QTest::newRow("world-writable with the sticky bit") << 01777 << false << false;
    QTest::newRow("private") << 0700 << false << false;
    // Whoever can write a folder above it can rename the whole state folder away.
    QTest::newRow("a folder above it is world-writable") << -0777 << false << true;
}

void TestUpdater::stateFolderOthersCanChangeIsRefused()
{
    QFETCH(int, mode);
    QFETCH(bool, otherOwner);
    QFETCH(bool, refused);
    if (otherOwner && geteuid() != 0)
        QSKIP("giving a folder to another account needs root");
    Scene scene;
    const QByteArray state = QFile::encodeName(scene.stateDir);
    if (mode < 0)
        QCOMPARE(::chmod(QFile::encodeName(scene.root.path()).constData(), mode_t(-mode)), 0);
    else
        QCOMPARE(::chmod(state.constData(), mode_t(mode)), 0);
    if (otherOwner)
        QCOMPARE(::chown(state.constData(), otherUser, otherUser), 0);
    const UpdaterRun run = scene.runUpdater(scene.arguments(scene.endedApplicationPid()));

    if (!refused) {
        QCOMPARE(run.code, 0);
        QVERIFY(scene.updaterLog().contains(QStringLiteral("installer exit code 0")));
        return;
    }
    QCOMPARE(run.code, 10);
    QVERIFY2(run.error.contains(QStringLiteral("The update state folder can be changed by other users. Nothing was installed.")),
             qPrintable(run.error));
    QVERIFY(scene.installerRecord().isEmpty());
    QVERIFY(!scene.leftStagingFolders());
    // Not even the log is written into such a folder.
    QVERIFY(!QFileInfo::exists(scene.stateDir + QStringLiteral("/updater.log")));
}

void TestUpdater::logIsNeverFollowed_data()
{
    QTest::addColumn<QString>("trap");
    QTest::newRow("log is a symbolic link") << QStringLiteral("symlink");
    QTest::newRow("log is a second name of another file") << QStringLiteral("hardlink");
    QTest::newRow("state folder is a symbolic link") << QStringLiteral("folder");
}

void TestUpdater::logIsNeverFollowed()
{
    QFETCH(QString, trap);
    Scene scene;
    const QString victim = scene.root.filePath(QStringLiteral("victim.txt"));
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("untouched\n");
    victimFile.close();
    QStringList arguments = scene.arguments(scene.endedApplicationPid());
    const QByteArray log = QFile::encodeName(scene.stateDir + QStringLiteral("/updater.log"));
    if (trap == QStringLiteral("symlink")) {
        QCOMPARE(::symlink(QFile::encodeName(victim).constData(), log.constData()), 0);
    } else if (trap == QStringLiteral("hardlink")) {
        QCOMPARE(::link(QFile::encodeName(victim).constData(), log.constData()), 0);
    } else {
        // The state folder named on the command line leads to a folder where a log could be written.
        const QString linked = scene.root.filePath(QStringLiteral("state-link"));
        QCOMPARE(::symlink(QFile::encodeName(scene.stateDir).constData(), QFile::encodeName(linked).constData()), 0);
        setValue(arguments, QStringLiteral("--state-dir"), linked);
    }
    const UpdaterRun run = scene.runUpdater(arguments);

    // Only the log is given up; the update itself goes on.
    QCOMPARE(run.code, 0);
    QVERIFY(victimFile.open(QIODevice::ReadOnly));
    QCOMPARE(victimFile.readAll(), QByteArray("untouched\n"));
    if (trap == QStringLiteral("folder"))
        QVERIFY(!QFileInfo::exists(scene.stateDir + QStringLiteral("/updater.log")));
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
