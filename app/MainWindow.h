#pragma once

#include "app/ProcessUsage.h"
#include "app/ProgramRecord.h"
#include "app/UiText.h"
#include "engine/Cue.h"
#include "engine/CueReadiness.h"
#include "engine/NativeChannel.h"
#include "engine/OutputConfig.h"
#include "engine/PlaylistController.h"
#include "engine/RecoveryStore.h"
#include "engine/Show.h"
#include "engine/ShowProgram.h"
#include "outputs/audio/LocalAudioRoute.h"
#include "outputs/display/OutputRouter.h"
#include "outputs/network/NetworkBus.h"
#include "web/WebProgramInfo.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class AudioPanel;
class DeckWindow;
class DiagnosticsPanel;
class DigitalPanel;
class DeskMonitor;
class ElidedLabel;
class LinkNode;
class LocalAudioEngine;
class OutputWindow;
class QBoxLayout;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFrame;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QMenu;
class QScreen;
class QScrollArea;
class QSettings;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QTableWidget;
class QTimer;
class QVBoxLayout;
class UpdateController;
class UpdatePanel;
class UiTestRun;
class WebMonitorServer;

// The operator window and the owner of the whole playout engine: the Preview deck, Program A's deck
// with its sequencer and senders, the further Programs' records, cue readiness, the output router,
// the preferences and the update controller; the page builders add the Link node, the web monitor
// and the local audio engine. Everything runs on the GUI thread.
//
// The class is spread over files by area (construction, Programs, routes, status, take, media,
// decks, services, language; the page builders in pages/). Members are declared in the order in
// which they must be destroyed in reverse: every consumer of a deck (Link, local audio, web
// monitor, router, senders, readiness, sequencers) is declared after, and so destroyed before, the
// deck it reads, and the further Programs' records go after Program A's and the Preview's decks.
// The window has no meta-object of its own: its connections are lambdas with the window as context.
class MainWindow : public QMainWindow
{
public:
    MainWindow(bool sampleContent, const QString &language, const QString &stateDir);
    ~MainWindow() override;

    // Language (MainWindowLanguage.cpp)
    void loadTranslations();
    QString uiText(const QString &key) const;
    void retranslate();
    QString languageCode() const { return language; }

    // Widget utilities (MainWindow.cpp)
    QPushButton *button(const QString &textKey, const QString &objectName = QString());
    QLabel *makeLabel(const QString &textKey, const QString &objectName = QString());
    // A field with its eyebrow label above it, on the background of whatever holds it.
    QWidget *eyebrowOver(const QString &eyebrowKey, QWidget *field);
    QPushButton *makeIconButton(const QString &textKey, int iconKind);
    QScrollArea *makeScrollArea(QWidget *page);
    static QIcon lineIcon(int kind, const QColor &color);
    static void setFlagProperty(QWidget *widget, const char *name, bool value);
    void showPage(int page);
    void showDigitalOutputsTab();
    void showDiagnosticsTab();
    void showDisplaysTab();
    void showOutputsTab(int tab);
    void showSettingsTab(int tab);
    void clickSequentialMode();
    void showQuickStart();
    void setStatus(const QString &key);
    void setStatusRaw(const QString &text);
    QString statusText() const;

