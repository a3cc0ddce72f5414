#include "app/MainWindow.h"

#include "link/LinkMirrorCorrection.h"
#include "link/LinkNode.h"
#include "link/LinkSyncedTake.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLayout>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <QVideoFrame>

#include <chrono>

#include <cmath>

namespace {

constexpr qint64 syncTakeLeadUs = 400000;
constexpr qint64 takeHoldMs = 700;

// The base of every cue read from the master: end of media, cut, 300 ms transition.
Cue masterCue(const QJsonValue &value, bool &ok)
{
    Cue cue;
    cue.source.clear();
    cue.in_ms = 0;
    cue.out_ms = -1;
    cue.transition = 0;
    cue.transition_ms = 300;
    cue.enter_ms = 0;
    cue.exit_ms = 0;
    ok = readCue(value, cue, false);
    return cue;
}

quint64 readSerial(const QJsonValue &value)
{
    return quint64(value.toDouble());
}

} // namespace

void MainWindow::linkModeSection(QVBoxLayout *layout)
{
    linkMirrorBox = new QCheckBox(uiText(QStringLiteral(
        "Mirror the master (backup): repeat every take, pause, black and position")));
    linkMirrorBox->setObjectName(QStringLiteral("linkMirror"));
    registerTranslatable(linkMirrorBox, QStringLiteral(
        "Mirror the master (backup): repeat every take, pause, black and position"));
    linkMirrorBox->setChecked(settings->value(QStringLiteral("link/mirror"), false).toBool());
    const QString syncText = QStringLiteral("Synchronized takes (several PCs playing together): every machine switches "
                                            "at the same instant; CUT/FADE wait 0.4 s");
    linkSyncBox = new QCheckBox(uiText(syncText));
    linkSyncBox->setObjectName(QStringLiteral("linkSync"));
    registerTranslatable(linkSyncBox, syncText);
    linkSyncBox->setChecked(settings->value(QStringLiteral("link/sync"), false).toBool());
    layout->addWidget(linkMirrorBox);
    layout->addWidget(linkSyncBox);

    connect(linkMirrorBox, &QCheckBox::toggled, this, [this](bool checked) {
        if (!sampleContent)
            settings->setValue(QStringLiteral("link/mirror"), checked);
        mirrorAppliedSerials.clear();
        mirrorCorrections = 0;
        updateMasterLostAlarm();
        refreshLinkPage();
    });
    connect(linkSyncBox, &QCheckBox::toggled, this, [this](bool checked) {
        if (!sampleContent)
            settings->setValue(QStringLiteral("link/sync"), checked);
        refreshLinkPage();
    });
    auto *timer = new QTimer(this);
    timer->setInterval(100);
    connect(timer, &QTimer::timeout, this, [this] {
        if (linkNode && linkNode->mode == LinkNode::Master && !linkNode->publishedShow.isEmpty()
            && !linkNode->peers().isEmpty())
            linkNode->sendState(masterMirrorState());
        updateMasterLostAlarm();
    });
    timer->start();
    linkStateTimer = timer;
    connect(linkNode.get(), &LinkNode::stateReceived, this, &MainWindow::applyMirrorState);
    connect(linkNode.get(), &LinkNode::takeReceived, this, &MainWindow::applyMasterTake);

    if (masterLostBanner && !masterLostBanner->findChild<QPushButton *>(QStringLiteral("takeOver"))) {
        QPushButton *takeOver = button(QStringLiteral("Take over as master"), QStringLiteral("takeOver"));
        masterLostBanner->layout()->addWidget(takeOver);
        connect(takeOver, &QPushButton::clicked, this, [this] { takeOverAsMaster(); });
    }
}

QJsonObject MainWindow::masterMirrorState()
{
    QJsonArray entries;
    for (int i = 0; i < programs.size(); ++i) {
        NativeChannel *deck = channel(i);
        if (!deck)
            continue;
        QJsonObject entry{{QStringLiteral("id"), programs[i].id},
                          {QStringLiteral("playing"), deck->isPlaying()},
                          {QStringLiteral("pending"), deck->isPreparing() && deck->takeWhenReady()},
                          {QStringLiteral("positionMs"), double(deck->positionMs())},
                          {QStringLiteral("serial"), double(deck->activeGeneration())},
                          {QStringLiteral("loop"), deck->looping()}};
        const QString source = deck->source();
        QString media;
        if (!source.isEmpty()) {
            media = linkNode->publishedFiles.value(QFileInfo(source).absoluteFilePath());
            entry.insert(QStringLiteral("unpublished"), media.isEmpty());
            if (deck->activeSlot() >= 0) {
                const QJsonObject full = jsonFromCue(deck->slot(deck->activeSlot()).cue);
                QJsonObject cue;
                for (const char *key : {"in_ms", "out_ms", "transition", "transition_ms", "enter_ms", "exit_ms"})
                    cue.insert(QLatin1String(key), full.value(QLatin1String(key)));
                cue.insert(QStringLiteral("source"), media);
                entry.insert(QStringLiteral("cue"), cue);
            }
        }
        entry.insert(QStringLiteral("media"), media);
        entries.append(entry);
    }
    return {{QStringLiteral("revision"), linkNode->revision},
            {QStringLiteral("sampleUs"), double(linkNode->clockUs())},
            {QStringLiteral("sync"), syncedTakesActive()},
            {QStringLiteral("programs"), entries}};
}

