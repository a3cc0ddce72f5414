// The real program on a real X display: started without options, its main window must appear with
// its title and size, and a screenshot of it must show the desk, not an empty frame. Needs the
// test environment's Xvfb (ZELVO_TEST_DISPLAY); the screenshot is kept in <build>/captures/.
#include "PictureCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString runTool(const QString &tool, const QStringList &arguments, const QString &display)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(tool, arguments);
    if (!process.waitForFinished(20000))
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void windowOpensOnTheDisplay()
    {
        const QString display = qEnvironmentVariable("ZELVO_TEST_DISPLAY");
        if (display.isEmpty())
            QSKIP("No test display; run under scripts/test-env.sh");
        if (QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
            QSKIP("xwininfo or ffmpeg is missing");

        QTemporaryDir state;
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("DISPLAY"), display);
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/ZelvoPlayout"),
                      {QStringLiteral("--state-dir"), state.path()});
        QVERIFY(program.waitForStarted());

        // xwininfo lists the top-level windows with their titles and geometry (WIDTHxHEIGHT+X+Y).
        static const QRegularExpression line(
            QStringLiteral("(0x[0-9a-f]+) \"Zelvo Playout [^\"]*v0\\.1\\.0 \\(build 0001\\)\".*?(\\d+)x(\\d+)\\+-?\\d+\\+-?\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)"));
        // QTRY checks its condition again after it first holds, and a second xwininfo need not list
        // what the first one did: the listing that found the window is kept.
        QRegularExpressionMatch match;
        const auto listed = [&] {
            if (!match.hasMatch())
                match = line.match(runTool(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}, display));
            return match.hasMatch();
        };
        QTRY_VERIFY_WITH_TIMEOUT(listed(), 20000);
        QCOMPARE(match.captured(2).toInt(), 1600);
        QCOMPARE(match.captured(3).toInt(), 1000);
        const int x = match.captured(4).toInt();
        const int y = match.captured(5).toInt();

        // Grab the window's area of the screen until the desk is painted: the first paint can take
        // a while on a busy machine, and an unpainted window is one flat colour.
        QVERIFY(QDir().mkpath(qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/captures")));
        const QString shot = qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/captures/desktop-window.png");
        const auto grab = [&] {
            QFile::remove(shot);
            runTool(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("x11grab"),
                     QStringLiteral("-video_size"), QStringLiteral("1600x1000"), QStringLiteral("-i"),
                     QStringLiteral("%1+%2,%3").arg(display).arg(x).arg(y), QStringLiteral("-frames:v"), QStringLiteral("1"),
                     QStringLiteral("-y"), shot},
                    display);
            return QImage(shot);
        };
        const auto showsDesk = [](const PictureSpread &s) { return s.luminanceDeviation > 8 && s.colours > 20; };
        QImage image;
        PictureSpread spread;
        QElapsedTimer waited;
        waited.start();
        do {
            QTest::qWait(500);
            image = grab();
            spread = pictureSpread(image);
        } while (!showsDesk(spread) && waited.elapsed() < 15000);
        program.kill();
        program.waitForFinished();
        QCOMPARE(image.size(), QSize(1600, 1000));
        QVERIFY2(showsDesk(spread),
                 qPrintable(QStringLiteral("deviation %1, colours %2").arg(spread.luminanceDeviation).arg(spread.colours)));
    }
};

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
