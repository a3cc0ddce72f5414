#include "app/MainWindow.h"

#include "link/LinkNode.h"
#include "link/LinkOperators.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

void MainWindow::setupRemote(QVBoxLayout *layout)
{
    linkSignInRow = new QWidget;
    auto *signIn = new QHBoxLayout(linkSignInRow);
    signIn->setContentsMargins(0, 0, 0, 0);
    signIn->setSpacing(10);
    linkOperatorField = new QLineEdit(settings->value(QStringLiteral("link/operator")).toString());
    linkOperatorField->setObjectName(QStringLiteral("linkOperator"));
    linkOperatorField->setMaxLength(40);
    linkPinField = new QLineEdit;
    linkPinField->setObjectName(QStringLiteral("linkPin"));
    linkPinField->setEchoMode(QLineEdit::Password);
    linkPinField->setMaxLength(32);
    signIn->addWidget(eyebrowOver(QStringLiteral("OPERATOR"), linkOperatorField));
    signIn->addWidget(eyebrowOver(QStringLiteral("PIN"), linkPinField));
    layout->addWidget(linkSignInRow);

    // Operators of a master.
    auto *section = new QFrame;
    section->setObjectName(QStringLiteral("linkOperatorsSection"));
    linkOperatorsSection = section;
    auto *sectionLayout = new QVBoxLayout(section);
    sectionLayout->setContentsMargins(0, 0, 0, 0);
    sectionLayout->setSpacing(8);
    auto *header = new QHBoxLayout;
    header->addWidget(makeLabel(QStringLiteral("REMOTE OPERATORS"), QStringLiteral("eyebrow")), 1);
    QPushButton *add = button(QStringLiteral("Add operator"), QStringLiteral("addOperator"));
    QPushButton *remove = button(QStringLiteral("Remove operator"), QStringLiteral("removeOperator"));
    header->addWidget(add);
    header->addWidget(remove);
    sectionLayout->addLayout(header);
    linkOperatorsTable = new QTableWidget(0, 4);
    linkOperatorsTable->setObjectName(QStringLiteral("linkOperators"));
    linkOperatorsTable->verticalHeader()->hide();
    linkOperatorsTable->setShowGrid(false);
    linkOperatorsTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    linkOperatorsTable->setMinimumHeight(120);
    // Rows tall enough for the permission box and the Programs button they hold.
    linkOperatorsTable->verticalHeader()->setDefaultSectionSize(42);
    sectionLayout->addWidget(linkOperatorsTable);
    QLabel *note = makeLabel(QStringLiteral("Control stations sign in with the Link code plus an operator name and PIN. "
                                            "Operators command their Programs; viewers only watch. Every remote "
                                            "command is logged."),
                             QStringLiteral("muted"));
    note->setWordWrap(true);
    sectionLayout->addWidget(note);
    layout->addWidget(section);
    connect(add, &QPushButton::clicked, this, [this] { newOperatorEntry(); });
    connect(remove, &QPushButton::clicked, this, [this] {
        const int rows = linkOperatorsTable->rowCount();
        if (rows == 0)
            return;
        const int row = linkOperatorsTable->currentRow();
        linkOperatorsTable->removeRow(row >= 0 ? row : rows - 1);
        saveOperators(true);
    });
    connect(linkOperatorsTable, &QTableWidget::itemChanged, this, [this] { saveOperators(true); });

    // Remote desk of a control station.
    remoteDeskFrame = new QFrame;
    remoteDeskFrame->setObjectName(QStringLiteral("remoteDesk"));
    auto *desk = new QVBoxLayout(remoteDeskFrame);
    desk->setContentsMargins(0, 0, 0, 0);
    desk->setSpacing(8);
    auto *deskHeader = new QHBoxLayout;
    deskHeader->addWidget(makeLabel(QStringLiteral("REMOTE DESK"), QStringLiteral("eyebrow")));
    remoteDeskInfo = new QLabel;
    remoteDeskInfo->setObjectName(QStringLiteral("muted"));
    deskHeader->addWidget(remoteDeskInfo, 1);
    deskHeader->addWidget(makeLabel(QStringLiteral("Fade duration"), QStringLiteral("muted")));
    remoteFadeBox = new QSpinBox;
    remoteFadeBox->setObjectName(QStringLiteral("remoteFade"));
    remoteFadeBox->setRange(1, 10000);
    remoteFadeBox->setSingleStep(50);
    remoteFadeBox->setSuffix(QStringLiteral(" ms"));
    remoteFadeBox->setValue(300);
    deskHeader->addWidget(remoteFadeBox);
    desk->addLayout(deskHeader);
    remoteGrid = new QGridLayout;
    remoteGrid->setSpacing(10);
    desk->addLayout(remoteGrid);
    remoteDeskFrame->hide();
    layout->addWidget(remoteDeskFrame);

    populateOperators();
    linkNode->commandHandler = [this](const QJsonObject &command, const QString &name) {
        return executeRemoteCommand(command, name);
    };
    connect(linkNode.get(), &LinkNode::deskReceived, this, &MainWindow::applyRemoteDesk);
    connect(linkNode.get(), &LinkNode::commandAnswered, this, &MainWindow::remoteCommandAnswered);
    auto *deskTimer = new QTimer(this);
    deskTimer->setInterval(250);
    connect(deskTimer, &QTimer::timeout, this, [this] {
        if (linkNode && linkNode->mode == LinkNode::Master && linkNode->hasControlStation())
            linkNode->sendDesk(remoteDeskState());
    });
    deskTimer->start();
}

