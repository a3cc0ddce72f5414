#include "app/MainWindow.h"

#include "app/AppInfo.h"
#include "app/StateDirectory.h"
#include "app/widgets/BrandMark.h"
#include "app/widgets/DeckWindow.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/LineIcons.h"
#include "link/LinkNode.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/display/OutputWindow.h"
#include "update/UpdateController.h"
#include "web/WebMonitorServer.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyle>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {
const QColor railIconColor(QStringLiteral("#afc2d5"));
}

MainWindow::MainWindow(bool sampleContentMode, const QString &languageCode, const QString &stateDirectory)
    : QMainWindow(nullptr)
    , sampleContent(sampleContentMode)
    , language(languageCode)
    , editorStatus(QStringLiteral("Select a cue to edit."))
    , programs({ShowProgram{1, QStringLiteral("Program A"), {}}})
    , previewDeck(true, this)
    , programADeck(false, this)
    , readiness(&previewDeck, this)
    , programAPlaylist(&programADeck, this)
    , programANetwork(&programADeck, this)
    , outputRouter(this)
{
    StateDirectory::prepare(stateDirectory);
    // The layout board writes nothing, not even an empty preferences file.
    const QString preferencesPath = sampleContent ? stateDirectory + QStringLiteral("/preferences.ini")
                                                  : StateDirectory::securePreferences(stateDirectory);
    settings = std::make_unique<QSettings>(preferencesPath, QSettings::IniFormat);
    stateDir = stateDirectory;
    updateController = std::make_unique<UpdateController>(AppInfo::version, QDir(stateDir).filePath(QStringLiteral("updates")),
                                                          nullptr);
    nextProgramId = std::clamp(settings->value(QStringLiteral("nextProgramId"), 2).toInt(), 2, 1000001);
    if (language.isEmpty())
        language = settings->value(QStringLiteral("language"), QStringLiteral("en")).toString();
    loadTranslations();

    setWindowTitle(QStringLiteral("Zelvo Playout — ") + AppInfo::version);
    resize(1600, 1000);
    setMinimumSize(1280, 800);
    setAcceptDrops(true);
    setWindowIcon(makeApplicationIcon());

    auto *central = new QWidget(this);
    auto *centralLayout = new QHBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    centralLayout->addWidget(buildRail());
    centralLayout->addWidget(buildMainColumn(), 1);
    setCentralWidget(central);
    buildPages();

    refreshDisplayChoices();
    connectScreens();

    connect(languageCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        language = languageCombo->itemData(index).toString();
        loadTranslations();
        retranslate();
        if (!sampleContent)
            settings->setValue(QStringLiteral("language"), language);
    });

    connect(&usageWatcher, &QFutureWatcher<QJsonObject>::finished, this, [this] {
        latestUsage = usageWatcher.result();
        refreshResourceText();
    });
    auto *usageTimer = new QTimer(this);
    usageTimer->setInterval(1000);
    connect(usageTimer, &QTimer::timeout, this, [this] {
        refreshResourceText();
        if (!usageWatcher.isRunning())
            startUsageSample();
    });
    usageTimer->start();
    startUsageSample();

    connectProgramChannel(0);
    connect(&previewDeck, &NativeChannel::changed, this, [this] { tick(); });
    connect(&previewDeck, &NativeChannel::failed, this, [this](const QString &message) {
        setStatusRaw(uiText(QStringLiteral("Media error")) + QStringLiteral(": ") + message);
    });
    connect(&readiness, &CueReadiness::changed, this, [this] { tick(); });
    connect(&scanWatcher, &QFutureWatcher<QStringList>::finished, this, [this] { finishFolderScan(); });

    installShortcuts();

    auto *tickTimer = new QTimer(this);
    connect(tickTimer, &QTimer::timeout, this, [this] { tick(); });
    tickTimer->start(200);

    if (sampleContent)
        fillSampleContent();
    programs[0].playlist = playlist;
    refreshProgramInventory();
    retranslate();

    if (!sampleContent) {
        if (!autosaveTimer) {
            autosaveTimer = new QTimer(this);
            autosaveTimer->setInterval(5000);
            connect(autosaveTimer, &QTimer::timeout, this, [this] { autosave(); });
            autosaveTimer->start();
        }
        return;
    }
    loadSampleEditor();
}

