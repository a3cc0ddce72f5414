// Chromium (headless, through chromium-driver) watches the monitor page of a web monitor server in
// this process: the page with the right code lists the Program, Watch plays it (decoded frames
// rising, 1280 wide for a 720p source at automatic quality, audio packets arriving); a wrong code
// shows the refusal and polls no more. A screenshot of the playing page goes to build/captures/.
#include "WebDriverSession.h"
#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "web/WebMonitorServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

// Reads the first player's inbound statistics into a plain object.
const char *const statsScript = R"(
const done = arguments[arguments.length - 1];
const player = [...players.values()][0];
if (!player || !player.pc) { done(null); return; }
player.pc.getStats().then((report) => {
  const out = { framesDecoded: 0, frameWidth: 0, audioPackets: 0 };
  report.forEach((s) => {
    if (s.type === 'inbound-rtp' && s.kind === 'video') { out.framesDecoded = s.framesDecoded || 0; out.frameWidth = s.frameWidth || 0; }
    if (s.type === 'inbound-rtp' && s.kind === 'audio') out.audioPackets = s.packetsReceived || 0;
  });
  done(out);
}, () => done(null));
)";

} // namespace

class TestBrowser : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::unique_ptr<NativeChannel> m_deck;
    std::unique_ptr<WebMonitorServer> m_server;
    WebDriverSession m_browser;

    QJsonObject stats() { return m_browser.executeAsync(QString::fromLatin1(statsScript)).toObject(); }
    bool waitFor(const std::function<bool()> &condition, int ms)
    {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > ms)
                return false;
            QTest::qWait(200);
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        if (ffmpeg.isEmpty())
            QSKIP("ffmpeg is not installed");
        const QString clip = m_dir.filePath(QStringLiteral("program-720p.mp4"));
        QProcess make;
        make.start(ffmpeg, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                            QStringLiteral("-i"), QStringLiteral("testsrc2=s=1280x720:r=25:d=12"), QStringLiteral("-f"),
                            QStringLiteral("lavfi"), QStringLiteral("-i"),
                            QStringLiteral("sine=frequency=440:sample_rate=48000:duration=12"), QStringLiteral("-ac"),
                            QStringLiteral("2"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
                            QStringLiteral("-preset"), QStringLiteral("ultrafast"), QStringLiteral("-pix_fmt"),
                            QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac"), clip});
        QVERIFY(make.waitForFinished(120000) && make.exitCode() == 0);

        m_deck = std::make_unique<NativeChannel>(false);
        m_deck->setLooping(true);
        m_deck->load(Cue::forPath(clip), true);
        QTRY_VERIFY_WITH_TIMEOUT(m_deck->frameCount() >= 5, 20000);
        NativeChannel *deck = m_deck.get();
        m_server = std::make_unique<WebMonitorServer>(
            [deck] {
                return QList<WebProgramInfo>{
                    {1, QStringLiteral("Program A"), QFileInfo(deck->source()).fileName(), true, deck->isPlaying()}};
            },
            [deck](int id) { return id == 1 ? deck : nullptr; });
        QVERIFY(m_server->start(0, false, QStringLiteral("browsercode")));

        const QString problem = m_browser.start();
        if (problem.contains(QLatin1String("not installed")))
            QSKIP(qPrintable(problem));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // Counts the page's polls of the program list and keeps the answers it posts.
        m_browser.addScriptOnNewDocument(QStringLiteral(
            "window.programPolls = 0; window.answers = []; const realFetch = window.fetch;"
            "window.fetch = (input, init) => { const url = String(input);"
            " if (url.includes('/api/programs')) window.programPolls++;"
            " if (url.includes('/api/answer')) window.answers.push(String(init && init.body));"
            " return realFetch(input, init); };"));
    }

    void withoutCodeOnlyTheLoginShows()
    {
        QVERIFY(m_browser.navigate(QStringLiteral("http://127.0.0.1:%1/").arg(m_server->port())));
        QTest::qWait(2000);
        QCOMPARE(m_browser.execute(QStringLiteral("return getComputedStyle(document.getElementById('login')).display")).toString(),
                 QStringLiteral("flex"));
        QCOMPARE(m_browser.execute(QStringLiteral("return window.programPolls")).toInt(), 0);
    }

    void cleanupTestCase()
    {
        m_server.reset();
        m_deck.reset();
    }

    void watchesProgramA()
    {
        QVERIFY(m_browser.navigate(m_server->urls().last()));
        QVERIFY(waitFor([&] { return m_browser.execute(QStringLiteral("return document.querySelectorAll('.program').length")).toInt() == 1; }, 10000));
        QCOMPARE(m_browser.execute(QStringLiteral("return document.querySelector('.program b').textContent")).toString(),
                 QStringLiteral("Program A"));
        m_browser.execute(QStringLiteral("document.querySelector('button.watch').click()"));

        QVERIFY2(waitFor([&] { return stats().value(QStringLiteral("framesDecoded")).toInt() > 10; }, 30000),
                 qPrintable(QJsonDocument(m_server->statusJson()).toJson()));
        const int before = stats().value(QStringLiteral("framesDecoded")).toInt();
        QTest::qWait(2000);
        const QJsonObject after = stats();
        QVERIFY(after.value(QStringLiteral("framesDecoded")).toInt() > before + 10);
        QCOMPARE(after.value(QStringLiteral("frameWidth")).toInt(), 1280);
        QVERIFY(waitFor([&] { return stats().value(QStringLiteral("audioPackets")).toInt() > 20; }, 10000));
        QCOMPARE(m_server->viewerCount(), 1);
        // The posted answer asks for stereo Opus, each parameter once (the browser orders them itself).
        const QString answer = m_browser.execute(QStringLiteral("return window.answers[0]")).toString();
        const QStringList opus = answer.section(QStringLiteral("a=fmtp:111 "), 1).section(QLatin1Char('\r'), 0, 0)
                                     .split(QLatin1Char(';'));
        QVERIFY2(opus.count(QStringLiteral("stereo=1")) == 1 && opus.count(QStringLiteral("sprop-stereo=1")) == 1,
                 qPrintable(opus.join(QLatin1Char(';'))));
        QCOMPARE(m_browser.execute(QStringLiteral("return document.querySelector('.player .state').textContent")).toString(),
                 QStringLiteral("Live"));

        QTest::qWait(2500);  // the statistics line fills every 2 s
        const QString captures = qEnvironmentVariable("ZELVO_BUILD_DIR", QStringLiteral(".")) + QStringLiteral("/captures");
        QDir().mkpath(captures);
        QFile shot(captures + QStringLiteral("/web-monitor-playing.png"));
        QVERIFY(shot.open(QIODevice::WriteOnly));
        const QByteArray png = m_browser.screenshotPng();
        QVERIFY(png.startsWith("\x89PNG"));
        shot.write(png);
    }

    // A refused code shows the refusal and the login form, and the page stops asking: every further
    // poll would count as another wrong code against this host.
    void wrongCodeIsRefusedAndPollingStops()
    {
        QUrl url(m_server->urls().last());
        // Leaving the page closes its player with a beacon: the session goes at once.
        url.setQuery(QStringLiteral("k=notthecode"));
        QVERIFY(m_browser.navigate(url.toString()));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->viewerCount(), 0, 3000);
        QVERIFY(waitFor([&] { return m_browser.execute(QStringLiteral("return document.getElementById('status').textContent")).toString()
                                     == QLatin1String("Wrong code, or it was changed in the app."); }, 10000));
        QCOMPARE(m_browser.execute(QStringLiteral("return getComputedStyle(document.getElementById('login')).display")).toString(),
                 QStringLiteral("flex"));
        QTest::qWait(4000);  // more than two poll periods
        const int requests = m_browser.execute(QStringLiteral("return window.programPolls")).toInt();
        QCOMPARE(requests, 1);
        QCOMPARE(m_browser.execute(QStringLiteral("return document.querySelectorAll('.program').length")).toInt(), 0);
    }
};

QTEST_MAIN(TestBrowser)
#include "browser_test.moc"