void MainWindow::populateOperators()
{
    if (!linkOperatorsTable)
        return;
    linkOperatorsTable->setRowCount(0);
    QJsonArray records = QJsonDocument::fromJson(settings->value(QStringLiteral("link/operators")).toByteArray()).array();
    if (sampleContent && records.isEmpty()) {
        records.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("Marta")},
                                   {QStringLiteral("pin"), QStringLiteral("730146")},
                                   {QStringLiteral("level"), QStringLiteral("operator")},
                                   {QStringLiteral("programs"), QJsonArray{1}}});
        records.append(QJsonObject{{QStringLiteral("name"), uiText(QStringLiteral("Lobby screen"))},
                                   {QStringLiteral("pin"), QStringLiteral("268405")},
                                   {QStringLiteral("level"), QStringLiteral("viewer")},
                                   {QStringLiteral("programs"), QJsonArray{}}});
    }
    for (const QJsonValue &record : records)
        addOperatorRow(record.toObject());
    saveOperators(false);
}

void MainWindow::addOperatorRow(const QJsonObject &record)
{
    const bool wasBuilding = operatorRowsBuilding;
    operatorRowsBuilding = true;
    const int row = linkOperatorsTable->rowCount();
    linkOperatorsTable->insertRow(row);
    linkOperatorsTable->setItem(row, 0, new QTableWidgetItem(record.value(QStringLiteral("name")).toString()));
    linkOperatorsTable->setItem(row, 1, new QTableWidgetItem(record.value(QStringLiteral("pin")).toString()));
    auto *level = new QComboBox;
    level->addItem(uiText(QStringLiteral("Operator (controls)")), QStringLiteral("operator"));
    level->addItem(uiText(QStringLiteral("Viewer (watch only)")), QStringLiteral("viewer"));
    // A level that is not exactly "operator" must never show as one: an edit would store it so.
    level->setCurrentIndex(LinkOperators::normalizedLevel(record.value(QStringLiteral("level")).toString())
                                   == QStringLiteral("operator")
                               ? 0
                               : 1);
    connect(level, &QComboBox::currentIndexChanged, this, [this] { saveOperators(true); });
    linkOperatorsTable->setCellWidget(row, 2, level);
    auto *programsButton = new QToolButton;
    programsButton->setPopupMode(QToolButton::InstantPopup);
    programsButton->setProperty("programs", record.value(QStringLiteral("programs")).toArray().toVariantList());
    auto *menu = new QMenu(programsButton);
    programsButton->setMenu(menu);
    connect(menu, &QMenu::aboutToShow, this, [this, menu, programsButton] { fillOperatorProgramsMenu(menu, programsButton); });
    linkOperatorsTable->setCellWidget(row, 3, programsButton);
    operatorRowsBuilding = wasBuilding;
}

void MainWindow::newOperatorEntry()
{
    const int pin = QRandomGenerator::system()->bounded(100000, 1000000);
    addOperatorRow({{QStringLiteral("name"), uiText(QStringLiteral("Operator %1")).arg(linkOperatorsTable->rowCount() + 1)},
                    {QStringLiteral("pin"), QString::number(pin)},
                    {QStringLiteral("level"), QStringLiteral("operator")},
                    {QStringLiteral("programs"), QJsonArray{}}});
    saveOperators(true);
}