// The members go in reverse declaration order (see the header). Before that, nothing that shows a
// deck may outlive it: windows of their own (output and deck windows have no parent) and the pages
// go first, and the decks stop reporting to a window that is being taken apart.
MainWindow::~MainWindow()
{
    for (const DeckWindowEntry &entry : std::as_const(deckWindows))
        delete entry.window.data();
    deckWindows.clear();
    for (const QPointer<OutputWindow> &window : std::as_const(outputWindows))
        delete window.data();
    tiles.clear();
    routes.clear();
    if (multiviewViewport)
        multiviewViewport->removeEventFilter(this);
    multiviewViewport = nullptr;
    multiview = nullptr;
    tileLayout = nullptr;
    delete takeCentralWidget();
    // Anything still reaching the refresh finds no pages and does nothing.
    playlistTable = nullptr;
    manualButton = nullptr;
    footer = nullptr;
    processUsageLabel = nullptr;
    for (QObject *source : std::initializer_list<QObject *>{&previewDeck, &programADeck, &readiness, &programAPlaylist,
                                                             &programANetwork, &scanWatcher, &usageWatcher})
        disconnect(source, nullptr, this, nullptr);
    for (const std::unique_ptr<ProgramRecord> &record : programRecords) {
        disconnect(&record->channel, nullptr, this, nullptr);
        disconnect(&record->network, nullptr, this, nullptr);
    }
}

QWidget *MainWindow::buildRail()
{
    auto *rail = new QFrame(this);
    rail->setObjectName(QStringLiteral("rail"));
    rail->setFixedWidth(158);
    auto *layout = new QVBoxLayout(rail);
    layout->setContentsMargins(14, 22, 14, 16);
    layout->setSpacing(9);

    auto *brandRow = new QHBoxLayout;
    brandRow->setSpacing(6);
    auto *mark = new BrandMark(rail);
    mark->setObjectName(QStringLiteral("brandMark"));
    mark->setFixedSize(24, 26);
    mark->setAccessibleName(AppInfo::applicationName);
    auto *brand = new QLabel(QStringLiteral("ZELVO"), rail);
    brand->setObjectName(QStringLiteral("brand"));
    brandRow->addWidget(mark);
    brandRow->addWidget(brand, 1);
    layout->addLayout(brandRow);
    layout->addWidget(makeLabel(QStringLiteral("PLAYOUT"), QStringLiteral("eyebrow")));
    layout->addSpacing(20);

    navigation = new QButtonGroup(this);
    navigation->setExclusive(true);
    const char *pageKeys[] = {"MAIN", "EDIT", "Library", "Outputs", "Audio", "Settings"};
    for (int i = 0; i < 6; ++i) {
        QPushButton *page = button(QString::fromLatin1(pageKeys[i]), QStringLiteral("navigation"));
        page->setCheckable(true);
        page->setIcon(lineIcon(4 + i, railIconColor));
        page->setIconSize(QSize(21, 21));
        navigation->addButton(page, i);
        connect(page, &QPushButton::clicked, this, [this, i] { showPage(i); });
        layout->addWidget(page);
    }
    navigation->button(0)->setChecked(true);
    layout->addStretch(1);
    QPushButton *help = button(QStringLiteral("Quick start  ·  F1"));
    connect(help, &QPushButton::clicked, this, [this] { showQuickStart(); });
    layout->addWidget(help);
    railEyebrow = makeLabel(sampleContent ? QStringLiteral("DESIGN PREVIEW") : QStringLiteral("DEVELOPMENT"),
                            QStringLiteral("eyebrow"));
    layout->addWidget(railEyebrow);
    return rail;
}

