// The Audio page: the low-latency output section with the routing grid, the Preview's audio strip
// and one strip per Program. The section owns the window's LocalAudioEngine.
#include "app/MainWindow.h"

#include "app/pages/AudioPanel.h"
#include "outputs/audio/LocalAudioEngine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace {

// A combo's item whose data equals the stored value, else the first.
void selectData(QComboBox *combo, const QVariant &stored)
{
    combo->setCurrentIndex(std::max(0, combo->findData(stored)));
}

void setItemEnabled(QComboBox *combo, int item, bool enabled)
{
    if (auto *model = qobject_cast<QStandardItemModel *>(combo->model()))
        if (QStandardItem *entry = model->item(item))
            entry->setEnabled(enabled);
}

} // namespace

QWidget *MainWindow::audioPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    layout->addWidget(makeLabel(QStringLiteral("Audio routing"), QStringLiteral("heading")));
    layout->addWidget(lowLatencyOutputSection());
    if (!sampleContent && !settings->contains(QStringLiteral("audioPreview/local")))
        settings->setValue(QStringLiteral("audioPreview/local"), false);
    previewPanel = new AudioPanel(&previewDeck, settings.get(), QStringLiteral("Preview"), textProvider(), sampleContent, page);
    previewPanel->setProperty("preview", true);
    previewPanel->retranslate();
    connect(previewPanel->localBox(), &QCheckBox::toggled, this, [this](bool on) { setPreviewListening(on); });
    setPreviewListening(previewListening);
    layout->addWidget(previewPanel);
    auto *panels = new QWidget(page);
    audioPanelsLayout = new QVBoxLayout(panels);
    audioPanelsLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panels);
    layout->addWidget(makeLabel(QStringLiteral("Mirrored video outputs do not duplicate local audio."), QStringLiteral("muted")));
    layout->addStretch(1);
    return page;
}

