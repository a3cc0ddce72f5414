#pragma once

#include "web/HttpRequest.h"
#include "web/WebProgramInfo.h"
#include "web/WebRtcConfiguration.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

class NativeChannel;
class QTcpServer;
class QTcpSocket;
class WebStream;

// The web monitor's front door: a small HTTP/1.1 server on a QTcpServer that serves the one
// monitor page and a four-route JSON API behind an access code, and the viewer sessions behind it
// (one WebStream per Program and quality, shared by its viewers). It reaches the Programs only
// through the two providers given at construction, so the main window, a test runner or a
// benchmark plugs in its own Program list and deck lookup. Lives on the GUI thread; the only
// cross-thread state is each stream's viewer list (under that stream's lock) and the app-quality
// atomic that app-default streams read.
//
// Every response closes its connection. Requests are bounded in size (128 KiB), time (15 s) and
// number (64 connections at once); wrong access codes are throttled per source address, so one
// host guessing or a forgotten tab with an old code never locks other viewers out.
class WebMonitorServer : public QObject
{
    Q_OBJECT
public:
    using ProgramsProvider = std::function<QList<WebProgramInfo>()>;
    using ChannelProvider = std::function<NativeChannel *(int programId)>;

    static constexpr int maxRequestBytes = 131072;
    static constexpr int requestTimeoutMs = 15000;
    static constexpr int maxConnections = 64;
    static constexpr int wrongCodeLimit = 20;
    static constexpr qint64 wrongCodeWindowMs = 60000;
    static constexpr int maxViewers = 16;
    static constexpr int connectDeadlineMs = 20000;
    // Gathering on the configured addresses takes milliseconds; a viewer without an offer by then
    // could not bind its ports and is refused.
    static constexpr int offerDeadlineMs = 5000;

    WebMonitorServer(ProgramsProvider programs, ChannelProvider channel, QObject *parent = nullptr);
    ~WebMonitorServer() override;

    bool start(quint16 port, bool lan, const QString &code);
    void stop();
    bool isRunning() const;
    quint16 port() const;
    QString code() const { return m_code; }
    bool isLan() const { return m_lan; }
    QString lastError() const { return m_lastError; }
    void setAccessCode(const QString &code);
    static QString generateCode();
    QStringList urls() const;
    QJsonObject statusJson() const;
    int viewerCount() const;
    int streamCount() const { return int(streams.size()); }
    int connectionCount() const { return m_connections; }

    // Sessions.
    void createSession(QTcpSocket *socket, int program, const QString &quality);
    void closeSession(const QString &session);
    void closeProgram(int programId);
    void clearSessions();

    // The app-default quality index (0 auto, 1 720p, 2 1080p, 3 2160p), shared with every stream
    // opened without a quality of its own; a write applies to them live.
    const std::shared_ptr<std::atomic<int>> appQuality = std::make_shared<std::atomic<int>>(0);
    // Stream key (Program id x 10 + quality index, 9 for the app default) to its stream.
    QHash<int, std::shared_ptr<WebStream>> streams;
    // Session id to stream key.
    QHash<QString, int> sessions;
    // Sessions whose offer was sent.
    QSet<QString> offered;

    static int qualityIndex(const QString &quality);  // -1 for the app default
    static QByteArray reasonPhrase(int status);

    // Test seams: the UDP port range viewers' peer connections bind in, and the clock of the
    // wrong-code throttle (milliseconds since the epoch; null restores the real one).
    void setMediaPortRangeForTesting(int minPort, int maxPort);
    void setClockForTesting(std::function<qint64()> clock) { m_testClock = std::move(clock); }

signals:
    void changed();

private:
    void onNewConnection();
    void readRequest(QTcpSocket *socket);
    void handleRequest(QTcpSocket *socket, const HttpRequest &request);
    void sendResponse(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body);
    QByteArray programListJson() const;
    bool throttled(const QHostAddress &peer, qint64 now);
    void refuseCode(const QHostAddress &peer, qint64 now);
    qint64 now() const;
    WebRtcConfiguration rtcConfiguration() const;

    ProgramsProvider m_programs;
    ChannelProvider m_channel;
    QTcpServer *m_server = nullptr;
    bool m_lan = false;
    QString m_code;
    QString m_lastError;
    // Wrong-code times per source address (milliseconds since the epoch).
    QHash<QString, QList<qint64>> m_refusals;
    int m_connections = 0;
    int m_minMediaPort = 50200;
    int m_maxMediaPort = 50399;
    std::function<qint64()> m_testClock;
};