QWidget *MainWindow::buildMainColumn()
{
    auto *column = new QWidget(this);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(18, 16, 18, 10);
    layout->setSpacing(12);

    auto *header = new QHBoxLayout;
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    heading = new ElidedLabel(column);
    heading->setObjectName(QStringLiteral("heading"));
    subtitle = new QLabel(column);
    subtitle->setObjectName(QStringLiteral("muted"));
    titles->addWidget(heading);
    titles->addWidget(subtitle);
    header->addLayout(titles, 1);
    languageCombo = new QComboBox(column);
    UiText::fillLanguageCombo(languageCombo, language);
    header->addWidget(languageCombo);
    QPushButton *open = button(QStringLiteral("Open show"));
    open->setIcon(lineIcon(6, railIconColor));
    connect(open, &QPushButton::clicked, this, [this] { openShow(); });
    QPushButton *save = button(QStringLiteral("Save show"));
    save->setIcon(lineIcon(13, railIconColor));
    connect(save, &QPushButton::clicked, this, [this] { saveShow(false); });
    QPushButton *exportPackage = button(QStringLiteral("Export show package"), QStringLiteral("exportPackage"));
    exportPackage->setIcon(lineIcon(6, railIconColor));
    connect(exportPackage, &QPushButton::clicked, this, [this] { exportShowPackage(); });
    header->addWidget(open);
    header->addWidget(save);
    header->addWidget(exportPackage);
    layout->addLayout(header);

    updateBanner = new QFrame(column);
    updateBanner->setObjectName(QStringLiteral("panel"));
    auto *bannerLayout = new QHBoxLayout(updateBanner);
    bannerLayout->setContentsMargins(10, 6, 10, 6);
    updateLabel = new QLabel(updateBanner);
    bannerLayout->addWidget(updateLabel, 1);
    QPushButton *view = button(QStringLiteral("View update"));
    QPushButton *later = button(QStringLiteral("Later"));
    bannerLayout->addWidget(view);
    bannerLayout->addWidget(later);
    updateBanner->hide();
    connect(view, &QPushButton::clicked, this, [this] {
        showPage(5);
        if (settingsTabs)
            settingsTabs->setCurrentIndex(2);
    });
    connect(later, &QPushButton::clicked, updateBanner, &QWidget::hide);
    connect(updateController.get(), &UpdateController::available, this, [this] {
        updateLabel->setText(uiText(QStringLiteral("Update available")) + QStringLiteral(" · ")
                             + updateController->manifest().version);
        updateBanner->show();
    });
    layout->addWidget(updateBanner);
    masterLostBanner = buildMasterLostBanner();
    layout->addWidget(masterLostBanner);

    pageStack = new QStackedWidget(column);
    layout->addWidget(pageStack, 1);

    auto *usageBar = new QFrame(column);
    usageBar->setObjectName(QStringLiteral("usageBar"));
    auto *usageLayout = new QHBoxLayout(usageBar);
    usageLayout->setContentsMargins(0, 5, 0, 0);
    usageLayout->setSpacing(16);
    footer = new ElidedLabel(usageBar);
    footer->setObjectName(QStringLiteral("footer"));
    footer->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    processUsageLabel = new QLabel(usageBar);
    processUsageLabel->setObjectName(QStringLiteral("processUsage"));
    processUsageLabel->setTextFormat(Qt::PlainText);
    usageLayout->addWidget(footer, 1);
    usageLayout->addWidget(processUsageLabel);
    layout->addWidget(usageBar);
    return column;
}

// The Link page adds the banner's take-over action; until a master is lost it stays hidden.
QWidget *MainWindow::buildMasterLostBanner()
{
    auto *banner = new QFrame(this);
    banner->setObjectName(QStringLiteral("masterLost"));
    auto *layout = new QHBoxLayout(banner);
    layout->setContentsMargins(12, 8, 12, 8);
    // Remembered with its key, so a language change re-applies it at once, shown or not.
    QLabel *text = makeLabel(QStringLiteral("MASTER LOST — this machine keeps playing on its own. Switch the "
                                            "screens to it if needed, or take over as master."),
                             QStringLiteral("masterLostText"));
    text->setWordWrap(true);
    layout->addWidget(text, 1);
    banner->hide();
    return banner;
}

