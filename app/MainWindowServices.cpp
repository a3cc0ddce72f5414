#include "app/MainWindow.h"

#include "app/pages/AudioPanel.h"
#include "app/pages/DigitalPanel.h"
#include "update/UpdateController.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QComboBox>
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
    for (const RouteWidgets &route : std::as_const(routes)) {
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
