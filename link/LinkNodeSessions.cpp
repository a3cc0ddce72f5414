// LinkNode: the control connection. Accepting and signing in, the signed line reader and writer,
// the ping/pong clock, status reports, operators and the routing of the main window's messages.
#include "link/LinkNode.h"

#include "link/LinkKeys.h"
#include "link/LinkOperators.h"
#include "link/LinkVersion.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString deniedPin = QStringLiteral("Operator name or PIN not accepted");
const QString deniedChanged = QStringLiteral("Operator removed or PIN changed on the master");
const QString deniedThrottled = QStringLiteral("Too many failed sign-ins; try again later");

QString ipv4Text(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ipv4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(ipv4).toString() : address.toString();
}

} // namespace

LinkLine::Direction LinkNode::outgoing() const
{
    return mode == Master ? LinkLine::ToClient : LinkLine::ToMaster;
}

void LinkNode::acceptSession()
{
    while (controlServer && controlServer->hasPendingConnections()) {
        QTcpSocket *socket = controlServer->nextPendingConnection();
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto session = std::make_shared<LinkSession>();
        session->socket = socket;
        session->nonce = randomHexNonce();
        session->address = ipv4Text(socket->peerAddress());
        sessions.append(session);
        connect(socket, &QTcpSocket::readyRead, this, [this, session] { readSession(session); });
        connect(socket, &QTcpSocket::disconnected, this, [this, session] { closeSession(session); });
        sendMessage(session, QStringLiteral("hello"),
                    {{QStringLiteral("nonce"), QString::fromLatin1(session->nonce)},
                     {QStringLiteral("id"), nodeId},
                     {QStringLiteral("name"), name},
                     {QStringLiteral("version"), LinkVersion::text}});
        QTimer::singleShot(signInDeadlineMs, this, [this, session] {
            if (!session->authenticated)
                closeSession(session);
        });
    }
}

void LinkNode::sendMessage(const SessionPtr &session, const QString &type, const QJsonObject &body)
{
    if (!session->socket)
        return;
    LinkLine line;
    line.type = type;
    line.seq = ++session->sendSeq;
    line.body = body;
    const QByteArray clientNonce = type == QLatin1String("hello") ? QByteArray() : session->clientNonce;
    line.mac = linkMac(key, LinkLine::signedText(session->nonce, clientNonce, outgoing(), line.seq, type, body));
    session->socket->write(line.encode());
}

void LinkNode::readSession(const SessionPtr &session)
{
    if (!session->socket)
        return;
    session->buffer.append(session->socket->readAll());
    if (session->buffer.size() > receiveLimit) {
        closeSession(session);
        return;
    }
    const LinkLine::Direction incoming = mode == Master ? LinkLine::ToMaster : LinkLine::ToClient;
    qsizetype end;
    while (session->socket && (end = session->buffer.indexOf('\n')) >= 0) {
        const LinkLine line = LinkLine::parse(session->buffer.left(end));
        session->buffer.remove(0, end + 1);
        const bool isHello = line.type == QLatin1String("hello");
        // The only values read before the MAC check are the nonces the MAC itself is built on.
        if (isClient() && isHello && !session->authenticated && session->nonce.isEmpty())
            session->nonce = line.body.value(QLatin1String("nonce")).toString().toLatin1();
        if (mode == Master && line.type == QLatin1String("auth") && session->clientNonce.isEmpty())
            session->clientNonce = line.body.value(QLatin1String("cnonce")).toString().toLatin1();
        const QByteArray clientNonce = isHello ? QByteArray() : session->clientNonce;
        const bool nonceOk = LinkLine::isNonce(session->nonce) && (isHello || LinkLine::isNonce(clientNonce));
        const QByteArray expected = linkMac(key, LinkLine::signedText(session->nonce, clientNonce, incoming, line.seq,
                                                                      line.type, line.body));
        if (!nonceOk || !linkMacEquals(line.mac, expected) || line.seq <= session->lastSeq) {
            if (isClient() && !welcomed) {
                lastError = QStringLiteral("Link code does not match the master");
                emit changed();
            }
            closeSession(session);
            return;
        }
        session->lastSeq = line.seq;
        if (mode == Master && !session->authenticated && line.type != QLatin1String("auth")) {
            closeSession(session);
            return;
        }
        dispatch(session, line);
    }
}

void LinkNode::dispatch(const SessionPtr &session, const LinkLine &line)
{
    if (mode == Master)
        dispatchOnMaster(session, line);
    else if (isClient() && session == masterSession)
        dispatchOnClient(session, line);
}

void LinkNode::dispatchOnMaster(const SessionPtr &session, const LinkLine &line)
{
    if (line.type == QLatin1String("auth"))
        handleAuth(session, line.body);
    else if (line.type == QLatin1String("command"))
        handleCommand(session, line.body);
    else if (line.type == QLatin1String("ping"))
        sendMessage(session, QStringLiteral("pong"),
                    {{QStringLiteral("t1"), line.body.value(QLatin1String("t1"))},
                     {QStringLiteral("t2"), double(clockUs())}});
    else if (line.type == QLatin1String("status"))
        handleStatus(session, line.body);
}