void MainWindow::fillOperatorProgramsMenu(QMenu *menu, QWidget *programsButton)
{
    menu->clear();
    const QVariantList ids = programsButton->property("programs").toList();
    for (int i = 0; i < programs.size(); ++i) {
        const int id = programs[i].id;
        QAction *action = menu->addAction(programName(i));
        action->setCheckable(true);
        action->setChecked(ids.contains(id));
        connect(action, &QAction::toggled, this, [this, programsButton, id](bool checked) {
            QVariantList list = programsButton->property("programs").toList();
            list.removeAll(id);
            if (checked)
                list.append(id);
            programsButton->setProperty("programs", list);
            saveOperators(true);
        });
    }
}

QJsonArray MainWindow::operatorsJson() const
{
    QJsonArray records;
    if (!linkOperatorsTable)
        return records;
    for (int row = 0; row < linkOperatorsTable->rowCount(); ++row) {
        const QTableWidgetItem *name = linkOperatorsTable->item(row, 0);
        const QTableWidgetItem *pin = linkOperatorsTable->item(row, 1);
        if (!name || !pin || name->text().trimmed().isEmpty() || pin->text().trimmed().isEmpty())
            continue;
        const auto *level = qobject_cast<QComboBox *>(linkOperatorsTable->cellWidget(row, 2));
        const QWidget *programsButton = linkOperatorsTable->cellWidget(row, 3);
        records.append(QJsonObject{
            {QStringLiteral("name"), name->text().trimmed()},
            {QStringLiteral("pin"), pin->text().trimmed()},
            {QStringLiteral("level"), level ? level->currentData().toString() : QStringLiteral("viewer")},
            {QStringLiteral("programs"),
             programsButton ? QJsonArray::fromVariantList(programsButton->property("programs").toList()) : QJsonArray{}}});
    }
    return records;
}

void MainWindow::saveOperators(bool store)
{
    if (operatorRowsBuilding || !linkOperatorsTable)
        return;
    const QJsonArray records = operatorsJson();
    for (int row = 0; row < linkOperatorsTable->rowCount(); ++row) {
        auto *programsButton = qobject_cast<QToolButton *>(linkOperatorsTable->cellWidget(row, 3));
        if (!programsButton)
            continue;
        const QString names = operatorProgramsText(
            QJsonArray::fromVariantList(programsButton->property("programs").toList()),
            [this](int id) { return programNameForId(id); });
        programsButton->setText(names.isEmpty() ? uiText(QStringLiteral("All Programs")) : names);
    }
    linkOperatorsTable->setHorizontalHeaderLabels({uiText(QStringLiteral("Operator")), uiText(QStringLiteral("PIN")),
                                                   uiText(QStringLiteral("Permission")),
                                                   uiText(QStringLiteral("Programs"))});
    if (store && !sampleContent)
        settings->setValue(QStringLiteral("link/operators"),
                           QString::fromUtf8(QJsonDocument(records).toJson(QJsonDocument::Compact)));
    if (linkNode)
        linkNode->setOperators(records);
}

QJsonObject MainWindow::remoteDeskState()
{
    QJsonArray entries;
    for (int i = 0; i < programs.size(); ++i) {
        NativeChannel *deck = channel(i);
        PlaylistController *order = controller(i);
        if (!deck || !order)
            continue;
        const QList<Cue> &items = i == selectedProgramIndex ? playlist : programs[i].playlist;
        QJsonArray names;
        for (const Cue &cue : items)
            names.append(QFileInfo(cue.source).fileName());
        entries.append(QJsonObject{{QStringLiteral("id"), programs[i].id},
                                   {QStringLiteral("name"), programName(i)},
                                   {QStringLiteral("items"), names},
                                   {QStringLiteral("current"), order->current},
                                   {QStringLiteral("media"), deck->source().isEmpty() ? QString() : QFileInfo(deck->source()).fileName()},
                                   {QStringLiteral("playing"), deck->isPlaying()},
                                   {QStringLiteral("positionMs"), double(deck->positionMs())},
                                   {QStringLiteral("durationMs"), double(deck->durationMs())}});
    }
    return {{QStringLiteral("master"), linkNode ? linkNode->name : QString()},
            {QStringLiteral("sync"), syncedTakesActive()},
            {QStringLiteral("programs"), entries}};
}

