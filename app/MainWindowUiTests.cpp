// The user-interface self-test: its frame (start, report) and the start-up cases. The later
// stretches live in MainWindowUiTests*.cpp; each continues from the state the previous one left.
#include "app/MainWindow.h"
#include "app/UiTestRun.h"

#include "link/LinkNode.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "update/UpdateController.h"
#include "web/WebMonitorServer.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator64>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>

int MainWindow::runUiTests(const QString &fixtures, const QString &result)
{
    QApplication::setQuitOnLastWindowClosed(false);
    UiTestRun run(fixtures, result);
    UiTestRun::pump(300);
    uiTestStartup(run);
    uiTestLayout(run);
    uiTestPrograms(run);
    uiTestRemoval(run);
    uiTestTopology(run);
    uiTestReliability(run);
    return run.write();
}

QPushButton *MainWindow::uiTestButton(const QString &textKey, const QWidget *root) const
{
    const QString text = uiText(textKey);
    for (QPushButton *candidate : (root ? root : this)->findChildren<QPushButton *>())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

bool MainWindow::uiTestLabelReads(const QWidget *root, const QString &textKey) const
{
    const QString text = uiText(textKey);
    for (QLabel *label : root ? root->findChildren<QLabel *>() : QList<QLabel *>())
        if (label->text() == text)
            return true;
    return false;
}

void MainWindow::uiTestSelectLanguage(const QString &code)
{
    languageCombo->setCurrentIndex(code == QStringLiteral("pt-BR") ? 1 : 0);
}

void MainWindow::uiTestBlack(int index)
{
    PlaylistController *order = controller(index);
    order->current = -1;
    order->nextPrepared = false;
    channel(index)->clear();
}

bool MainWindow::uiTestPlaying(int index)
{
    return index < programCount && channel(index)->isPlaying();
}

void MainWindow::uiTestStartup(UiTestRun &run)
{
    QStringList strays;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top == this || !top->isVisible() || qobject_cast<QMenu *>(top) || top->windowType() == Qt::ToolTip)
            continue;
        strays << QString::fromLatin1(top->metaObject()->className()) + QLatin1Char(':') + top->objectName();
    }
    if (!strays.isEmpty())
        qInfo().noquote() << "stray windows" << strays.join(QStringLiteral(", "));
    run.record(QStringLiteral("only_the_main_window_is_open_at_startup"), strays.isEmpty());

    UiTestRun::pump(80);
    const OutputConfig config = currentOutputConfig();
    run.record(QStringLiteral("default_allocates_only_main_program_and_one_route"),
               config.programs == 1 && config.displays == 1 && programRecords.empty() && routes.size() == 1
                   && routeSource(0) && programSelector && programSelector->count() == 1 && programArea
                   && programArea->currentIndex() == 0);

    uiTestStartupServices(run);

    run.record(QStringLiteral("approved_brand_icon_is_present"),
               !windowIcon().isNull() && findChild<QWidget *>(QStringLiteral("brandMark")) != nullptr);

    uiTestStartupDiagnostics(run);
}

void MainWindow::uiTestStartupWeb(UiTestRun &run)
{
    const QString code = settings->value(QStringLiteral("webMonitorCode")).toString();
    run.record(QStringLiteral("web_monitor_is_off_by_default"),
               webMonitor && !webMonitor->isRunning() && webMonitor->urls().isEmpty() && outputsTabs
                   && outputsTabs->count() == 4 && webStartButton && webStartButton->isEnabled() && webStopButton
                   && !webStopButton->isEnabled() && code.size() >= 6);

    const QString name = QStringLiteral("web_monitor_starts_on_request_and_stops");
    if (!webMonitor || !webStartButton || !webStopButton || !webAccessCombo || !webPortBox || !webNewCodeButton
        || !webUrlLabel || !webStatusLabel || webAccessCombo->count() < 2) {
        run.fail(name, QStringLiteral("the web monitor page's controls are missing"));
        return;
    }
    webAccessCombo->setCurrentIndex(1);
    const int chosen = 20000 + int(QRandomGenerator64::global()->bounded(20000));
    webPortBox->setValue(chosen);
    webStartButton->click();
    UiTestRun::pump(50);
    const QString before = settings->value(QStringLiteral("webMonitorCode")).toString();
    const QStringList urls = webMonitor->urls();
    const bool running = webMonitor->isRunning() && urls.size() == 1
                         && urls.first().contains(QStringLiteral("127.0.0.1:%1").arg(chosen))
                         && webUrlLabel->text().contains(before) && !webPortBox->isEnabled();
    webNewCodeButton->click();
    const QString after = settings->value(QStringLiteral("webMonitorCode")).toString();
    const bool renewed = after != before && webAccessCode == after && webMonitor->code() == after;
    webStopButton->click();
    UiTestRun::pump(30);
    run.record(name, running && renewed && !webMonitor->isRunning()
                         && webStatusLabel->text() == uiText(QStringLiteral("Stopped. Nothing is listening on the network.")));
}

