#include "selftest/LinkTests.h"

#include "engine/Show.h"
#include "link/LinkKeys.h"
#include "link/LinkNode.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

namespace {

const char *const scope = "In-process master and followers over loopback TCP plus LAN broadcast discovery on this "
                          "computer. Not a multi-computer LAN or wireless qualification.";
const QString code = QStringLiteral("pine-fox");
const QString localhost = QStringLiteral("127.0.0.1");

QJsonObject operatorRecord(const char *name, const char *pin, const char *level, QJsonArray programs)
{
    return {{QStringLiteral("name"), QString::fromLatin1(name)},
            {QStringLiteral("pin"), QString::fromLatin1(pin)},
            {QStringLiteral("level"), QString::fromLatin1(level)},
            {QStringLiteral("programs"), programs}};
}

Cue cueFor(const QString &path)
{
    Cue cue;
    cue.source = path;
    return cue;
}

// The nodes, probes and scratch area of one run; the cases below read and extend it in order.
struct LinkRun
{
    QTemporaryDir scratch;
    SelfTestReport report{QString::fromLatin1(scope)};
    std::unique_ptr<LinkNode> master, f1, f2, stranger, desk, lobby, fake, listener;
    QString showPath1, showPath2;
    QJsonObject deskA, deskB;
    bool followerGotDesk = false;
    QList<QJsonObject> answersA, answersB;
    QList<QPair<QJsonObject, QString>> handled;
    QString folder;

    QString path(const QString &relative) const { return scratch.path() + relative; }

    std::unique_ptr<LinkNode> node(const char *name, const char *folderName)
    {
        return std::make_unique<LinkNode>(QString::fromLatin1(name), path(QString::fromLatin1(folderName)), nullptr);
    }

    void join(LinkNode &client) { client.connectToMaster(localhost, master->controlPort()); }

    Show testShow() const
    {
        Show show;
        show.library = {path(QStringLiteral("/media/a/clip.mp4"))};
        ShowProgram program;
        program.id = 1;
        program.name = QStringLiteral("Program A");
        program.playlist = {cueFor(path(QStringLiteral("/media/a/clip.mp4"))),
                            cueFor(path(QStringLiteral("/media/b/clip.mp4"))),
                            cueFor(path(QStringLiteral("/media/missing.mov")))};
        show.programs = {program};
        return show;
    }

    int peerCount() const { return int(master->peers().size()); }
};

void setUp(LinkRun &run, const QString &fixtures)
{
    for (const char *folder : {"master", "f1", "f2", "bad", "listen", "media/a", "media/b"})
        QDir().mkpath(run.path(QStringLiteral("/") + QString::fromLatin1(folder)));
    QFile::copy(fixtures + QStringLiteral("/01-h264.mp4"), run.path(QStringLiteral("/media/a/clip.mp4")));
    QFile::copy(fixtures + QStringLiteral("/03-h264.mkv"), run.path(QStringLiteral("/media/b/clip.mp4")));
}

void macDetectsTampering(LinkRun &run)
{
    const QByteArray key = deriveLinkKey(code);
    const QByteArray plain = linkMac(key, "n|1|show|{}");
    const bool pass = linkMac(key, "n|1|show|{\"x\":1}") != plain
        && linkMac(deriveLinkKey(QStringLiteral("reef-owl")), "n|1|show|{}") != plain
        && linkKeyId(deriveLinkKey(QStringLiteral(" PINE-FOX "))) == linkKeyId(key);
    run.report.recordResult(QStringLiteral("message_mac_detects_tampering"), pass, {});
}

void startNetwork(LinkRun &run)
{
    const bool started = run.master->startMaster(code, 0);
    run.report.recordResult(QStringLiteral("master_starts"), started && run.master->controlPort() != 0,
                            {{QStringLiteral("error"), run.master->lastError}});
    run.f1->startFollower(code, false);
    run.f2->startFollower(code, false);
    run.stranger->startFollower(QStringLiteral("stray-gate"), false);
    run.join(*run.f1);
    run.join(*run.f2);
    run.join(*run.stranger);
    const bool joined = waitUntil([&] { return run.f1->welcomed && run.f2->welcomed; }, 8000);
    pump(800);
    run.report.recordResult(QStringLiteral("followers_with_the_code_join"),
                            joined && run.peerCount() == 2 && run.f1->masterName == QLatin1String("Main"), {});
    run.report.recordResult(QStringLiteral("wrong_code_is_rejected"),
                            !run.stranger->welcomed && run.peerCount() == 2 && !run.stranger->lastError.isEmpty(),
                            {{QStringLiteral("error"), run.stranger->lastError}});
}

void forgedMessages(LinkRun &run)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(localhost, run.master->controlPort());
    const bool connected = waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }, 3000);
    waitUntil([&] { return socket->bytesAvailable() > 0; }, 3000);
    socket->readAll();
    socket->write("{\"type\":\"auth\",\"seq\":1,\"body\":{\"id\":\"x\"},\"mac\":\"00\"}\n");
    socket->flush();
    const bool closed = waitUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }, 4000);
    run.report.recordResult(QStringLiteral("forged_messages_close_the_session"),
                            connected && closed && run.peerCount() == 2, {});
}