    // Programs (MainWindowPrograms.cpp)
    void addMedia(const QStringList &paths, int programIndex = -2);
    bool addProgram(bool copyProgramAPlaylist);
    void appendProgram(const ShowProgram &program);
    void appendProgramPanels(int index);
    bool addRoute(int programIndex);
    bool applyOutputConfiguration(const OutputConfig &config, bool markModified);
    void destroyProgram(int index);
    bool applyShowState(const Show &show, const QString &path);
    OutputConfig currentOutputConfig() const;
    Show currentShow();
    QStringList allMediaPaths();
    void cueSelected(int row);
    void applyLocalAudioRoutes(int skipIndex);
    QList<LocalAudioRoute> localAudioPairs(int excludedIndex) const;
    NativeChannel *channel(int index);
    PlaylistController *controller(int index);
    NetworkBus *networkBus(int index);
    NativeChannel *deck(int programId);
    QString programKey(int index) const;
    QString programName(int index) const;
    bool channelBusy(int index);
    static QString operatorProgramsText(const QJsonArray &ids, const std::function<QString(int)> &nameOf);
    static ShowProgram defaultProgram(int id);
    bool selectProgram(int index, bool force);
    QList<Cue> &storeSelectedPlaylist();
    bool removeSelectedProgram();
    NativeChannel *selectedProgramChannel();
    PlaylistController *selectedPlaylist();
    int programIndexOfId(int programId) const;

    // Routes (MainWindowRoutes.cpp)
    void openDisplayOutput(int route);
    bool validateOutputConfiguration(const OutputConfig &config);
    void removeLastRoute();
    void appendRoutePanel();
    QScreen *routeScreen(int route) const;
    QRectF routeRegion(int route) const;
    void refreshDisplayChoices();
    void watchScreen(QScreen *screen);
    void rebuildRouteTable();
    void refreshScalingInfo();
    void fillRouteSources();

    // Status (MainWindowStatus.cpp)
    void tick();
    void refreshStatus();
    static QString clockText(qint64 ms);
    QString deckMediaTitle(NativeChannel *deck) const;
    QString deckStateWord(NativeChannel *deck) const;
    static QString remainingText(NativeChannel *deck);
    void refreshResourceText();
    void refreshProgramInventory();
    void refreshProgramTiles();
    void refreshDeckWindows();
    void refreshDetachedTiles();
    void clearProgramTiles();
    void relayoutMultiview();
    void rebuildMeterStrip();

    // Take (MainWindowTake.cpp)
    void take(bool fade);
    bool canTake();
    void refreshOrderControls();
    void connectProgramChannel(int programIndex);
    qint64 linkClockUs() const;
    void setLinkClockForTesting(std::function<qint64()> clock) { linkClockForTesting = std::move(clock); }
    // Desk pages: preferences through the one key table, running order edits (MainWindowTake.cpp)
    QVariant preference(const QString &key) const;
    void writePreference(const QString &key, const QVariant &value);
    void onManualFadeChanged(int value);
    void moveCue(int step);
    void duplicateCue();
    void removeCue();
    void refreshLibraryView();

    // Media and tables (MainWindowMedia.cpp)
    void chooseMediaFiles();
    void chooseMediaFolder();
    void finishFolderScan();
    void checkMissingMedia(bool ask);
    void addMediaPaths(const QStringList &paths);
    QStringList missingMedia();
    QTableWidget *makePlaylistTable();
    void refreshLibraryTable(QTableWidget *table, const QStringList &paths);
    QString mediaSizeText(const QJsonValue &bytes) const;
    bool mayMarkTrim();
    bool markTrim(bool in);
    bool copyFromProgramA();
    void refreshPlaylistTable();
    void loadCueEditor(int row);

    QDoubleSpinBox *makeSecondsSpinBox(double minimum, double maximum);
    double editorInSeconds() const;
    double editorOutSeconds() const;

    // Decks (MainWindowDecks.cpp)
    void detachDeck(int deckId);
    void restoreDeckGeometry(QWidget *deckWindow, int deckId);
    void deckWindowClosed(QWidget *deckWindow);
    void closeProgramOutputs(int programId);
    DeskMonitor *monitorWidget(NativeChannel *deck, int sampleVariant);

    // Services (MainWindowServices.cpp)
    void captureBoard(const QString &path);
    void scheduleUpdateCheck();
    QList<WebProgramInfo> webPrograms();
    NativeChannel *channelForProgramId(int programId);
    QString programNameForId(int programId);
    std::function<QString(const QString &)> textProvider();