// The received show must be the open one, and of the revision the master now plays.
static bool receivedShowIsOpen(const LinkNode &node, const QString &openPath)
{
    return !node.receivedShowPath.isEmpty() && QDir::cleanPath(node.receivedShowPath) == QDir::cleanPath(openPath);
}

void MainWindow::applyMirrorState(const QJsonObject &state)
{
    if (!linkMirrorBox || !linkMirrorBox->isChecked() || !linkNode || linkNode->mode != LinkNode::Follower)
        return;
    if (!mirrorClock.isValid())
        mirrorClock.start();
    if (!receivedShowIsOpen(*linkNode, showPath)
        || state.value(QStringLiteral("revision")).toInt() != linkNode->receivedRevision) {
        mirrorProblem = QStringLiteral("Load the show received from the master to mirror it.");
        return;
    }
    mirrorProblem.clear();
    const qint64 ageMs = (linkNode->masterClockUs() - qint64(state.value(QStringLiteral("sampleUs")).toDouble())) / 1000;
    const bool sync = state.value(QStringLiteral("sync")).toBool();
    const qint64 now = mirrorClock.elapsed();
    for (const QJsonValue &value : state.value(QStringLiteral("programs")).toArray()) {
        const QJsonObject entry = value.toObject();
        const int id = entry.value(QStringLiteral("id")).toInt();
        const int index = programIndexOfId(id);
        NativeChannel *deck = channel(index);
        PlaylistController *order = controller(index);
        if (index < 0 || !deck || !order || now < mirrorHoldUntil.value(id, -1))
            continue;
        if (order->autoAdvance) {
            order->setAutoAdvance(false);
            if (order->nextPrepared) {
                order->nextPrepared = false;
                deck->cancelPreparation();
            }
        }
        const bool loop = entry.value(QStringLiteral("loop")).toBool();
        if (deck->looping() != loop)
            deck->setLooping(loop);
        const QString media = entry.value(QStringLiteral("media")).toString();
        if (media.isEmpty()) {
            if (entry.value(QStringLiteral("unpublished")).toBool()) {
                mirrorProblem = QStringLiteral("The master plays media that was not sent to this machine.");
                continue;
            }
            if (!deck->source().isEmpty() || (deck->isPreparing() && deck->takeWhenReady())) {
                order->current = -1;
                order->nextPrepared = false;
                deck->clear();
            }
            mirrorAppliedSerials.remove(id);
            continue;
        }
        // Names from the master reach the disk only through the node's manifest check.
        const QString localPath = linkNode->receivedMediaPath(media);
        if (localPath.isEmpty()) {
            mirrorProblem = QStringLiteral("The master plays media that was not sent to this machine.");
            continue;
        }
        const quint64 serial = readSerial(entry.value(QStringLiteral("serial")));
        if (serial != mirrorAppliedSerials.value(id, 0)) {
            bool ok = false;
            Cue cue = masterCue(entry.value(QStringLiteral("cue")), ok);
            if (!ok)
                continue;
            cue.source = localPath;
            mirrorAppliedSerials.insert(id, serial);
            mirrorLastSeek.insert(id, now);
            deck->cancelPreparation();
            deck->load(cue, true);
            continue;
        }
        const bool pending = (deck->isPreparing() && deck->takeWhenReady()) || entry.value(QStringLiteral("pending")).toBool();
        if (pending)
            continue;
        const bool playing = entry.value(QStringLiteral("playing")).toBool();
        if (playing != deck->isPlaying()) {
            deck->setPlaybackRate(1.0);
            deck->togglePlayback();
            continue;
        }
        const qint64 expected = (playing ? ageMs : 0) + qint64(entry.value(QStringLiteral("positionMs")).toDouble());
        qint64 error = deck->positionMs() - expected;
        if (deck->looping() && deck->activeSlot() >= 0) {
            const Cue &active = deck->slot(deck->activeSlot()).cue;
            const qint64 span = (active.out_ms >= 0 ? active.out_ms : deck->durationMs()) - active.in_ms;
            error = LinkMirrorCorrection::foldError(error, span);
        }
        mirrorLastErrorMs = double(error);
        linkNode->syncMs = double(std::llabs(error));
        const auto action = LinkMirrorCorrection::decide(error, sync && playing, now - mirrorLastSeek.value(id, -100000));
        if (deck->playbackRate() != action.rate)
            deck->setPlaybackRate(action.rate);
        if (action.seek) {
            const qint64 target = deck->positionMs() - error;
            deck->seek(target < 1 ? 0 : target);
            mirrorLastSeek.insert(id, now);
            ++mirrorCorrections;
        }
    }
}