void clockTracking(LinkRun &run)
{
    waitUntil([&] { return run.f1->roundTripUs > 0 && run.f2->roundTripUs > 0; }, 6000);
    pump(2000);
    const qint64 masterNow = run.master->clockUs();
    const double error1 = double(run.f1->clockUs() + run.f1->clockOffsetUs - masterNow) / 1000.0;
    const double error2 = double(run.f2->clockUs() + run.f2->clockOffsetUs - masterNow) / 1000.0;
    const double rttMs = double(run.f1->roundTripUs) / 1000.0;
    const bool pass = rttMs > 0 && rttMs < 20 && std::abs(error1) < 3 && std::abs(error2) < 3;
    run.report.recordResult(QStringLiteral("follower_tracks_master_clock"), pass,
                            {{QStringLiteral("offset_ms"), double(run.f1->clockOffsetUs) / 1000.0},
                             {QStringLiteral("rtt_ms"), rttMs},
                             {QStringLiteral("error_ms"), error1},
                             {QStringLiteral("error2_ms"), error2}});
}

qint64 sizeOf(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : -1;
}

void showDistribution(LinkRun &run)
{
    QObject::connect(run.f1.get(), &LinkNode::showReady, run.f1.get(), [&run](const QString &p) { run.showPath1 = p; });
    QObject::connect(run.f2.get(), &LinkNode::showReady, run.f2.get(), [&run](const QString &p) { run.showPath2 = p; });
    run.master->publishShow(run.testShow(), QStringLiteral("Opening Night"));
    const bool arrived = waitUntil([&] { return !run.showPath1.isEmpty() && !run.showPath2.isEmpty(); }, 30000);
    QFile file(run.showPath1);
    Show received;
    const bool parsed = file.open(QIODevice::ReadOnly) && readShow(QJsonDocument::fromJson(file.readAll()).object(), received);
    run.folder = QFileInfo(run.showPath1).absolutePath();
    const QList<ShowProgram> programs = received.effectivePrograms();
    const QList<Cue> playlist = programs.isEmpty() ? QList<Cue>() : programs.first().playlist;
    const bool pass = arrived && parsed && playlist.size() == 3
        && playlist.at(0).source == QLatin1String("media/clip.mp4")
        && playlist.at(1).source == QLatin1String("media/clip (2).mp4")
        && sizeOf(run.folder + QStringLiteral("/media/clip.mp4")) == sizeOf(run.path(QStringLiteral("/media/a/clip.mp4")))
        && sizeOf(run.folder + QStringLiteral("/media/clip (2).mp4")) == sizeOf(run.path(QStringLiteral("/media/b/clip.mp4")))
        && QFile::exists(run.folder + QStringLiteral("/media/clip.mp4.sha256"))
        && run.f1->downloadedFiles == 2 && run.f2->downloadedFiles == 2 && run.f1->mediaReady == 2
        && run.f1->mediaTotal == 2;
    run.report.recordResult(QStringLiteral("show_and_media_reach_every_follower_verified"), pass,
                            {{QStringLiteral("f1_downloads"), run.f1->downloadedFiles},
                             {QStringLiteral("folder"), run.folder}});

    const auto allReady = [&run] {
        for (const LinkPeer &peer : run.master->peers()) {
            if (peer.mediaReady != 2 || peer.mediaTotal != 2)
                return false;
        }
        return true;
    };
    waitUntil([&] {
        for (const LinkPeer &peer : run.master->peers()) {
            if (peer.mediaReady != 2)
                return false;
        }
        return true;
    }, 5000);
    // An empty peer list would pass trivially: the followers are still joined, so there are two.
    run.report.recordResult(QStringLiteral("master_sees_follower_media_status"), allReady() && run.peerCount() == 2,
                            {{QStringLiteral("peers"), run.peerCount()}});
}

