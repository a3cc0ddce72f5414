// The MAIN page: the Preview and Program decks, the take strip and the running order, with the
// dashboard strip below. The window's refresh (tick/refreshStatus) keeps their texts current.
#include "app/MainWindow.h"

#include "app/widgets/DeckWindow.h"
#include "app/widgets/DeskMonitor.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/MediaDelegate.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
const QColor iconColor(QStringLiteral("#afc2d5"));
}

QWidget *MainWindow::mainDeskPage()
{
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("mainDesk"));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    auto *monitors = new QHBoxLayout;
    monitorRow = monitors;
    monitors->setSpacing(12);
    monitors->addWidget(deckPanel(QStringLiteral("PREVIEW"), &previewDeck, 0, nullptr, nullptr, QStringLiteral("preview"), true), 37);
    programArea = new QStackedWidget(page);
    programArea->addWidget(deckPanel(QStringLiteral("PROGRAM A"), &programADeck, 1, nullptr, nullptr, QStringLiteral("program"), true));
    multiview = new QScrollArea(programArea);
    multiview->setObjectName(QStringLiteral("programMultiview"));
    multiview->setWidgetResizable(true);
    multiview->setFrameShape(QFrame::NoFrame);
    multiview->setMinimumSize(0, 0);
    auto *tilesWidget = new QWidget(multiview);
    tileLayout = new QGridLayout(tilesWidget);
    tileLayout->setContentsMargins(0, 0, 4, 0);
    tileLayout->setSpacing(8);
    multiview->setWidget(tilesWidget);
    multiviewViewport = multiview->viewport();
    multiviewViewport->installEventFilter(this);
    programArea->addWidget(multiview);
    monitors->addWidget(programArea, 37);
    layout->addLayout(monitors, 4);
    layout->addWidget(takeStrip());
    layout->addWidget(orderPanel(), 4);

    auto *dashboard = new QFrame(page);
    dashboard->setObjectName(QStringLiteral("dashboard"));
    auto *dashLayout = new QHBoxLayout(dashboard);
    dashLayout->setContentsMargins(8, 4, 8, 4);
    meterStrip = new QWidget(dashboard);
    meterStrip->setLayout(new QHBoxLayout);
    meterStrip->layout()->setContentsMargins(0, 0, 0, 0);
    meterStrip->hide();
    dashLayout->addWidget(meterStrip, 1);
    displaysTile = new QPushButton(dashboard);
    displaysTile->setObjectName(QStringLiteral("statusTile"));
    connect(displaysTile, &QPushButton::clicked, this, [this] { showDisplaysTab(); });
    ndiTile = new QPushButton(dashboard);
    ndiTile->setObjectName(QStringLiteral("networkTile"));
    omtTile = new QPushButton(dashboard);
    omtTile->setObjectName(QStringLiteral("networkTile"));
    for (QPushButton *tile : {ndiTile, omtTile})
        connect(tile, &QPushButton::clicked, this, [this] { showDigitalOutputsTab(); });
    dashLayout->addStretch(1);
    dashLayout->addWidget(displaysTile);
    dashLayout->addWidget(ndiTile);
    dashLayout->addWidget(omtTile);
    layout->addWidget(dashboard);
    return page;
}

