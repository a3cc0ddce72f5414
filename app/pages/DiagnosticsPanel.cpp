#include "app/pages/DiagnosticsPanel.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const char *const metricRows[] = {"Source", "Playback", "Preparation", "Resolution", "Nominal frame rate",
                                  "Video frames in last second", "Backend buffer", "Published video frames",
                                  "Filtered preroll frames", "CPU composition last (ms)", "CPU composition peak (ms)",
                                  "Audio buffers tapped", "Decoder adapter", "Decode time (ms)", "Last error"};
const char *const networkColumns[] = {"Program", "Protocol", "Status", "Video frames", "Audio packets", "Superseded video",
                                      "Dropped audio", "Connections"};

QTableWidget *metricsTable(int columns, QWidget *parent)
{
    auto *table = new QTableWidget(0, columns, parent);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setAlternatingRowColors(true);
    table->verticalHeader()->hide();
    table->setShowGrid(false);
    table->verticalHeader()->setDefaultSectionSize(28);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    return table;
}

} // namespace

DiagnosticsPanel::DiagnosticsPanel(std::function<QString(const QString &)> text, std::function<QJsonObject()> snapshot,
                                   bool sampleContent, QWidget *parent)
    : QWidget(parent), text(std::move(text)), snapshot(std::move(snapshot)), sampleContent(sampleContent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    auto *header = new QHBoxLayout;
    heading = new QLabel(this);
    heading->setObjectName(QStringLiteral("heading"));
    header->addWidget(heading);
    header->addStretch(1);
    refreshButton = new QPushButton(this);
    exportButton = new QPushButton(this);
    exportButton->setObjectName(QStringLiteral("exportDiagnostics"));
    header->addWidget(refreshButton);
    header->addWidget(exportButton);
    layout->addLayout(header);
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("muted"));
    note->setWordWrap(true);
    layout->addWidget(note);
    readiness = new QLabel(this);
    readiness->setWordWrap(true);
    layout->addWidget(readiness);
    engine = metricsTable(4, this);
    engine->setObjectName(QStringLiteral("engineMetrics"));
    engine->setMinimumHeight(340);
    engine->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    layout->addWidget(engine, 1);
    network = metricsTable(8, this);
    network->setObjectName(QStringLiteral("networkMetrics"));
    network->setMinimumHeight(160);
    network->setMaximumHeight(180);
    layout->addWidget(network);
    status = new QLabel(this);
    status->setObjectName(QStringLiteral("muted"));
    status->setWordWrap(true);
    layout->addWidget(status);

    connect(refreshButton, &QPushButton::clicked, this, [this] { refresh(); });
    connect(exportButton, &QPushButton::clicked, this, [this] { exportReport(); });
    timer = new QTimer(this);
    timer->setInterval(500);
    connect(timer, &QTimer::timeout, this, [this] {
        if (isVisible())
            refresh();
    });
    timer->start();
    retranslate();
}

DiagnosticsPanel::~DiagnosticsPanel() = default;

QJsonObject DiagnosticsPanel::takeSnapshot()
{
    ++snapshots;
    return snapshot ? snapshot() : QJsonObject();
}

void DiagnosticsPanel::retranslate()
{
    heading->setText(text(QStringLiteral("Engine diagnostics")));
    refreshButton->setText(text(QStringLiteral("Refresh")));
    exportButton->setText(text(QStringLiteral("Export report")));
    note->setText(text(QStringLiteral("Local callback and CPU composition measurements. Decoder/GPU timing and packet queues "
                                      "are not exposed by this backend.")));
    QStringList labels;
    for (const char *column : networkColumns)
        labels << text(QString::fromLatin1(column));
    network->setHorizontalHeaderLabels(labels);
    refresh();
}

QString DiagnosticsPanel::stateLabel(const QString &state) const
{
    static const QList<std::pair<QString, QString>> labels{
        {QStringLiteral("ready"), QStringLiteral("READY")},       {QStringLiteral("preparing"), QStringLiteral("Preparing")},
        {QStringLiteral("error"), QStringLiteral("Error")},       {QStringLiteral("cancelled"), QStringLiteral("Cancelled")},
        {QStringLiteral("playing"), QStringLiteral("Playing")},   {QStringLiteral("paused"), QStringLiteral("Paused")}};
    for (const auto &[word, label] : labels)
        if (word == state)
            return text(label);
    return text(QStringLiteral("Empty"));
}

QString DiagnosticsPanel::number(const QJsonValue &value, int decimals) const
{
    return value.isDouble() ? QString::number(value.toDouble(), 'f', decimals) : text(QStringLiteral("Not available"));
}

void DiagnosticsPanel::setCell(QTableWidget *table, int row, int column, const QString &value, const QString &tip)
{
    QTableWidgetItem *item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        table->setItem(row, column, item);
    }
    if (item->text() != value)
        item->setText(value);
    item->setToolTip(tip.isEmpty() ? value : tip);
}

void DiagnosticsPanel::refresh()
{
    const QJsonObject document = takeSnapshot();
    const QJsonObject ready = document.value(QStringLiteral("readiness")).toObject();
    const QJsonObject cue = ready.value(QStringLiteral("cue")).toObject();
    readiness->setText(sampleContent ? text(QStringLiteral("Sample content — no engine measurements"))
                                     : text(QStringLiteral("Cue readiness")) + QStringLiteral(": ")
                                           + stateLabel(ready.value(QStringLiteral("state")).toString()) + QStringLiteral(" · ")
                                           + QFileInfo(cue.value(QStringLiteral("source")).toString()).fileName()
                                           + QStringLiteral(" · ") + text(ready.value(QStringLiteral("error")).toString()));
    fillEngineTable(document.value(QStringLiteral("channels")).toArray());
    fillNetworkTable(document.value(QStringLiteral("network")).toArray());
}

