// The control connection between real nodes and hand-made peers: sign-in with both nonces,
// replayed, reordered, reflected and forged lines, a recorded session replayed to a follower,
// the permission matrix as the control station reads it, throttled PIN guessing and the clock.
// Runs inside the private network namespace of link-netns.sh (a master broadcasts beacons).
#include "RawLinkPeer.h"

#include "link/LinkNode.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString code = QStringLiteral("pine-fox");

QJsonObject record(const QString &name, const QString &pin, const QString &level, const QJsonArray &programs)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("pin"), pin},
            {QStringLiteral("level"), level},
            {QStringLiteral("programs"), programs}};
}

} // namespace

class TestLinkSessions : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<LinkNode> m_master;

    std::unique_ptr<LinkNode> node(const QString &name)
    {
        return std::make_unique<LinkNode>(name, m_dir.filePath(name), nullptr);
    }

    // A raw client signed in as a follower, with hello and welcome received.
    std::unique_ptr<RawLinkPeer> signedInPeer()
    {
        auto peer = std::make_unique<RawLinkPeer>(code);
        if (!peer->connectTo(m_master->controlPort()) || !peer->signIn())
            return nullptr;
        return peer;
    }

private slots:
    void init()
    {
        m_master = node(QStringLiteral("master"));
        QVERIFY(m_master->startMaster(code, 0));
    }

    void cleanup() { m_master.reset(); }

    void signInVerifiesBothWays()
    {
        auto peer = signedInPeer();
        QVERIFY(peer);
        // The master's welcome is signed over both nonces, towards the client.
        const LinkLine welcome = peer->line(1);
        QCOMPARE(welcome.mac, linkMac(peer->key, LinkLine::signedText(peer->masterNonce, peer->clientNonce,
                                                                      LinkLine::ToClient, welcome.seq, welcome.type,
                                                                      welcome.body)));
        QTRY_COMPARE(m_master->peers().size(), 1);
        QCOMPARE(welcome.body.value(QLatin1String("level")).toString(), QStringLiteral("follower"));
    }

    void badLinesEndTheSession_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::newRow("replayed") << "replayed";
        QTest::newRow("reordered") << "reordered";
        QTest::newRow("reflected") << "reflected";
        QTest::newRow("forged body") << "forged";
        QTest::newRow("signed without the client nonce") << "no client nonce";
    }
    void badLinesEndTheSession()
    {
        QFETCH(QString, attack);
        auto peer = signedInPeer();
        QVERIFY(peer);
        const QByteArray ping = peer->sendSigned(QStringLiteral("ping"), {{QStringLiteral("t1"), 5}});
        QVERIFY(peer->waitForLines(3));
        QCOMPARE(peer->line(2).type, QStringLiteral("pong"));
        if (attack == QLatin1String("replayed")) {
            peer->write(ping);
        } else if (attack == QLatin1String("reordered")) {
            const QByteArray third = peer->sign(QStringLiteral("ping"), {{QStringLiteral("t1"), 6}}, 4, false);
            const QByteArray second = peer->sign(QStringLiteral("ping"), {{QStringLiteral("t1"), 7}}, 3, false);
            peer->write(third);
            QVERIFY(peer->waitForLines(4));
            peer->write(second);
        } else if (attack == QLatin1String("reflected")) {
            // The master's own pong (seq 3, above the client's 2): only its direction gives it away.
            peer->write(peer->received.at(2) + '\n');
        } else if (attack == QLatin1String("forged")) {
            QByteArray forged = peer->sign(QStringLiteral("ping"), {{QStringLiteral("t1"), 8}}, 3, false);
            forged.replace("\"t1\":8", "\"t1\":9");
            peer->write(forged);
        } else {
            const QByteArray saved = peer->clientNonce;
            peer->clientNonce.clear();
            peer->write(peer->sign(QStringLiteral("ping"), {{QStringLiteral("t1"), 8}}, 3, false));
            peer->clientNonce = saved;
        }
        QVERIFY(peer->closedWithin(3000));
        QTRY_COMPARE(m_master->peers().size(), 0);
    }

    void authWithoutClientNonceIsRefused()
    {
        RawLinkPeer peer(code);
        QVERIFY(peer.connectTo(m_master->controlPort()));
        QVERIFY(peer.waitForLines(1));
        peer.masterNonce = peer.line(0).body.value(QLatin1String("nonce")).toString().toLatin1();
        // The older form: signed over the master's nonce alone, no "cnonce" in the body.
        peer.sendSigned(QStringLiteral("auth"), {{QStringLiteral("id"), QStringLiteral("old")}});
        QVERIFY(peer.closedWithin(3000));
        QCOMPARE(m_master->peers().size(), 0);
    }

    void recordedSessionReplayedToAFollowerFails()
    {
        // Record what a real master says to one client...
        auto recorded = signedInPeer();
        QVERIFY(recorded);
        QByteArray transcript;
        for (const QByteArray &line : std::as_const(recorded->received))
            transcript += line + '\n';
        // ...and play it to a follower lured to another address.
        QTcpServer impostor;
        QVERIFY(impostor.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&impostor, &QTcpServer::newConnection, &impostor, [&] {
            QTcpSocket *socket = impostor.nextPendingConnection();
            socket->write(transcript);
        });
        auto follower = node(QStringLiteral("lured"));
        follower->startFollower(code, false);
        follower->connectToMaster(QStringLiteral("127.0.0.1"), impostor.serverPort());
        QTRY_COMPARE(follower->lastError, QStringLiteral("Link code does not match the master"));
        QVERIFY(!follower->welcomed);
        QVERIFY(!follower->masterSession);
    }

    void permissionMatrixAnswers()
    {
        m_master->setOperators({record(QStringLiteral("Ops"), QStringLiteral("11"), QStringLiteral("operator"), {2}),
                                record(QStringLiteral("Watch"), QStringLiteral("22"), QStringLiteral("Viewer"), {}),
                                record(QStringLiteral("Boss"), QStringLiteral("33"), QStringLiteral("OPERATOR"), {}),
                                record(QStringLiteral("Odd"), QStringLiteral("44"), QStringLiteral("admin"), {})});
        QStringList handledBy;
        m_master->commandHandler = [&](const QJsonObject &command, const QString &name) {
            handledBy << name;
            return command.value(QLatin1String("action")).toString() == QLatin1String("nope") ? QStringLiteral("Unknown command")
                                                                                               : QString();
        };
        struct Case
        {
            QString name, pin, action;
            int program;
            bool ok;
            QString error;
        };
        const QList<Case> cases{
            {"Ops", "11", "cut", 2, true, ""},
            {"ops", "11", "cut", 3, false, "Not allowed: Program not assigned to this operator"},
            {"Watch", "22", "cut", 1, false, "Not allowed: view only"},
            {"Boss", "33", "black", 9, true, ""},
            {"Boss", "33", "nope", 1, false, "Unknown command"},
            {"Odd", "44", "cut", 1, false, "Not allowed: view only"},
        };
        for (const Case &c : cases) {
            auto station = node(QStringLiteral("station"));
            QJsonObject answer;
            QJsonObject desk;
            connect(station.get(), &LinkNode::commandAnswered, station.get(), [&](const QJsonObject &a) { answer = a; });
            connect(station.get(), &LinkNode::deskReceived, station.get(), [&](const QJsonObject &d) { desk = d; });
            station->startControlStation(code, c.name, c.pin, false);
            station->connectToMaster(QStringLiteral("127.0.0.1"), m_master->controlPort());
            QTRY_VERIFY2(station->welcomed, qPrintable(c.name + QLatin1Char(' ') + station->lastError));
            m_master->sendDesk({{QStringLiteral("master"), QStringLiteral("M")}});
            QTRY_VERIFY(!desk.isEmpty());
            QCOMPARE(desk.value(QLatin1String("level")).toString(),
                     c.name == QLatin1String("Watch") || c.name == QLatin1String("Odd") ? QStringLiteral("viewer")
                                                                                         : QStringLiteral("operator"));
            const int id = station->sendCommand({{QStringLiteral("action"), c.action}, {QStringLiteral("program"), c.program}});
            QVERIFY(id > 0);
            QTRY_VERIFY(!answer.isEmpty());
            QCOMPARE(answer.value(QLatin1String("id")).toInt(), id);
            QCOMPARE(answer.value(QLatin1String("ok")).toBool(), c.ok);
            QCOMPARE(answer.value(QLatin1String("error")).toString(), c.error);
        }
        QCOMPARE(handledBy, QStringList({"Ops", "Boss", "Boss"}));

        // A follower's session commands nothing; a master without a handler refuses politely.
        auto peer = signedInPeer();
        QVERIFY(peer);
        peer->sendSigned(QStringLiteral("command"), {{QStringLiteral("id"), 1}, {QStringLiteral("program"), 1}});
        QVERIFY(peer->waitForLines(3));
        QCOMPARE(peer->line(2).body.value(QLatin1String("error")).toString(), QStringLiteral("Not allowed: view only"));
        m_master->commandHandler = nullptr;
        auto boss = node(QStringLiteral("boss"));
        QJsonObject answer;
        connect(boss.get(), &LinkNode::commandAnswered, boss.get(), [&](const QJsonObject &a) { answer = a; });
        boss->startControlStation(code, QStringLiteral("Boss"), QStringLiteral("33"), false);
        boss->connectToMaster(QStringLiteral("127.0.0.1"), m_master->controlPort());
        QTRY_VERIFY(boss->welcomed);
        boss->sendCommand({{QStringLiteral("program"), 1}});
        QTRY_COMPARE(answer.value(QLatin1String("error")).toString(), QStringLiteral("Remote control unavailable"));
    }

    void pinGuessingIsThrottled()
    {
        qint64 nowMs = 1000000;
        m_master->throttleClockMs = [&nowMs] { return nowMs; };
        m_master->setOperators({record(QStringLiteral("Crew"), QStringLiteral("9071"), QStringLiteral("operator"), {})});
        const auto attempt = [&](const QString &pin) {
            auto station = node(QStringLiteral("guess"));
            station->startControlStation(code, QStringLiteral("Crew"), pin, false);
            station->connectToMaster(QStringLiteral("127.0.0.1"), m_master->controlPort());
            QTest::qWaitFor([&] { return station->welcomed || station->denied; }, 5000);
            return station->welcomed ? QStringLiteral("welcome") : station->lastError;
        };
        for (const char *pin : {"0001", "0002", "0003"})
            QCOMPARE(attempt(QString::fromLatin1(pin)), QStringLiteral("Operator name or PIN not accepted"));
        // Locked now: even the right PIN is turned away without a look at its proof.
        QCOMPARE(attempt(QStringLiteral("9071")), QStringLiteral("Too many failed sign-ins; try again later"));
        nowMs += 1000;
        QCOMPARE(attempt(QStringLiteral("0004")), QStringLiteral("Operator name or PIN not accepted"));
        nowMs += 1999;
        QCOMPARE(attempt(QStringLiteral("9071")), QStringLiteral("Too many failed sign-ins; try again later"));
        nowMs += 1;
        QCOMPARE(attempt(QStringLiteral("9071")), QStringLiteral("welcome"));
    }

    void discoveryTableAndAutoConnect()
    {
        m_master->stop();
        QTcpServer matching, other;
        QVERIFY(matching.listen(QHostAddress::LocalHost, 0));
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        auto follower = node(QStringLiteral("searcher"));
        QVERIFY(follower->startFollower(code, true));
        QVERIFY2(follower->lastError.isEmpty(), qPrintable(follower->lastError));
        const auto beacon = [](const QString &id, const QString &role, int port, const QString &keyId) {
            return QJsonDocument(QJsonObject{{QStringLiteral("t"), QStringLiteral("zelvo-link")},
                                             {QStringLiteral("id"), id},
                                             {QStringLiteral("name"), QStringLiteral("M ") + id},
                                             {QStringLiteral("role"), role},
                                             {QStringLiteral("port"), port},
                                             {QStringLiteral("keyId"), keyId}})
                .toJson(QJsonDocument::Compact);
        };
        const QString ownKeyId = linkKeyId(deriveLinkKey(code));
        const QList<QByteArray> datagrams{
            "not json",
            beacon(QStringLiteral("other"), QStringLiteral("master"), other.serverPort(), QStringLiteral("000000000000")),
            beacon(follower->nodeId, QStringLiteral("master"), matching.serverPort(), ownKeyId),
            beacon(QStringLiteral("portless"), QStringLiteral("master"), 0, ownKeyId),
            beacon(QStringLiteral("notmaster"), QStringLiteral("follower"), matching.serverPort(), ownKeyId),
            beacon(QStringLiteral("good"), QStringLiteral("master"), matching.serverPort(), ownKeyId),
        };
        QUdpSocket sender;
        for (const QByteArray &datagram : datagrams)
            sender.writeDatagram(datagram, QHostAddress::LocalHost, LinkNode::discoveryPort);
        QTRY_COMPARE(follower->peers().size(), 2);
        QCOMPARE(follower->peers().at(0).id, QStringLiteral("other"));
        QCOMPARE(follower->peers().at(1).id, QStringLiteral("good"));
        QCOMPARE(follower->peers().at(1).address, QStringLiteral("127.0.0.1"));
        // Only the master of this code is contacted.
        QTRY_VERIFY(matching.hasPendingConnections());
        QVERIFY(!other.hasPendingConnections());
        QCOMPARE(follower->masterAddress, QStringLiteral("127.0.0.1"));
        // A master unheard for more than 5000 ms is forgotten at the next tick; a recent one stays.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        follower->discoveredMasters[QStringLiteral("other")].lastSeenMs = now - 5001;
        follower->discoveredMasters[QStringLiteral("good")].lastSeenMs = now - 3000;
        QTRY_COMPARE(follower->peers().size(), 1);
        QCOMPARE(follower->peers().at(0).id, QStringLiteral("good"));
        QVERIFY(!other.hasPendingConnections());
        // A program that holds the port without sharing it: the follower says so and still runs.
        follower->stop();
        QTest::qWait(50);  // the stopped node's socket goes on the next pass of the event loop
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, LinkNode::discoveryPort, QUdpSocket::DontShareAddress));
        QVERIFY(follower->startFollower(code, true));
        QCOMPARE(follower->lastError, QStringLiteral("Discovery port busy; connect by address"));
        QCOMPARE(follower->mode, int(LinkNode::Follower));
    }

    void startAndStop()
    {
        int changes = 0;
        auto idle = node(QStringLiteral("idle"));
        connect(idle.get(), &LinkNode::changed, idle.get(), [&] { ++changes; });
        idle->stop();
        QCOMPARE(changes, 0);
        QCOMPARE(idle->connectToMaster(QStringLiteral("127.0.0.1"), 1), false);
        // A taken control port: false, stopped, the server's reason kept.
        QVERIFY(!idle->startMaster(code, m_master->controlPort()));
        QCOMPARE(idle->mode, int(LinkNode::Stopped));
        QVERIFY(!idle->lastError.isEmpty());
        QVERIFY(changes > 0);
        QVERIFY(idle->startMaster(code, 47810));
        QCOMPARE(idle->controlPort(), quint16(47810));
        QCOMPARE(idle->filePort(), quint16(47811));
        QVERIFY(idle->startMaster(code, 65535));
        QCOMPARE(idle->controlPort(), quint16(65535));
        QVERIFY(idle->filePort() != 0);
        // Followers lose their master when it stops.
        auto follower = node(QStringLiteral("joined"));
        follower->startFollower(code, false);
        follower->connectToMaster(QStringLiteral("127.0.0.1"), 65535);
        QTRY_VERIFY(follower->welcomed);
        idle->stop();
        QTRY_VERIFY(!follower->welcomed);
        QCOMPARE(idle->mode, int(LinkNode::Stopped));
    }

    void clockSamplesKeepTheFastestPong()
    {
        auto follower = node(QStringLiteral("clock"));
        follower->startFollower(code, false);
        follower->connectToMaster(QStringLiteral("127.0.0.1"), m_master->controlPort());
        QTRY_VERIFY(follower->welcomed);
        QTRY_VERIFY_WITH_TIMEOUT(follower->clockSamples.size() >= 3, 5000);
        const qint64 error = follower->clockUs() + follower->clockOffsetUs - m_master->clockUs();
        QVERIFY2(qAbs(error) < 3000, qPrintable(QString::number(error)));
        QVERIFY(follower->clockSamples.size() <= LinkNode::clockSampleCount);
        for (const LinkNode::ClockSample &sample : std::as_const(follower->clockSamples))
            QVERIFY(sample.rttUs >= follower->roundTripUs);
    }
};

QTEST_GUILESS_MAIN(TestLinkSessions)
#include "link_session_test.moc"