// A deck panel of the Preview (key "preview") or Program A ("program"). The MAIN page registers its
// two panels so the window's refresh writes their state, play button and progress; the EDIT page's
// Preview is not registered and reads "Muted" for good.
QFrame *MainWindow::deckPanel(const QString &title, NativeChannel *shown, int sampleVariant, ElidedLabel **mediaTitle,
                              QLabel **timecode, const QString &key, bool registerWidgets)
{
    const bool isPreview = key == QStringLiteral("preview");
    const int kind = isPreview ? 0 : 1;
    const int deckKey = isPreview ? -1 : 1;
    auto *frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("deck"));
    frame->setProperty("channel", key);
    auto *layout = new QVBoxLayout(frame);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(7);

    auto *header = new QHBoxLayout;
    QLabel *titleLabel = makeLabel(title, QStringLiteral("deckTitle"));
    titleLabel->setProperty("channel", key);
    header->addWidget(titleLabel);
    header->addStretch(1);
    if (isPreview && registerWidgets) {
        QLabel *muted = makeLabel(QStringLiteral("Muted"), QStringLiteral("deckState"));
        muted->setProperty("preview", true);
        header->addWidget(muted);
    }
    auto *state = new QLabel(frame);
    state->setObjectName(QStringLiteral("deckState"));
    if (!registerWidgets) {
        state->setText(uiText(QStringLiteral("Muted")));
        registerTranslatable(state, QStringLiteral("Muted"));
    }
    header->addWidget(state);
    header->addWidget(makeDetachButton(deckKey));
    layout->addLayout(header);
    layout->addWidget(makeDeckSlot(deckKey, monitorWidget(shown, sampleVariant)), 1);

    auto *media = new ElidedLabel(frame);
    media->setObjectName(QStringLiteral("mediaTitle"));
    media->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(media);
    auto *timeRow = new QHBoxLayout;
    auto *time = new QLabel(QStringLiteral("00:00:00"), frame);
    time->setObjectName(QStringLiteral("timecode"));
    timeRow->addWidget(time);
    timeRow->addStretch(1);
    timeRow->addWidget(makeLabel(isPreview ? QStringLiteral("Position") : QStringLiteral("Remaining"), QStringLiteral("muted")));
    layout->addLayout(timeRow);
    auto *progress = new QProgressBar(frame);
    progress->setObjectName(QStringLiteral("deckProgress"));
    progress->setRange(0, 1000);
    progress->setTextVisible(false);
    progress->setFixedHeight(3);
    layout->addWidget(progress);

    auto *transport = new QHBoxLayout;
    transport->setSpacing(6);
    QPushButton *seekIn = makeIconButton(QStringLiteral("Seek to In"), 3);
    connect(seekIn, &QPushButton::clicked, this, [this, shown] {
        if (!sampleContent && shown->activeSlot() >= 0)
            shown->seek(std::max<qint64>(0, shown->slot(shown->activeSlot()).cue.in_ms));
    });
    QPushButton *play = makeIconButton(QStringLiteral("Play / pause"), 0);
    connect(play, &QPushButton::clicked, this, [this, shown] {
        if (!sampleContent)
            shown->togglePlayback();
        tick();
    });
    QPushButton *clear = makeIconButton(isPreview ? QStringLiteral("Clear Preview") : QStringLiteral("Black selected channel"), 2);
    connect(clear, &QPushButton::clicked, this, [this, isPreview] {
        if (isPreview)
            clearPreview();
        else
            blackProgram(1);
    });
    transport->addWidget(seekIn);
    transport->addWidget(play);
    transport->addWidget(clear);
    transport->addStretch(1);
    if (isPreview) {
        QPushButton *listen = makeIconButton(QStringLiteral("Listen to Preview"), 20);
        listen->setObjectName(QStringLiteral("previewListen"));
        listen->setCheckable(true);
        listen->setChecked(previewListening);
        connect(listen, &QPushButton::toggled, this, [this](bool on) { setPreviewListening(on); });
        transport->addWidget(listen);
    } else {
        QPushButton *routing = makeIconButton(QStringLiteral("Audio routing"), 8);
        connect(routing, &QPushButton::clicked, this, [this] { showPage(4); });
        transport->addWidget(routing);
    }
    layout->addLayout(transport);
    if (isPreview)
        setPreviewListening(previewListening);

    if (mediaTitle)
        *mediaTitle = media;
    if (timecode)
        *timecode = time;
    if (registerWidgets)
        deckWidgets[kind] = {play, state, progress, media, time, frame};
    return frame;
}

QStackedWidget *MainWindow::makeDeckSlot(int deckKey, QWidget *monitor)
{
    auto *slot = new QStackedWidget(this);
    slot->setObjectName(QStringLiteral("deckSlot"));
    slot->setProperty("deckKey", deckKey);
    slot->addWidget(monitor);
    QPushButton *dock = button(QStringLiteral("In separate window · click to dock"), QStringLiteral("dockNote"));
    dock->setMinimumSize(0, 0);
    dock->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    connect(dock, &QPushButton::clicked, this, [this, deckKey] { closeProgramOutputs(deckKey); });
    slot->addWidget(dock);
    deckSlots.append({deckKey, slot});
    const bool detached = std::any_of(deckWindows.cbegin(), deckWindows.cend(), [deckKey](const DeckWindowEntry &entry) {
        return entry.deckId == deckKey && entry.window;
    });
    slot->setCurrentIndex(detached ? 1 : 0);
    return slot;
}

QPushButton *MainWindow::makeDetachButton(int deckKey)
{
    QPushButton *detach = makeIconButton(QStringLiteral("Detach deck"), 16);
    detach->setProperty("deckKey", deckKey);
    detach->setFixedSize(26, 22);
    detach->setIconSize(QSize(15, 15));
    connect(detach, &QPushButton::clicked, this, [this, deckKey] { detachDeck(deckKey); });
    return detach;
}

