#include "app/MainWindow.h"

#include "app/widgets/MediaDelegate.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QUrl>

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    addMediaPaths(paths);
    event->acceptProposedAction();
}

void MainWindow::chooseMediaFiles()
{
    const QString filter = uiText(QStringLiteral("Media files"))
                           + QStringLiteral(" (*.mp4 *.mkv *.mov *.avi *.webm *.mxf *.ts *.m4v *.mpg *.mpeg *.wmv *.wav "
                                            "*.mp3 *.flac *.aiff);;")
                           + uiText(QStringLiteral("All files")) + QStringLiteral(" (*)");
    const QStringList files = QFileDialog::getOpenFileNames(this, uiText(QStringLiteral("Add media")), QString(), filter);
    addMedia(files, -2);
}

void MainWindow::chooseMediaFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, uiText(QStringLiteral("Add folder")), QString(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        scanFolder(folder);
}

void MainWindow::finishFolderScan()
{
    const int target = programIndexOfId(scanProgramId);
    const QStringList found = scanWatcher.future().isValid() && scanWatcher.future().resultCount() > 0 ? scanWatcher.result()
                                                                                                      : QStringList();
    addMedia(found, target);
    setStatus(QStringLiteral("Folder scan complete"));
}

void MainWindow::checkMissingMedia(bool ask)
{
    if (sampleContent)
        return;
    const QStringList missing = missingMedia();
    if (missing.isEmpty())
        return;
    setStatusRaw(uiText(QStringLiteral("%1 media files not found")).arg(missing.size()));
    if (!ask)
        return;
    const auto answer = QMessageBox::question(
        this, uiText(QStringLiteral("Missing media")),
        uiText(QStringLiteral("%1 media files of this show were not found (moved drive or folder?). Locate the media folder now?"))
            .arg(missing.size()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes)
        relinkMedia();
}

void MainWindow::addMediaPaths(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (QFileInfo(path).isDir())
            scanFolder(path);
        else
            addMedia({path}, selectedProgramIndex);
    }
}

QStringList MainWindow::missingMedia()
{
    QStringList missing;
    for (const QString &path : allMediaPaths())
        if (!QFileInfo::exists(path))
            missing << path;
    return missing;
}

QTableWidget *MainWindow::makePlaylistTable()
{
    auto *table = new QTableWidget(0, 5);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setAlternatingRowColors(true);
    table->verticalHeader()->hide();
    table->setShowGrid(false);
    table->setDragDropMode(QAbstractItemView::NoDragDrop);
    table->horizontalHeader()->setStretchLastSection(true);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table->setColumnWidth(0, 44);
    table->setColumnWidth(2, 110);
    table->setColumnWidth(3, 130);
    table->verticalHeader()->setDefaultSectionSize(42);
    return table;
}

void MainWindow::refreshLibraryTable(QTableWidget *table, const QStringList &paths)
{
    if (!table)
        return;
    const int remembered = table->currentRow();
    table->setRowCount(int(paths.size()));
    table->setHorizontalHeaderLabels({QStringLiteral("#"), uiText(QStringLiteral("Media")), uiText(QStringLiteral("Container")),
                                      uiText(QStringLiteral("Availability")), uiText(QStringLiteral("Location"))});
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths[i]);
        const bool available = sampleContent || info.exists();
        const QString texts[5] = {
            QStringLiteral("%1").arg(i + 1, 2, 10, QLatin1Char('0')),
            info.fileName(),
            info.suffix().toUpper(),
            sampleContent ? uiText(QStringLiteral("Sample"))
                          : uiText(available ? QStringLiteral("Available") : QStringLiteral("Offline")),
            sampleContent ? QStringLiteral("Show media / ") + info.fileName() : info.absolutePath(),
        };
        for (int column = 0; column < 5; ++column) {
            QTableWidgetItem *item = table->item(i, column);
            if (!item) {
                item = new QTableWidgetItem;
                table->setItem(i, column, item);
            }
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            item->setText(texts[column]);
        }
        table->item(i, 3)->setForeground(QColor(available ? QStringLiteral("#84c6a4") : QStringLiteral("#ff9478")));
    }
    if (remembered >= 0 && remembered < table->rowCount())
        table->selectRow(remembered);
    else
        table->setCurrentCell(-1, -1);
}

