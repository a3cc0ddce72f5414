#include "web/WebMonitorServer.h"

#include "web/WebStream.h"
#include "web/WebViewer.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QPointer>
#include <QRandomGenerator64>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

namespace {

const char *const bufferProperty = "buffer";

} // namespace

// The page is compiled into this static library; its resource must be registered before it is
// read (outside any namespace, as the resource initialiser is a global function).
static void registerPageResource()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(web);
        return true;
    }();
    (void)registered;
}

WebMonitorServer::WebMonitorServer(ProgramsProvider programs, ChannelProvider channel, QObject *parent)
    : QObject(parent), m_programs(std::move(programs)), m_channel(std::move(channel))
{
    registerPageResource();
}

WebMonitorServer::~WebMonitorServer()
{
    clearSessions();
}

bool WebMonitorServer::start(quint16 port, bool lan, const QString &code)
{
    clearSessions();
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    emit changed();
    WebViewer::initialiseLibrary();

    auto *server = new QTcpServer(this);
    const bool ok = server->listen(lan ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::LocalHost),
                                   port);
    if (ok) {
        m_server = server;
        m_lan = lan;
        m_code = code.size() >= 6 ? code : generateCode();
        m_lastError.clear();
        m_refusals.clear();
        connect(m_server, &QTcpServer::newConnection, this, &WebMonitorServer::onNewConnection);
    } else {
        m_lastError = server->errorString();
        delete server;
    }
    emit changed();
    return ok;
}

void WebMonitorServer::stop()
{
    clearSessions();
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    emit changed();
}

bool WebMonitorServer::isRunning() const
{
    return m_server && m_server->isListening();
}

quint16 WebMonitorServer::port() const
{
    return isRunning() ? m_server->serverPort() : 0;
}

void WebMonitorServer::setAccessCode(const QString &code)
{
    m_code = code;
    clearSessions();
    emit changed();
}

QString WebMonitorServer::generateCode()
{
    static const QString alphabet = QStringLiteral("abcdefghjkmnpqrstuvwxyz23456789");
    QString code;
    while (code.size() < 8) {
        quint64 index = 31;
        while (index >= 31)
            index = QRandomGenerator64::system()->generate() & 0x1F;
        code += alphabet.at(int(index));
    }
    return code;
}

QStringList WebMonitorServer::urls() const
{
    if (!isRunning())
        return {};
    const QString suffix = QStringLiteral(":%1/?k=%2").arg(port()).arg(m_code);
    QStringList list;
    if (m_lan) {
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() && !address.isLinkLocal())
                list << QStringLiteral("http://") + address.toString() + suffix;
        }
    }
    list << QStringLiteral("http://127.0.0.1") + suffix;
    return list;
}

int WebMonitorServer::viewerCount() const
{
    int count = 0;
    for (const auto &stream : streams)
        count += stream->viewerCount();
    return count;
}

QJsonObject WebMonitorServer::statusJson() const
{
    QJsonArray list;
    for (auto it = streams.cbegin(); it != streams.cend(); ++it) {
        QJsonObject entry = it.value()->statusJson();
        entry.insert(QStringLiteral("program_id"), it.key() / 10);
        entry.insert(QStringLiteral("quality"), it.key() % 10 == 9 ? QStringLiteral("app") : QStringLiteral("viewer"));
        list.append(entry);
    }
    return QJsonObject{
        {QStringLiteral("running"), isRunning()},
        {QStringLiteral("port"), int(port())},
        {QStringLiteral("lan"), m_lan},
        {QStringLiteral("viewers"), viewerCount()},
        {QStringLiteral("encoders"), int(streams.size())},
        {QStringLiteral("streams"), list},
        {QStringLiteral("media_udp_ports"), QStringLiteral("%1-%2").arg(m_minMediaPort).arg(m_maxMediaPort)},
        {QStringLiteral("error"), m_lastError},
    };
}

void WebMonitorServer::setMediaPortRangeForTesting(int minPort, int maxPort)
{
    m_minMediaPort = minPort;
    m_maxMediaPort = maxPort;
}

qint64 WebMonitorServer::now() const
{
    return m_testClock ? m_testClock() : QDateTime::currentMSecsSinceEpoch();
}

void WebMonitorServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_connections >= maxConnections) {
            // Each open connection may hold a buffer of up to 128 KiB for 15 s; beyond the cap a
            // client is told at once instead of being queued.
            sendResponse(socket, 503, "text/plain", "Too many connections");
            QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
            continue;
        }
        ++m_connections;
        connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        QTimer::singleShot(requestTimeoutMs, socket, [socket] { socket->abort(); });
    }
}

