#include "app/MainWindow.h"

#include "app/pages/AudioPanel.h"
#include "app/pages/DiagnosticsPanel.h"
#include "app/pages/DigitalPanel.h"
#include "app/pages/UpdatePanel.h"
#include "app/AppInfo.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/display/OutputWindow.h"
#include "update/UpdateController.h"
#include "web/WebMonitorServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QTableWidget>
#include <QFile>
#include <QFileInfo>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLocale>
#include <QFrame>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

void MainWindow::captureBoard(const QString &path)
{
    retranslate();
    for (QWidget *child : findChildren<QWidget *>())
        child->repaint();
    repaint();
    const qreal ratio = devicePixelRatioF();
    const auto side = [ratio](int logical) {
        return int(std::clamp<double>(std::round(logical * ratio), 0, std::numeric_limits<int>::max()));
    };
    QPixmap picture(side(width()), side(height()));
    picture.setDevicePixelRatio(ratio);
    picture.fill(Qt::transparent);
    render(&picture);
    picture.save(path);
}

void MainWindow::scheduleUpdateCheck()
{
    if (sampleContent || qEnvironmentVariableIsSet("ZELVO_DISABLE_UPDATE_CHECK")
        || !QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/build-info.json")))
        return;
    QTimer::singleShot(8000, this, [this] { updateController->checkForUpdates(); });
    updateCheckTimer = new QTimer(this);
    updateCheckTimer->setInterval(14400000);
    connect(updateCheckTimer, &QTimer::timeout, this, [this] { updateController->checkForUpdates(); });
    updateCheckTimer->start();
}

// The web monitor's programs provider: what a browser is told of each Program.
QList<WebProgramInfo> MainWindow::webPrograms()
{
    QList<WebProgramInfo> result;
    for (int i = 0; i < programCount; ++i) {
        NativeChannel *programDeck = channel(i);
        WebProgramInfo info;
        info.id = programs[i].id;
        info.name = programName(i);
        info.media = programDeck && !programDeck->source().isEmpty() ? QFileInfo(programDeck->source()).fileName() : QString();
        info.onAir = sampleContent ? info.id == 1 : programDeck && !programDeck->source().isEmpty();
        info.playing = programDeck && programDeck->isPlaying();
        result << info;
    }
    return result;
}

// The web monitor's channel provider: the deck of the Program with that id, null when none.
NativeChannel *MainWindow::channelForProgramId(int programId)
{
    const int index = programIndexOfId(programId);
    return index < 0 ? nullptr : channel(index);
}

// The Link operator list's name provider.
QString MainWindow::programNameForId(int programId)
{
    return programName(programIndexOfId(programId));
}

std::function<QString(const QString &)> MainWindow::textProvider()
{
    return [this](const QString &key) { return uiText(key); };
}

// One NDI/OMT card and one audio strip per Program, index-aligned with the Programs.
void MainWindow::appendProgramPanels(int index)
{
    const QString key = programKey(index);
    auto *digital = new DigitalPanel(networkBus(index), settings.get(), key, textProvider(), sampleContent);
    auto *audio = new AudioPanel(channel(index), settings.get(), key, textProvider(), sampleContent);
    for (QFrame *panel : {static_cast<QFrame *>(digital), static_cast<QFrame *>(audio)})
        panel->setProperty("programName", programs.value(index).name);
    digital->retranslate();
    audio->retranslate();
    if (digitalPanelsLayout)
        digitalPanelsLayout->addWidget(digital);
    if (audioPanelsLayout)
        audioPanelsLayout->addWidget(audio);
    digitalPanels.append(digital);
    audioPanels.append(audio);
}

DigitalPanel *MainWindow::digitalPanel(int index) const
{
    return index >= 0 && index < digitalPanels.size() ? static_cast<DigitalPanel *>(digitalPanels[index].data()) : nullptr;
}

AudioPanel *MainWindow::audioPanel(int index) const
{
    return index >= 0 && index < audioPanels.size() ? static_cast<AudioPanel *>(audioPanels[index].data()) : nullptr;
}

// Called by the language change after the Programs' names were handed to the panels.
void MainWindow::retranslatePagePanels()
{
    if (previewPanel)
        previewAudioPanel()->retranslate();
    if (diagnostics)
        diagnostics->retranslate();
    if (updates)
        updates->refresh();
    retranslateAudioSection();
    const QLocale numbers(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
    for (const RouteWidgets &route : std::as_const(routes)) {
        for (const QPointer<QDoubleSpinBox> &box : route.areaBoxes)
            if (box)
                box->setLocale(numbers);
        for (int i = 0; route.area && i < route.area->count(); ++i)
            route.area->setItemText(i, uiText(i < areaPresets().size() ? areaPresets()[i].name : QStringLiteral("Custom area")));
    }
    for (int i = 0; i < digitalPanels.size(); ++i) {
        if (DigitalPanel *panel = digitalPanel(i))
            panel->retranslate();
        if (AudioPanel *panel = audioPanel(i))
            panel->retranslate();
    }
}

// Everything the engine objects measure, read once on the GUI thread; changes nothing.
QJsonObject MainWindow::diagnosticsSnapshot()
{
    QJsonArray decks;
    QJsonArray senders;
    QJsonObject preview = previewDeck.diagnostics();
    preview.insert(QStringLiteral("id"), QStringLiteral("preview"));
    preview.insert(QStringLiteral("name"), uiText(QStringLiteral("PREVIEW")));
    preview.insert(QStringLiteral("enabled"), true);
    decks.append(preview);
    for (int i = 0; i < programCount; ++i) {
        const QString id = QString::number(programs[i].id);
        QJsonObject deck = channel(i)->diagnostics();
        deck.insert(QStringLiteral("id"), id);
        deck.insert(QStringLiteral("name"), programName(i));
        deck.insert(QStringLiteral("enabled"), true);
        decks.append(deck);
        for (int protocol = 0; protocol < 2; ++protocol) {
            QJsonObject sender = networkBus(i)->sender(protocol).stats();
            sender.insert(QStringLiteral("program"), id);
            sender.insert(QStringLiteral("program_name"), programName(i));
            sender.insert(QStringLiteral("enabled"), true);
            sender.insert(QStringLiteral("protocol"), protocol == 0 ? QStringLiteral("NDI") : QStringLiteral("OMT"));
            senders.append(sender);
        }
    }
    QJsonArray outputs;
    QJsonArray displays;
    for (int r = 0; r < routeCount; ++r) {
        const OutputWindow *window = routeWindow(r);
        const QComboBox *source = routeSource(r);
        const int chosen = source ? source->currentIndex() : -1;
        displays.append(QJsonObject{{QStringLiteral("program"), chosen}});
        const bool open = window && window->isVisible();
        const int index = window ? routeOpenedIndex(r) : chosen;
        const bool valid = index >= 0 && index < programCount;
        const QSize size = window ? window->physicalSize() : QSize(0, 0);
        outputs.append(QJsonObject{
            {QStringLiteral("route"), r + 1},
            {QStringLiteral("enabled"), true},
            {QStringLiteral("open"), open},
            {QStringLiteral("program"), programs[std::clamp(index, 0, programCount - 1)].id},
            {QStringLiteral("program_name"), valid ? programName(index) : uiText(QStringLiteral("Not available"))},
            {QStringLiteral("published_to_window"), window ? window->publishedToWindow() : 0},
            {QStringLiteral("width"), size.width()},
            {QStringLiteral("height"), size.height()},
            {QStringLiteral("gpu_scaler_active"), window && window->gpuScalerActive()}});
    }
    const QByteArray decodeMode = qgetenv("ZELVO_DECODE_MODE");
    QJsonObject snapshot{
        {QStringLiteral("schema"), 2},
        {QStringLiteral("web_monitor"), webMonitor ? webMonitor->statusJson() : QJsonObject()},
        {QStringLiteral("local_audio"), localAudio ? localAudio->state() : QJsonObject()},
        {QStringLiteral("process_usage"), processUsageJson()},
        {QStringLiteral("version"), AppInfo::version},
        {QStringLiteral("recorded_utc"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("language"), language},
        {QStringLiteral("decode_mode_requested"), decodeMode.isEmpty() ? QStringLiteral("auto") : QString::fromUtf8(decodeMode)},
        {QStringLiteral("sample_content"), sampleContent},
        {QStringLiteral("output_configuration"),
         QJsonObject{{QStringLiteral("programs"), programCount}, {QStringLiteral("displays"), displays}}},
        {QStringLiteral("selected_program_id"), programs.value(selectedProgramIndex).id},
        {QStringLiteral("take_enabled"), canTake()},
        {QStringLiteral("selected_row"), playlistTable ? playlistTable->currentRow() : -1},
        {QStringLiteral("readiness"), readiness.snapshot()},
        {QStringLiteral("channels"), decks},
        {QStringLiteral("network"), senders},
        {QStringLiteral("outputs"), outputs},
        {QStringLiteral("scope"), QStringLiteral("Qt callbacks and CPU composition timing; dynamic Program allocation is not a "
                                                 "concurrency qualification. Decoder/GPU timing and physical delivery are not "
                                                 "measured.")}};
    if (!remoteLogWarning.isEmpty())
        snapshot.insert(QStringLiteral("link_warning"), remoteLogWarning);
    return snapshot;
}
