// The real program under the test display: started with a show, changed by a media path on its
// command line, killed with SIGKILL after its automatic copy was written, and started again with
// the same show. The second run must offer the copy and restore the change.
#include "engine/RecoveryStore.h"
#include "engine/ShowFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

QString fixture(const QString &name)
{
    return QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(name);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Polls until check holds or the time runs out; the program needs its 5 s autosave tick and may
// start slowly on a loaded machine.
template <typename Check>
bool waitFor(Check check, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (check())
            return true;
        QThread::msleep(100);
    }
    return check();
}

} // namespace

class TestShowCrashRecovery : public QObject
{
    Q_OBJECT
private slots:
    void killedRunIsOfferedAndRestoredWithTheSameShow();

private:
    QProcess *start(const QStringList &arguments, const QString &log, const QByteArray &answer);
    QString m_state;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

QProcess *TestShowCrashRecovery::start(const QStringList &arguments, const QString &log, const QByteArray &answer)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("ZELVO_LOG_PATH"), log);
    environment.insert(QStringLiteral("ZELVO_DISABLE_UPDATE_CHECK"), QStringLiteral("1"));
    if (!answer.isEmpty())
        environment.insert(QStringLiteral("ZELVO_TEST_RECOVERY_ANSWER"), QString::fromLatin1(answer));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QDir(qEnvironmentVariable("ZELVO_BUILD_DIR")).filePath(QStringLiteral("ZelvoPlayout")),
                   QStringList{QStringLiteral("--state-dir"), m_state} + arguments);
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

void TestShowCrashRecovery::killedRunIsOfferedAndRestoredWithTheSameShow()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs the test display (scripts/test-env.sh)");
    QTemporaryDir temp;
    m_state = temp.filePath(QStringLiteral("state"));
    const QString first = fixture(QStringLiteral("card_red.mp4"));
    const QString added = fixture(QStringLiteral("card_blue.mp4"));
    QVERIFY(QFile::exists(first) && QFile::exists(added));
    Show show;
    show.library = {first};
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), {Cue::forPath(first)}}};
    const QString showFile = temp.filePath(QStringLiteral("Gala.zelvoshow"));
    QVERIFY(writeShowFile(show, showFile));
    const QByteArray saved = contents(showFile);
    RecoveryStore store(m_state);

    // First run: the media path on the command line changes the show; wait for its copy.
    QProcess *crashed = start({QStringLiteral("--show"), showFile, added}, temp.filePath(QStringLiteral("first.log")), {});
    QVERIFY(crashed->waitForStarted());
    const bool copied = waitFor([&] {
        RecoveryStore::Copy copy;
        return store.read(copy) && copy.show.library.contains(added) && copy.originalPath == showFile;
    }, 60000);
    crashed->kill();
    crashed->waitForFinished();
    QVERIFY2(copied, "the first run wrote no recovery copy holding the change");
    QCOMPARE(crashed->exitStatus(), QProcess::CrashExit);
    QCOMPARE(contents(showFile), saved);

    // Second run with the same show: the copy is offered, accepted and becomes the open show,
    // which is modified again, so the next tick writes a fresh copy of it.
    const QDateTime firstCopy = store.savedUtc();
    QVERIFY(firstCopy.isValid());
    const QString log = temp.filePath(QStringLiteral("second.log"));
    QProcess *restarted = start({QStringLiteral("--show"), showFile}, log, "yes");
    QVERIFY(restarted->waitForStarted());
    const bool restored = waitFor([&] {
        RecoveryStore::Copy copy;
        return store.read(copy) && copy.savedUtc > firstCopy && copy.show.library == QStringList({first, added})
               && copy.originalPath == showFile;
    }, 60000);
    const QByteArray logText = contents(log);
    restarted->kill();
    restarted->waitForFinished();
    QVERIFY2(logText.contains("Recovery offered: Zelvo Playout closed before the show was saved."), logText.constData());
    QVERIFY2(logText.contains("Show recovered from the automatic copy"), logText.constData());
    QVERIFY2(restored, "the restored show was not written again by the second run");
    QVERIFY(QDir(store.dir()).entryList({QStringLiteral("discarded-*")}, QDir::Files).isEmpty());
    QCOMPARE(contents(showFile), saved);
}

QTEST_GUILESS_MAIN(TestShowCrashRecovery)
#include "tst_showcrashrecovery.moc"