void WebMonitorServer::readRequest(QTcpSocket *socket)
{
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    if (buffer.size() > maxRequestBytes) {
        socket->setProperty(bufferProperty, QByteArray());
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        sendResponse(socket, 413, "text/plain", "Too large");
        return;
    }
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        socket->setProperty(bufferProperty, buffer);
        return;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    qint64 contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().toLower() == "content-length") {
            bool ok = false;
            contentLength = lines[i].mid(colon + 1).trimmed().toLongLong(&ok);
            if (!ok)
                contentLength = 0;
        }
    }
    if (requestLine.size() < 2 || contentLength > maxRequestBytes || contentLength < 0) {
        socket->setProperty(bufferProperty, QByteArray());
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        sendResponse(socket, 400, "text/plain", "Bad request");
        return;
    }
    if (buffer.size() < headEnd + 4 + contentLength) {
        socket->setProperty(bufferProperty, buffer);
        return;
    }
    socket->setProperty(bufferProperty, QByteArray());
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    HttpRequest request;
    request.method = requestLine[0];
    const QByteArray target = requestLine[1];
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    if (question >= 0) {
        const QUrlQuery query(QString::fromUtf8(target.mid(question + 1)));
        for (const auto &item : query.queryItems(QUrl::FullyDecoded))
            request.query.insert(item.first, item.second);
    }
    request.body = buffer.mid(headEnd + 4, contentLength);
    request.peer = socket->peerAddress();
    handleRequest(socket, request);
}

bool WebMonitorServer::throttled(const QHostAddress &peer, qint64 time)
{
    const QString key = peer.toString();
    auto it = m_refusals.find(key);
    if (it == m_refusals.end())
        return false;
    it->erase(std::remove_if(it->begin(), it->end(), [time](qint64 t) { return t < time - wrongCodeWindowMs; }),
              it->end());
    if (it->isEmpty()) {
        m_refusals.erase(it);
        return false;
    }
    return it->size() >= wrongCodeLimit;
}

void WebMonitorServer::refuseCode(const QHostAddress &peer, qint64 time)
{
    // Old entries of other addresses go too, so the table stays as small as the current guessers.
    for (auto it = m_refusals.begin(); it != m_refusals.end();) {
        it->erase(std::remove_if(it->begin(), it->end(), [time](qint64 t) { return t < time - wrongCodeWindowMs; }),
                  it->end());
        it = it->isEmpty() ? m_refusals.erase(it) : std::next(it);
    }
    m_refusals[peer.toString()].append(time);
}

QByteArray WebMonitorServer::programListJson() const
{
    QJsonArray list;
    for (const WebProgramInfo &program : m_programs ? m_programs() : QList<WebProgramInfo>()) {
        list.append(QJsonObject{{QStringLiteral("id"), program.id},
                                {QStringLiteral("name"), program.name},
                                {QStringLiteral("media"), program.media},
                                {QStringLiteral("onAir"), program.onAir},
                                {QStringLiteral("playing"), program.playing}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("programs"), list}, {QStringLiteral("viewers"), viewerCount()}})
        .toJson(QJsonDocument::Compact);
}

void WebMonitorServer::handleRequest(QTcpSocket *socket, const HttpRequest &request)
{
    if (request.path == "/" || request.path == "/index.html") {
        if (request.method != "GET") {
            sendResponse(socket, 405, "text/plain", "GET only");
            return;
        }
        QFile page(QStringLiteral(":/web/monitor.html"));
        page.open(QIODevice::ReadOnly);
        sendResponse(socket, 200, "text/html; charset=utf-8", page.readAll());
        return;
    }
    if (!request.path.startsWith("/api/")) {
        sendResponse(socket, 404, "text/plain", "Not found");
        return;
    }
    const qint64 time = now();
    if (throttled(request.peer, time)) {
        sendResponse(socket, 429, "text/plain", "Too many wrong codes. Wait one minute.");
        return;
    }
    if (request.query.value(QStringLiteral("k")) != m_code) {
        refuseCode(request.peer, time);
        sendResponse(socket, 403, "text/plain", "Wrong or expired access code");
        return;
    }
    if (request.path == "/api/programs" && request.method == "GET") {
        sendResponse(socket, 200, "application/json", programListJson());
        return;
    }
    if (request.method != "POST") {
        sendResponse(socket, 405, "text/plain", "POST only");
        return;
    }
    const QString session = request.query.value(QStringLiteral("session"));
    if (request.path == "/api/session") {
        createSession(socket, request.query.value(QStringLiteral("program")).toInt(),
                      request.query.value(QStringLiteral("quality")));
    } else if (request.path == "/api/answer") {
        const auto stream = streams.value(sessions.value(session, -1));
        const bool accepted = stream && stream->answer(session, QString::fromUtf8(request.body));
        sendResponse(socket, accepted ? 204 : 404, {}, {});
    } else if (request.path == "/api/close") {
        closeSession(session);
        sendResponse(socket, 204, {}, {});
    } else {
        sendResponse(socket, 404, "text/plain", "Not found");
    }
}

QByteArray WebMonitorServer::reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{
        {200, "OK"},          {204, "No Content"},         {400, "Bad Request"},
        {403, "Forbidden"},   {404, "Not Found"},          {405, "Method Not Allowed"},
        {413, "Payload Too Large"}, {429, "Too Many Requests"}, {503, "Service Unavailable"},
    };
    return phrases.value(status, "Error");
}

void WebMonitorServer::sendResponse(QTcpSocket *socket, int status, const QByteArray &contentType,
                                    const QByteArray &body)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
                          "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
                          "Connection: close\r\n"
                          "Cache-Control: no-store\r\n"
                          "X-Content-Type-Options: nosniff\r\n"
                          "Referrer-Policy: no-referrer\r\n"
                          "X-Frame-Options: DENY\r\n";
    if (!contentType.isEmpty())
        response += "Content-Type: " + contentType + "\r\n";
    response += "\r\n" + body;
    socket->write(response);
    socket->disconnectFromHost();
}