void DiagnosticsPanel::fillEngineTable(const QJsonArray &channels)
{
    const int rows = int(std::size(metricRows));
    engine->setRowCount(rows);
    for (int row = 0; row < rows; ++row)
        setCell(engine, row, 0, text(QString::fromLatin1(metricRows[row])));
    engine->setColumnCount(int(channels.size()) + 1);
    QStringList labels{text(QStringLiteral("Metric"))};
    for (const QJsonValue &deck : channels)
        labels << deck.toObject().value(QStringLiteral("name")).toString();
    engine->setHorizontalHeaderLabels(labels);
    for (int column = 0; column < engine->columnCount(); ++column)
        engine->setColumnHidden(column, false);
    engine->horizontalHeader()->resizeSections(QHeaderView::ResizeToContents);

    const QString unavailable = text(QStringLiteral("Not available"));
    for (int index = 0; index < channels.size(); ++index) {
        const QJsonObject deck = channels[index].toObject();
        const QString source = deck.value(QStringLiteral("source")).toString();
        const double width = deck.value(QStringLiteral("width")).toDouble();
        const double height = deck.value(QStringLiteral("height")).toDouble();
        const QString lastError = deck.value(QStringLiteral("last_error")).toString();
        const QString values[15] = {
            source.isEmpty() ? text(QStringLiteral("No media loaded")) : QFileInfo(source).fileName(),
            stateLabel(deck.value(QStringLiteral("playback")).toString()),
            stateLabel(deck.value(QStringLiteral("preparation_state")).toString()) + QStringLiteral(" · ")
                + number(deck.value(QStringLiteral("preparation_ms")), 0) + QStringLiteral(" ms"),
            width >= 1 && height >= 1 ? QStringLiteral("%1 × %2").arg(width).arg(height) : unavailable,
            number(deck.value(QStringLiteral("nominal_fps")), 3),
            number(deck.value(QStringLiteral("video_frames_last_second")), 0),
            source.isEmpty() ? unavailable
                             : QString::number(deck.value(QStringLiteral("backend_buffer_progress")).toDouble() * 100, 'f', 0)
                    + QStringLiteral(" %"),
            number(deck.value(QStringLiteral("published_frames")), 0),
            number(deck.value(QStringLiteral("preroll_frames_filtered")), 0),
            number(deck.value(QStringLiteral("cpu_composition_last_ms")), 3),
            number(deck.value(QStringLiteral("cpu_composition_peak_ms")), 3),
            number(deck.value(QStringLiteral("audio_buffers_tapped")), 0),
            unavailable,
            unavailable,
            lastError.isEmpty() ? QStringLiteral("—") : lastError};
        for (int row = 0; row < rows; ++row) {
            QString tip;
            if (row == 0)
                tip = source;
            else if (row == 2)
                tip = deck.value(QStringLiteral("preparation_source")).toString() + QLatin1Char('\n')
                    + deck.value(QStringLiteral("preparation_error")).toString();
            const QString value = sampleContent ? text(QStringLiteral("Sample")) : values[row];
            setCell(engine, row, index + 1, value, tip.trimmed().isEmpty() ? value : tip);
        }
    }
}

void DiagnosticsPanel::fillNetworkTable(const QJsonArray &senders)
{
    network->setRowCount(int(senders.size()));
    for (int row = 0; row < senders.size(); ++row) {
        const QJsonObject sender = senders[row].toObject();
        network->setRowHidden(row, !sender.value(QStringLiteral("enabled")).toBool(true));
        const QString error = sender.value(QStringLiteral("error")).toString();
        const QString state = sender.value(QStringLiteral("running")).toBool() ? text(QStringLiteral("Sending"))
                              : error.isEmpty()                                 ? text(QStringLiteral("Stopped"))
                                                                                : text(QStringLiteral("Error"));
        const auto count = [&sender](const char *key) {
            return QString::number(qint64(sender.value(QLatin1String(key)).toDouble()));
        };
        const QString values[8] = {sender.value(QStringLiteral("program_name")).toString(),
                                   sender.value(QStringLiteral("protocol")).toString(),
                                   state,
                                   count("video_frames"),
                                   count("audio_packets"),
                                   count("superseded_video"),
                                   count("dropped_audio"),
                                   count("connections")};
        for (int column = 0; column < 8; ++column) {
            const QString value = sampleContent ? text(QStringLiteral("Sample")) : values[column];
            setCell(network, row, column, value, column == 2 && !error.isEmpty() ? error : QString());
        }
    }
}

void DiagnosticsPanel::exportReport()
{
    const QString name = QStringLiteral("zelvo-diagnostics-")
                         + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".json");
    const QString path = QFileDialog::getSaveFileName(this, text(QStringLiteral("Export diagnostics")), name,
                                                      QStringLiteral("JSON (*.json)"));
    if (!path.isEmpty())
        saveReport(path);
}

// Written through a save file: a failed write or commit leaves whatever was at the path before.
bool DiagnosticsPanel::saveReport(const QString &path)
{
    const QByteArray bytes = QJsonDocument(takeSnapshot()).toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    bool saved = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    saved = saved && file.commit();
    if (!saved)
        file.cancelWriting();
    status->setText(text(saved ? QStringLiteral("Diagnostics saved") : QStringLiteral("Could not save diagnostics")));
    return saved;
}

QString DiagnosticsPanel::readinessText() const
{
    return readiness->text();
}

QString DiagnosticsPanel::statusText() const
{
    return status->text();
}
