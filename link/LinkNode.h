#pragma once

#include "engine/Show.h"
#include "link/LinkLine.h"
#include "link/LinkPeer.h"
#include "link/LinkSession.h"
#include "link/LinkSignInThrottle.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class LinkMediaServer;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTcpServer;
class QTimer;
class QUdpSocket;

// One file a follower still has to fetch from its master.
struct LinkMediaJob
{
    QString relative;  // "media/<name>", already checked safe
    QString sha256;
    qint64 size = 0;
};

// The one network node of Link on this machine. A master listens for followers and control
// stations, announces itself by UDP broadcast every second, publishes the show with its media and
// relays the main window's state, takes and desk; a follower finds a master of its own code, signs
// in, tracks the master's clock and downloads the published show; a control station signs in with
// an operator name and PIN and sends commands. Every control line is signed (LinkLine) with a key
// derived from the Link code.
//
// Everything runs on the GUI thread; the only work elsewhere is hashing a publication on the
// global thread pool, whose result comes back through a future watcher. The node keeps no
// process-wide state, so several nodes with their own data directories live in one process (the
// self-test runs a master and its followers that way). The public members are the node's state,
// read by the Link page, mirroring and the self-test; only the node writes them, except name,
// syncMs, commandHandler and the test seams.
class LinkNode : public QObject
{
    Q_OBJECT

public:
    using Session = LinkSession;
    using SessionPtr = std::shared_ptr<LinkSession>;
    // (command, operator name as the operator list spells it) -> refusal text, empty when done.
    using CommandHandler = std::function<QString(const QJsonObject &, const QString &)>;

    enum Mode { Stopped = 0, Master = 1, Follower = 2, ControlStation = 3 };

    static constexpr quint16 discoveryPort = 47800;
    static constexpr int beaconIntervalMs = 1000;
    static constexpr int tickIntervalMs = 500;
    static constexpr qint64 masterForgetMs = 5000;
    static constexpr int signInDeadlineMs = 5000;
    static constexpr int closeAfterDenialMs = 300;
    static constexpr qint64 receiveLimit = 8 * 1024 * 1024;
    static constexpr int clockSampleCount = 16;
    // Space left free on the disk when a show's media is queued.
    static constexpr qint64 freeSpaceReserve = 64 * 1024 * 1024;

    LinkNode(const QString &name, const QString &dataDir, QObject *parent = nullptr);
    ~LinkNode() override;

    bool startMaster(const QString &code, quint16 port);
    bool startFollower(const QString &code, bool discover);
    bool startControlStation(const QString &code, const QString &operatorName, const QString &pin, bool discover);
    bool connectToMaster(const QString &address, quint16 port);
    void stop();

    QList<LinkPeer> peers() const;
    bool hasControlStation() const;
    quint16 controlPort() const;
    quint16 filePort() const;
    qint64 clockUs() const;
    qint64 masterClockUs() const;
    qint64 msSinceMasterMessage() const;

    // Master: messages to the signed-in machines (bodies are the main window's).
    void sendState(const QJsonObject &state);
    void sendTake(const QJsonObject &take);
    void sendDesk(const QJsonObject &desk);
    void setOperators(const QJsonArray &list);
    void publishShow(const Show &show, const QString &showName);
    // Control station: sends a command, returns its id or -1 when not signed in.
    int sendCommand(QJsonObject command);

    // Follower: the absolute path of a media name of the received show, or empty unless the name
    // is an entry of that show's manifest and resolves inside its folder. Mirroring and the
    // synchronized take join names from the master only through this.
    QString receivedMediaPath(const QString &relative) const;
    QString receivedShowFolder() const;

    // Public state.
    QString name;
    QString dataDir;
    QString nodeId;
    QString lastError;
    QString code;
    QByteArray key;
    QElapsedTimer clock;
    int mode = Stopped;

    QList<SessionPtr> sessions;
    QHash<QString, LinkPeer> discoveredMasters;
    QList<QString> discoveryOrder;  // ids in the order first heard, for a stable table order
    SessionPtr masterSession;
    bool welcomed = false;
    bool denied = false;
    QString masterName;
    QString masterAddress;
    quint16 masterFilePort = 0;
    qint64 clockOffsetUs = 0;
    qint64 clockRttUs = 0;
    qint64 &roundTripUs = clockRttUs;
    struct ClockSample
    {
        qint64 rttUs;
        qint64 offsetUs;
    };
    QList<ClockSample> clockSamples;
    qint64 lastMasterMessageMs = -1;
    double syncMs = -1;

