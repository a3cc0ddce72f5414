#include "app/MainWindow.h"

#include "link/LinkKeys.h"
#include "link/LinkNode.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSysInfo>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr quint16 linkControlPort = 47810;

} // namespace

QWidget *MainWindow::linkPage()
{
    const QString name = settings->value(QStringLiteral("link/name"), QSysInfo::machineHostName()).toString();
    linkNode = std::make_unique<LinkNode>(name, stateDir);

    auto *page = new QWidget;
    auto *pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(16, 16, 16, 16);
    pageLayout->setSpacing(14);
    pageLayout->addWidget(makeLabel(QStringLiteral("Zelvo Link"), QStringLiteral("heading")));
    QLabel *about = makeLabel(QStringLiteral("Connect several Zelvo Playout machines on the same network: the master sends "
                                             "the show and its media, verified; a backup mirrors it; several PCs play in "
                                             "sync; control stations command it remotely."),
                              QStringLiteral("muted"));
    about->setWordWrap(true);
    pageLayout->addWidget(about);
    auto *panel = new QFrame;
    panel->setObjectName(QStringLiteral("panel"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);

    linkRoleCombo = new QComboBox;
    linkRoleCombo->setObjectName(QStringLiteral("linkRole"));
    linkRoleCombo->addItem(uiText(QStringLiteral("Master (sends the show)")), int(LinkNode::Master));
    linkRoleCombo->addItem(uiText(QStringLiteral("Follower (receives)")), int(LinkNode::Follower));
    linkRoleCombo->addItem(uiText(QStringLiteral("Control station (remote)")), int(LinkNode::ControlStation));
    linkRoleCombo->setCurrentIndex(std::clamp(settings->value(QStringLiteral("link/role"), 0).toInt(), 0, 2));
    linkNameField = new QLineEdit(linkNode->name);
    linkNameField->setObjectName(QStringLiteral("linkName"));
    linkNameField->setMaxLength(60);
    linkCodeField = new QLineEdit(settings->value(QStringLiteral("link/code")).toString());
    linkCodeField->setObjectName(QStringLiteral("linkCode"));
    linkCodeField->setMaxLength(32);
    linkNewCodeButton = button(QStringLiteral("New code"));
    auto *first = new QHBoxLayout;
    first->setSpacing(10);
    first->addWidget(eyebrowOver(QStringLiteral("ROLE"), linkRoleCombo), 2);
    first->addWidget(eyebrowOver(QStringLiteral("MACHINE NAME"), linkNameField), 2);
    first->addWidget(eyebrowOver(QStringLiteral("LINK CODE"), linkCodeField), 2);
    first->addWidget(linkNewCodeButton, 0, Qt::AlignBottom);
    layout->addLayout(first);

    linkAddressField = new QLineEdit(settings->value(QStringLiteral("link/masterAddress")).toString());
    linkAddressField->setObjectName(QStringLiteral("linkAddress"));
    linkAddressField->setPlaceholderText(uiText(QStringLiteral("Master address (optional, found automatically)")));
    linkStartButton = button(QStringLiteral("Start Link"), QStringLiteral("linkStart"));
    linkStopButton = button(QStringLiteral("Stop Link"), QStringLiteral("linkStop"));
    linkSendButton = button(QStringLiteral("Send show to machines"), QStringLiteral("linkSend"));
    linkLoadButton = button(QStringLiteral("Load received show"), QStringLiteral("linkLoad"));
    auto *second = new QHBoxLayout;
    second->setSpacing(10);
    second->addWidget(linkAddressField, 2);
    for (QPushButton *each : {linkStartButton.data(), linkStopButton.data(), linkSendButton.data(), linkLoadButton.data()})
        second->addWidget(each);
    layout->addLayout(second);

    linkModeSection(layout);
    setupRemote(layout);

    linkStatusLabel = new QLabel;
    linkStatusLabel->setObjectName(QStringLiteral("muted"));
    linkStatusLabel->setWordWrap(true);
    layout->addWidget(linkStatusLabel);
    linkPeersTable = new QTableWidget(0, 5);
    linkPeersTable->setObjectName(QStringLiteral("linkPeers"));
    linkPeersTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    linkPeersTable->setSelectionMode(QAbstractItemView::NoSelection);
    linkPeersTable->verticalHeader()->hide();
    linkPeersTable->setShowGrid(false);
    linkPeersTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    linkPeersTable->setMinimumHeight(170);
    layout->addWidget(linkPeersTable);
    pageLayout->addWidget(panel);
    QLabel *hint = makeLabel(QStringLiteral("Use the same Link code on every machine. Machines must be on the same wired "
                                            "network; the firewall may ask to allow network access the first time "
                                            "(TCP 47810–47811, UDP 47800)."),
                             QStringLiteral("muted"));
    hint->setWordWrap(true);
    pageLayout->addWidget(hint);
    pageLayout->addStretch(1);

    connect(linkRoleCombo, &QComboBox::currentIndexChanged, this, [this] { refreshLinkPage(); });
    connect(linkNewCodeButton, &QPushButton::clicked, this, [this] { linkCodeField->setText(generateLinkCode()); });
    connect(linkStartButton, &QPushButton::clicked, this, [this] { startLink(); });
    connect(linkStopButton, &QPushButton::clicked, this, [this] {
        linkNode->stop();
        refreshLinkPage();
    });
    connect(linkSendButton, &QPushButton::clicked, this, [this] { distributeShow(); });
    connect(linkLoadButton, &QPushButton::clicked, this, [this] { loadShowFromMaster(); });
    connect(linkNode.get(), &LinkNode::changed, this, [this] { refreshLinkPage(); });
    connect(linkNode.get(), &LinkNode::showReady, this, [this] {
        setStatus(QStringLiteral("Show received from the master. Load it in Outputs → Zelvo Link."));
        refreshLinkPage();
    });
    auto *refresher = new QTimer(page);
    refresher->setInterval(1000);
    connect(refresher, &QTimer::timeout, this, [this] {
        if (linkNode && linkNode->mode != LinkNode::Stopped)
            refreshLinkPage();
    });
    refresher->start();
    refreshLinkPage();
    if (qEnvironmentVariableIsSet("ZELVO_LINK_TEST_DRIVE"))
        QTimer::singleShot(0, this, [this] { startLinkTestDrive(); });
    return page;
}

bool MainWindow::startLink()
{
    if (sampleContent) {
        setStatus(QStringLiteral("Layout preview — sample content"));
        return false;
    }
    const QString code = linkCodeField->text().trimmed();
    if (code.size() < 6) {
        setStatus(QStringLiteral("Enter a Link code with at least 6 characters (the same on every machine)."));
        return false;
    }
    const int role = linkRoleCombo->currentData().toInt();
    if (role == LinkNode::ControlStation
        && (linkOperatorField->text().trimmed().isEmpty() || linkPinField->text().trimmed().isEmpty())) {
        setStatus(QStringLiteral("Enter the operator name and PIN given by the playout machine."));
        return false;
    }
    const QString typedName = linkNameField->text().trimmed();
    linkNode->name = typedName.isEmpty() ? QSysInfo::machineHostName() : typedName;
    const QString address = linkAddressField->text().trimmed();
    settings->setValue(QStringLiteral("link/role"), linkRoleCombo->currentIndex());
    settings->setValue(QStringLiteral("link/operator"), linkOperatorField->text().trimmed());
    settings->setValue(QStringLiteral("link/name"), linkNode->name);
    settings->setValue(QStringLiteral("link/code"), code);
    settings->setValue(QStringLiteral("link/masterAddress"), address);
    bool started = false;
    if (role == LinkNode::Master)
        started = linkNode->startMaster(code, linkControlPort);
    else if (role == LinkNode::ControlStation)
        started = linkNode->startControlStation(code, linkOperatorField->text(), linkPinField->text(), true);
    else
        started = linkNode->startFollower(code, true);
    if (started && role == LinkNode::Master)
        linkNode->setOperators(operatorsJson());
    else if (started && !address.isEmpty())
        linkNode->connectToMaster(address, linkControlPort);
    if (!started)
        setStatusRaw(uiText(QStringLiteral("Zelvo Link could not start")) + QStringLiteral(": ") + linkNode->lastError);
    refreshLinkPage();
    return started;
}

void MainWindow::distributeShow()
{
    storeSelectedPlaylist();
    const QString name = showPath.isEmpty() ? uiText(QStringLiteral("Untitled show")) : QFileInfo(showPath).completeBaseName();
    linkNode->publishShow(currentShow(), name);
    refreshLinkPage();
}

bool MainWindow::loadShowFromMaster()
{
    if (!linkNode || linkNode->receivedShowPath.isEmpty() || sampleContent)
        return false;
    if (modified
        && QMessageBox::question(this, uiText(QStringLiteral("Unsaved show")),
                                 uiText(QStringLiteral("Open another show without saving?")),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return false;
    const bool opened = openShowFile(linkNode->receivedShowPath);
    setStatus(opened ? QStringLiteral("Show from the master loaded") : QStringLiteral("Could not open show"));
    return opened;
}

void MainWindow::refreshLinkPage()
{
    if (!linkNode || !linkRoleCombo)
        return;
    const int mode = linkNode->mode;
    const bool stopped = mode == LinkNode::Stopped;
    const int role = stopped ? linkRoleCombo->currentData().toInt() : mode;
    linkStartButton->setEnabled(stopped);
    linkStopButton->setEnabled(!stopped);
    for (QWidget *field : {static_cast<QWidget *>(linkRoleCombo.data()), static_cast<QWidget *>(linkNameField.data()),
                           static_cast<QWidget *>(linkCodeField.data()), static_cast<QWidget *>(linkNewCodeButton.data())})
        field->setEnabled(stopped);
    linkAddressField->setEnabled(stopped);
    linkAddressField->setVisible(role != LinkNode::Master);
    linkSendButton->setEnabled(!stopped && !linkNode->preparing);
    linkSendButton->setVisible(role == LinkNode::Master);
    linkLoadButton->setEnabled(!linkNode->receivedShowPath.isEmpty());
    linkLoadButton->setVisible(role == LinkNode::Follower);
    linkMirrorBox->setVisible(role == LinkNode::Follower);
    linkSyncBox->setVisible(role == LinkNode::Master);
    linkOperatorsSection->setVisible(role == LinkNode::Master);
    linkSignInRow->setVisible(role == LinkNode::ControlStation);
    linkSignInRow->setEnabled(stopped);
    remoteDeskFrame->setVisible(role == LinkNode::ControlStation && !stopped && linkNode->welcomed);

    const QLocale locale(language == QStringLiteral("pt-BR") ? QLocale(QLocale::Portuguese, QLocale::Brazil)
                                                              : QLocale(QLocale::English, QLocale::UnitedStates));
    QStringList parts;
    if (stopped) {
        parts << (linkNode->lastError.isEmpty()
                      ? uiText(QStringLiteral("Off. Nothing is listening on the network."))
                      : uiText(QStringLiteral("Zelvo Link could not start")) + QStringLiteral(": ") + linkNode->lastError);
    } else if (mode == LinkNode::Master) {
        parts << uiText(QStringLiteral("Master · %1 machines connected")).arg(linkNode->peers().size());
        if (linkNode->preparing)
            parts << uiText(QStringLiteral("preparing media list…"));
        else if (!linkNode->publishedShow.isEmpty())
            parts << uiText(QStringLiteral("show sent: %1 (%2 media files)"))
                         .arg(linkNode->publishedShow.value(QStringLiteral("name")).toString())
                         .arg(linkNode->publishedShow.value(QStringLiteral("media")).toArray().size());
    } else if (mode == LinkNode::ControlStation) {
        if (linkNode->welcomed) {
            parts << uiText(QStringLiteral("Control station · connected to %1 as %2")).arg(linkNode->masterName, linkNode->operatorName);
        } else {
            parts << uiText(QStringLiteral("Control station · looking for the master…"));
            if (!linkNode->lastError.isEmpty())
                parts << uiText(linkNode->lastError);
        }
    } else if (linkNode->welcomed) {
        parts << uiText(QStringLiteral("Follower · connected to %1 · clock offset %2 ms (round trip %3 ms)"))
                     .arg(linkNode->masterName, locale.toString(linkNode->clockOffsetUs / 1000.0, 'f', 2),
                          locale.toString(linkNode->clockRttUs / 1000.0, 'f', 2));
        if (linkNode->mediaTotal >= 1)
            parts << uiText(QStringLiteral("media %1 / %2")).arg(linkNode->mediaReady).arg(linkNode->mediaTotal);
        const QString mirror = mirrorStatusText();
        if (!mirror.isEmpty())
            parts << mirror;
        if (linkNode->bytesReceived < linkNode->bytesToFetch && linkNode->mediaReady < linkNode->mediaTotal)
            parts << QStringLiteral("%1 / %2").arg(mediaSizeText(double(linkNode->bytesReceived)),
                                                   mediaSizeText(double(linkNode->bytesToFetch)));
    } else {
        parts << uiText(QStringLiteral("Follower · looking for the master…"));
        if (!linkNode->lastError.isEmpty())
            parts << linkNode->lastError;
    }
    linkStatusLabel->setText(parts.join(QStringLiteral(" · ")));
    refreshLinkPeers();
}

void MainWindow::refreshLinkPeers()
{
    const QLocale locale(language == QStringLiteral("pt-BR") ? QLocale(QLocale::Portuguese, QLocale::Brazil)
                                                              : QLocale(QLocale::English, QLocale::UnitedStates));
    linkPeersTable->setHorizontalHeaderLabels({uiText(QStringLiteral("Machine")), uiText(QStringLiteral("Address")),
                                               uiText(QStringLiteral("Status")), uiText(QStringLiteral("Clock")),
                                               uiText(QStringLiteral("Media"))});
    const QList<LinkPeer> peers = linkNode->peers();
    linkPeersTable->setRowCount(int(peers.size()));
    for (int row = 0; row < peers.size(); ++row) {
        const LinkPeer &peer = peers[row];
        QString status;
        QString clock = QStringLiteral("—");
        if (peer.role == QStringLiteral("master")) {
            status = uiText(QStringLiteral("Master on the network"));
            if (!peer.show.isEmpty())
                status += QStringLiteral(" · ") + peer.show;
        } else {
            if (peer.role == QStringLiteral("control"))
                status = uiText(QStringLiteral("Remote control · %1")).arg(peer.operatorName);
            else if (peer.syncMs >= 0)
                status = uiText(QStringLiteral("Mirroring · ±%1 ms")).arg(qint64(std::round(peer.syncMs)));
            else
                status = uiText(QStringLiteral("Connected"));
            clock = uiText(QStringLiteral("%1 ms (round trip %2 ms)"))
                        .arg(locale.toString(double(peer.offsetMs), 'f', 2), locale.toString(double(peer.rttMs), 'f', 2));
        }
        const QStringList cells{peer.name, peer.address, status, clock,
                                peer.mediaTotal < 1 ? QStringLiteral("—")
                                                    : QStringLiteral("%1 / %2").arg(peer.mediaReady).arg(peer.mediaTotal)};
        for (int column = 0; column < cells.size(); ++column) {
            QTableWidgetItem *item = linkPeersTable->item(row, column);
            if (!item)
                linkPeersTable->setItem(row, column, item = new QTableWidgetItem);
            if (item->text() != cells[column])
                item->setText(cells[column]);
        }
    }
}

// Texts the page sets itself (combo items, placeholders, table headers, state lines) follow a
// language change here; fixed labels and buttons follow through the window's remembered texts.
void MainWindow::retranslateLinkPage()
{
    if (!linkRoleCombo)
        return;
    const char *roles[] = {"Master (sends the show)", "Follower (receives)", "Control station (remote)"};
    for (int i = 0; i < 3 && i < linkRoleCombo->count(); ++i)
        linkRoleCombo->setItemText(i, uiText(QString::fromLatin1(roles[i])));
    linkAddressField->setPlaceholderText(uiText(QStringLiteral("Master address (optional, found automatically)")));
    for (int row = 0; row < linkOperatorsTable->rowCount(); ++row)
        if (auto *level = qobject_cast<QComboBox *>(linkOperatorsTable->cellWidget(row, 2))) {
            level->setItemText(0, uiText(QStringLiteral("Operator (controls)")));
            level->setItemText(1, uiText(QStringLiteral("Viewer (watch only)")));
        }
    saveOperators(false);
    for (const RemotePanel &panel : std::as_const(remotePanels))
        if (panel.play)
            panel.play->setText(uiText(panel.play->property("playing").toBool() ? QStringLiteral("PAUSE") : QStringLiteral("PLAY")));
    refreshLinkPage();
}