    // Show files, cue edits, recovery, packages and relinking (MainWindowShow.cpp; their private
    // helpers and state are the last block of this class).
    bool openShow();
    bool openShowFile(const QString &path);
    bool saveShow(bool saveAs);
    void exportShowPackage();
    // The whole export; notIncluded receives the media the package lacks (missing or not copied).
    QString exportPackage(const QString &target, const QString &name, bool interactive,
                          QStringList *notIncluded = nullptr);
    void offerRecovery();
    bool restoreRecovery();
    bool autosave();
    void clearRecovery();
    void discardRecovery();
    QString recoveryDir() const;
    QString recoveryShowPath() const;
    QString recoveryMetaPath() const;
    void scanFolder(const QString &folder);
    void relinkMedia();
    int applyRelinks(const QHash<QString, QString> &map);
    bool applyEditedCue();

    // Read access for the pages, services and tests.
    bool isSampleContent() const { return sampleContent; }
    int programTotal() const { return programCount; }
    int routeTotal() const { return routeCount; }
    int selectedProgram() const { return selectedProgramIndex; }
    int nextId() const { return nextProgramId; }
    const QList<ShowProgram> &programList() const { return programs; }
    const QStringList &mediaLibrary() const { return library; }
    const QStringList &mediaFolders() const { return libraryFolders; }
    const QList<Cue> &workingPlaylist() const { return playlist; }
    int cuedRow() const { return selectedCueRow; }
    int editorRow() const { return editedCueRow; }
    QString editorState() const { return editorStatus; }
    void setEditorState(const QString &state) { editorStatus = state; }
    bool isModified() const { return modified; }
    void setModified(bool on) { modified = on; }
    QSettings *preferences() const { return settings.get(); }
    QString stateDirectory() const { return stateDir; }
    NativeChannel *previewChannel() { return &previewDeck; }
    CueReadiness *cueReadiness() { return &readiness; }
    OutputRouter *router() { return &outputRouter; }
    QStackedWidget *pages() const { return pageStack; }
    QButtonGroup *railGroup() const { return navigation; }
    QLabel *statusLine() const;
    QTableWidget *runningOrder() const { return playlistTable; }
    QComboBox *routeSource(int route) const;
    QComboBox *routeDisplay(int route) const;
    QComboBox *routeScaling(int route) const;
    OutputWindow *routeWindow(int route) const;
    int routeOpenedIndex(int route) const;
    QList<DeckWindow *> deckWindowList() const;
    int programPanelCount() const { return int(audioPanels.size()); }
    bool hasAutosaveTimer() const { return autosaveTimer != nullptr; }
    LocalAudioEngine *localAudioEngine() const { return localAudio.get(); }
    void setLocalAudioEngine(std::unique_ptr<LocalAudioEngine> engine);
    QString currentShowPath() const { return showPath; }
    void setFolderScanTargetForTesting(int programId, bool running);

    // Web monitor tab (pages/WebMonitorPage.cpp)
    QWidget *webMonitorPage();
    void refreshWebMonitorStatus();
    bool startWebMonitor();
    WebMonitorServer *webMonitorServer() const { return webMonitor.get(); }
    QString webMonitorAccessCode() const { return webAccessCode; }

