// Publication and media transfer between a real master, real followers and hand-made peers: the
// media server's answers, names from a hostile master that must never reach the disk, a download
// that grows past its announced size, free space, and publications that overlap or skip a file.
// Runs inside the private network namespace of link-netns.sh (a master broadcasts beacons).
#include "RawLinkPeer.h"

#include "link/LinkMediaServer.h"
#include "link/LinkNode.h"
#include "link/LinkShowManifest.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString code = QStringLiteral("pine-fox");

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Sends one raw request to the media server and returns everything it answered until it closed.
QByteArray httpExchange(quint16 port, const QList<QByteArray> &pieces, bool *closed = nullptr)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(3000))
        return {};
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        socket.flush();
        QTest::qWait(30);
    }
    QByteArray answer;
    const bool done = QTest::qWaitFor([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, 5000);
    answer += socket.readAll();
    if (closed)
        *closed = done;
    return answer;
}

QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(root.size() + 1);
    files.sort();
    return files;
}

Show showOf(const QStringList &paths)
{
    Show show;
    show.library = paths;
    ShowProgram program;
    program.id = 1;
    program.name = QStringLiteral("Program A");
    for (const QString &path : paths) {
        Cue cue;
        cue.source = path;
        program.playlist.append(cue);
    }
    show.programs = {program};
    return show;
}

// A fake master: signs in one follower, then sends it the given "show" message, and serves
// media over HTTP from a table sha -> body (a body may be longer than the manifest says).
struct HostileMaster
{
    RawLinkPeer control{code, true};
    QTcpServer http;
    QHash<QByteArray, QByteArray> bodies;
    qint64 bytesSent = 0;
    bool gotAuth = false;
    quint16 redirectTo = 0;  // answer every request with a redirect to this port instead

    void start(const QJsonObject &show)
    {
        http.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&http, &QTcpServer::newConnection, &http, [this] {
            QTcpSocket *socket = http.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray head = socket->readAll();
                const QByteArray sha = head.mid(head.indexOf("/media/") + 7, 64);
                const QByteArray body = bodies.value(sha);
                if (redirectTo) {
                    socket->write("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + QByteArray::number(redirectTo)
                                  + "/media/" + sha + "\r\nContent-Length: 0\r\n\r\n");
                    socket->disconnectFromHost();
                    return;
                }
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n");
                // Paced by the reader: a follower that stops reading stops the stream.
                auto offset = std::make_shared<qint64>(0);
                auto pump = [this, socket, body, offset] {
                    while (socket->bytesToWrite() < 65536 && *offset < body.size()) {
                        const QByteArray chunk = body.mid(*offset, 16384);
                        socket->write(chunk);
                        *offset += chunk.size();
                        bytesSent += chunk.size();
                    }
                    if (*offset >= body.size() && socket->bytesToWrite() == 0)
                        socket->disconnectFromHost();
                };
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
                pump();
            });
        });
        control.listen();
        QObject::connect(&control.server, &QTcpServer::newConnection, &control.server, [this, show] {
            QObject::connect(control.socket, &QTcpSocket::readyRead, control.socket, [this, show] {
                const QByteArray line = control.socket->readLine();
                const LinkLine auth = LinkLine::parse(line.trimmed());
                if (auth.type != QLatin1String("auth") || gotAuth)
                    return;
                gotAuth = true;
                control.clientNonce = auth.body.value(QLatin1String("cnonce")).toString().toLatin1();
                control.sendSigned(QStringLiteral("welcome"), {{QStringLiteral("name"), QStringLiteral("Fake")},
                                                               {QStringLiteral("filePort"), int(http.serverPort())},
                                                               {QStringLiteral("level"), QStringLiteral("follower")}});
                control.sendSigned(QStringLiteral("show"), show);
            });
        });
    }
};

QJsonObject entry(const QString &relative, const QByteArray &body, qint64 size = -1)
{
    return {{QStringLiteral("relative"), relative},
            {QStringLiteral("sha256"), sha256Hex(body)},
            {QStringLiteral("size"), double(size < 0 ? body.size() : size)}};
}

} // namespace

class TestLinkMedia : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    std::unique_ptr<LinkNode> follower(const QString &name, quint16 port)
    {
        auto node = std::make_unique<LinkNode>(name, m_dir.filePath(name), nullptr);
        node->startFollower(code, false);
        node->connectToMaster(QStringLiteral("127.0.0.1"), port);
        return node;
    }