void LinkNode::dispatchOnClient(const SessionPtr &session, const LinkLine &line)
{
    const QString &type = line.type;
    if (type == QLatin1String("hello")) {
        QJsonObject auth{{QStringLiteral("id"), nodeId},
                         {QStringLiteral("name"), name},
                         {QStringLiteral("version"), LinkVersion::text},
                         {QStringLiteral("cnonce"), QString::fromLatin1(session->clientNonce)}};
        if (mode == ControlStation) {
            const QByteArray operatorKey = deriveOperatorKey(key, operatorPin);
            auth.insert(QStringLiteral("role"), QStringLiteral("control"));
            auth.insert(QStringLiteral("operator"), operatorName);
            auth.insert(QStringLiteral("proof"),
                        QString::fromLatin1(linkMac(operatorKey, session->nonce + '|' + session->clientNonce)));
        }
        sendMessage(session, QStringLiteral("auth"), auth);
    } else if (type == QLatin1String("welcome")) {
        session->authenticated = true;
        welcomed = true;
        lastError.clear();
        masterName = line.body.value(QLatin1String("name")).toString().left(80);
        masterFilePort = quint16(qBound(0, line.body.value(QLatin1String("filePort")).toInt(), 65535));
        emit changed();
    } else if (type == QLatin1String("denied")) {
        denied = true;
        lastError = line.body.value(QLatin1String("reason")).toString().left(120);
        emit changed();
    } else if (type == QLatin1String("pong")) {
        handlePong(line.body);
    } else if (type == QLatin1String("desk")) {
        lastMasterMessageMs = clock.elapsed();
        emit deskReceived(line.body);
    } else if (type == QLatin1String("ack")) {
        emit commandAnswered(line.body);
    } else if (mode == Follower && type == QLatin1String("show")) {
        applyShow(line.body);
    } else if (mode == Follower && type == QLatin1String("state")) {
        lastMasterMessageMs = clock.elapsed();
        emit stateReceived(line.body);
    } else if (mode == Follower && type == QLatin1String("take")) {
        emit takeReceived(line.body);
    }
}

void LinkNode::handleAuth(const SessionPtr &session, const QJsonObject &body)
{
    const bool control = body.value(QLatin1String("role")).toString() == QLatin1String("control");
    if (control) {
        const QString claimed = body.value(QLatin1String("operator")).toString();
        const qint64 nowMs = throttleClockMs ? throttleClockMs() : clock.elapsed();
        if (signInThrottle.lockedForMs(session->address, claimed, nowMs) > 0) {
            deny(session, deniedThrottled);
            return;
        }
        const QJsonObject record = LinkOperators::record(operators, claimed);
        const QByteArray operatorKey = deriveOperatorKey(key, record.value(QLatin1String("pin")).toString());
        const QByteArray expected = linkMac(operatorKey, session->nonce + '|' + session->clientNonce);
        const QByteArray proof = body.value(QLatin1String("proof")).toString().toLatin1();
        if (record.isEmpty() || !linkMacEquals(proof, expected)) {
            signInThrottle.recordFailure(session->address, claimed, nowMs);
            deny(session, deniedPin);
            return;
        }
        signInThrottle.recordSuccess(claimed);
        session->role = QStringLiteral("control");
        session->operatorName = record.value(QLatin1String("name")).toString();
        session->operatorKeyId = linkKeyId(operatorKey);
    }
    session->authenticated = true;
    session->id = body.value(QLatin1String("id")).toString().left(64);
    session->name = body.value(QLatin1String("name")).toString().left(80);
    session->version = body.value(QLatin1String("version")).toString().left(40);
    const bool isControl = session->role == QLatin1String("control");
    const QString level = isControl
        ? LinkOperators::normalizedLevel(LinkOperators::record(operators, session->operatorName)
                                             .value(QLatin1String("level"))
                                             .toString())
        : QStringLiteral("follower");
    sendMessage(session, QStringLiteral("welcome"),
                {{QStringLiteral("name"), name},
                 {QStringLiteral("filePort"), isControl ? 0 : int(filePort())},
                 {QStringLiteral("level"), level}});
    if (revision >= 1 && !isControl)
        sendMessage(session, QStringLiteral("show"), publishedShow);
    emit changed();
}

void LinkNode::deny(const SessionPtr &session, const QString &reason)
{
    sendMessage(session, QStringLiteral("denied"), {{QStringLiteral("reason"), reason}});
    if (session->socket)
        session->socket->flush();
    QTimer::singleShot(closeAfterDenialMs, this, [this, session] { closeSession(session); });
}

