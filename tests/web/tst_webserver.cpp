#include "engine/NativeChannel.h"
#include "web/WebMonitorServer.h"
#include "web/WebStream.h"
#include "web/WebViewer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <memory>

namespace {

struct Response
{
    int status = 0;
    QList<QByteArray> headers;
    QByteArray body;
};

Response parse(const QByteArray &raw)
{
    Response response;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return response;
    const QList<QByteArray> lines = raw.left(end).split('\n');
    response.status = lines.value(0).split(' ').value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i)
        response.headers << lines[i].trimmed();
    response.body = raw.mid(end + 4);
    return response;
}

// Sends the request in the given pieces (a short pause between them) from the given source address
// and reads until the server closes.
Response exchange(quint16 port, const QList<QByteArray> &pieces,
                  const QHostAddress &source = QHostAddress(QStringLiteral("127.0.0.1")))
{
    QTcpSocket socket;
    socket.bind(source);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {};
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        socket.flush();
        QTest::qWait(30);
    }
    QByteArray raw;
    QDeadlineTimer deadline(20000);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        QTest::qWait(5);
        raw += socket.readAll();
    }
    raw += socket.readAll();
    return parse(raw);
}

Response request(quint16 port, const QByteArray &method, const QByteArray &target, const QByteArray &body = {},
                 const QHostAddress &source = QHostAddress(QStringLiteral("127.0.0.1")))
{
    return exchange(port,
                    {method + ' ' + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body},
                    source);
}

} // namespace

class TestWebServer : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<NativeChannel> m_deck;
    std::unique_ptr<WebMonitorServer> m_server;
    qint64 m_now = 1000000;
    quint16 port() const { return m_server->port(); }
    // The start of 16 UDP ports on loopback that nothing uses right now.
    static int freeRangeStart()
    {
        for (int base = 42100; base < 44000; base += 16) {
            std::vector<std::unique_ptr<QUdpSocket>> probes;
            bool free = true;
            for (int p = base; p < base + 16 && free; ++p) {
                probes.push_back(std::make_unique<QUdpSocket>());
                free = probes.back()->bind(QHostAddress::LocalHost, quint16(p));
            }
            if (free)
                return base;
        }
        return 0;
    }