void MainWindow::applyRemoteDesk(const QJsonObject &desk)
{
    const bool isOperator = desk.value(QStringLiteral("level")).toString() == QStringLiteral("operator");
    const QJsonArray entries = desk.value(QStringLiteral("programs")).toArray();
    const QJsonArray allowed = desk.value(QStringLiteral("allowed")).toArray();
    QString signature = desk.value(QStringLiteral("level")).toString()
        + QString::fromUtf8(QJsonDocument(allowed).toJson(QJsonDocument::Compact));
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        signature += QString::number(entry.value(QStringLiteral("id")).toInt()) + entry.value(QStringLiteral("name")).toString()
            + QString::fromUtf8(QJsonDocument(entry.value(QStringLiteral("items")).toArray()).toJson(QJsonDocument::Compact));
    }
    if (signature != remoteLayoutSignature) {
        remoteLayoutSignature = signature;
        rebuildRemotePanels(entries, allowed, isOperator);
    }
    for (int n = 0; n < remotePanels.size() && n < entries.size(); ++n) {
        const QJsonObject entry = entries[n].toObject();
        const RemotePanel &panel = remotePanels[n];
        const QString media = entry.value(QStringLiteral("media")).toString();
        const bool playing = entry.value(QStringLiteral("playing")).toBool();
        if (panel.info)
            panel.info->setText(media.isEmpty()
                                    ? uiText(QStringLiteral("Black"))
                                    : QStringLiteral("%1 · %2 / %3 · %4")
                                          .arg(media, clockText(qint64(entry.value(QStringLiteral("positionMs")).toDouble())),
                                               clockText(qint64(entry.value(QStringLiteral("durationMs")).toDouble())),
                                               uiText(playing ? QStringLiteral("playing") : QStringLiteral("paused"))));
        const int current = entry.value(QStringLiteral("current")).toInt(-1);
        if (panel.items)
            for (int row = 0; row < panel.items->count(); ++row) {
                QListWidgetItem *item = panel.items->item(row);
                QFont font = item->font();
                const int weight = row == current ? 700 : 400;
                if (font.weight() != QFont::Weight(weight)) {
                    font.setWeight(QFont::Weight(weight));
                    item->setFont(font);
                }
            }
        if (panel.play) {
            panel.play->setProperty("playing", playing);
            panel.play->setText(uiText(playing ? QStringLiteral("PAUSE") : QStringLiteral("PLAY")));
        }
    }
    if (remoteDeskInfo && linkNode)
        remoteDeskInfo->setText(uiText(QStringLiteral("%1 · signed in as %2 (%3)"))
                                    .arg(desk.value(QStringLiteral("master")).toString(), linkNode->operatorName,
                                         uiText(isOperator ? QStringLiteral("operator") : QStringLiteral("viewer"))));
}

void MainWindow::rebuildRemotePanels(const QJsonArray &entries, const QJsonArray &allowed, bool isOperator)
{
    while (QLayoutItem *item = remoteGrid->takeAt(0)) {
        if (item->widget())
            item->widget()->deleteLater();
        delete item;
    }
    remotePanels.clear();
    for (int n = 0; n < entries.size(); ++n) {
        const QJsonObject entry = entries[n].toObject();
        const int id = entry.value(QStringLiteral("id")).toInt();
        const bool canControl = isOperator && (allowed.isEmpty() || allowed.contains(id));
        auto *panel = new QFrame;
        panel->setObjectName(QStringLiteral("panel"));
        auto *layout = new QVBoxLayout(panel);
        layout->setContentsMargins(12, 12, 12, 12);
        layout->setSpacing(8);
        auto *title = new QLabel(entry.value(QStringLiteral("name")).toString());
        title->setObjectName(QStringLiteral("remoteProgram"));
        auto *info = new QLabel;
        info->setObjectName(QStringLiteral("muted"));
        auto *items = new QListWidget;
        items->setObjectName(QStringLiteral("remoteItems"));
        items->setMinimumHeight(120);
        for (const QJsonValue &name : entry.value(QStringLiteral("items")).toArray())
            items->addItem(name.toString());
        layout->addWidget(title);
        layout->addWidget(info);
        layout->addWidget(items, 1);
        auto *row = new QHBoxLayout;
        row->setSpacing(6);
        QPushButton *cut = button(QStringLiteral("CUT"), QStringLiteral("cut"));
        QPushButton *fade = button(QStringLiteral("FADE"), QStringLiteral("take"));
        QPushButton *black = button(QStringLiteral("BLACK"));
        QPushButton *play = button(QStringLiteral("PAUSE"));
        play->setProperty("playing", true);
        for (QPushButton *each : {cut, fade, black, play}) {
            each->setEnabled(canControl);
            row->addWidget(each);
        }
        layout->addLayout(row);
        if (!canControl) {
            QLabel *why = makeLabel(isOperator ? QStringLiteral("Not assigned to you") : QStringLiteral("View only"),
                                    QStringLiteral("muted"));
            layout->addWidget(why);
        }
        connect(cut, &QPushButton::clicked, this, [this, id, items] { sendRemoteCommand(id, QStringLiteral("cut"), items->currentRow()); });
        connect(fade, &QPushButton::clicked, this, [this, id, items] { sendRemoteCommand(id, QStringLiteral("fade"), items->currentRow()); });
        connect(black, &QPushButton::clicked, this, [this, id] { sendRemoteCommand(id, QStringLiteral("black"), -1); });
        connect(play, &QPushButton::clicked, this, [this, id, play] {
            sendRemoteCommand(id, play->property("playing").toBool() ? QStringLiteral("pause") : QStringLiteral("play"), -1);
        });
        remoteGrid->addWidget(panel, n / 2, n % 2);
        remotePanels.append({info, items, play});
    }
}