    // Outputs, Audio and Settings pages: resource sampler, footer and panels (ProcessUsage, pages/)
    QJsonObject processUsageJson() const;
    void setUsageSampleForTesting(const QJsonObject &sample) { latestUsage = sample; }
    QLabel *resourceLabel() const { return processUsageLabel; }
    struct AreaPreset
    {
        QString name;
        QRectF rect;
    };
    static const QList<AreaPreset> &areaPresets();
    QWidget *outputRoutingPage();
    void appendRouteArea(QBoxLayout *panelLayout, int route);
    void applyRouteArea(int route);
    QComboBox *routeArea(int route) const;
    QDoubleSpinBox *routeAreaBox(int route, int field) const;
    QLabel *routeScalingLine(int route) const;
    QTableWidget *programInventory() const { return inventoryTable; }
    DigitalPanel *digitalPanel(int index) const;
    AudioPanel *audioPanel(int index) const;
    void retranslatePagePanels();
    QFrame *lowLatencyOutputSection();
    void saveLocalAudioSetting(const QString &key, const QVariant &value);
    void refreshAudioDevices();
    void refreshAudioStatus();
    bool startLowLatencyOutput(int backendType, const QString &deviceId, int bufferFrames);
    void refreshAudioRouting();
    void setPreviewListening(bool on);
    bool isListeningToPreview() const { return previewListening; }
    AudioPanel *previewAudioPanel() const;
    QString lowLatencyStatusText() const;
    QComboBox *enginePair(int index) const;
    QWidget *playbackPreferences();
    QJsonObject diagnosticsSnapshot();
    DiagnosticsPanel *diagnosticsPanel() const { return diagnostics; }
    UpdatePanel *updatePanel() const { return updates; }
    bool anyProgramPlaying();
    void installUpdate();
    void retranslateAudioSection();
    UpdateController *updateControllerForTesting() const { return updateController.get(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    struct DeckWindowEntry
    {
        int deckId = -1;
        QPointer<DeckWindow> window;
        QPointer<QFrame> deckFrame;
        QPointer<QLabel> title;
        QPointer<QLabel> state;
        QPointer<QLabel> onAirBadge;
        QPointer<ElidedLabel> media;
        QPointer<QLabel> time;
        QPointer<QPushButton> play;
    };
    struct DeckSlot
    {
        int deckKey = -1;
        QPointer<QStackedWidget> slot;
    };
    struct DeckWidgets
    {
        QPointer<QPushButton> playButton;
        QPointer<QLabel> state;
        QPointer<QProgressBar> progress;
        QPointer<ElidedLabel> title;
        QPointer<QLabel> time;
        QPointer<QFrame> frame;
    };
    struct RouteWidgets
    {
        QPointer<QFrame> row;
        QPointer<QComboBox> source;
        QPointer<QComboBox> display;
        QPointer<QComboBox> scaling;
        QPointer<QLabel> scalingInfo;
        QPointer<QLabel> number;
        QPointer<QComboBox> area;
        QPointer<QDoubleSpinBox> areaBoxes[4];
    };
    struct ProgramTile
    {
        int programId = 0;
        QPointer<QFrame> frame;
        QPointer<QPushButton> select;
        QPointer<QLabel> time;
        QPointer<QLabel> state;
        QPointer<ElidedLabel> media;
        QPointer<QPushButton> play;
        QPointer<QStackedWidget> slot;
    };

    // Construction pieces (MainWindow.cpp)
    QWidget *buildRail();
    QWidget *buildMainColumn();
    QWidget *buildMasterLostBanner();
    void buildPages();
    void startUsageSample();
    void connectScreens();
    void installShortcuts();
    void fillSampleContent();
    void loadSampleEditor();
    void registerTranslatable(QWidget *widget, const QString &key);

    // Page builders (pages/)
    QWidget *mainDeskPage();
    QWidget *cueEditorPage();
    QWidget *libraryPage();
    QWidget *outputsPage();
    QWidget *audioPage();
    QWidget *settingsPage();
    QFrame *deckPanel(const QString &title, NativeChannel *deck, int sampleVariant, ElidedLabel **mediaTitle,
                      QLabel **timecode, const QString &key, bool registerWidgets);
    QStackedWidget *makeDeckSlot(int deckKey, QWidget *monitor);
    QPushButton *makeDetachButton(int deckKey);
    void programTile(int index);
    void fillDeckWindow(DeckWindowEntry &entry);
    void refreshDeckWindow(const DeckWindowEntry &entry);
    void clearPreview();
    void blackProgram(int programId);
    QFrame *takeStrip();
    QFrame *orderPanel();
    void switchToProgramA();
    void setWorkingRows(int cued, int edited);
    void selectedProgramRowsReset();

    // 1..4
    bool sampleContent;
    QString language;
    UiText texts{[this] { return programCount; }};
    // 5: widget pointers into the tree (non-owning)
    QStackedWidget *pageStack = nullptr;
    QButtonGroup *navigation = nullptr;
    ElidedLabel *footer = nullptr;
    QLabel *processUsageLabel = nullptr;
    ElidedLabel *heading = nullptr;
    QLabel *subtitle = nullptr;
    QLabel *railEyebrow = nullptr;
    QComboBox *languageCombo = nullptr;
    QFrame *updateBanner = nullptr;
    QLabel *updateLabel = nullptr;
    QWidget *masterLostBanner = nullptr;
    QTableWidget *playlistTable = nullptr;
    QTableWidget *editTable = nullptr;
    QTableWidget *libraryTable = nullptr;
    QLabel *orderTitle = nullptr;
    QPushButton *manualButton = nullptr;
    QPushButton *sequentialButton = nullptr;
    QCheckBox *repeatBox = nullptr;
    QCheckBox *loopBox = nullptr;
    QPushButton *cutButton = nullptr;
    QPushButton *fadeButton = nullptr;
    QComboBox *programSelector = nullptr;
    QStackedWidget *programArea = nullptr;
    QScrollArea *multiview = nullptr;
    QPointer<QWidget> multiviewViewport;
    QGridLayout *tileLayout = nullptr;
    QWidget *meterStrip = nullptr;
    QPushButton *displaysTile = nullptr;
    QPushButton *ndiTile = nullptr;
    QPushButton *omtTile = nullptr;
    QLabel *programCountLabel = nullptr;
    QLabel *routeCountLabel = nullptr;
    QTabWidget *outputsTabs = nullptr;
    QTabWidget *settingsTabs = nullptr;
    QVBoxLayout *routeRowsLayout = nullptr;
    QVBoxLayout *digitalPanelsLayout = nullptr;
    QVBoxLayout *audioPanelsLayout = nullptr;
    QComboBox *decodingCombo = nullptr;
    QComboBox *cueCombo = nullptr;
    QDoubleSpinBox *inField = nullptr;
    QDoubleSpinBox *outField = nullptr;
    QComboBox *transitionCombo = nullptr;
    QDoubleSpinBox *transitionField = nullptr;
    QDoubleSpinBox *fadeInField = nullptr;
    QDoubleSpinBox *fadeOutField = nullptr;
    ElidedLabel *editPreviewTitle = nullptr;
    QLabel *editPreviewTime = nullptr;
    QSlider *previewSlider = nullptr;
    QLabel *editorStateLabel = nullptr;
    QTimer *autosaveTimer = nullptr;
    QTimer *updateCheckTimer = nullptr;
    DeckWidgets deckWidgets[3];
    // 6..8
    QJsonObject latestUsage;
    // The shared process sampler of the resource footer joins here; its watcher is ready for it.
    QFutureWatcher<QJsonObject> usageWatcher;
    // 9..20
    QStringList library;
    QStringList libraryFolders;
    QList<Cue> playlist;
    int editedCueRow = -1;
    int selectedCueRow = -1;
    bool loadingCue = false;
    QString editorStatus;
    int programCount = 1;
    int routeCount = 1;
    int selectedProgramIndex = 0;
    int nextProgramId = 2;
    int scanProgramId = 1;
    QList<ShowProgram> programs;
    std::vector<std::unique_ptr<ProgramRecord>> programRecords;
    QList<ProgramTile> tiles;
    QList<DeckWindowEntry> deckWindows;
    QList<DeckSlot> deckSlots;
    QHBoxLayout *monitorRow = nullptr;
    QList<int> routeOpenedProgram;
    // 21..25
    NativeChannel previewDeck;
    NativeChannel programADeck;
    CueReadiness readiness;
    PlaylistController programAPlaylist;
    NetworkBus programANetwork;
    // 26
    QList<QPointer<QWidget>> digitalPanels;
    QList<QPointer<QWidget>> audioPanels;
    // 27..29
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<UpdateController> updateController;
    QString stateDir;
    // 30..33
    QList<QPointer<OutputWindow>> outputWindows;
    QList<RouteWidgets> routes;
    QList<QPointer<OutputWindow>> routeWindows;
    OutputRouter outputRouter;
    // 34, 35
    QFutureWatcher<QStringList> scanWatcher;
    bool scanRunningForTesting = false;
    bool modified = false;
    QString showPath;
    QString statusKey;
    // 36..39: services made by the page builders
    std::unique_ptr<WebMonitorServer> webMonitor;
    std::unique_ptr<LocalAudioEngine> localAudio;
    QByteArray recoveryBytes;
    std::unique_ptr<LinkNode> linkNode;
    std::function<qint64()> linkClockForTesting;
    // Web monitor tab: the access code and the controls the status refresh reads and enables.
    QString webAccessCode;
    QPointer<QComboBox> webAccessCombo;
    QPointer<QSpinBox> webPortBox;
    QPointer<QComboBox> webQualityCombo;
    QPointer<QPushButton> webStartButton;
    QPointer<QPushButton> webStopButton;
    QPointer<QPushButton> webNewCodeButton;
    QPointer<QPushButton> webOpenButton;
    QPointer<QLabel> webStatusLabel;
    QPointer<QLabel> webCodeLabel;
    QPointer<QLabel> webUrlLabel;

    // ---- Outputs, Audio and Settings pages (pages/OutputsPage, AudioPage, SettingsPage, their panels) ----
    // The sampler is shared with the pool task that runs a sample, so a sample finishing while the
    // window closes still runs on a live object.
    std::shared_ptr<ProcessUsage> usageSampler = std::make_shared<ProcessUsage>();
    QTableWidget *inventoryTable = nullptr;
    QList<int> inventorySignature;
    QList<QPointer<NativeChannel>> routeDecks; // the deck each route's open window shows
    QPointer<QComboBox> engineBackendCombo;
    QPointer<QComboBox> engineDeviceCombo;
    QPointer<QComboBox> engineBufferCombo;
    QPointer<QWidget> engineBufferSection;
    QPointer<QPushButton> engineStartButton;
    QPointer<QPushButton> engineStopButton;
    QPointer<QWidget> aes67Row;
    QPointer<QLineEdit> aes67NameField;
    QPointer<QComboBox> aes67ChannelsCombo;
    QPointer<QLineEdit> aes67MulticastField;
    QPointer<QComboBox> aes67LatencyCombo;
    QPointer<QCheckBox> engineSyncBox;
    QPointer<QSpinBox> engineOffsetBox;
    QPointer<QCheckBox> engineAutoStartBox;
    QPointer<QLabel> engineStatusLabel;
    QGridLayout *routingGrid = nullptr;
    QList<int> routingSignature;
    QList<QPointer<QLabel>> pairLabels;
    QList<QPointer<QComboBox>> pairCombos;
    QPointer<AudioPanel> previewPanel;
    bool previewListening = false;
    QPointer<QComboBox> projectFpsCombo;
    DiagnosticsPanel *diagnostics = nullptr;
    UpdatePanel *updates = nullptr;
    QPointer<QPushButton> removeProgramButton;
    QPointer<QPushButton> addDisplayButton;
    QPointer<QPushButton> removeDisplayButton;

    // ---- Show files, recovery, packages and relinking (MainWindowShow.cpp) ----
    // The recovery copy lives in a RecoveryStore made on first use; it keeps the bytes last written
    // and guards a copy left by a crashed run until it was offered. showGeneration counts the shows
    // opened or restored, so a relink search that waited in its own event loop applies its result
    // only to the show it was made for.
    RecoveryStore &recoveryStore() const;
    bool replaceShow(const Show &show, const QString &path);
    void queueLeftoverOffer();
    QString recoveryTimeText() const;
    void reportExport(int copied, const QString &target, const QStringList &notIncluded);
    mutable std::unique_ptr<RecoveryStore> recovery;
    quint64 showGeneration = 0;
    bool leftoverOfferQueued = false;
    // ---- User-interface self-test (MainWindowUiTests*.cpp): the runner drives this window case by
    // case; the helpers below reach the widgets and decks the cases read. ----
public:
    int runUiTests(const QString &fixtures, const QString &result);

private:
    QPushButton *uiTestButton(const QString &textKey, const QWidget *root = nullptr) const;
    bool uiTestLabelReads(const QWidget *root, const QString &textKey) const;
    void uiTestSelectLanguage(const QString &code);
    void uiTestResize(const QString &language, const QSize &size);
    void uiTestBlack(int index);
    bool uiTestPlaying(int index);
    bool uiTestCueAndWait(int row);
    bool uiTestTableHighEnough() const;
    QList<QWidget *> uiTestTakeControls() const;
    QSpinBox *uiTestFadeBox() const;
    QMenu *uiTestMoreMenu() const;
    QWidget *uiTestTile(int index) const;
    DeckWindow *uiTestDeckWindow(int deckKey) const;
    void uiTestCloseDeckWindow(int deckKey);
    QTableWidget *uiTestInventory() const;
    QPushButton *uiTestRouteButton(bool add) const;
    int uiTestEngineRoutes() const;
    bool uiTestSaveDiagnostics(const QString &path);
    void uiTestReplaceProgramAPlaylist(const QList<Cue> &cues);
    void uiTestStartup(UiTestRun &run);
    void uiTestStartupServices(UiTestRun &run);
    void uiTestStartupWeb(UiTestRun &run);
    void uiTestStartupLink(UiTestRun &run);
    void uiTestStartupDiagnostics(UiTestRun &run);
    void uiTestLayout(UiTestRun &run);
    void uiTestLayoutPass(UiTestRun &run, const QString &language, const QSize &size);
    void uiTestUsage(UiTestRun &run);
    void uiTestPrograms(UiTestRun &run);
    void uiTestLowLatency(UiTestRun &run);
    void uiTestFiveTiles(UiTestRun &run, const QString &name);
    void uiTestOutputSpacing(UiTestRun &run, const QString &name);
    void uiTestDecks(UiTestRun &run);
    void uiTestDeckWindows(UiTestRun &run);
    void uiTestRemoval(UiTestRun &run);
    void uiTestPlaylists(UiTestRun &run);
    void uiTestRoutes(UiTestRun &run);
    void uiTestTopology(UiTestRun &run);
    void uiTestProgramAudio(UiTestRun &run);
    void uiTestIdentity(UiTestRun &run);
    void uiTestDiagnostics(UiTestRun &run);
    void uiTestInvalidMedia(UiTestRun &run);
    void uiTestReliability(UiTestRun &run);
    void uiTestRecovery(UiTestRun &run);
    void uiTestRelink(UiTestRun &run);
    void uiTestPackage(UiTestRun &run);
    // ---- Link window side: page, mirroring, synchronized takes, operators, remote desk and its
    // self-test (pages/LinkPage.cpp, MainWindowLink.cpp, MainWindowLinkRemote.cpp, MainWindowLinkTests.cpp) ----
public:
    QWidget *linkPage();
    bool startLink();
    void refreshLinkPage();
    void distributeShow();
    bool loadShowFromMaster();
    void linkModeSection(QVBoxLayout *layout);
    QJsonObject masterMirrorState();
    void applyMirrorState(const QJsonObject &state);
    void applyMasterTake(const QJsonObject &take);
    QString mirrorStatusText() const;
    void updateMasterLostAlarm();
    bool takeOverAsMaster();
    bool syncedTakesActive();
    bool takeSelectedCue(bool fade);
    bool takeCue(int programIndex, int row, bool fade, int fadeMs);
    void setupRemote(QVBoxLayout *layout);
    void populateOperators();
    void addOperatorRow(const QJsonObject &record);
    void newOperatorEntry();
    QJsonArray operatorsJson() const;
    void saveOperators(bool store);
    void fillOperatorProgramsMenu(QMenu *menu, QWidget *button);
    QJsonObject remoteDeskState();
    void applyRemoteDesk(const QJsonObject &desk);
    void rebuildRemotePanels(const QJsonArray &programs, const QJsonArray &allowed, bool isOperator);
    void sendRemoteCommand(int programId, const QString &action, int row);
    void remoteCommandAnswered(const QJsonObject &answer);
    QString executeRemoteCommand(const QJsonObject &command, const QString &operatorName);
    bool appendRemoteLog(const QString &text);
    static int runLinkMirrorTests(const QString &fixtures, const QString &result);
    LinkNode *link() const { return linkNode.get(); }
    // Synchronized takes armed on this window and how the last one ended (tests and self-test).
    int syncTakesFinished = 0;
    bool lastSyncTakeTaken = false;
    qint64 lastSyncTakeLatenessUs = 0;
    int mirrorCorrections = 0;
    bool masterLostActive = false;
    double mirrorLastErrorMs = 0;
    QString mirrorProblem;
    QString remoteLogWarning;  // the last remote-log failure, shown in the diagnostics

private:
    struct RemotePanel
    {
        QPointer<QLabel> info;
        QPointer<QListWidget> items;
        QPointer<QPushButton> play;
    };
    void armSyncedTake(NativeChannel *deck, qint64 atUs);
    void refreshLinkPeers();
    void startLinkTestDrive();
    void retranslateLinkPage();
    QPointer<QComboBox> linkRoleCombo;
    QPointer<QLineEdit> linkNameField;
    QPointer<QLineEdit> linkCodeField;
    QPointer<QPushButton> linkNewCodeButton;
    QPointer<QLineEdit> linkAddressField;
    QPointer<QPushButton> linkStartButton;
    QPointer<QPushButton> linkStopButton;
    QPointer<QPushButton> linkSendButton;
    QPointer<QPushButton> linkLoadButton;
    QPointer<QLabel> linkStatusLabel;
    QPointer<QTableWidget> linkPeersTable;
    QPointer<QCheckBox> linkMirrorBox;
    QPointer<QCheckBox> linkSyncBox;
    QPointer<QTimer> linkStateTimer;
    QPointer<QWidget> linkOperatorsSection;
    QPointer<QTableWidget> linkOperatorsTable;
    QPointer<QWidget> linkSignInRow;
    QPointer<QLineEdit> linkOperatorField;
    QPointer<QLineEdit> linkPinField;
    QPointer<QFrame> remoteDeskFrame;
    QPointer<QLabel> remoteDeskInfo;
    QPointer<QSpinBox> remoteFadeBox;
    QPointer<QGridLayout> remoteGrid;
    QList<RemotePanel> remotePanels;
    QString remoteLayoutSignature;
    bool operatorRowsBuilding = false;
    QElapsedTimer mirrorClock;
    QHash<int, quint64> mirrorAppliedSerials;
    QHash<int, qint64> mirrorLastSeek;
    QHash<int, qint64> mirrorHoldUntil;
    // ---- Desk pages (MainDeskPage.cpp, MainWindowTake.cpp, LibraryPage.cpp): the manual fade box, the
    // once-only warning of a preferences file that cannot be written, the library search and folders.
    QPointer<QSpinBox> fadeBox;
    bool preferencesWarned = false;
    QPointer<QLineEdit> librarySearch;
    QPointer<QListWidget> libraryFolderList;
    bool libraryViewPending = false;
};