void republish(LinkRun &run)
{
    QFile::remove(run.folder + QStringLiteral("/media/clip (2).mp4"));
    run.showPath1.clear();
    run.showPath2.clear();
    run.master->publishShow(run.testShow(), QStringLiteral("Opening Night"));
    const bool arrived = waitUntil([&] { return !run.showPath1.isEmpty() && !run.showPath2.isEmpty(); }, 30000);
    const bool pass = arrived && run.f1->downloadedFiles == 3 && run.f2->downloadedFiles == 2
        && sizeOf(run.folder + QStringLiteral("/media/clip (2).mp4")) == sizeOf(run.path(QStringLiteral("/media/b/clip.mp4")));
    run.report.recordResult(QStringLiteral("republish_downloads_only_missing_files"), pass,
                            {{QStringLiteral("f1_downloads"), run.f1->downloadedFiles},
                             {QStringLiteral("f2_downloads"), run.f2->downloadedFiles}});
}

void operatorsSignIn(LinkRun &run)
{
    run.master->setOperators({operatorRecord("Crew", "9071", "operator", {1}), operatorRecord("Guest", "9073", "viewer", {})});
    run.master->commandHandler = [&run](const QJsonObject &command, const QString &name) {
        run.handled.append({command, name});
        return QString();
    };
    run.desk = run.node("Desk", "/crew");
    run.lobby = run.node("Lobby", "/guest");
    run.fake = run.node("Fake", "/intruder");
    run.desk->startControlStation(code, QStringLiteral("crew"), QStringLiteral("9071"), false);
    run.lobby->startControlStation(code, QStringLiteral("Guest"), QStringLiteral("9073"), false);
    run.fake->startControlStation(code, QStringLiteral("Crew"), QStringLiteral("6087"), false);
    run.join(*run.desk);
    run.join(*run.lobby);
    run.join(*run.fake);
    const bool signedIn = waitUntil([&] { return run.desk->welcomed && run.lobby->welcomed; }, 8000);
    waitUntil([&] { return !run.fake->lastError.isEmpty(); }, 4000);
    int stations = 0;
    for (const LinkPeer &peer : run.master->peers())
        stations += peer.role == QLatin1String("control") ? 1 : 0;
    const bool pass = signedIn && stations == 2 && run.master->hasControlStation() && !run.fake->welcomed
        && run.fake->lastError.contains(QLatin1String("PIN"));
    run.report.recordResult(QStringLiteral("operators_sign_in_and_a_wrong_pin_is_refused"), pass,
                            {{QStringLiteral("stations"), stations}, {QStringLiteral("intruder"), run.fake->lastError}});
}

void deskPermissions(LinkRun &run)
{
    QObject::connect(run.desk.get(), &LinkNode::deskReceived, run.desk.get(), [&run](const QJsonObject &d) { run.deskA = d; });
    QObject::connect(run.lobby.get(), &LinkNode::deskReceived, run.lobby.get(), [&run](const QJsonObject &d) { run.deskB = d; });
    QObject::connect(run.f1.get(), &LinkNode::deskReceived, run.f1.get(), [&run] { run.followerGotDesk = true; });
    run.master->sendDesk({{QStringLiteral("master"), QStringLiteral("Main")},
                          {QStringLiteral("programs"), QJsonArray{QJsonObject{{QStringLiteral("id"), 1}},
                                                                  QJsonObject{{QStringLiteral("id"), 2}}}}});
    waitUntil([&] { return !run.deskA.isEmpty() && !run.deskB.isEmpty(); }, 5000);
    const bool pass = run.deskA.value(QLatin1String("level")).toString() == QLatin1String("operator")
        && run.deskA.value(QLatin1String("allowed")).toArray() == QJsonArray{1}
        && run.deskB.value(QLatin1String("level")).toString() == QLatin1String("viewer")
        && run.deskA.value(QLatin1String("programs")).toArray().size() == 2 && !run.followerGotDesk;
    run.report.recordResult(QStringLiteral("desk_carries_each_operator_permission"), pass, {});
}

