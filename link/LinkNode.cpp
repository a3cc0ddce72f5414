#include "link/LinkNode.h"

#include "link/LinkKeys.h"
#include "link/LinkMediaServer.h"
#include "link/LinkVersion.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>
#include <QUuid>

namespace {

// Detaches the session from its socket first, so a reader still looping over the session's
// buffer sees at once that the session is gone.
void dropSocket(LinkSession &session, QObject *node)
{
    QTcpSocket *socket = session.socket;
    session.socket.clear();
    if (!socket)
        return;
    socket->disconnect(node);
    socket->abort();
    socket->deleteLater();
}

template <typename T>
void deleteLaterAndClear(T *&pointer)
{
    if (pointer)
        pointer->deleteLater();
    pointer = nullptr;
}

} // namespace

LinkNode::LinkNode(const QString &name, const QString &dataDir, QObject *parent)
    : QObject(parent)
    , name(name)
    , dataDir(dataDir)
{
    clock.start();
    QDir().mkpath(dataDir + QStringLiteral("/link"));
    const QString idPath = dataDir + QStringLiteral("/link/node-id.txt");
    QFile idFile(idPath);
    if (idFile.open(QIODevice::ReadOnly))
        nodeId = QString::fromUtf8(idFile.readAll()).trimmed();
    if (nodeId.size() < 8) {
        nodeId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        QSaveFile save(idPath);
        if (save.open(QIODevice::WriteOnly)) {
            save.write(nodeId.toUtf8());
            save.commit();
        }
    }
}

LinkNode::~LinkNode()
{
    stop();
}

void LinkNode::setCode(const QString &newCode)
{
    // The derivation is slow on purpose; a restart with the same code reuses the key.
    const QString normalized = normalizedLinkCode(newCode);
    if (key.isEmpty() || normalized != keyCode) {
        key = deriveLinkKey(normalized);
        keyCode = normalized;
    }
    code = newCode.trimmed();
}

bool LinkNode::startMaster(const QString &newCode, quint16 port)
{
    stop();
    setCode(newCode);
    mode = Master;
    lastError.clear();
    controlServer = new QTcpServer(this);
    fileServer = new LinkMediaServer(this);
    fileServer->key = key;
    fileServer->servedFiles = servedFiles;
    QString failure;
    if (!controlServer->listen(QHostAddress::AnyIPv4, port))
        failure = controlServer->errorString();
    else if (!fileServer->listen(port == 0 ? 0 : quint16(port + 1)))
        failure = fileServer->errorString();
    if (!failure.isEmpty()) {
        stop();
        lastError = failure;
        emit changed();
        return false;
    }
    connect(controlServer, &QTcpServer::newConnection, this, &LinkNode::acceptSession);
    udpSocket = new QUdpSocket(this);
    timer = new QTimer(this);
    timer->setInterval(beaconIntervalMs);
    connect(timer, &QTimer::timeout, this, &LinkNode::sendBeacon);
    timer->start();
    sendBeacon();
    emit changed();
    return true;
}

bool LinkNode::startFollower(const QString &newCode, bool discover)
{
    return startClient(newCode, Follower, discover);
}

bool LinkNode::startControlStation(const QString &newCode, const QString &newOperator, const QString &pin, bool discover)
{
    const bool started = startClient(newCode, ControlStation, discover);
    operatorName = newOperator.trimmed().left(40);
    operatorPin = pin.trimmed();
    return started;
}