private slots:
    void mediaServerAnswers()
    {
        const QString file = m_dir.filePath(QStringLiteral("served.bin"));
        const QByteArray content(300000, 'z');
        QVERIFY(writeFile(file, content));
        const QString empty = m_dir.filePath(QStringLiteral("empty.bin"));
        QVERIFY(writeFile(empty, {}));
        LinkMediaServer server;
        server.key = deriveLinkKey(code);
        QVERIFY(server.listen(0));
        const QByteArray sha = sha256Hex(content).toLatin1(), emptySha = sha256Hex({}).toLatin1();
        server.servedFiles = {{QString::fromLatin1(sha), file}, {QString::fromLatin1(emptySha), empty},
                              {QStringLiteral("gone"), m_dir.filePath(QStringLiteral("nothing"))}};
        const auto request = [&](const QByteArray &method, const QByteArray &hash, const QByteArray &proofHeader) {
            return method + " /media/" + hash + " HTTP/1.1\r\n" + proofHeader + ": "
                + linkMac(server.key, "file|" + hash) + "\r\n\r\n";
        };
        const QByteArray notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        const QByteArray forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

        QByteArray answer = httpExchange(server.port(), {request("GET", sha, "x-ZELVO-link-PROOF")});
        QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 300000\r\n"
                                  "Connection: close\r\n\r\n"));
        QVERIFY(answer.endsWith(content));
        QCOMPARE(httpExchange(server.port(), {request("POST", sha, "X-Zelvo-Link-Proof")}), notFound);
        QCOMPARE(httpExchange(server.port(), {"GET /other/x HTTP/1.1\r\n\r\n"}), notFound);
        QCOMPARE(httpExchange(server.port(), {"GET /media/" + sha + " HTTP/1.1\r\nX-Zelvo-Link-Proof: 00\r\n\r\n"}), forbidden);
        QCOMPARE(httpExchange(server.port(), {"GET /media/" + sha + " HTTP/1.1\r\n\r\n"}), forbidden);
        QCOMPARE(httpExchange(server.port(), {request("GET", QByteArray(64, 'a'), "X-Zelvo-Link-Proof")}), forbidden);
        QCOMPARE(httpExchange(server.port(), {request("GET", "gone", "X-Zelvo-Link-Proof")}), notFound);
        QCOMPARE(httpExchange(server.port(), {request("GET", emptySha, "X-Zelvo-Link-Proof")}),
                 QByteArray("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"));
        // A head in pieces is answered once its blank line is there.
        const QByteArray whole = request("GET", emptySha, "X-Zelvo-Link-Proof");
        QVERIFY(httpExchange(server.port(), {whole.left(10), whole.mid(10, 30), whole.mid(40)}).startsWith("HTTP/1.1 200 OK"));
        // More than 16 KiB without a blank line: aborted, nothing answered.
        bool closed = false;
        QCOMPARE(httpExchange(server.port(), {QByteArray(16385, 'a')}, &closed), QByteArray());
        QVERIFY(closed);
    }

    void hostileNamesAreNeverWritten()
    {
        const QByteArray good("good bytes"), evil("evil bytes");
        const QJsonArray media{entry(QStringLiteral("media/.."), evil), entry(QStringLiteral("media/."), evil),
                               entry(QStringLiteral("/tmp/evil-absolute"), evil),
                               entry(QStringLiteral("media/../escaped"), evil),
                               entry(QStringLiteral("media/sub/inner"), evil),
                               entry(QStringLiteral("media\\..\\back"), evil),
                               entry(QStringLiteral("media/good.bin"), good),
                               entry(QStringLiteral("media/good.bin"), evil)};
        HostileMaster master;
        for (const QByteArray &body : {good, evil})
            master.bodies.insert(sha256Hex(body).toLatin1(), body);
        master.start({{QStringLiteral("name"), QStringLiteral("..")},
                      {QStringLiteral("show"), QJsonObject{{QStringLiteral("schema"), 4}}},
                      {QStringLiteral("media"), media},
                      {QStringLiteral("revision"), 1}});
        auto node = follower(QStringLiteral("victim"), master.control.server.serverPort());
        QString path;
        int missing = -1, failed = -1;
        connect(node.get(), &LinkNode::showReady, node.get(), [&](const QString &p, int m, int f) {
            path = p;
            missing = m;
            failed = f;
        });
        QTRY_VERIFY(!path.isEmpty());
        QCOMPARE(path, m_dir.filePath(QStringLiteral("victim/link-media/Show/Show.zelvoshow")));
        QCOMPARE(filesUnder(m_dir.filePath(QStringLiteral("victim"))),
                 QStringList({"link-media/Show/Show.zelvoshow", "link-media/Show/media/good.bin",
                              "link-media/Show/media/good.bin.sha256", "link/node-id.txt"}));
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/evil-absolute")));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("victim/link-media/escaped"))));
        QCOMPARE(node->mediaTotal, 8);
        QCOMPARE(node->mediaReady, 1);
        QCOMPARE(node->mediaRejected, 7);
        QCOMPARE(missing, 7);
        QCOMPARE(failed, 0);
        QCOMPARE(node->receivedMediaPath(QStringLiteral("media/good.bin")),
                 m_dir.filePath(QStringLiteral("victim/link-media/Show/media/good.bin")));
        for (const char *name : {"media/..", "media/../escaped", "media/other.bin", "/tmp/evil-absolute"})
            QVERIFY2(node->receivedMediaPath(QString::fromLatin1(name)).isEmpty(), name);
    }

    void oversizedDownloadStops()
    {
        // Far more than the loopback socket buffers hold, so a reader that keeps going would be seen.
        const QByteArray big(48 * 1024 * 1024, 'x');
        const QByteArray small("after");
        HostileMaster master;
        master.bodies.insert(sha256Hex(big.left(1000)).toLatin1(), big);
        master.bodies.insert(sha256Hex(small).toLatin1(), small);
        master.start({{QStringLiteral("name"), QStringLiteral("Big")},
                      {QStringLiteral("show"), QJsonObject()},
                      {QStringLiteral("media"), QJsonArray{entry(QStringLiteral("media/big.bin"), big.left(1000)),
                                                           entry(QStringLiteral("media/after.bin"), small)}},
                      {QStringLiteral("revision"), 1}});
        auto node = follower(QStringLiteral("big"), master.control.server.serverPort());
        int failed = -1;
        connect(node.get(), &LinkNode::showReady, node.get(), [&](const QString &, int, int f) { failed = f; });
        QTRY_COMPARE(failed, 1);
        const QString media = m_dir.filePath(QStringLiteral("big/link-media/Big/media/"));
        QVERIFY(!QFile::exists(media + QStringLiteral("big.bin")));
        QVERIFY(!QFile::exists(media + QStringLiteral("big.bin.part")));
        QVERIFY(QFile::exists(media + QStringLiteral("after.bin")));
        QCOMPARE(node->lastError, QStringLiteral("Download failed or did not match: media/big.bin"));
        QVERIFY2(node->bytesReceived <= 1000 + small.size(), qPrintable(QString::number(node->bytesReceived)));
        // The stream was cut long before its end.
        QVERIFY2(master.bytesSent < big.size() / 2, qPrintable(QString::number(master.bytesSent)));
    }

    void redirectsAreNotFollowed()
    {
        const QByteArray body("redirected bytes");
        HostileMaster elsewhere;
        elsewhere.bodies.insert(sha256Hex(body).toLatin1(), body);
        const QJsonObject show{{QStringLiteral("name"), QStringLiteral("Moved")},
                               {QStringLiteral("show"), QJsonObject()},
                               {QStringLiteral("media"), QJsonArray{entry(QStringLiteral("media/moved.bin"), body)}},
                               {QStringLiteral("revision"), 1}};
        elsewhere.start(show);
        HostileMaster master;
        master.redirectTo = elsewhere.http.serverPort();
        master.start(show);
        auto node = follower(QStringLiteral("moved"), master.control.server.serverPort());
        int failed = -1;
        connect(node.get(), &LinkNode::showReady, node.get(), [&](const QString &, int, int f) { failed = f; });
        QTRY_COMPARE(failed, 1);
        QCOMPARE(elsewhere.bytesSent, 0);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("moved/link-media/Moved/media/moved.bin"))));
    }

    void freeSpaceIsCheckedBeforeQueueing()
    {
        const QByteArray a(1000, 'a'), b(2000, 'b');
        HostileMaster master;
        master.bodies.insert(sha256Hex(a).toLatin1(), a);
        master.bodies.insert(sha256Hex(b).toLatin1(), b);
        master.start({{QStringLiteral("name"), QStringLiteral("Tight")},
                      {QStringLiteral("show"), QJsonObject()},
                      {QStringLiteral("media"), QJsonArray{entry(QStringLiteral("media/a.bin"), a), entry(QStringLiteral("media/b.bin"), b)}},
                      {QStringLiteral("revision"), 1}});
        auto node = std::make_unique<LinkNode>(QStringLiteral("tight"), m_dir.filePath(QStringLiteral("tight")), nullptr);
        node->freeSpaceProbe = [](const QString &) { return LinkNode::freeSpaceReserve + 2500; };
        node->startFollower(code, false);
        node->connectToMaster(QStringLiteral("127.0.0.1"), master.control.server.serverPort());
        int missing = -1, failed = -1;
        connect(node.get(), &LinkNode::showReady, node.get(), [&](const QString &, int m, int f) {
            missing = m;
            failed = f;
        });
        QTRY_COMPARE(failed, 1);
        QCOMPARE(missing, 1);
        QCOMPARE(node->lastError, QStringLiteral("Not enough free space for media/b.bin"));
        QVERIFY(QFile::exists(m_dir.filePath(QStringLiteral("tight/link-media/Tight/media/a.bin"))));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("tight/link-media/Tight/media/b.bin.part"))));
    }

    void publicationRewritesOnlyPublishedPaths()
    {
        const QString good = m_dir.filePath(QStringLiteral("pub/clip.mp4"));
        QDir().mkpath(QFileInfo(good).path());
        QVERIFY(writeFile(good, "clip"));
        // A regular file that cannot be read: it gets a name but no hash.
        const QString unreadable = QStringLiteral("/proc/self/mem");
        const QString missing = m_dir.filePath(QStringLiteral("pub/missing.mov"));
        const LinkShowManifest::Result result = LinkShowManifest::build(showOf({good, unreadable, missing}),
                                                                        QStringLiteral("A/B"), {}, 1);
        Show published;
        QVERIFY(readShow(result.message.value(QLatin1String("show")).toObject(), published));
        QCOMPARE(published.library, QStringList({"media/clip.mp4", unreadable, missing}));
        QCOMPARE(published.programs.first().playlist.at(1).source, unreadable);
        QCOMPARE(result.message.value(QLatin1String("media")).toArray().size(), 1);
        QCOMPARE(result.message.value(QLatin1String("name")).toString(), QStringLiteral("A_B"));
        QCOMPARE(result.publishedFiles.keys(), QStringList({good}));
        QCOMPARE(result.servedFiles.value(sha256Hex("clip")), good);
    }

    void supersededPublicationIsDropped()
    {
        const QString first = m_dir.filePath(QStringLiteral("pub2/first.mp4"));
        const QString second = m_dir.filePath(QStringLiteral("pub2/second.mp4"));
        QDir().mkpath(QFileInfo(first).path());
        QVERIFY(writeFile(first, QByteArray(4 * 1024 * 1024, '1')));
        QVERIFY(writeFile(second, "2"));
        LinkNode master(QStringLiteral("m"), m_dir.filePath(QStringLiteral("m")));
        QVERIFY(master.startMaster(code, 0));
        auto node = follower(QStringLiteral("late"), master.controlPort());
        QTRY_VERIFY(node->welcomed);
        QList<int> revisionsSeen;
        connect(node.get(), &LinkNode::showReady, node.get(), [&] { revisionsSeen << node->receivedRevision; });
        master.publishShow(showOf({first}), QStringLiteral("Old"));
        master.publishShow(showOf({second}), QStringLiteral("New"));
        QTRY_VERIFY(!master.preparing);
        QTRY_COMPARE(master.publicationsDropped, 1);
        QCOMPARE(master.revision, 1);
        QCOMPARE(master.publishedShow.value(QLatin1String("name")).toString(), QStringLiteral("New"));
        QTRY_COMPARE(revisionsSeen, QList<int>({1}));
        QCOMPARE(node->receivedShow.value(QLatin1String("name")).toString(), QStringLiteral("New"));
        // An unchanged show is not hashed again, but still makes a new revision.
        const int hashed = master.filesHashed;
        master.publishShow(showOf({second}), QStringLiteral("New"));
        QTRY_COMPARE(master.revision, 2);
        QCOMPARE(master.filesHashed, hashed);
        QTRY_COMPARE(revisionsSeen, QList<int>({1, 2}));
        QCOMPARE(node->downloadedFiles, 1);
    }
};

QTEST_GUILESS_MAIN(TestLinkMedia)
#include "link_media_test.moc"
