#include "app/MainWindow.h"

#include "update/UpdateController.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>

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