bool LinkNode::startClient(const QString &newCode, int clientMode, bool discover)
{
    stop();
    setCode(newCode);
    mode = clientMode;
    lastError.clear();
    denied = false;
    network = new QNetworkAccessManager(this);
    network->setProxy(QNetworkProxy::NoProxy);
    if (discover) {
        udpSocket = new QUdpSocket(this);
        if (udpSocket->bind(QHostAddress::AnyIPv4, discoveryPort,
                            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
            connect(udpSocket, &QUdpSocket::readyRead, this, &LinkNode::readDiscovery);
        else
            lastError = QStringLiteral("Discovery port busy; connect by address");
    }
    timer = new QTimer(this);
    timer->setInterval(tickIntervalMs);
    connect(timer, &QTimer::timeout, this, &LinkNode::clientTick);
    timer->start();
    emit changed();
    return true;
}

bool LinkNode::connectToMaster(const QString &address, quint16 port)
{
    if (!isClient())
        return false;
    if (masterSession) {
        dropSocket(*masterSession, this);
        sessions.removeAll(masterSession);
        masterSession.reset();
        welcomed = false;
        abortDownload();
        emit changed();
    }
    auto session = std::make_shared<LinkSession>();
    auto *socket = new QTcpSocket(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    session->socket = socket;
    session->address = address;
    session->clientNonce = randomHexNonce();
    masterSession = session;
    masterAddress = address;
    connect(socket, &QTcpSocket::readyRead, this, [this, session] { readSession(session); });
    connect(socket, &QTcpSocket::disconnected, this, [this, session] { closeSession(session); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, session] { closeSession(session); });
    socket->connectToHost(address, port);
    return true;
}

void LinkNode::stop()
{
    abortDownload(false);
    delete partFile;
    partFile = nullptr;
    downloadHash.reset();
    downloadQueue.clear();
    for (const SessionPtr &session : std::as_const(sessions))
        dropSocket(*session, this);
    sessions.clear();
    if (masterSession)
        dropSocket(*masterSession, this);
    masterSession.reset();
    welcomed = false;
    deleteLaterAndClear(controlServer);
    deleteLaterAndClear(fileServer);
    deleteLaterAndClear(udpSocket);
    deleteLaterAndClear(timer);
    deleteLaterAndClear(network);
    discoveredMasters.clear();
    discoveryOrder.clear();
    clockSamples.clear();
    clockOffsetUs = 0;
    clockRttUs = 0;
    lastMasterMessageMs = -1;
    const bool wasRunning = mode != Stopped;
    mode = Stopped;
    if (wasRunning)
        emit changed();
}

QList<LinkPeer> LinkNode::peers() const
{
    QList<LinkPeer> list;
    if (mode == Master) {
        const QString show = publishedShow.value(QLatin1String("name")).toString();
        for (const SessionPtr &session : sessions) {
            if (!session->authenticated)
                continue;
            LinkPeer peer;
            peer.id = session->id;
            peer.name = session->name;
            peer.role = session->role;
            peer.version = session->version;
            peer.address = session->address;
            peer.show = show;
            peer.offsetMs = session->offsetMs;
            peer.rttMs = session->rttMs;
            peer.mediaReady = session->mediaReady;
            peer.mediaTotal = session->mediaTotal;
            peer.syncMs = session->syncMs;
            peer.operatorName = session->operatorName;
            list.append(peer);
        }
        return list;
    }
    for (const QString &id : discoveryOrder) {
        if (discoveredMasters.contains(id))
            list.append(discoveredMasters.value(id));
    }
    return list;
}

bool LinkNode::hasControlStation() const
{
    for (const SessionPtr &session : sessions) {
        if (session->authenticated && session->role == QLatin1String("control"))
            return true;
    }
    return false;
}

quint16 LinkNode::controlPort() const
{
    return controlServer && controlServer->isListening() ? controlServer->serverPort() : 0;
}

quint16 LinkNode::filePort() const
{
    return fileServer ? fileServer->port() : 0;
}

qint64 LinkNode::clockUs() const
{
    return clock.nsecsElapsed() / 1000;
}

qint64 LinkNode::masterClockUs() const
{
    return clockUs() + clockOffsetUs;
}

qint64 LinkNode::msSinceMasterMessage() const
{
    return lastMasterMessageMs < 0 ? -1 : clock.elapsed() - lastMasterMessageMs;
}

void LinkNode::sendBeacon()
{
    if (!udpSocket || mode != Master)
        return;
    const QJsonObject beacon{{QStringLiteral("t"), QStringLiteral("zelvo-link")},
                             {QStringLiteral("id"), nodeId},
                             {QStringLiteral("name"), name},
                             {QStringLiteral("role"), QStringLiteral("master")},
                             {QStringLiteral("version"), LinkVersion::text},
                             {QStringLiteral("port"), int(controlPort())},
                             {QStringLiteral("keyId"), linkKeyId(key)},
                             {QStringLiteral("show"), publishedShow.value(QLatin1String("name")).toString()}};
    const QByteArray datagram = QJsonDocument(beacon).toJson(QJsonDocument::Compact);
    if (!beaconTarget.isEmpty()) {
        udpSocket->writeDatagram(datagram, QHostAddress(beaconTarget), discoveryPort);
        return;
    }
    udpSocket->writeDatagram(datagram, QHostAddress::Broadcast, discoveryPort);
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::CanBroadcast))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (!entry.broadcast().isNull())
                udpSocket->writeDatagram(datagram, entry.broadcast(), discoveryPort);
        }
    }
}

void LinkNode::readDiscovery()
{
    while (udpSocket && udpSocket->hasPendingDatagrams()) {
        QByteArray datagram(4096, '\0');
        QHostAddress sender;
        const qint64 size = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender);
        datagram.resize(std::max<qint64>(0, size));
        const QJsonObject beacon = QJsonDocument::fromJson(datagram).object();
        const QString id = beacon.value(QLatin1String("id")).toString();
        if (beacon.value(QLatin1String("t")).toString() != QLatin1String("zelvo-link")
            || beacon.value(QLatin1String("role")).toString() != QLatin1String("master") || id == nodeId)
            continue;
        bool isIpv4 = false;
        const quint32 ipv4 = sender.toIPv4Address(&isIpv4);
        const int port = beacon.value(QLatin1String("port")).toInt();
        if (!isIpv4 || port <= 0 || port > 65535 || id.isEmpty())
            continue;
        LinkPeer peer;
        peer.id = id.left(64);
        peer.name = beacon.value(QLatin1String("name")).toString().left(80);
        peer.role = QStringLiteral("master");
        peer.version = beacon.value(QLatin1String("version")).toString().left(40);
        peer.address = QHostAddress(ipv4).toString();
        peer.show = beacon.value(QLatin1String("show")).toString().left(120);
        peer.keyId = beacon.value(QLatin1String("keyId")).toString().left(12);
        peer.port = quint16(port);
        peer.lastSeenMs = QDateTime::currentMSecsSinceEpoch();
        if (!discoveredMasters.contains(peer.id))
            discoveryOrder.append(peer.id);
        discoveredMasters.insert(peer.id, peer);
    }
}

void LinkNode::clientTick()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = discoveredMasters.begin(); it != discoveredMasters.end();) {
        if (now - it->lastSeenMs > masterForgetMs) {
            discoveryOrder.removeAll(it.key());
            it = discoveredMasters.erase(it);
        } else {
            ++it;
        }
    }
    if (welcomed && masterSession) {
        sendMessage(masterSession, QStringLiteral("ping"), {{QStringLiteral("t1"), double(clockUs())}});
        if (++tickCounter % 4 == 0)
            sendStatus();
    } else if (!masterSession && !denied) {
        const QString ownKeyId = linkKeyId(key);
        for (const QString &id : std::as_const(discoveryOrder)) {
            const LinkPeer peer = discoveredMasters.value(id);
            if (peer.keyId == ownKeyId) {
                connectToMaster(peer.address, peer.port);
                break;
            }
        }
    }
    emit changed();
}