void MainWindow::applyMasterTake(const QJsonObject &take)
{
    if (!linkMirrorBox || !linkMirrorBox->isChecked() || !linkNode || linkNode->mode != LinkNode::Follower
        || !receivedShowIsOpen(*linkNode, showPath))
        return;
    const int id = take.value(QStringLiteral("id")).toInt();
    const int index = programIndexOfId(id);
    NativeChannel *deck = channel(index);
    if (index < 0 || !deck)
        return;
    bool ok = false;
    Cue cue = masterCue(take.value(QStringLiteral("cue")), ok);
    if (!ok)
        return;
    const QString localPath = linkNode->receivedMediaPath(cue.source);
    if (localPath.isEmpty()) {
        mirrorProblem = QStringLiteral("The master plays media that was not sent to this machine.");
        return;
    }
    if (!mirrorClock.isValid())
        mirrorClock.start();
    cue.source = localPath;
    mirrorAppliedSerials.insert(id, readSerial(take.value(QStringLiteral("serial"))));
    const qint64 nowUs = linkNode->clockUs();
    const qint64 localAtUs = nowUs + qint64(take.value(QStringLiteral("atUs")).toDouble()) - linkNode->masterClockUs();
    const qint64 msUntil = (localAtUs - nowUs) / 1000;
    mirrorHoldUntil.insert(id, mirrorClock.elapsed() + std::max<qint64>(msUntil, 0) + takeHoldMs);
    deck->cancelPreparation();
    deck->prepare(cue);
    armSyncedTake(deck, localAtUs);
}

void MainWindow::armSyncedTake(NativeChannel *deck, qint64 atUs)
{
    LinkSyncedTake *armed = LinkSyncedTake::schedule(this, deck, atUs, [this] { return linkClockUs(); });
    connect(armed, &LinkSyncedTake::finished, this, [this](bool taken, qint64 latenessUs) {
        ++syncTakesFinished;
        lastSyncTakeTaken = taken;
        lastSyncTakeLatenessUs = latenessUs;
    });
}

bool MainWindow::syncedTakesActive()
{
    return linkSyncBox && linkSyncBox->isChecked() && linkNode && linkNode->mode == LinkNode::Master
        && !linkNode->peers().isEmpty() && linkNode->revision > 0;
}

bool MainWindow::takeSelectedCue(bool fade)
{
    storeSelectedPlaylist();
    const int fadeMs = std::clamp(settings->value(QStringLiteral("manualFadeMs"), 300).toInt(), 1, 10000);
    return takeCue(selectedProgramIndex, selectedCueRow, fade, fadeMs);
}

bool MainWindow::takeCue(int programIndex, int row, bool fade, int fadeMs)
{
    if (programIndex < 0 || programIndex >= programs.size() || !linkNode)
        return false;
    const QList<Cue> &items = programs[programIndex].playlist;
    NativeChannel *deck = channel(programIndex);
    PlaylistController *order = controller(programIndex);
    if (row < 0 || row >= items.size() || !deck || !order)
        return false;
    Cue cue = items[row];
    cue.transition = fade ? 1 : 0;
    cue.transition_ms = fade ? fadeMs : 0;
    cue.enter_ms = fade ? fadeMs : 0;
    const QString published = linkNode->publishedFiles.value(QFileInfo(cue.source).absoluteFilePath());
    if (published.isEmpty()) {
        setStatus(QStringLiteral("This media was not sent to the other machines. Send the show again to take it in sync."));
        return false;
    }
    order->items = items;
    order->current = -1;
    order->pending = row;
    order->nextPrepared = false;
    order->failed = false;
    deck->cancelPreparation();
    deck->prepare(cue);
    const qint64 atUs = linkClockUs() + syncTakeLeadUs;
    QJsonObject wireCue = jsonFromCue(cue);
    wireCue.insert(QStringLiteral("source"), published);
    linkNode->sendTake({{QStringLiteral("id"), programs[programIndex].id},
                        {QStringLiteral("cue"), wireCue},
                        {QStringLiteral("serial"), double(deck->requestGeneration())},
                        {QStringLiteral("atUs"), double(atUs)}});
    armSyncedTake(deck, atUs);
    return true;
}