QFrame *MainWindow::takeStrip()
{
    auto *strip = new QFrame(this);
    strip->setObjectName(QStringLiteral("takeStrip"));
    auto *grid = new QGridLayout(strip);
    grid->setContentsMargins(12, 10, 12, 10);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(6);
    for (int column = 0; column < 3; ++column)
        grid->setColumnStretch(column, 2);
    grid->addWidget(makeLabel(QStringLiteral("TAKE DESTINATION"), QStringLiteral("eyebrow")), 0, 0);
    grid->addWidget(makeLabel(QStringLiteral("Fade duration"), QStringLiteral("muted")), 0, 3);

    auto *destination = new QWidget(strip);
    destination->setObjectName(QStringLiteral("takeDestination"));
    auto *destinationLayout = new QHBoxLayout(destination);
    destinationLayout->setContentsMargins(0, 0, 0, 0);
    destinationLayout->setSpacing(6);
    programSelector = new QComboBox(destination);
    programSelector->setObjectName(QStringLiteral("programSelector"));
    programSelector->setMinimumWidth(130);
    programSelector->setFixedHeight(40);
    connect(programSelector, &QComboBox::currentIndexChanged, this, [this](int index) { selectProgram(index, false); });
    QPushButton *add = makeIconButton(QStringLiteral("+ Add Program"), 12);
    add->setObjectName(QStringLiteral("addProgram"));
    add->setFixedSize(36, 40);
    connect(add, &QPushButton::clicked, this, [this] { addProgram(false); });
    destinationLayout->addWidget(programSelector, 1);
    destinationLayout->addWidget(add);
    grid->addWidget(destination, 1, 0);

    cutButton = button(QStringLiteral("CUT"), QStringLiteral("cut"));
    cutButton->setIcon(lineIcon(10, QColor(QStringLiteral("#1b2229"))));
    cutButton->setToolTip(QStringLiteral("Ctrl+Enter"));
    fadeButton = button(QStringLiteral("FADE"), QStringLiteral("take"));
    fadeButton->setIcon(lineIcon(11, QColor(QStringLiteral("#10232c"))));
    fadeButton->setToolTip(QStringLiteral("Ctrl+Space"));
    for (QPushButton *takeButton : {cutButton, fadeButton}) {
        takeButton->setMinimumWidth(120);
        takeButton->setFixedHeight(40);
    }
    connect(cutButton, &QPushButton::clicked, this, [this] { take(false); });
    connect(fadeButton, &QPushButton::clicked, this, [this] { take(true); });
    grid->addWidget(cutButton, 1, 1);
    grid->addWidget(fadeButton, 1, 2);

    fadeBox = new QSpinBox(strip);
    fadeBox->setRange(1, 10000);
    fadeBox->setSingleStep(50);
    fadeBox->setSuffix(QStringLiteral(" ms"));
    fadeBox->setFixedSize(108, 40);
    fadeBox->setValue(preference(QStringLiteral("manualFadeMs")).toInt());
    connect(fadeBox, &QSpinBox::valueChanged, this, &MainWindow::onManualFadeChanged);
    grid->addWidget(fadeBox, 1, 3);
    QPushButton *black = button(QStringLiteral("Black"));
    black->setIcon(lineIcon(7, iconColor));
    black->setProperty("tipKey", QStringLiteral("Black selected channel"));
    black->setFixedHeight(40);
    connect(black, &QPushButton::clicked, this, [this] {
        if (!sampleContent)
            selectedProgramChannel()->clear();
        tick();
    });
    grid->addWidget(black, 1, 4);
    loopBox = new QCheckBox(uiText(QStringLiteral("Loop")), strip);
    registerTranslatable(loopBox, QStringLiteral("Loop"));
    loopBox->setProperty("tipKey", QStringLiteral("Loop selected channel"));
    loopBox->setFixedHeight(40);
    connect(loopBox, &QCheckBox::toggled, this, [this](bool on) { selectedProgramChannel()->setLooping(on); });
    grid->addWidget(loopBox, 1, 5);
    return strip;
}