void MainWindow::uiTestStartupServices(UiTestRun &run)
{
    run.record(QStringLiteral("update_install_guard_allows_idle"), !anyProgramPlaying());

    QWidget *notice = updateBanner;
    run.record(QStringLiteral("updater_starts_idle_without_download"),
               updateController && updateController->currentText() == QStringLiteral("idle")
                   && updateController->downloadedPath().isEmpty() && notice && !notice->isVisible());

    run.record(QStringLiteral("updates_page_is_available"), settingsTabs && settingsTabs->count() == 3 && updates);

    uiTestStartupWeb(run);

    const auto pairs = findChildren<QComboBox *>(QRegularExpression(QStringLiteral("^enginePair")));
    QWidget *engineStart = findChild<QWidget *>(QStringLiteral("engineStart"));
    run.record(QStringLiteral("low_latency_output_is_off_by_default"),
               localAudio && !localAudio->isRunning() && programADeck.externalOutput() == localAudio->isRunning()
                   && !programADeck.isMuted() && engineStart && !engineStart->isVisible() && pairs.size() == 1
                   && engineStatusLabel
                   && engineStatusLabel->text()
                          == uiText(QStringLiteral("Off. Programs play through their normal output (Audio routing below).")));

    uiTestStartupLink(run);
}

void MainWindow::uiTestStartupLink(UiTestRun &run)
{
    const QString off = uiText(QStringLiteral("Off. Nothing is listening on the network."));
    run.record(QStringLiteral("zelvo_link_is_off_by_default"),
               linkNode && linkNode->mode == 0 && linkStartButton && linkStartButton->isEnabled() && linkStopButton
                   && !linkStopButton->isEnabled() && linkStatusLabel && linkStatusLabel->text() == off);

    const QString name = QStringLiteral("zelvo_link_master_starts_and_stops_from_the_page");
    if (!linkNode || !linkStartButton || !linkSendButton || !linkLoadButton || !linkStatusLabel) {
        run.fail(name, QStringLiteral("the Link page's controls are missing"));
        return;
    }
    const bool started = linkNode->startMaster(QStringLiteral("ox-lane-reed"), 0);
    refreshLinkPage();
    const bool master = started
                        && linkStatusLabel->text().startsWith(uiText(QStringLiteral("Master · %1 machines connected")).arg(0))
                        && !linkStartButton->isEnabled() && !linkSendButton->isHidden() && linkLoadButton->isHidden();
    linkNode->stop();
    refreshLinkPage();
    run.record(name, master && linkNode->mode == 0 && linkStartButton->isEnabled());
}

void MainWindow::uiTestStartupDiagnostics(UiTestRun &run)
{
    const QJsonObject snapshot = diagnosticsSnapshot();
    run.record(QStringLiteral("single_diagnostics_has_no_inactive_placeholders"),
               snapshot.value(QStringLiteral("channels")).toArray().size() == 2
                   && snapshot.value(QStringLiteral("network")).toArray().size() == 2
                   && snapshot.value(QStringLiteral("outputs")).toArray().size() == 1);
}