QFrame *MainWindow::lowLatencyOutputSection()
{
    localAudio = std::make_unique<LocalAudioEngine>();
    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("panel"));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(makeLabel(QStringLiteral("LOW-LATENCY OUTPUT"), QStringLiteral("eyebrow")));
    QLabel *description = makeLabel(
        QStringLiteral("Plays every Program through one audio interface with minimum delay (ALSA exclusive or shared) or over "
                       "the network as AES67 (Dante-compatible), and keeps it in sync with the video. NDI/OMT outputs are not "
                       "affected."),
        QStringLiteral("muted"));
    description->setWordWrap(true);
    layout->addWidget(description);

    const auto addSection = [this](QHBoxLayout *row, const QString &title, QWidget *widget, int stretch) {
        auto *column = new QVBoxLayout;
        column->addWidget(makeLabel(title, QStringLiteral("eyebrow")));
        column->addWidget(widget);
        row->addLayout(column, stretch);
    };
    const QLocale numbers(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));

    auto *engineRow = new QHBoxLayout;
    engineRow->setSpacing(10);
    engineBackendCombo = new QComboBox(panel);
    engineBackendCombo->setObjectName(QStringLiteral("engineBackend"));
    engineBackendCombo->addItem(uiText(QStringLiteral("ALSA exclusive")), int(LocalAudioEngine::ExclusiveDevice));
    engineBackendCombo->addItem(uiText(QStringLiteral("ALSA shared low-latency")), int(LocalAudioEngine::SharedDevice));
    engineBackendCombo->addItem(uiText(QStringLiteral("AES67 network (Dante-compatible)")), int(LocalAudioEngine::Aes67Network));
    addSection(engineRow, QStringLiteral("ENGINE"), engineBackendCombo, 2);
    engineDeviceCombo = new QComboBox(panel);
    engineDeviceCombo->setObjectName(QStringLiteral("engineDevice"));
    engineDeviceCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    engineDeviceCombo->setMinimumContentsLength(18);
    addSection(engineRow, QStringLiteral("DEVICE"), engineDeviceCombo, 4);
    engineBufferSection = new QWidget(panel);
    auto *bufferLayout = new QVBoxLayout(engineBufferSection);
    bufferLayout->setContentsMargins(0, 0, 0, 0);
    bufferLayout->addWidget(makeLabel(QStringLiteral("BUFFER"), QStringLiteral("eyebrow")));
    engineBufferCombo = new QComboBox(engineBufferSection);
    engineBufferCombo->setObjectName(QStringLiteral("engineBuffer"));
    engineBufferCombo->addItem(uiText(QStringLiteral("Device minimum")), 0);
    for (int frames : {64, 96, 128, 256, 512})
        engineBufferCombo->addItem(uiText(QStringLiteral("%1 samples (%2 ms)")).arg(frames).arg(numbers.toString(frames / 48.0, 'f', 1)),
                                   frames);
    bufferLayout->addWidget(engineBufferCombo);
    engineRow->addWidget(engineBufferSection, 2);
    engineStartButton = button(QStringLiteral("Start low-latency output"), QStringLiteral("engineStart"));
    engineStopButton = button(QStringLiteral("Stop"), QStringLiteral("engineStop"));
    engineRow->addWidget(engineStartButton, 0, Qt::AlignBottom);
    engineRow->addWidget(engineStopButton, 0, Qt::AlignBottom);
    layout->addLayout(engineRow);

    aes67Row = new QWidget(panel);
    const QString aesTip = QStringLiteral("Set the same latency on the Dante/AES67 receivers. Every 8 channels form one multicast "
                                          "stream (next addresses). Enable AES67 on Dante devices in Dante Controller.");
    aes67Row->setProperty("tipKey", aesTip);
    aes67Row->setToolTip(uiText(aesTip));
    auto *aesLayout = new QHBoxLayout(aes67Row);
    aesLayout->setContentsMargins(0, 0, 0, 0);
    aesLayout->setSpacing(10);
    aes67NameField = new QLineEdit(settings->value(QStringLiteral("localAudio/aes67/name"), QStringLiteral("Zelvo Playout")).toString(),
                                   aes67Row);
    aes67NameField->setObjectName(QStringLiteral("aes67Name"));
    aes67NameField->setMaxLength(60);
    addSection(aesLayout, QStringLiteral("STREAM NAME"), aes67NameField, 3);
    aes67ChannelsCombo = new QComboBox(aes67Row);
    aes67ChannelsCombo->setObjectName(QStringLiteral("aes67Channels"));
    for (int channels : {2, 4, 8, 16, 32, 64})
        aes67ChannelsCombo->addItem(uiText(QStringLiteral("%1 channels")).arg(channels), channels);
    selectData(aes67ChannelsCombo, settings->value(QStringLiteral("localAudio/aes67/channels"), 8).toInt());
    addSection(aesLayout, QStringLiteral("CHANNELS"), aes67ChannelsCombo, 2);
    aes67MulticastField = new QLineEdit(settings->value(QStringLiteral("localAudio/aes67/multicast")).toString(), aes67Row);
    aes67MulticastField->setObjectName(QStringLiteral("aes67Multicast"));
    aes67MulticastField->setPlaceholderText(uiText(QStringLiteral("automatic (239.69.x.y)")));
    addSection(aesLayout, QStringLiteral("MULTICAST ADDRESS"), aes67MulticastField, 2);
    aes67LatencyCombo = new QComboBox(aes67Row);
    aes67LatencyCombo->setObjectName(QStringLiteral("aes67Latency"));
    for (int ms : {1, 2, 5, 10})
        aes67LatencyCombo->addItem(uiText(QStringLiteral("%1 ms")).arg(ms), ms);
    selectData(aes67LatencyCombo, settings->value(QStringLiteral("localAudio/aes67/latencyMs"), 2).toInt());
    addSection(aesLayout, QStringLiteral("RECEIVER LATENCY"), aes67LatencyCombo, 2);
    layout->addWidget(aes67Row);

    auto *syncRow = new QHBoxLayout;
    syncRow->setSpacing(10);
    engineSyncBox = new QCheckBox(uiText(QStringLiteral("Sync with the video automatically")), panel);
    registerTranslatable(engineSyncBox, QStringLiteral("Sync with the video automatically"));
    syncRow->addWidget(engineSyncBox);
    syncRow->addWidget(makeLabel(QStringLiteral("Fine adjust"), QStringLiteral("muted")));
    engineOffsetBox = new QSpinBox(panel);
    engineOffsetBox->setObjectName(QStringLiteral("engineOffset"));
    engineOffsetBox->setRange(-200, 500);
    engineOffsetBox->setSuffix(QStringLiteral(" ms"));
    const QString offsetTip = QStringLiteral("Positive values delay the audio, e.g. for projector or LED processing delay.");
    engineOffsetBox->setProperty("tipKey", offsetTip);
    engineOffsetBox->setToolTip(uiText(offsetTip));
    syncRow->addWidget(engineOffsetBox);
    syncRow->addStretch(1);
    engineAutoStartBox = new QCheckBox(uiText(QStringLiteral("Start when the app opens")), panel);
    registerTranslatable(engineAutoStartBox, QStringLiteral("Start when the app opens"));
    syncRow->addWidget(engineAutoStartBox);
    layout->addLayout(syncRow);

    auto *routesBox = new QWidget(panel);
    routesBox->setObjectName(QStringLiteral("engineRoutes"));
    routesBox->setStyleSheet(QStringLiteral("QWidget#engineRoutes{background:transparent;}"));
    routingGrid = new QGridLayout(routesBox);
    routingGrid->setContentsMargins(0, 0, 0, 0);
    routingGrid->setHorizontalSpacing(10);
    layout->addWidget(routesBox);
    engineStatusLabel = new QLabel(panel);
    engineStatusLabel->setObjectName(QStringLiteral("muted"));
    engineStatusLabel->setWordWrap(true);
    layout->addWidget(engineStatusLabel);

    selectData(engineBackendCombo, settings->value(QStringLiteral("localAudio/backend"), 0).toInt());
    selectData(engineBufferCombo, settings->value(QStringLiteral("localAudio/buffer"), 0).toInt());
    engineSyncBox->setChecked(settings->value(QStringLiteral("localAudio/sync"), true).toBool());
    engineOffsetBox->setValue(settings->value(QStringLiteral("localAudio/offsetMs"), 0).toInt());
    engineAutoStartBox->setChecked(settings->value(QStringLiteral("localAudio/autoStart"), false).toBool());
    localAudio->syncToVideo.store(engineSyncBox->isChecked());
    localAudio->offsetUs.store(qint64(std::clamp(engineOffsetBox->value(), -200, 500)) * 1000);
    refreshAudioDevices();

    connect(engineBackendCombo, &QComboBox::currentIndexChanged, this, [this] {
        saveLocalAudioSetting(QStringLiteral("backend"), engineBackendCombo->currentData());
        refreshAudioDevices();
    });
    connect(engineDeviceCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0)
            saveLocalAudioSetting(QStringLiteral("device"), engineDeviceCombo->currentData());
    });
    connect(engineBufferCombo, &QComboBox::currentIndexChanged, this,
            [this] { saveLocalAudioSetting(QStringLiteral("buffer"), engineBufferCombo->currentData()); });
    connect(aes67NameField, &QLineEdit::editingFinished, this,
            [this] { saveLocalAudioSetting(QStringLiteral("aes67/name"), aes67NameField->text().trimmed()); });
    connect(aes67MulticastField, &QLineEdit::editingFinished, this,
            [this] { saveLocalAudioSetting(QStringLiteral("aes67/multicast"), aes67MulticastField->text().trimmed()); });
    connect(aes67ChannelsCombo, &QComboBox::currentIndexChanged, this,
            [this] { saveLocalAudioSetting(QStringLiteral("aes67/channels"), aes67ChannelsCombo->currentData()); });
    connect(aes67LatencyCombo, &QComboBox::currentIndexChanged, this,
            [this] { saveLocalAudioSetting(QStringLiteral("aes67/latencyMs"), aes67LatencyCombo->currentData()); });
    connect(engineSyncBox, &QCheckBox::toggled, this, [this](bool on) {
        saveLocalAudioSetting(QStringLiteral("sync"), on);
        localAudio->syncToVideo.store(on);
    });
    connect(engineOffsetBox, &QSpinBox::valueChanged, this, [this](int ms) {
        saveLocalAudioSetting(QStringLiteral("offsetMs"), ms);
        localAudio->offsetUs.store(qint64(std::clamp(ms, -200, 500)) * 1000);
    });
    connect(engineAutoStartBox, &QCheckBox::toggled, this, [this](bool on) { saveLocalAudioSetting(QStringLiteral("autoStart"), on); });
    const auto start = [this] {
        startLowLatencyOutput(engineBackendCombo->currentData().toInt(), engineDeviceCombo->currentData().toString(),
                              engineBufferCombo->currentData().toInt());
    };
    connect(engineStartButton, &QPushButton::clicked, this, start);
    connect(engineStopButton, &QPushButton::clicked, this, [this] { localAudio->stop(); });
    // The panel is the context: the engine outlives the page's widgets and the members that point at them.
    connect(localAudio.get(), &LocalAudioEngine::stateChanged, panel, [this] {
        applyLocalAudioRoutes(-1);
        refreshAudioStatus();
    });
    auto *statusTimer = new QTimer(panel);
    statusTimer->setInterval(1000);
    connect(statusTimer, &QTimer::timeout, this, [this] {
        if (localAudio && localAudio->isRunning())
            refreshAudioStatus();
    });
    statusTimer->start();
    if (!sampleContent && engineAutoStartBox->isChecked())
        QTimer::singleShot(0, this, start);
    refreshAudioStatus();
    return panel;
}