QFrame *MainWindow::orderPanel()
{
    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("orderPanel"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    orderTitle = new QLabel(panel);
    orderTitle->setObjectName(QStringLiteral("eyebrow"));
    header->addWidget(orderTitle);
    header->addStretch(1);
    QPushButton *add = button(QStringLiteral("Add media"));
    add->setIcon(lineIcon(12, iconColor));
    auto *menu = new QMenu(add);
    QAction *files = menu->addAction(uiText(QStringLiteral("Add files")));
    files->setProperty("textKey", QStringLiteral("Add files"));
    QAction *folder = menu->addAction(uiText(QStringLiteral("Add folder")));
    folder->setProperty("textKey", QStringLiteral("Add folder"));
    connect(files, &QAction::triggered, this, [this] { chooseMediaFiles(); });
    connect(folder, &QAction::triggered, this, [this] { chooseMediaFolder(); });
    add->setMenu(menu);
    header->addWidget(add);
    manualButton = button(QStringLiteral("Manual"), QStringLiteral("mode"));
    sequentialButton = button(QStringLiteral("Sequential"), QStringLiteral("mode"));
    for (QPushButton *mode : {manualButton, sequentialButton}) {
        mode->setCheckable(true);
        mode->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
        header->addWidget(mode);
    }
    connect(manualButton, &QPushButton::clicked, this, [this] {
        selectedPlaylist()->setAutoAdvance(false);
        refreshOrderControls();
        refreshStatus();
    });
    connect(sequentialButton, &QPushButton::clicked, this, [this] {
        selectedPlaylist()->setAutoAdvance(true);
        refreshOrderControls();
        refreshStatus();
    });
    repeatBox = new QCheckBox(uiText(QStringLiteral("Repeat order")), panel);
    registerTranslatable(repeatBox, QStringLiteral("Repeat order"));
    repeatBox->setEnabled(false);
    connect(repeatBox, &QCheckBox::toggled, this, [this](bool on) { selectedPlaylist()->setRepeat(on); });
    header->addWidget(repeatBox);
    layout->addLayout(header);

    playlistTable = makePlaylistTable();
    playlistTable->setParent(panel);
    playlistTable->setObjectName(QStringLiteral("runningOrder"));
    playlistTable->setMinimumHeight(150);
    playlistTable->verticalHeader()->setDefaultSectionSize(38);
    playlistTable->setItemDelegateForColumn(1, new MediaDelegate(playlistTable));
    connect(playlistTable, &QTableWidget::cellDoubleClicked, this, [this](int row) { cueSelected(row); });
    connect(playlistTable, &QTableWidget::currentCellChanged, this, [this] { tick(); });
    layout->addWidget(playlistTable, 1);

    auto *buttons = new QHBoxLayout;
    QPushButton *cue = button(QStringLiteral("Cue selected"));
    connect(cue, &QPushButton::clicked, this, [this] { cueSelected(playlistTable->currentRow()); });
    QPushButton *edit = button(QStringLiteral("Edit cue"));
    edit->setIcon(lineIcon(5, iconColor));
    // Editing a row the Preview does not already show verifies it there first, so Mark In/Out
    // and the trim checks see that very file.
    connect(edit, &QPushButton::clicked, this, [this] {
        const int row = playlistTable->currentRow();
        if (row >= 0 && row < playlist.size()) {
            if (row == selectedCueRow && previewDeck.source() == playlist[row].source)
                loadCueEditor(row);
            else
                cueSelected(row);
        }
        showPage(1);
    });
    QPushButton *copy = button(QStringLiteral("Copy A playlist"));
    connect(copy, &QPushButton::clicked, this, [this] { copyFromProgramA(); });
    buttons->addWidget(cue);
    buttons->addWidget(edit);
    buttons->addWidget(copy);
    buttons->addStretch(1);
    const QList<std::pair<QString, int>> moves = {{QStringLiteral("Move up"), 14}, {QStringLiteral("Move down"), 15}};
    for (const auto &[text, icon] : moves) {
        QPushButton *move = makeIconButton(text, icon);
        const int step = icon == 14 ? -1 : 1;
        connect(move, &QPushButton::clicked, this, [this, step] { moveCue(step); });
        buttons->addWidget(move);
    }
    QPushButton *more = button(QStringLiteral("More"));
    auto *moreMenu = new QMenu(more);
    QAction *duplicate = moreMenu->addAction(uiText(QStringLiteral("Duplicate cue")));
    duplicate->setProperty("textKey", QStringLiteral("Duplicate cue"));
    QAction *remove = moreMenu->addAction(uiText(QStringLiteral("Remove cue")));
    remove->setProperty("textKey", QStringLiteral("Remove cue"));
    connect(duplicate, &QAction::triggered, this, [this] { duplicateCue(); });
    connect(remove, &QAction::triggered, this, [this] { removeCue(); });
    more->setMenu(moreMenu);
    buttons->addWidget(more);
    layout->addLayout(buttons);
    return panel;
}
