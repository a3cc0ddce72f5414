#include "app/MainWindow.h"

#include "app/AppInfo.h"
#include "app/widgets/ElidedLabel.h"
#include "engine/CueEdit.h"
#include "engine/MediaRelink.h"
#include "engine/MediaScan.h"
#include "engine/PackageExport.h"
#include "engine/RecoveryStore.h"
#include "engine/ShowFile.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

namespace {

const QString showFilter = QStringLiteral("Zelvo show (*.zelvoshow)");
constexpr int listedNames = 12;

// The file names of the first twelve paths, one a line, and an ellipsis line when there are more.
QString fileNameList(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths.mid(0, listedNames))
        names.append(QFileInfo(path).fileName());
    QString text = names.join(QLatin1Char('\n'));
    if (paths.size() > listedNames)
        text += QStringLiteral("\n…");
    return text;
}

// Test seam: with ZELVO_TEST_RECOVERY_ANSWER set to "yes" or "no", the recovery question is
// answered by pressing that button of the real box once it is shown, and its text is logged.
void answerForTesting(QMessageBox &box)
{
    const QByteArray answer = qgetenv("ZELVO_TEST_RECOVERY_ANSWER");
    if (answer != "yes" && answer != "no")
        return;
    QTimer::singleShot(0, &box, [&box, answer] {
        qInfo("Recovery offered: %s", qUtf8Printable(box.text()));
        box.button(answer == "yes" ? QMessageBox::Yes : QMessageBox::No)->click();
    });
}

} // namespace

// ---- Show files ----------------------------------------------------------------------------

bool MainWindow::saveShow(bool saveAs)
{
    if (sampleContent)
        return false;
    QString path = saveAs ? QString() : showPath;
    if (path.isEmpty()) {
        path = QFileDialog::getSaveFileName(this, uiText(QStringLiteral("Save show")), QString(), showFilter);
        if (path.isEmpty())
            return false;
    }
    path = withShowSuffix(path);
    QString reason;
    if (!writeShowFile(currentShow(), path, &reason)) {
        qWarning("Could not save show %s: %s", qUtf8Printable(path), qUtf8Printable(reason));
        setStatus(QStringLiteral("Could not save show"));
        return false;
    }
    showPath = path;
    modified = false;
    clearRecovery();
    if (heading)
        heading->setText(QFileInfo(path).completeBaseName());
    setStatus(QStringLiteral("Show saved"));
    return true;
}