void MainWindow::buildPages()
{
    pageStack->addWidget(mainDeskPage());
    pageStack->addWidget(makeScrollArea(cueEditorPage()));
    pageStack->addWidget(makeScrollArea(libraryPage()));
    pageStack->addWidget(outputsPage());
    pageStack->addWidget(makeScrollArea(audioPage()));
    pageStack->addWidget(makeScrollArea(settingsPage()));
    appendProgramPanels(0);
}

// One sample at a time on the global pool; the task keeps its own reference to the sampler.
void MainWindow::startUsageSample()
{
    std::shared_ptr<ProcessUsage> sampler = usageSampler;
    usageWatcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [sampler] { return sampler->sample(); }));
}

void MainWindow::connectScreens()
{
    for (QScreen *screen : QGuiApplication::screens())
        watchScreen(screen);
    auto *application = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!application)
        return;
    connect(application, &QGuiApplication::screenAdded, this, [this](QScreen *screen) {
        watchScreen(screen);
        refreshDisplayChoices();
    });
    connect(application, &QGuiApplication::screenRemoved, this, [this] { refreshDisplayChoices(); });
}

void MainWindow::installShortcuts()
{
    connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, [this] { showQuickStart(); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this), &QShortcut::activated, this,
            [this] { take(false); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Space), this), &QShortcut::activated, this,
            [this] { take(true); });
    connect(new QShortcut(QKeySequence::Save, this), &QShortcut::activated, this, [this] { saveShow(false); });
}

void MainWindow::fillSampleContent()
{
    const QStringList names = {QStringLiteral("01 - Doors open.mp4"), QStringLiteral("02 - Opening film.mov"),
                               QStringLiteral("03 - Speaker intro.mkv"), QStringLiteral("04 - Sponsor loop.avi"),
                               QStringLiteral("05 - Closing credits.mov")};
    for (const QString &name : names) {
        library << name;
        Cue cue;
        cue.source = name;
        cue.in_ms = 0;
        cue.out_ms = 150000;
        cue.transition = 1;
        cue.transition_ms = 600;
        cue.enter_ms = 400;
        cue.exit_ms = 600;
        playlist << cue;
    }
    libraryFolders << QStringLiteral("Show media") << QStringLiteral("Sponsor assets");
}

void MainWindow::loadSampleEditor()
{
    if (playlistTable && playlistTable->rowCount() > 2)
        playlistTable->selectRow(2);
    if (loadingCue || playlist.size() <= 2)
        return;
    loadCueEditor(2);
    tick();
}

void MainWindow::registerTranslatable(QWidget *widget, const QString &key)
{
    texts.remember(widget, key);
}

QPushButton *MainWindow::button(const QString &textKey, const QString &objectName)
{
    auto *result = new QPushButton(uiText(textKey), this);
    result->setMinimumHeight(34);
    if (!objectName.isEmpty())
        result->setObjectName(objectName);
    registerTranslatable(result, textKey);
    return result;
}

QLabel *MainWindow::makeLabel(const QString &textKey, const QString &objectName)
{
    auto *label = new QLabel(uiText(textKey), this);
    if (!objectName.isEmpty())
        label->setObjectName(objectName);
    registerTranslatable(label, textKey);
    return label;
}

QWidget *MainWindow::eyebrowOver(const QString &eyebrowKey, QWidget *field)
{
    auto *box = new QWidget;
    box->setObjectName(QStringLiteral("eyebrowField"));
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(makeLabel(eyebrowKey, QStringLiteral("eyebrow")));
    layout->addWidget(field);
    return box;
}

QPushButton *MainWindow::makeIconButton(const QString &textKey, int iconKind)
{
    auto *result = new QPushButton(this);
    result->setObjectName(QStringLiteral("iconButton"));
    result->setIcon(lineIcon(iconKind, railIconColor));
    result->setIconSize(QSize(19, 19));
    result->setFixedSize(36, 32);
    result->setProperty("tipKey", textKey);
    result->setToolTip(uiText(textKey));
    result->setAccessibleName(uiText(textKey));
    return result;
}