    QJsonArray operators;
    CommandHandler commandHandler;
    QString operatorName;
    QString operatorPin;
    unsigned int commandCounter = 0;
    LinkSignInThrottle signInThrottle;

    // Publication (master).
    bool preparing = false;
    int revision = 0;
    int publicationsStarted = 0;
    int publicationsDropped = 0;   // results superseded by a later publication
    int filesHashed = 0;           // files read for hashing since construction
    QHash<QString, QString> publishedFiles;
    QJsonObject publishedShow;
    QHash<QString, QString> servedFiles;
    QHash<QString, QString> hashCache;

    // Reception (follower).
    QJsonObject receivedShow;
    int receivedRevision = 0;
    QString receivedShowPath;
    QHash<QString, QString> receivedManifest;  // relative -> sha256 of the accepted entries
    QList<LinkMediaJob> downloadQueue;
    int mediaTotal = 0;
    int mediaReady = 0;
    int mediaFetched = 0;
    int &downloadedFiles = mediaFetched;
    int mediaFailed = 0;    // downloads of this manifest that failed or could not be queued
    int mediaRejected = 0;  // manifest entries refused as unsafe or malformed
    qint64 bytesToFetch = 0;
    qint64 bytesReceived = 0;
    QNetworkAccessManager *network = nullptr;
    QPointer<QNetworkReply> activeReply;
    QFile *partFile = nullptr;
    std::unique_ptr<QCryptographicHash> downloadHash;

    // Test seams: where beacons go (all broadcast addresses when empty) and the free-space probe.
    QString beaconTarget;
    std::function<qint64(const QString &)> freeSpaceProbe;
    // Test seam: a clock for the sign-in throttle, clock ms when unset.
    std::function<qint64()> throttleClockMs;

signals:
    void changed();
    // A received show was written. missingFiles: manifest entries that are not on disk (refused or
    // failed); failedFiles: downloads of this manifest that failed. Both 0 when all is verified.
    void showReady(const QString &showPath, int missingFiles, int failedFiles);
    void stateReceived(const QJsonObject &state);
    void takeReceived(const QJsonObject &take);
    void deskReceived(const QJsonObject &desk);
    void commandAnswered(const QJsonObject &answer);

private:
    bool startClient(const QString &code, int clientMode, bool discover);
    void setCode(const QString &newCode);
    void sendBeacon();
    void readDiscovery();
    void clientTick();

    // Sessions.
    void acceptSession();
    void readSession(const SessionPtr &session);
    void sendMessage(const SessionPtr &session, const QString &type, const QJsonObject &body);
    void dispatch(const SessionPtr &session, const LinkLine &line);
    void dispatchOnMaster(const SessionPtr &session, const LinkLine &line);
    void dispatchOnClient(const SessionPtr &session, const LinkLine &line);
    void handleAuth(const SessionPtr &session, const QJsonObject &body);
    void handleCommand(const SessionPtr &session, const QJsonObject &body);
    void handlePong(const QJsonObject &body);
    void handleStatus(const SessionPtr &session, const QJsonObject &body);
    void deny(const SessionPtr &session, const QString &reason);
    void closeSession(const SessionPtr &session);
    void sendStatus();
    void sendToRole(const QString &type, const QJsonObject &body, const QString &role);
    LinkLine::Direction outgoing() const;
    bool isClient() const { return mode == Follower || mode == ControlStation; }

    // Publication.
    void publishFinished(const QJsonObject &message, const QHash<QString, QString> &served,
                         const QHash<QString, QString> &published, const QHash<QString, QString> &cache, int ticket);

    // Reception.
    void applyShow(const QJsonObject &message);
    void fetchNextMedia();
    void receiveMediaBytes(const LinkMediaJob &job, QNetworkReply *reply);
    void mediaDownloadFinished(const LinkMediaJob &job, QNetworkReply *reply);
    // Stops the running download; removePart also deletes its ".part" file.
    void abortDownload(bool removePart = true);
    void failDownload(const QString &text);
    void writeReceivedShow();
    qint64 freeSpace(const QString &folder) const;

    QTcpServer *controlServer = nullptr;
    LinkMediaServer *fileServer = nullptr;
    QUdpSocket *udpSocket = nullptr;
    QTimer *timer = nullptr;
    quint64 tickCounter = 0;
    QString keyCode;  // the normalized code the key was derived from
    QString downloadError;  // set when the running download must fail before its end
    bool showPending = false;  // a received show still has to be written
};