private slots:
    void init()
    {
        m_deck = std::make_unique<NativeChannel>(false);
        NativeChannel *deck = m_deck.get();
        m_server = std::make_unique<WebMonitorServer>(
            [] {
                WebProgramInfo a{1, QStringLiteral("Program A"), QStringLiteral("clip.mp4"), true, false};
                return QList<WebProgramInfo>{a};
            },
            [deck](int id) { return id == 1 ? deck : nullptr; });
        m_server->setClockForTesting([this] { return m_now; });
        QVERIFY(m_server->start(0, false, QStringLiteral("rightcode")));
    }
    void cleanup()
    {
        m_server.reset();
        m_deck.reset();
    }

    void routes_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("page") << QByteArray("GET") << QByteArray("/") << 200 << QByteArray();
        QTest::newRow("index with query") << QByteArray("GET") << QByteArray("/index.html?x=1") << 200 << QByteArray();
        QTest::newRow("page post") << QByteArray("POST") << QByteArray("/") << 405 << QByteArray("GET only");
        QTest::newRow("other path") << QByteArray("GET") << QByteArray("/favicon.ico") << 404 << QByteArray("Not found");
        QTest::newRow("api without slash") << QByteArray("GET") << QByteArray("/api?k=rightcode") << 404
                                           << QByteArray("Not found");
        QTest::newRow("no code") << QByteArray("GET") << QByteArray("/api/programs") << 403
                                 << QByteArray("Wrong or expired access code");
        QTest::newRow("code in other case") << QByteArray("GET") << QByteArray("/api/programs?k=RIGHTCODE") << 403
                                            << QByteArray("Wrong or expired access code");
        QTest::newRow("get session") << QByteArray("GET") << QByteArray("/api/session?k=rightcode") << 405
                                     << QByteArray("POST only");
        QTest::newRow("post programs") << QByteArray("POST") << QByteArray("/api/programs?k=rightcode") << 404
                                       << QByteArray("Not found");
        QTest::newRow("delete close") << QByteArray("DELETE") << QByteArray("/api/close?k=rightcode") << 405
                                      << QByteArray("POST only");
        QTest::newRow("control path") << QByteArray("POST") << QByteArray("/api/cut?k=rightcode") << 404
                                      << QByteArray("Not found");
        QTest::newRow("unknown program") << QByteArray("POST") << QByteArray("/api/session?k=rightcode&program=7")
                                         << 404 << QByteArray("Program not available");
        QTest::newRow("program not a number") << QByteArray("POST")
                                              << QByteArray("/api/session?k=rightcode&program=abc") << 404
                                              << QByteArray("Program not available");
        QTest::newRow("answer unknown session") << QByteArray("POST")
                                                << QByteArray("/api/answer?k=rightcode&session=nope") << 404
                                                << QByteArray();
        QTest::newRow("close unknown session") << QByteArray("POST")
                                               << QByteArray("/api/close?k=rightcode&session=nope") << 204
                                               << QByteArray();
    }
    void routes()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const Response response = request(port(), method, target);
        QCOMPARE(response.status, status);
        if (status == 200)
            QVERIFY(response.body.contains("ZELVO"));
        else
            QCOMPARE(response.body, body);
    }

    void programListIsCompactJson()
    {
        const Response response = request(port(), "GET", "/api/programs?k=rightcode");
        QCOMPARE(response.status, 200);
        QCOMPARE(response.body, QByteArray(R"({"programs":[{"id":1,"media":"clip.mp4","name":"Program A",)"
                                           R"("onAir":true,"playing":false}],"viewers":0})"));
        QVERIFY(response.headers.contains("Content-Type: application/json"));
    }

    void everyResponseCarriesTheFixedHeaders()
    {
        const QList<QByteArray> fixed{"Connection: close", "Cache-Control: no-store", "X-Content-Type-Options: nosniff",
                                      "Referrer-Policy: no-referrer", "X-Frame-Options: DENY"};
        const Response page = request(port(), "GET", "/");
        QCOMPARE(page.headers.mid(1, 5), fixed);
        QVERIFY(page.headers.first().startsWith("Content-Length: "));
        QCOMPARE(page.headers.last(), QByteArray("Content-Type: text/html; charset=utf-8"));
        const Response empty = request(port(), "POST", "/api/close?k=rightcode&session=x");
        QCOMPARE(empty.status, 204);
        QCOMPARE(empty.headers, QList<QByteArray>{"Content-Length: 0"} + fixed);
    }

    void requestsArriveInPieces()
    {
        const Response split = exchange(port(), {"GET /api/progr", "ams?k=rightcode HTTP/1.1\r\nHo", "st: x\r\n\r\n"});
        QCOMPARE(split.status, 200);
        // The body follows the head later; an upper-case header name is honoured.
        const Response late = exchange(port(), {"POST /api/close?k=rightcode&session=x HTTP/1.1\r\nCONTENT-LENGTH: 5\r\n\r\n",
                                                "hello"});
        QCOMPARE(late.status, 204);
    }

    void sizeLimits_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status");
        QTest::newRow("declared too long") << QByteArray("POST /api/close HTTP/1.1\r\nContent-Length: 131073\r\n\r\n") << 400;
        QTest::newRow("negative length") << QByteArray("POST /api/close HTTP/1.1\r\nContent-Length: -1\r\n\r\n") << 400;
        QTest::newRow("one-part request line") << QByteArray("GARBAGE\r\n\r\n") << 400;
        QTest::newRow("body of exactly the limit")
            << QByteArray("POST /api/close HTTP/1.1\r\nContent-Length: 131072\r\n\r\n") + QByteArray(131072, 'x') << 413;
    }
    void sizeLimits()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        QCOMPARE(exchange(port(), {raw}).status, status);
    }

    // A host guessing codes is throttled on its own: others, right code or not, are unaffected.
    void wrongCodesAreThrottledPerAddress()
    {
        const QHostAddress guesser(QStringLiteral("127.0.0.2"));
        for (int i = 0; i < 20; ++i)
            QCOMPARE(request(port(), "GET", "/api/programs?k=guess" + QByteArray::number(i), {}, guesser).status, 403);
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode", {}, guesser).status, 429);
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode").status, 200);
        QCOMPARE(request(port(), "GET", "/api/programs?k=stale").status, 403);

        // Entries exactly 60 s old still count; one more millisecond frees the host.
        m_now += 60000;
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode", {}, guesser).status, 429);
        m_now += 1;
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode", {}, guesser).status, 200);

        for (int i = 0; i < 20; ++i)
            request(port(), "GET", "/api/programs?k=x", {}, guesser);
        QVERIFY(m_server->start(0, false, QStringLiteral("rightcode")));
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode", {}, guesser).status, 200);
    }

    void connectionsAreCapped()
    {
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < WebMonitorServer::maxConnections; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, port());
            QVERIFY(idle.back()->waitForConnected(3000));
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE(m_server->connectionCount(), WebMonitorServer::maxConnections);
        const Response refused = request(port(), "GET", "/api/programs?k=rightcode");
        QCOMPARE(refused.status, 503);
        idle.front()->abort();
        idle.erase(idle.begin());
        QTRY_COMPARE(m_server->connectionCount(), WebMonitorServer::maxConnections - 1);
        QCOMPARE(request(port(), "GET", "/api/programs?k=rightcode").status, 200);
    }

    void startStopAndCodes()
    {
        QSignalSpy changed(m_server.get(), &WebMonitorServer::changed);
        QVERIFY(m_server->start(0, false, QStringLiteral("abcde")));
        QCOMPARE(changed.count(), 2);
        const QString code = m_server->code();
        QCOMPARE(code.size(), 8);
        for (QChar c : code)
            QVERIFY(QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789").contains(c));
        QCOMPARE(m_server->urls(), QStringList{QStringLiteral("http://127.0.0.1:%1/?k=%2").arg(port()).arg(code)});

        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost));
        QVERIFY(!m_server->start(blocker.serverPort(), false, QStringLiteral("sixsix")));
        const QJsonObject status = m_server->statusJson();
        QCOMPARE(status.value(QStringLiteral("running")).toBool(), false);
        QVERIFY(!status.value(QStringLiteral("error")).toString().isEmpty());
        QVERIFY(m_server->urls().isEmpty());
        QCOMPARE(m_server->code(), code);
    }

    void qualityTable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("index");
        QTest::newRow("auto") << "auto" << 0;
        QTest::newRow("720") << "720" << 1;
        QTest::newRow("1080") << "1080" << 2;
        QTest::newRow("2160") << "2160" << 3;
        QTest::newRow("capitals") << "AUTO" << -1;
        QTest::newRow("480") << "480" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void qualityTable()
    {
        QFETCH(QString, text);
        QFETCH(int, index);
        QCOMPARE(WebMonitorServer::qualityIndex(text), index);
    }

    // A peer connection that cannot be made (here: every port of its range taken) rolls the
    // session and its new stream back and answers 503 instead of leaving a half-made viewer.
    void failedPeerConnectionIsRolledBack()
    {
        QUdpSocket first, second;
        int base = 0;
        for (quint16 p = 42000; p < 43000 && !base; p += 2) {
            if (first.bind(QHostAddress::LocalHost, p) && second.bind(QHostAddress::LocalHost, p + 1))
                base = p;
            else {
                first.close();
                second.close();
            }
        }
        QVERIFY(base);
        m_server->setMediaPortRangeForTesting(base, base + 1);
        const Response response = request(port(), "POST", "/api/session?k=rightcode&program=1");
        QCOMPARE(response.status, 503);
        QTRY_COMPARE(m_server->streamCount(), 0);
        QCOMPARE(m_server->sessions.size(), 0);
        QCOMPARE(m_server->viewerCount(), 0);
    }

    // Sessions over HTTP with real peer connections: the offer's sections, sharing of one stream,
    // a stream of its own for a chosen quality, refused answers and closing.
    void sessionsOverHttp()
    {
        m_server->setMediaPortRangeForTesting(freeRangeStart(), freeRangeStart() + 15);
        const Response first = request(port(), "POST", "/api/session?k=rightcode&program=1");
        QCOMPARE(first.status, 200);
        const QJsonObject offer = QJsonDocument::fromJson(first.body).object();
        const QString session = offer.value(QStringLiteral("session")).toString();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(session).hasMatch());
        QCOMPARE(offer.value(QStringLiteral("type")).toString(), QStringLiteral("offer"));
        const QString sdp = offer.value(QStringLiteral("sdp")).toString();
        const QString video = sdp.section(QStringLiteral("m=audio"), 0, 0);
        const QString audio = QStringLiteral("m=audio") + sdp.section(QStringLiteral("m=audio"), 1);
        QVERIFY(video.contains(QStringLiteral("m=video")));
        QVERIFY(video.contains(QStringLiteral("a=mid:video\r\n")));
        QVERIFY(audio.contains(QStringLiteral("a=mid:audio\r\n")));
        QVERIFY(video.contains(QStringLiteral("a=fmtp:96 profile-level-id=42e033;packetization-mode=1;level-asymmetry-allowed=1")));
        QVERIFY(video.contains(QStringLiteral("a=extmap:6 http://www.webrtc.org/experiments/rtp-hdrext/playout-delay")));
        QVERIFY(video.contains(QStringLiteral("a=rtcp-fb:96 nack\r\n")));
        QVERIFY(video.contains(QStringLiteral("a=rtcp-fb:96 nack pli")));
        QVERIFY(video.contains(QStringLiteral("a=sendonly")));
        QVERIFY(audio.contains(QStringLiteral("a=rtpmap:111 OPUS/48000/2")));
        QVERIFY(audio.contains(QStringLiteral("maxaveragebitrate=128000;stereo=1;sprop-stereo=1")));
        QVERIFY(!audio.contains(QStringLiteral("nack")));
        QVERIFY(audio.contains(QStringLiteral("a=sendonly")));
        QVERIFY(sdp.contains(QStringLiteral(" 127.0.0.1 ")));
        QVERIFY(sdp.contains(QStringLiteral("a=candidate:")));
        const auto firstSsrc = [](const QString &section) {
            return QRegularExpression(QStringLiteral("a=ssrc:(\\d+) ")).match(section).captured(1).toLongLong();
        };
        const qint64 videoSsrc = firstSsrc(video);
        QVERIFY(videoSsrc > 0 && videoSsrc % 2 == 0 && videoSsrc < (qint64(1) << 31));
        QCOMPARE(firstSsrc(audio), videoSsrc + 1);

        const Response second = request(port(), "POST", "/api/session?k=rightcode&program=1&quality=480");
        QCOMPARE(second.status, 200);
        const QString secondSdp = QJsonDocument::fromJson(second.body).object().value(QStringLiteral("sdp")).toString();
        QVERIFY(firstSsrc(secondSdp) != videoSsrc);
        QCOMPARE(m_server->viewerCount(), 2);
        QCOMPARE(m_server->streamCount(), 1);
        const Response own = request(port(), "POST", "/api/session?k=rightcode&program=1&quality=720");
        QCOMPARE(own.status, 200);
        QCOMPARE(m_server->streamCount(), 2);
        QCOMPARE(m_server->statusJson().value(QStringLiteral("encoders")).toInt(), 2);

        // An answer that is not one, or that does not match the offer, is refused and changes nothing.
        const QByteArray target = "/api/answer?k=rightcode&session=" + session.toLatin1();
        QCOMPARE(request(port(), "POST", target, "this is not sdp").status, 404);
        QCOMPARE(request(port(), "POST", target, "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n").status, 404);
        QVERIFY(m_server->sessions.contains(session));
        QCOMPARE(m_server->viewerCount(), 3);

        QCOMPARE(request(port(), "POST", "/api/close?k=rightcode&session=" + session.toLatin1()).status, 204);
        QCOMPARE(m_server->viewerCount(), 2);
        QCOMPARE(request(port(), "POST", "/api/close?k=rightcode&session=" + session.toLatin1()).status, 204);
        QCOMPARE(m_server->viewerCount(), 2);

        m_server->closeProgram(1);
        QCOMPARE(m_server->viewerCount(), 0);
        QCOMPARE(m_server->streamCount(), 0);
        QVERIFY(m_server->sessions.isEmpty());
    }

    // In LAN mode the offer carries candidates on the machine's network addresses besides loopback.
    // Runs only inside the test namespace (web.webserver_lan), whose veth address is 10.77.0.1.
    void lanModeOffersNetworkCandidates()
    {
        if (!qEnvironmentVariableIsSet("ZELVO_WEB_IN_NETNS"))
            QSKIP("needs the test network namespace");
        QVERIFY(m_server->start(0, true, QStringLiteral("rightcode")));
        QVERIFY(m_server->urls().contains(QStringLiteral("http://10.77.0.1:%1/?k=rightcode").arg(port())));
        const Response session = request(port(), "POST", "/api/session?k=rightcode&program=1");
        QCOMPARE(session.status, 200);
        const QString sdp = QJsonDocument::fromJson(session.body).object().value(QStringLiteral("sdp")).toString();
        QVERIFY2(sdp.contains(QStringLiteral(" 10.77.0.1 ")), qPrintable(sdp));
        QVERIFY(sdp.contains(QStringLiteral(" 127.0.0.1 ")));
    }

    void answerChecks_data()
    {
        const QString offer = QStringLiteral("v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
                                             "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:video0\r\n"
                                             "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=mid:audio1\r\n");
        const QString good = QStringLiteral("v=0\r\no=- 2 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
                                            "a=fingerprint:sha-256 AA:BB\r\n"
                                            "m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=mid:video0\r\na=ice-ufrag:u\r\na=ice-pwd:p\r\n"
                                            "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=mid:audio1\r\na=ice-ufrag:u\r\na=ice-pwd:p\r\n");
        QTest::addColumn<QString>("offer");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("usable");
        QTest::newRow("good") << offer << good << true;
        QTest::newRow("garbage") << offer << QStringLiteral("hello world") << false;
        QTest::newRow("empty") << offer << QString() << false;
        QTest::newRow("one section missing")
            << offer << good.left(good.indexOf(QLatin1String("m=audio"))) << false;
        QTest::newRow("sections swapped") << offer
                                          << QString(good).replace(QStringLiteral("a=mid:video0"), QStringLiteral("a=mid:x"))
                                          << false;
        QTest::newRow("no ice password")
            << offer << QString(good).replace(QStringLiteral("a=ice-pwd:p\r\n"), QString()) << false;
        QTest::newRow("no fingerprint")
            << offer << QString(good).replace(QStringLiteral("a=fingerprint:sha-256 AA:BB\r\n"), QString()) << false;
    }
    void answerChecks()
    {
        QFETCH(QString, offer);
        QFETCH(QString, answer);
        QFETCH(bool, usable);
        QCOMPARE(WebViewer::answerProblem(offer, answer).isEmpty(), usable);
    }
};

QTEST_MAIN(TestWebServer)
#include "tst_webserver.moc"