void MainWindow::saveLocalAudioSetting(const QString &key, const QVariant &value)
{
    if (!sampleContent)
        settings->setValue(QStringLiteral("localAudio/") + key, value);
}

void MainWindow::refreshAudioDevices()
{
    if (!engineDeviceCombo)
        return;
    {
        const QSignalBlocker blocker(engineDeviceCombo);
        const QString stored = settings->value(QStringLiteral("localAudio/device")).toString();
        engineDeviceCombo->clear();
        for (const AudioDeviceInfo &device : LocalAudioEngine::devices(engineBackendCombo->currentData().toInt()))
            engineDeviceCombo->addItem(device.channels < 1 ? device.name
                                                           : uiText(QStringLiteral("%1 · %2 ch")).arg(device.name).arg(device.channels),
                                       device.id);
        engineDeviceCombo->setCurrentIndex(std::max(0, engineDeviceCombo->findData(stored)));
    }
    if (engineStatusLabel)
        refreshAudioStatus();
}

QString MainWindow::lowLatencyStatusText() const
{
    return engineStatusLabel ? engineStatusLabel->text() : QString();
}

void MainWindow::refreshAudioStatus()
{
    if (!engineStatusLabel || !localAudio)
        return;
    const bool running = localAudio->isRunning();
    const int type = engineBackendCombo->currentData().toInt();
    engineStartButton->setEnabled(!running && engineDeviceCombo->count() > 0);
    engineStopButton->setEnabled(running);
    for (QWidget *choice : {static_cast<QWidget *>(engineBackendCombo.data()), static_cast<QWidget *>(engineDeviceCombo.data()),
                            static_cast<QWidget *>(engineBufferCombo.data())})
        choice->setEnabled(!running);
    aes67Row->setVisible(type == LocalAudioEngine::Aes67Network);
    aes67Row->setEnabled(!running);
    engineBufferSection->setVisible(type != LocalAudioEngine::Aes67Network);
    const int channels = localAudio->channels();
    for (const QPointer<QComboBox> &combo : std::as_const(pairCombos))
        for (int k = 0; combo && k < combo->count(); ++k)
            setItemEnabled(combo, k, !running || channels >= 2 * k + 2);

    QString text;
    if (running) {
        const QJsonObject state = localAudio->state();
        const QLocale numbers(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
        double sync = 0;
        for (const QJsonValue &route : state.value(QStringLiteral("routes")).toArray())
            sync = std::max(sync, route.toObject().value(QStringLiteral("sync_delay_ms")).toDouble());
        text = uiText(QStringLiteral("Running · %1 · device latency %2 ms · sync delay %3 ms · late samples %4"))
                   .arg(state.value(QStringLiteral("device")).toString(),
                        numbers.toString(state.value(QStringLiteral("device_latency_ms")).toDouble(), 'f', 1),
                        numbers.toString(sync, 'f', 1))
                   .arg(qint64(state.value(QStringLiteral("late_samples")).toDouble()));
        const QJsonObject network = state.value(QStringLiteral("network")).toObject();
        if (network.value(QStringLiteral("kind")).toString() == QStringLiteral("aes67")) {
            const QJsonObject ptp = network.value(QStringLiteral("ptp")).toObject();
            text += QStringLiteral(" · ");
            if (ptp.value(QStringLiteral("grandmaster_here")).toBool())
                text += uiText(QStringLiteral("PTP: this computer is the grandmaster"));
            else if (ptp.value(QStringLiteral("locked")).toBool())
                text += uiText(QStringLiteral("PTP: following grandmaster %1 (±%2 µs)"))
                            .arg(ptp.value(QStringLiteral("grandmaster")).toString())
                            .arg(qint64(std::round(std::abs(ptp.value(QStringLiteral("offset_us")).toDouble()))));
            else
                text += uiText(QStringLiteral("PTP: waiting for the network clock"));
        }
    } else if (localAudio->errorText().isEmpty()) {
        text = uiText(QStringLiteral("Off. Programs play through their normal output (Audio routing below)."));
    } else {
        text = uiText(QStringLiteral("Low-latency output stopped")) + QStringLiteral(": ") + uiText(localAudio->errorText());
    }
    if (engineStatusLabel->text() != text)
        engineStatusLabel->setText(text);
}

bool MainWindow::startLowLatencyOutput(int backendType, const QString &deviceId, int bufferFrames)
{
    if (sampleContent) {
        setStatus(QStringLiteral("Layout preview — sample content"));
        return false;
    }
    if (backendType == LocalAudioEngine::Aes67Network)
        localAudio->aes67Options = QJsonObject{{QStringLiteral("name"), aes67NameField->text().trimmed()},
                                               {QStringLiteral("channels"), aes67ChannelsCombo->currentData().toInt()},
                                               {QStringLiteral("multicast"), aes67MulticastField->text().trimmed()},
                                               {QStringLiteral("latencyMs"), aes67LatencyCombo->currentData().toInt()}};
    const bool started = localAudio->start(backendType, deviceId, bufferFrames);
    if (!started)
        setStatusRaw(uiText(QStringLiteral("Low-latency output could not start")) + QStringLiteral(": ")
                     + uiText(localAudio->errorText()));
    applyLocalAudioRoutes(-1);
    refreshAudioStatus();
    return started;
}

// Four Programs a grid row; rebuilt when the Programs changed, otherwise only retranslated.
void MainWindow::refreshAudioRouting()
{
    if (!routingGrid)
        return;
    QList<int> ids;
    for (const ShowProgram &program : std::as_const(programs))
        ids << program.id;
    const auto pairText = [this](int k) { return uiText(QStringLiteral("Outputs %1–%2")).arg(2 * k + 1).arg(2 * k + 2); };
    if (ids != routingSignature) {
        while (QLayoutItem *item = routingGrid->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        pairLabels.clear();
        pairCombos.clear();
        routingSignature = ids;
        for (int g = 0; g < programCount; ++g) {
            auto *label = new QLabel(programName(g), routingGrid->parentWidget());
            auto *combo = new QComboBox(routingGrid->parentWidget());
            const QString key = programKey(g);
            combo->setObjectName(QStringLiteral("enginePair") + key);
            for (int k = 0; k < 32; ++k)
                combo->addItem(pairText(k), k);
            combo->setCurrentIndex(std::clamp(settings->value(QStringLiteral("localAudio/pair/") + key, 0).toInt(), 0, 31));
            connect(combo, &QComboBox::currentIndexChanged, this, [this, key](int k) {
                if (!sampleContent)
                    settings->setValue(QStringLiteral("localAudio/pair/") + key, k);
                applyLocalAudioRoutes(-1);
                refreshAudioStatus();
            });
            routingGrid->addWidget(label, g / 4, (g % 4) * 2);
            routingGrid->addWidget(combo, g / 4, (g % 4) * 2 + 1);
            pairLabels << label;
            pairCombos << combo;
        }
        routingGrid->setColumnStretch(8, 1);
    } else {
        for (int g = 0; g < pairLabels.size(); ++g) {
            if (pairLabels[g])
                pairLabels[g]->setText(programName(g));
            for (int k = 0; pairCombos[g] && k < pairCombos[g]->count(); ++k)
                pairCombos[g]->setItemText(k, pairText(k));
        }
    }
    applyLocalAudioRoutes(-1);
    refreshAudioStatus();
}

// One switch for listening to the Preview: the Audio page's box, the desk's listen buttons and the
// Preview's "Muted" badges follow it.
void MainWindow::setPreviewListening(bool on)
{
    previewListening = on;
    if (previewPanel && previewPanel->localBox()->isChecked() != on)
        previewPanel->localBox()->setChecked(on);
    for (QPushButton *listen : findChildren<QPushButton *>(QStringLiteral("previewListen"))) {
        const QSignalBlocker blocker(listen);
        listen->setChecked(on);
        listen->setIcon(on ? lineIcon(19, QColor(QStringLiteral("#64d3e6"))) : lineIcon(20, QColor(QStringLiteral("#afc2d5"))));
        listen->setToolTip(uiText(on ? QStringLiteral("Stop listening to Preview") : QStringLiteral("Listen to Preview")));
    }
    for (QLabel *badge : findChildren<QLabel *>(QStringLiteral("deckState"))) {
        if (badge->property("preview").toBool())
            badge->setVisible(!on && badge->parentWidget());
    }
}

AudioPanel *MainWindow::previewAudioPanel() const
{
    return previewPanel;
}

QComboBox *MainWindow::enginePair(int index) const
{
    return index >= 0 && index < pairCombos.size() ? pairCombos[index].data() : nullptr;
}

// Combo items are not in the window's retranslation list; numbers follow the language's locale.
void MainWindow::retranslateAudioSection()
{
    if (!engineBackendCombo)
        return;
    const char *backends[] = {"ALSA exclusive", "ALSA shared low-latency", "AES67 network (Dante-compatible)"};
    for (int i = 0; i < 3; ++i)
        engineBackendCombo->setItemText(i, uiText(QString::fromLatin1(backends[i])));
    const QLocale numbers(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
    engineBufferCombo->setItemText(0, uiText(QStringLiteral("Device minimum")));
    for (int i = 1; i < engineBufferCombo->count(); ++i) {
        const int frames = engineBufferCombo->itemData(i).toInt();
        engineBufferCombo->setItemText(i, uiText(QStringLiteral("%1 samples (%2 ms)")).arg(frames).arg(numbers.toString(frames / 48.0, 'f', 1)));
    }
    for (int i = 0; i < aes67ChannelsCombo->count(); ++i)
        aes67ChannelsCombo->setItemText(i, uiText(QStringLiteral("%1 channels")).arg(aes67ChannelsCombo->itemData(i).toInt()));
    for (int i = 0; i < aes67LatencyCombo->count(); ++i)
        aes67LatencyCombo->setItemText(i, uiText(QStringLiteral("%1 ms")).arg(aes67LatencyCombo->itemData(i).toInt()));
    aes67MulticastField->setPlaceholderText(uiText(QStringLiteral("automatic (239.69.x.y)")));
    if (projectFpsCombo && projectFpsCombo->count() > 0)
        projectFpsCombo->setItemText(0, uiText(QStringLiteral("Automatic (follow each video)")));
    refreshAudioDevices();
    refreshAudioStatus();
}