QScrollArea *MainWindow::makeScrollArea(QWidget *page)
{
    auto *area = new QScrollArea(this);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidget(page);
    return area;
}

QIcon MainWindow::lineIcon(int kind, const QColor &color)
{
    return ::lineIcon(kind, color);
}

void MainWindow::setFlagProperty(QWidget *widget, const char *name, bool value)
{
    if (!widget || widget->property(name).toBool() == value)
        return;
    widget->setProperty(name, value);
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

void MainWindow::showPage(int page)
{
    pageStack->setCurrentIndex(page);
    if (QAbstractButton *railButton = navigation->button(page))
        railButton->setChecked(true);
}

void MainWindow::showDigitalOutputsTab()
{
    showPage(3);
    if (outputsTabs)
        outputsTabs->setCurrentIndex(1);
}

void MainWindow::showDisplaysTab()
{
    showPage(3);
    if (outputsTabs)
        outputsTabs->setCurrentIndex(0);
}

void MainWindow::showOutputsTab(int tab)
{
    showPage(3);
    if (outputsTabs)
        outputsTabs->setCurrentIndex(tab);
}

void MainWindow::showSettingsTab(int tab)
{
    showPage(5);
    if (settingsTabs)
        settingsTabs->setCurrentIndex(tab);
}

void MainWindow::clickSequentialMode()
{
    if (sequentialButton)
        sequentialButton->click();
}

void MainWindow::showDiagnosticsTab()
{
    showPage(5);
    if (settingsTabs)
        settingsTabs->setCurrentIndex(1);
}

void MainWindow::showQuickStart()
{
    QDialog dialog(this);
    dialog.setWindowTitle(uiText(QStringLiteral("Quick start")));
    dialog.resize(760, 640);
    auto *layout = new QVBoxLayout(&dialog);
    auto *text = new QTextBrowser(&dialog);
    text->setMarkdown(uiText(QStringLiteral("HELP_MARKDOWN")));
    layout->addWidget(text);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    buttons->button(QDialogButtonBox::Close)->setText(uiText(QStringLiteral("Close")));
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
}

// The status line keeps the source text, so a language change shows it again in the new language.
void MainWindow::setStatus(const QString &key)
{
    statusKey = key;
    if (footer)
        footer->setText(texts.messageText(key));
}

// A message composed of translated parts and outside text (a file name, an engine message): shown
// as it is, and kept as it is across a language change.
void MainWindow::setStatusRaw(const QString &text)
{
    statusKey = text;
    if (footer)
        footer->setText(texts.messageText(text));
}

QString MainWindow::statusText() const
{
    return footer ? footer->text() : QString();
}

QLabel *MainWindow::statusLine() const
{
    return footer;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by address only: the viewport may be on its way out with the scroll area.
    if (multiviewViewport && watched == multiviewViewport && event->type() == QEvent::Resize)
        relayoutMultiview();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (tileLayout)
        relayoutMultiview();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!sampleContent && modified) {
        const auto answer = QMessageBox::question(this, uiText(QStringLiteral("Unsaved show")),
                                                  uiText(QStringLiteral("Close without saving the show?")),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    for (const QPointer<OutputWindow> &window : outputWindows)
        if (window)
            window->close();
    const QList<DeckWindowEntry> openDecks = deckWindows;
    for (const DeckWindowEntry &entry : openDecks)
        if (entry.window)
            entry.window->close();
    if (webMonitor)
        webMonitor->stop();
    if (localAudio)
        localAudio->stop();
    if (linkNode)
        linkNode->stop();
    // A clean close leaves no recovery copy behind (the store keeps a copy from a crashed run that
    // was never offered).
    if (!sampleContent) {
        clearRecovery();
        recoveryBytes.clear();
    }
    event->accept();
}

void MainWindow::setLocalAudioEngine(std::unique_ptr<LocalAudioEngine> engine)
{
    localAudio = std::move(engine);
    if (localAudio)
        connect(localAudio.get(), &LocalAudioEngine::stateChanged, this, [this] { applyLocalAudioRoutes(-1); });
}