void commandPermissions(LinkRun &run)
{
    QObject::connect(run.desk.get(), &LinkNode::commandAnswered, run.desk.get(),
                     [&run](const QJsonObject &a) { run.answersA.append(a); });
    QObject::connect(run.lobby.get(), &LinkNode::commandAnswered, run.lobby.get(),
                     [&run](const QJsonObject &a) { run.answersB.append(a); });
    run.desk->sendCommand({{QStringLiteral("action"), QStringLiteral("cut")}, {QStringLiteral("program"), 1}, {QStringLiteral("row"), 0}});
    run.desk->sendCommand({{QStringLiteral("action"), QStringLiteral("black")}, {QStringLiteral("program"), 2}});
    run.lobby->sendCommand({{QStringLiteral("action"), QStringLiteral("black")}, {QStringLiteral("program"), 1}});
    waitUntil([&] { return run.answersA.size() == 2 && run.answersB.size() == 1; }, 5000);
    const auto ok = [](const QList<QJsonObject> &list, int index) {
        return list.value(index).value(QLatin1String("ok")).toBool();
    };
    const bool pass = run.handled.size() == 1 && run.handled.first().second == QLatin1String("Crew")
        && run.handled.first().first.value(QLatin1String("action")).toString() == QLatin1String("cut")
        && run.answersA.size() == 2 && ok(run.answersA, 0) && !ok(run.answersA, 1) && run.answersB.size() == 1
        && !ok(run.answersB, 0);
    run.report.recordResult(QStringLiteral("commands_respect_permissions"), pass,
                            {{QStringLiteral("executed"), int(run.handled.size())},
                             {QStringLiteral("crew_second"), run.answersA.value(1).value(QLatin1String("error")).toString()},
                             {QStringLiteral("guest"), run.answersB.value(0).value(QLatin1String("error")).toString()}});
}

void operatorsChange(LinkRun &run)
{
    run.master->setOperators({operatorRecord("Crew", "9079", "operator", {})});
    const bool out = waitUntil([&] { return !run.desk->welcomed && !run.lobby->welcomed; }, 5000);
    const bool pass = out && run.desk->lastError.contains(QLatin1String("PIN")) && run.f1->welcomed;
    run.report.recordResult(QStringLiteral("changing_a_pin_or_removing_an_operator_signs_the_station_out"), pass,
                            {{QStringLiteral("crew"), run.desk->lastError}, {QStringLiteral("guest"), run.lobby->lastError}});
    run.desk->stop();
    run.lobby->stop();
    run.fake->stop();
}

void discovery(LinkRun &run)
{
    run.listener = run.node("Listener", "/listen");
    run.listener->startFollower(code, true);
    const bool heard = waitUntil([&] {
        for (const LinkPeer &peer : run.listener->peers()) {
            if (peer.name == QLatin1String("Main"))
                return true;
        }
        return false;
    }, 5000);
    const QString note = heard ? QString() : run.listener->lastError;
    run.report.recordResult(QStringLiteral("master_is_discovered_on_the_lan"),
                            heard || run.listener->lastError.contains(QLatin1String("Discovery")),
                            {{QStringLiteral("heard"), heard}, {QStringLiteral("note"), note}});
}

void stopping(LinkRun &run)
{
    run.master->stop();
    const bool out = waitUntil([&] { return !run.f1->welcomed && !run.f2->welcomed; }, 5000);
    run.report.recordResult(QStringLiteral("stopping_master_disconnects_followers"), out, {});
}

} // namespace

int runLinkTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    LinkRun run;
    setUp(run, fixtures);
    macDetectsTampering(run);
    run.master = run.node("Main", "/master");
    run.f1 = run.node("Wall 1", "/f1");
    run.f2 = run.node("Backup", "/f2");
    run.stranger = run.node("Stranger", "/bad");
    startNetwork(run);
    forgedMessages(run);
    clockTracking(run);
    showDistribution(run);
    republish(run);
    operatorsSignIn(run);
    deskPermissions(run);
    commandPermissions(run);
    operatorsChange(run);
    discovery(run);
    stopping(run);
    for (LinkNode *node : {run.listener.get(), run.f1.get(), run.f2.get(), run.stranger.get()}) {
        if (node)
            node->stop();
    }
    const int code = run.report.write(result);
    run.listener.reset();
    run.fake.reset();
    run.lobby.reset();
    run.desk.reset();
    run.stranger.reset();
    run.f2.reset();
    run.f1.reset();
    run.master.reset();
    return code;
}