void LinkNode::handleCommand(const SessionPtr &session, const QJsonObject &body)
{
    const QJsonObject record = session->role == QLatin1String("control")
        ? LinkOperators::record(operators, session->operatorName)
        : QJsonObject();
    QString error = LinkOperators::refusal(record, body.value(QLatin1String("program")).toInt());
    if (error.isEmpty())
        error = commandHandler ? commandHandler(body, session->operatorName) : QStringLiteral("Remote control unavailable");
    sendMessage(session, QStringLiteral("ack"),
                {{QStringLiteral("id"), body.value(QLatin1String("id"))},
                 {QStringLiteral("ok"), error.isEmpty()},
                 {QStringLiteral("error"), error}});
}

void LinkNode::handlePong(const QJsonObject &body)
{
    const qint64 now = clockUs();
    const double t1Value = body.value(QLatin1String("t1")).toDouble();
    const double t2Value = body.value(QLatin1String("t2")).toDouble();
    // Values from the wire: anything outside the clock's range is not a pong of ours.
    if (!(t1Value >= 0 && t1Value < 9.0e18) || !(t2Value >= 0 && t2Value < 9.0e18))
        return;
    const qint64 t1 = qint64(t1Value);
    if (now < t1)
        return;
    clockSamples.append({now - t1, qint64(t2Value) - (now + t1) / 2});
    while (clockSamples.size() > clockSampleCount)
        clockSamples.removeFirst();
    ClockSample best = clockSamples.first();
    for (const ClockSample &sample : std::as_const(clockSamples)) {
        if (sample.rttUs < best.rttUs)
            best = sample;
    }
    clockRttUs = best.rttUs;
    clockOffsetUs = best.offsetUs;
    emit changed();
}

void LinkNode::handleStatus(const SessionPtr &session, const QJsonObject &body)
{
    session->offsetMs = qint64(body.value(QLatin1String("offsetMs")).toDouble());
    session->rttMs = qint64(body.value(QLatin1String("rttMs")).toDouble());
    session->mediaReady = body.value(QLatin1String("mediaReady")).toInt();
    session->mediaTotal = body.value(QLatin1String("mediaTotal")).toInt();
    session->syncMs = body.contains(QLatin1String("syncMs")) ? body.value(QLatin1String("syncMs")).toDouble() : -1;
    emit changed();
}

void LinkNode::sendStatus()
{
    if (!welcomed || !masterSession)
        return;
    sendMessage(masterSession, QStringLiteral("status"),
                {{QStringLiteral("offsetMs"), double(clockOffsetUs) / 1000.0},
                 {QStringLiteral("rttMs"), double(clockRttUs) / 1000.0},
                 {QStringLiteral("mediaReady"), mediaReady},
                 {QStringLiteral("mediaTotal"), mediaTotal},
                 {QStringLiteral("syncMs"), syncMs}});
}

void LinkNode::closeSession(const SessionPtr &session)
{
    if (session->socket) {
        QTcpSocket *socket = session->socket;
        session->socket.clear();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    sessions.removeAll(session);
    if (session == masterSession) {
        masterSession.reset();
        welcomed = false;
        abortDownload();
    }
    emit changed();
}

void LinkNode::sendToRole(const QString &type, const QJsonObject &body, const QString &role)
{
    if (mode != Master)
        return;
    for (const SessionPtr &session : std::as_const(sessions)) {
        if (session->authenticated && session->role == role)
            sendMessage(session, type, body);
    }
}

void LinkNode::sendState(const QJsonObject &state)
{
    sendToRole(QStringLiteral("state"), state, QStringLiteral("follower"));
}

void LinkNode::sendTake(const QJsonObject &take)
{
    sendToRole(QStringLiteral("take"), take, QStringLiteral("follower"));
}

void LinkNode::sendDesk(const QJsonObject &desk)
{
    if (mode != Master)
        return;
    for (const SessionPtr &session : std::as_const(sessions)) {
        if (!session->authenticated || session->role != QLatin1String("control"))
            continue;
        const QJsonObject record = LinkOperators::record(operators, session->operatorName);
        if (record.isEmpty())
            continue;
        QJsonObject copy = desk;
        copy.insert(QStringLiteral("level"), LinkOperators::normalizedLevel(record.value(QLatin1String("level")).toString()));
        copy.insert(QStringLiteral("allowed"), LinkOperators::allowedPrograms(record));
        sendMessage(session, QStringLiteral("desk"), copy);
    }
}

int LinkNode::sendCommand(QJsonObject command)
{
    if (mode != ControlStation || !welcomed || !masterSession)
        return -1;
    commandCounter += 1;
    command.insert(QStringLiteral("id"), double(commandCounter));
    sendMessage(masterSession, QStringLiteral("command"), command);
    return int(commandCounter);
}

void LinkNode::setOperators(const QJsonArray &list)
{
    operators = list;
    if (mode != Master)
        return;
    const QList<SessionPtr> current = sessions;
    for (const SessionPtr &session : current) {
        if (session->role != QLatin1String("control"))
            continue;
        const QJsonObject record = LinkOperators::record(operators, session->operatorName);
        if (record.isEmpty()
            || linkKeyId(deriveOperatorKey(key, record.value(QLatin1String("pin")).toString())) != session->operatorKeyId)
            deny(session, deniedChanged);
    }
}
