// The Settings page: playback preferences (decoding and the project frame rate), engine
// diagnostics and updates, one tab each; and the guarded install of a downloaded update.
#include "app/MainWindow.h"

#include "app/pages/DiagnosticsPanel.h"
#include "app/pages/UpdatePanel.h"
#include "outputs/ProjectFps.h"
#include "outputs/display/OutputWindow.h"
#include "update/UpdateController.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QVBoxLayout>

QWidget *MainWindow::settingsPage()
{
    settingsTabs = new QTabWidget(this);
    settingsTabs->addTab(playbackPreferences(), uiText(QStringLiteral("Playback")));
    diagnostics = new DiagnosticsPanel(textProvider(), [this] { return diagnosticsSnapshot(); }, sampleContent);
    settingsTabs->addTab(diagnostics, uiText(QStringLiteral("Engine diagnostics")));
    updates = new UpdatePanel(updateController.get(), textProvider(), [this] { installUpdate(); });
    settingsTabs->addTab(updates, uiText(QStringLiteral("Updates")));
    return settingsTabs;
}

QWidget *MainWindow::playbackPreferences()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setSpacing(18);
    layout->addWidget(makeLabel(QStringLiteral("Playback preferences"), QStringLiteral("heading")));

    auto *decoding = new QFrame(page);
    decoding->setObjectName(QStringLiteral("panel"));
    auto *decodingLayout = new QVBoxLayout(decoding);
    decodingLayout->setSpacing(14);
    decodingLayout->addWidget(makeLabel(QStringLiteral("DECODING"), QStringLiteral("eyebrow")));
    decodingLayout->addWidget(makeLabel(QStringLiteral("Native FFmpeg backend"), QStringLiteral("mediaTitle")));
    decodingCombo = new QComboBox(decoding);
    decodingCombo->addItem(uiText(QStringLiteral("Automatic hardware selection")), QStringLiteral("auto"));
    decodingCombo->addItem(uiText(QStringLiteral("CPU decoding")), QStringLiteral("cpu"));
    decodingCombo->setCurrentIndex(settings->value(QStringLiteral("decode"), QStringLiteral("auto")).toString() == QStringLiteral("cpu") ? 1 : 0);
    connect(decodingCombo, &QComboBox::currentIndexChanged, this, [this] {
        if (!sampleContent)
            settings->setValue(QStringLiteral("decode"), decodingCombo->currentData().toString());
        setStatus(QStringLiteral("Restart the application to apply decoding preferences."));
    });
    decodingLayout->addWidget(decodingCombo);
    decodingLayout->addWidget(makeLabel(QStringLiteral("Hardware support depends on codec, profile, driver and GPU."), QStringLiteral("muted")));
    layout->addWidget(decoding);

    auto *rate = new QFrame(page);
    rate->setObjectName(QStringLiteral("panel"));
    auto *rateLayout = new QVBoxLayout(rate);
    rateLayout->setContentsMargins(24, 24, 24, 24);
    rateLayout->setSpacing(10);
    rateLayout->addWidget(makeLabel(QStringLiteral("PROJECT FRAME RATE"), QStringLiteral("eyebrow")));
    projectFpsCombo = new QComboBox(rate);
    projectFpsCombo->setObjectName(QStringLiteral("projectFps"));
    projectFpsCombo->addItem(uiText(QStringLiteral("Automatic (follow each video)")), 0.0);
    const std::pair<const char *, double> rates[] = {{"23.976", 24000.0 / 1001}, {"24", 24}, {"25", 25}, {"29.97", 30000.0 / 1001},
                                                     {"30", 30}, {"50", 50}, {"59.94", 60000.0 / 1001}, {"60", 60}};
    for (const auto &[label, value] : rates)
        projectFpsCombo->addItem(QString::fromLatin1(label) + QStringLiteral(" fps"), value);
    const double stored = settings->value(QStringLiteral("projectFps"), 0.0).toDouble();
    int selected = 0;
    for (int i = 0; i < projectFpsCombo->count(); ++i)
        if (std::abs(projectFpsCombo->itemData(i).toDouble() - stored) < 0.001)
            selected = i;
    projectFpsCombo->setCurrentIndex(selected);
    projectFps.store(projectFpsCombo->currentData().toDouble());
    connect(projectFpsCombo, &QComboBox::currentIndexChanged, this, [this] {
        const double value = projectFpsCombo->currentData().toDouble();
        projectFps.store(value);
        if (!sampleContent)
            settings->setValue(QStringLiteral("projectFps"), value);
    });
    rateLayout->addWidget(projectFpsCombo);
    QLabel *rateNote = makeLabel(QStringLiteral("NDI, OMT and the web monitor deliver a constant cadence at this rate, repeating or "
                                                "skipping frames of videos with another rate (the web monitor uses half of "
                                                "50/59.94/60). Audio/video sync never depends on it. Display outputs follow the "
                                                "screen refresh."),
                                 QStringLiteral("muted"));
    rateNote->setWordWrap(true);
    rateLayout->addWidget(rateNote);
    layout->insertWidget(1, rate);
    layout->addStretch(1);
    return page;
}

// Anything that an update's restart would cut off: a playing Program or one loading a cue it will
// put on air by itself, a running sender, an open display output or a folder scan.
bool MainWindow::anyProgramPlaying()
{
    for (int i = 0; i < programCount; ++i) {
        const NativeChannel *deck = channel(i);
        if (deck->isPlaying() || (deck->isPreparing() && deck->takeWhenReady()))
            return true;
        NetworkBus *bus = networkBus(i);
        if (bus && (bus->sender(0).isRunning() || bus->sender(1).isRunning()))
            return true;
    }
    for (const QPointer<OutputWindow> &window : std::as_const(routeWindows))
        if (window && window->isVisible())
            return true;
    return scanWatcher.isRunning() || scanRunningForTesting;
}

void MainWindow::installUpdate()
{
    if (sampleContent)
        return;
    if (anyProgramPlaying()) {
        QMessageBox::information(this, uiText(QStringLiteral("Updates")),
                                 uiText(QStringLiteral("Stop playback and close display and digital outputs before installing. You "
                                                       "can keep the download for later.")));
        return;
    }
    if (editorStatus == QStringLiteral("Unapplied changes")) {
        QMessageBox::information(this, uiText(QStringLiteral("Updates")), uiText(QStringLiteral("Apply or reset cue edits before updating.")));
        return;
    }
    if (modified) {
        const auto answer = QMessageBox::question(this, uiText(QStringLiteral("Unsaved show")),
                                                  uiText(QStringLiteral("Save the show before installing this update?")),
                                                  QMessageBox::Save | QMessageBox::Cancel, QMessageBox::Save);
        if (answer != QMessageBox::Save)
            return;
        saveShow(false);
        if (modified)
            return;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    const bool portable = !QFile::exists(QDir(folder).filePath(QStringLiteral("installation.ini")));
    QString error;
    if (updateController->install(stateDir, showPath, language, portable, &error)) {
        QCoreApplication::quit();
        return;
    }
    QMessageBox::warning(this, uiText(QStringLiteral("Updates")), uiText(error));
}
