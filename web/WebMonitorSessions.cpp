// The session side of WebMonitorServer: which stream a viewer joins, and when a session ends.
#include "web/WebMonitorServer.h"

#include "web/WebStream.h"

#include <QJsonDocument>
#include <QNetworkInterface>
#include <QPointer>
#include <QRandomGenerator64>
#include <QTcpSocket>
#include <QTimer>
#include <exception>

namespace {

QString newSessionId()
{
    QString id;
    for (int i = 0; i < 4; ++i)
        id += QStringLiteral("%1").arg(quint32(QRandomGenerator64::system()->generate()), 8, 16, QLatin1Char('0'));
    return id;
}

} // namespace

int WebMonitorServer::qualityIndex(const QString &quality)
{
    static const QHash<QString, int> table{{QStringLiteral("auto"), 0},
                                           {QStringLiteral("720"), 1},
                                           {QStringLiteral("1080"), 2},
                                           {QStringLiteral("2160"), 3}};
    return table.value(quality, -1);
}

WebRtcConfiguration WebMonitorServer::rtcConfiguration() const
{
    WebRtcConfiguration configuration;
    configuration.minPort = m_minMediaPort;
    configuration.maxPort = m_maxMediaPort;
    if (m_lan) {
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() && !address.isLinkLocal())
                configuration.localAddresses << address.toString();
        }
    }
    return configuration;
}

void WebMonitorServer::createSession(QTcpSocket *socket, int program, const QString &quality)
{
    NativeChannel *channel = m_channel ? m_channel(program) : nullptr;
    if (!channel) {
        sendResponse(socket, 404, "text/plain", "Program not available");
        return;
    }
    if (viewerCount() >= maxViewers) {
        sendResponse(socket, 503, "text/plain", "Viewer limit reached");
        return;
    }
    const int index = qualityIndex(quality);
    const int key = program * 10 + (index < 0 ? 9 : index);
    const bool newStream = !streams.contains(key);
    const QString id = newSessionId();
    try {
        if (newStream) {
            auto shared = index < 0 ? appQuality : std::make_shared<std::atomic<int>>(index);
            streams.insert(key, std::make_shared<WebStream>(channel, shared));
        }
        sessions.insert(id, key);
        QPointer<QTcpSocket> guarded(socket);
        streams.value(key)->addViewer(
            id, rtcConfiguration(), this,
            [this, guarded, id](const QString &sdp) {
                if (!sessions.contains(id) || offered.contains(id))
                    return;
                if (sdp.isEmpty()) {
                    // The peer connection could not offer: nothing of the session stays.
                    closeSession(id);
                    if (guarded)
                        sendResponse(guarded, 503, "text/plain", "Viewer connection could not be made");
                    return;
                }
                offered.insert(id);
                if (!guarded)
                    return;
                const QJsonObject offer{{QStringLiteral("session"), id},
                                        {QStringLiteral("type"), QStringLiteral("offer")},
                                        {QStringLiteral("sdp"), sdp}};
                sendResponse(guarded, 200, "application/json", QJsonDocument(offer).toJson(QJsonDocument::Compact));
            },
            [this, id] { closeSession(id); });
    } catch (const std::exception &error) {
        // Roll back whatever this request made, so the failure stays inside the request.
        qWarning("Web monitor: a viewer could not be created: %s", error.what());
        sessions.remove(id);
        if (newStream && streams.contains(key) && streams.value(key)->viewerCount() == 0)
            streams.remove(key);
        sendResponse(socket, 503, "text/plain", "Viewer connection could not be made");
        return;
    }
    QPointer<QTcpSocket> waiting(socket);
    QTimer::singleShot(offerDeadlineMs, this, [this, waiting, id] {
        if (!sessions.contains(id) || offered.contains(id))
            return;
        closeSession(id);
        if (waiting)
            sendResponse(waiting, 503, "text/plain", "Viewer connection could not be made");
    });
    QTimer::singleShot(connectDeadlineMs, this, [this, id] {
        const auto stream = streams.value(sessions.value(id, -1));
        if (stream && !stream->isViewerConnected(id))
            closeSession(id);
    });
    emit changed();
}

void WebMonitorServer::closeSession(const QString &session)
{
    const auto it = sessions.find(session);
    if (it == sessions.end())
        return;
    const int key = it.value();
    sessions.erase(it);
    offered.remove(session);
    if (const auto stream = streams.value(key)) {
        stream->removeViewer(session);
        if (stream->viewerCount() == 0)
            streams.remove(key);
    }
    emit changed();
}

void WebMonitorServer::closeProgram(int programId)
{
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (it.value() / 10 == programId) {
            offered.remove(it.key());
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = streams.begin(); it != streams.end();)
        it = it.key() / 10 == programId ? streams.erase(it) : std::next(it);
    emit changed();
}

void WebMonitorServer::clearSessions()
{
    sessions.clear();
    offered.clear();
    // Streams go outside the table: a stream's destruction closes its viewers, whose closed
    // callbacks are queued and find their sessions gone.
    auto dropped = std::move(streams);
    streams.clear();
    dropped.clear();
}