void MainWindow::sendRemoteCommand(int programId, const QString &action, int row)
{
    if (!linkNode || linkNode->mode != LinkNode::ControlStation || !linkNode->welcomed)
        return;
    if ((action == QStringLiteral("cut") || action == QStringLiteral("fade")) && row < 0) {
        setStatus(QStringLiteral("Select an item of that Program's playlist first."));
        return;
    }
    linkNode->sendCommand({{QStringLiteral("action"), action},
                           {QStringLiteral("program"), programId},
                           {QStringLiteral("row"), row},
                           {QStringLiteral("fadeMs"), remoteFadeBox ? remoteFadeBox->value() : 300}});
}

void MainWindow::remoteCommandAnswered(const QJsonObject &answer)
{
    if (answer.value(QStringLiteral("ok")).toBool())
        return;
    setStatusRaw(uiText(QStringLiteral("Remote command refused")) + QStringLiteral(": ")
                 + uiText(answer.value(QStringLiteral("error")).toString()));
}

QString MainWindow::executeRemoteCommand(const QJsonObject &command, const QString &operatorName)
{
    if (sampleContent)
        return QStringLiteral("Layout preview — sample content");
    const int index = programIndexOfId(command.value(QStringLiteral("program")).toInt());
    NativeChannel *deck = channel(index);
    PlaylistController *order = controller(index);
    if (index < 0 || !deck || !order)
        return QStringLiteral("Unknown Program");
    const QString action = command.value(QStringLiteral("action")).toString();
    QString done;
    if (action == QStringLiteral("black")) {
        blackProgram(programs[index].id);
        done = QStringLiteral("BLACK");
    } else if (action == QStringLiteral("pause") || action == QStringLiteral("play")) {
        if (deck->source().isEmpty())
            return QStringLiteral("Nothing on air");
        if ((action == QStringLiteral("play")) != deck->isPlaying())
            deck->togglePlayback();
        done = action.toUpper();
    } else if (action == QStringLiteral("cut") || action == QStringLiteral("fade")) {
        storeSelectedPlaylist();
        const QList<Cue> &items = programs[index].playlist;
        const int row = command.value(QStringLiteral("row")).toInt(-1);
        if (row < 0 || row >= items.size())
            return QStringLiteral("Unknown playlist item");
        const bool fade = action == QStringLiteral("fade");
        const int fadeMs = std::clamp(command.value(QStringLiteral("fadeMs")).toInt(300), 1, 10000);
        const bool synced = syncedTakesActive() && takeCue(index, row, fade, fadeMs);
        if (!synced && !order->takeCue(items, row, fade, fadeMs))
            return QStringLiteral("Could not take");
        done = QStringLiteral("%1 %2").arg(action.toUpper(), QFileInfo(items[row].source).fileName());
    } else {
        return QStringLiteral("Unknown command");
    }
    const QString text = uiText(QStringLiteral("Remote · %1: %2 on %3")).arg(operatorName, done, programName(index));
    setStatusRaw(text);
    appendRemoteLog(text);
    tick();
    return {};
}

// Every executed remote command is promised to be logged; a log that cannot be written says so on
// the status line and in the diagnostics instead of dropping the line quietly.
bool MainWindow::appendRemoteLog(const QString &text)
{
    const QString path = QDir(stateDir).filePath(QStringLiteral("link/remote-log.txt"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray line = (QDateTime::currentDateTime().toString(Qt::ISODate).left(19) + QStringLiteral("  ") + text
                             + QLatin1Char('\n')).toUtf8();
    if (file.open(QIODevice::Append | QIODevice::Text) && file.write(line) == line.size()) {
        remoteLogWarning.clear();
        return true;
    }
    remoteLogWarning = QStringLiteral("The remote log could not be written: %1").arg(file.errorString());
    qWarning().noquote() << "link:" << remoteLogWarning;
    setStatusRaw(uiText(QStringLiteral("The remote log could not be written")) + QStringLiteral(": ") + file.errorString());
    return false;
}