bool MainWindow::openShow()
{
    if (sampleContent)
        return false;
    if (modified) {
        const auto answer = QMessageBox::question(this, uiText(QStringLiteral("Unsaved show")),
                                                  uiText(QStringLiteral("Open another show without saving?")),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return false;
    }
    const QString path = QFileDialog::getOpenFileName(this, uiText(QStringLiteral("Open show")), QString(), showFilter);
    if (path.isEmpty())
        return false;
    Show show;
    switch (readShowFile(path, show)) {
    case ShowFileRead::CannotOpen:
        setStatus(QStringLiteral("Could not open show"));
        return false;
    case ShowFileRead::Invalid:
        setStatus(QStringLiteral("Invalid show file"));
        return false;
    case ShowFileRead::Ok:
        break;
    }
    if (!replaceShow(show, path))
        return false;
    clearRecovery();
    checkMissingMedia(true);
    return true;
}

bool MainWindow::openShowFile(const QString &path)
{
    // A copy left by a crashed run is offered once this show is open; until then nothing may
    // overwrite it (RecoveryStore sets it aside rather than lose it).
    queueLeftoverOffer();
    Show show;
    return readShowFile(path, show) == ShowFileRead::Ok && replaceShow(show, path);
}

bool MainWindow::replaceShow(const Show &show, const QString &path)
{
    if (!applyShowState(show, path))
        return false;
    ++showGeneration;
    return true;
}

// ---- Recovery copy -------------------------------------------------------------------------

RecoveryStore &MainWindow::recoveryStore() const
{
    if (!recovery)
        recovery = std::make_unique<RecoveryStore>(stateDir);
    return *recovery;
}

QString MainWindow::recoveryDir() const
{
    return recoveryStore().dir();
}

QString MainWindow::recoveryMetaPath() const
{
    return recoveryStore().metaPath();
}

QString MainWindow::recoveryShowPath() const
{
    return recoveryStore().showPath();
}

bool MainWindow::autosave()
{
    if (sampleContent || !modified)
        return false;
    return recoveryStore().write(showDocumentBytes(currentShow()), showPath, AppInfo::version);
}

void MainWindow::clearRecovery()
{
    recoveryStore().clear();
}

void MainWindow::discardRecovery()
{
    recoveryStore().discard();
}

void MainWindow::queueLeftoverOffer()
{
    if (sampleContent || leftoverOfferQueued || !recoveryStore().hasLeftover())
        return;
    leftoverOfferQueued = true;
    QTimer::singleShot(0, this, [this] { offerRecovery(); });
}

QString MainWindow::recoveryTimeText() const
{
    const QDateTime saved = recoveryStore().savedUtc();
    if (!saved.isValid())
        return QString();
    const QLocale locale(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
    return locale.toString(saved.toLocalTime(), QLocale::ShortFormat);
}

void MainWindow::offerRecovery()
{
    if (sampleContent)
        return;
    RecoveryStore &store = recoveryStore();
    // Only a copy that an earlier run left behind is offered, and only once.
    if (!store.hasLeftover())
        return;
    store.settleLeftover();
    QString when = recoveryTimeText();
    if (when.isEmpty())
        when = uiText(QStringLiteral("the last session"));
    QMessageBox box(QMessageBox::Question, uiText(QStringLiteral("Recover show")),
                    uiText(QStringLiteral("Zelvo Playout closed before the show was saved. Restore the automatic copy from %1?"))
                        .arg(when),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    answerForTesting(box);
    if (box.exec() == QMessageBox::Yes && restoreRecovery()) {
        checkMissingMedia(true);
        return;
    }
    discardRecovery();
}

bool MainWindow::restoreRecovery()
{
    RecoveryStore &store = recoveryStore();
    store.settleLeftover();
    RecoveryStore::Copy copy;
    if (!store.read(copy) || !replaceShow(copy.show, copy.originalPath))
        return false;
    if (copy.originalPath.isEmpty()) {
        showPath.clear();
        if (heading)
            heading->setText(uiText(QStringLiteral("Untitled show")));
    }
    modified = true;
    store.forget();
    setStatus(QStringLiteral("Show recovered. Save it to keep the changes."));
    qInfo("Show recovered from the automatic copy");
    return true;
}

// ---- Show packages -------------------------------------------------------------------------

void MainWindow::exportShowPackage()
{
    if (sampleContent)
        return;
    const QString name = showPath.isEmpty() ? uiText(QStringLiteral("Untitled show")) : QFileInfo(showPath).completeBaseName();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, uiText(QStringLiteral("Choose where to create the show package")), QString(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    exportPackage(freePackageFolder(chosen, name), name, true);
}

QString MainWindow::exportPackage(const QString &target, const QString &name, bool interactive,
                                  QStringList *notIncluded)
{
    const QString title = uiText(QStringLiteral("Export show package"));
    // The show and its media list are taken now: the package holds the show it was made for,
    // whatever happens to the window's show while the copy runs.
    PackageExport job(currentShow(), allMediaPaths(), target, name);
    if (!job.start()) {
        if (interactive) {
            QMessageBox::warning(this, title, uiText(QStringLiteral("Not enough free space: %1 needed."))
                                                  .arg(mediaSizeText(QJsonValue(double(job.plan().totalBytes)))));
        }
        return QString();
    }

    QEventLoop loop;
    connect(&job, &PackageExport::finished, &loop, &QEventLoop::quit);
    std::unique_ptr<QProgressDialog> progress;
    QTimer timer;
    if (interactive) {
        progress = std::make_unique<QProgressDialog>(uiText(QStringLiteral("Copying show media…")),
                                                     uiText(QStringLiteral("Cancel")), 0, 1000, this);
        progress->setWindowTitle(title);
        progress->setWindowModality(Qt::WindowModal);
        progress->setMinimumDuration(0);
        progress->setAutoClose(false);
        progress->setAutoReset(false);
        connect(progress.get(), &QProgressDialog::canceled, &job, &PackageExport::cancel);
        const qint64 total = job.plan().totalBytes;
        connect(&timer, &QTimer::timeout, progress.get(), [this, &job, &progress, total] {
            const qint64 copied = job.copiedBytes();
            progress->setValue(total > 0 ? int(copied * 1000 / total) : 0);
            progress->setLabelText(uiText(QStringLiteral("Copying show media…"))
                                   + QStringLiteral("\n%1 / %2").arg(mediaSizeText(QJsonValue(double(copied))),
                                                                     mediaSizeText(QJsonValue(double(total)))));
        });
        timer.start(100);
        progress->show();
    }
    if (job.status() == PackageExport::Status::Copying)
        loop.exec();
    timer.stop();
    if (progress)
        progress->close();

    if (notIncluded)
        *notIncluded = job.notIncluded();
    for (const QString &path : job.result().failed)
        qWarning("Show package: could not copy %s", qUtf8Printable(path));
    switch (job.status()) {
    case PackageExport::Status::Cancelled:
        if (interactive)
            setStatus(QStringLiteral("Show package export cancelled"));
        return QString();
    case PackageExport::Status::Written:
        break;
    default:
        if (interactive)
            QMessageBox::warning(this, title, uiText(QStringLiteral("Could not save show")));
        return QString();
    }
    if (interactive)
        reportExport(job.result().copied, target, job.notIncluded());
    return job.showFile();
}

void MainWindow::reportExport(int copied, const QString &target, const QStringList &notIncluded)
{
    QString message = uiText(QStringLiteral("Show package exported: %1 media files copied to %2."))
                          .arg(copied)
                          .arg(QDir::toNativeSeparators(target));
    if (!notIncluded.isEmpty()) {
        message += QStringLiteral("\n\n") + uiText(QStringLiteral("Not included (missing or unreadable):"))
                   + QLatin1Char('\n') + fileNameList(notIncluded);
    }
    QMessageBox::information(this, uiText(QStringLiteral("Export show package")), message);
    setStatus(QStringLiteral("Show package exported"));
}

// ---- Relinking and folder scans ------------------------------------------------------------

void MainWindow::relinkMedia()
{
    if (sampleContent)
        return;
    const QStringList missing = missingMedia();
    const QString title = uiText(QStringLiteral("Missing media"));
    if (missing.isEmpty()) {
        QMessageBox::information(this, title, uiText(QStringLiteral("All media files of this show were found.")));
        return;
    }
    const QString folder = QFileDialog::getExistingDirectory(this, uiText(QStringLiteral("Locate the media folder")),
                                                             QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;

    setStatus(QStringLiteral("Searching for missing media…"));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const quint64 generation = showGeneration;
    QFutureWatcher<QHash<QString, QString>> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<QHash<QString, QString>>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(startMediaMatch(missing, folder));
    if (!watcher.isFinished())
        loop.exec();
    QApplication::restoreOverrideCursor();
    const QHash<QString, QString> map = watcher.result();

    // The map belongs to the show the search was made for; a show opened meanwhile keeps its paths.
    if (generation != showGeneration) {
        setStatus(QStringLiteral("Another show was opened during the search; nothing was relinked."));
        return;
    }
    applyRelinks(map);
    const QStringList stillMissing = missingMedia();
    const QString line = uiText(QStringLiteral("Relinked %1 of %2 media files.")).arg(map.size()).arg(missing.size());
    QString message = line;
    if (!stillMissing.isEmpty()) {
        message += QStringLiteral("\n\n") + uiText(QStringLiteral("Still missing:")) + QLatin1Char('\n')
                   + fileNameList(stillMissing);
    }
    setStatusRaw(line);
    QMessageBox::information(this, title, message);
}

int MainWindow::applyRelinks(const QHash<QString, QString> &map)
{
    if (map.isEmpty())
        return 0;
    storeSelectedPlaylist();
    const int replaced = applyRelinkMap(library, programs, map);
    playlist = programs[selectedProgramIndex].playlist;
    modified = true;
    refreshPlaylistTable();
    return replaced;
}

void MainWindow::scanFolder(const QString &folder)
{
    if (sampleContent)
        return;
    if (scanWatcher.isRunning() || scanRunningForTesting) {
        setStatus(QStringLiteral("A folder scan is already running."));
        return;
    }
    scanProgramId = programs[selectedProgramIndex].id;
    if (!libraryFolders.contains(folder))
        libraryFolders.append(folder);
    setStatus(QStringLiteral("Scanning folder in background…"));
    scanWatcher.setFuture(startMediaScan(folder));
}

// ---- Cue editor ----------------------------------------------------------------------------

bool MainWindow::applyEditedCue()
{
    if (editedCueRow < 0 || editedCueRow >= playlist.size() || !inField || !outField || !transitionCombo
        || !transitionField || !fadeInField || !fadeOutField)
        return false;
    const CueEditorFields fields{inField->value(), outField->value(), transitionCombo->currentIndex(),
                                 transitionField->value(), fadeInField->value(), fadeOutField->value()};
    const CueEdit edit = editCue(playlist[editedCueRow], fields, previewDeck.source(), previewDeck.durationMs());
    if (!edit.error.isEmpty()) {
        setStatusRaw(uiText(QStringLiteral("Invalid cue")) + QStringLiteral(": ") + uiText(edit.error));
        return false;
    }
    const int row = editedCueRow;
    playlist[row] = edit.candidate;
    if (edit.trimChanged && row == selectedCueRow && !sampleContent)
        readiness.prepare(edit.candidate);
    modified = true;
    refreshPlaylistTable();
    editorStatus = QStringLiteral("Cue applied");
    if (editorStateLabel)
        editorStateLabel->setText(uiText(editorStatus));
    setStatus(QStringLiteral("Cue saved. Changes apply on the next TAKE."));
    return true;
}