QString MainWindow::mirrorStatusText() const
{
    if (!linkMirrorBox || !linkMirrorBox->isChecked() || !linkNode || linkNode->mode != LinkNode::Follower)
        return {};
    if (!mirrorProblem.isEmpty())
        return uiText(mirrorProblem);
    return uiText(QStringLiteral("mirroring · position error %1 ms · corrections %2"))
        .arg(qint64(std::round(mirrorLastErrorMs)))
        .arg(mirrorCorrections);
}

void MainWindow::updateMasterLostAlarm()
{
    bool lost = false;
    if (linkMirrorBox && linkMirrorBox->isChecked() && linkNode && linkNode->mode == LinkNode::Follower
        && !linkNode->receivedShowPath.isEmpty()) {
        lost = !linkNode->welcomed || linkNode->lastMasterMessageMs < 0
            || linkNode->clock.elapsed() < linkNode->lastMasterMessageMs || linkNode->msSinceMasterMessage() > 1500;
    }
    if (lost != masterLostActive) {
        masterLostActive = lost;
        if (lost)
            setStatus(QStringLiteral("MASTER LOST — this machine keeps playing on its own."));
    }
    if (!masterLostBanner)
        return;
    masterLostBanner->setVisible(masterLostActive);
}

bool MainWindow::takeOverAsMaster()
{
    if (!linkNode || sampleContent)
        return false;
    const bool wasMirroring = linkMirrorBox && linkMirrorBox->isChecked() && linkNode->mode == LinkNode::Follower;
    if (linkCodeField && linkCodeField->text().trimmed().size() < 6)
        linkCodeField->setText(linkNode->code);
    linkNode->stop();
    if (linkRoleCombo)
        linkRoleCombo->setCurrentIndex(0);
    masterLostActive = false;
    updateMasterLostAlarm();
    const bool started = startLink();
    if (started && wasMirroring) {
        storeSelectedPlaylist();
        linkNode->publishShow(currentShow(), QFileInfo(showPath).completeBaseName());
    }
    if (started)
        setStatus(QStringLiteral("This machine is now the master."));
    else
        setStatusRaw(uiText(QStringLiteral("Zelvo Link could not start")) + QStringLiteral(": ") + linkNode->lastError);
    return started;
}

// Test seam for runs of several real processes, which have no operator: ZELVO_LINK_TEST_DRIVE
// starts Link with the stored settings; a master loads the ':'-separated media of
// ZELVO_LINK_TEST_MEDIA and sends its show as soon as a follower has joined; a follower loads a
// show that arrived complete and mirrors it. ZELVO_LINK_FRAME_TRACE names a file that receives one
// line per frame Program A publishes: monotonic time (us), the frame's start time (us) and the
// source file name.
void MainWindow::startLinkTestDrive()
{
    const QString tracePath = qEnvironmentVariable("ZELVO_LINK_FRAME_TRACE");
    auto trace = std::make_shared<QFile>(tracePath);
    if (!tracePath.isEmpty() && trace->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        NativeChannel *deck = channel(0);
        connect(deck, &NativeChannel::frameReady, this, [deck, trace](const QVideoFrame &frame) {
            const qint64 nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
            trace->write(QStringLiteral("%1 %2 %3\n").arg(nowUs).arg(frame.startTime()).arg(QFileInfo(deck->source()).fileName()).toUtf8());
        });
        connect(linkNode.get(), &LinkNode::showReady, this, [trace](const QString &, int missing, int failed) {
            trace->write(QStringLiteral("# show %1 %2\n").arg(missing).arg(failed).toUtf8());
        });
    }
    const QStringList media = qEnvironmentVariable("ZELVO_LINK_TEST_MEDIA").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (!media.isEmpty()) {
        addMedia(media, -2);
        modified = false;
    }
    connect(linkNode.get(), &LinkNode::showReady, this, [this, trace](const QString &, int missing, int failed) {
        if (missing != 0 || failed != 0 || !loadShowFromMaster())
            return;
        linkMirrorBox->setChecked(true);
        if (trace->isOpen())
            trace->write("# loaded\n");
    });
    auto *publisher = new QTimer(this);
    publisher->setInterval(250);
    connect(publisher, &QTimer::timeout, this, [this] {
        if (linkNode->mode != LinkNode::Master || linkNode->preparing || linkNode->revision > 0)
            return;
        for (const LinkPeer &peer : linkNode->peers())
            if (peer.role == QStringLiteral("follower")) {
                distributeShow();
                return;
            }
    });
    publisher->start();
    if (!startLink())
        qWarning().noquote() << "link: test drive could not start:" << statusText();
}