QString MainWindow::mediaSizeText(const QJsonValue &bytes) const
{
    if (!bytes.isDouble() || !std::isfinite(bytes.toDouble()) || bytes.toDouble() < 0)
        return QStringLiteral("—");
    const double value = bytes.toDouble();
    if (value == 0)
        return QStringLiteral("0 MB");
    QLocale locale(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    if (value >= 1000000000.0)
        return locale.toString(value / 1000000000.0, 'f', 2) + QStringLiteral(" GB");
    return locale.toString(value / 1000000.0, 'f', 1) + QStringLiteral(" MB");
}

bool MainWindow::mayMarkTrim()
{
    const bool valid = editedCueRow >= 0 && editedCueRow < playlist.size()
                       && playlist[editedCueRow].source == previewDeck.source()
                       && !(previewDeck.isPreparing() && previewDeck.takeWhenReady());
    if (!valid)
        setStatus(QStringLiteral("Cue media before marking In or Out."));
    return valid;
}

// Mark In / Mark Out: the Preview's position in seconds with its milliseconds.
bool MainWindow::markTrim(bool in)
{
    if (!mayMarkTrim())
        return false;
    QDoubleSpinBox *field = in ? inField : outField;
    if (field)
        field->setValue(double(previewDeck.positionMs()) / 1000.0);
    return applyEditedCue();
}

bool MainWindow::copyFromProgramA()
{
    if (selectedProgramIndex == 0)
        return false;
    if (!playlist.isEmpty()) {
        setStatus(QStringLiteral("Copy A into an empty playlist. Existing items were preserved."));
        return false;
    }
    playlist = programs[0].playlist;
    playlist.detach();
    storeSelectedPlaylist();
    refreshPlaylistTable();
    if (!sampleContent)
        modified = true;
    setStatus(QStringLiteral("A playlist copied. Changes are independent."));
    return true;
}

void MainWindow::refreshPlaylistTable()
{
    QStringList sources;
    for (const Cue &cue : std::as_const(playlist))
        sources << cue.source;
    if (playlistTable) {
        refreshLibraryTable(playlistTable, sources);
        playlistTable->setColumnWidth(2, 190);
        playlistTable->setColumnWidth(3, 150);
    }
    if (editTable) {
        refreshLibraryTable(editTable, sources);
        for (int row = 0; row < playlist.size(); ++row) {
            const Cue &cue = playlist[row];
            const QString range = clockText(cue.in_ms) + QStringLiteral(" / ")
                                  + (cue.out_ms < 0 ? uiText(QStringLiteral("End")) : clockText(cue.out_ms));
            editTable->item(row, 2)->setText(range);
            const char *kinds[] = {"Cut", "Dissolve", "Fade through black"};
            editTable->item(row, 3)->setText(uiText(QString::fromLatin1(kinds[std::clamp(cue.transition, 0, 2)])));
            editTable->item(row, 3)->setData(Qt::ForegroundRole, QVariant());
        }
        editTable->setColumnWidth(2, 200);
        editTable->setColumnWidth(3, 170);
        editTable->setHorizontalHeaderLabels({QStringLiteral("#"), uiText(QStringLiteral("Media")), uiText(QStringLiteral("In / Out")),
                                              uiText(QStringLiteral("Transition")), uiText(QStringLiteral("Location"))});
    }
    refreshLibraryTable(libraryTable, library);
    if (cueCombo) {
        const QSignalBlocker blocker(cueCombo);
        cueCombo->clear();
        for (const Cue &cue : std::as_const(playlist))
            cueCombo->addItem(QFileInfo(cue.source).fileName());
        cueCombo->setCurrentIndex(editedCueRow >= 0 && editedCueRow < playlist.size() ? editedCueRow : -1);
    }
}

void MainWindow::loadCueEditor(int row)
{
    if (loadingCue || row < 0 || row >= playlist.size() || !inField)
        return;
    loadingCue = true;
    editedCueRow = row;
    const Cue &cue = playlist[row];
    if (cueCombo) {
        const QSignalBlocker blocker(cueCombo);
        cueCombo->setCurrentIndex(row);
    }
    inField->setValue(double(cue.in_ms) / 1000.0);
    outField->setValue(cue.out_ms < 0 ? -1.0 : double(cue.out_ms) / 1000.0);
    transitionCombo->setCurrentIndex(std::clamp(cue.transition, 0, 2));
    transitionField->setValue(double(cue.transition_ms) / 1000.0);
    fadeInField->setValue(double(cue.enter_ms) / 1000.0);
    fadeOutField->setValue(double(cue.exit_ms) / 1000.0);
    editorStatus = QStringLiteral("Cue settings loaded");
    if (editorStateLabel)
        editorStateLabel->setText(uiText(editorStatus));
    loadingCue = false;
    tick();
}

QDoubleSpinBox *MainWindow::makeSecondsSpinBox(double minimum, double maximum)
{
    auto *spin = new QDoubleSpinBox(this);
    spin->setDecimals(3);
    spin->setRange(minimum, maximum);
    spin->setSingleStep(0.04);
    spin->setSuffix(QStringLiteral(" s"));
    spin->setMinimumWidth(100);
    return spin;
}

double MainWindow::editorInSeconds() const
{
    return inField ? inField->value() : 0.0;
}

double MainWindow::editorOutSeconds() const
{
    return outField ? outField->value() : -1.0;
}
