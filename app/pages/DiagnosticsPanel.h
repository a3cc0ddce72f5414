#pragma once

#include <QJsonObject>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

// The Engine diagnostics tab: a cue readiness line, one column per deck and one row per network
// sender, all read from one diagnostics snapshot, and the export of that snapshot as JSON. The
// panel knows no engine object, only its snapshot provider. Its 500 ms timer takes a snapshot only
// while the panel is visible, since a snapshot reads every deck and sender. GUI thread only.
class DiagnosticsPanel : public QWidget
{
public:
    DiagnosticsPanel(std::function<QString(const QString &)> text, std::function<QJsonObject()> snapshot,
                     bool sampleContent, QWidget *parent = nullptr);
    ~DiagnosticsPanel() override;

    void retranslate();
    void refresh();
    void exportReport();
    bool saveReport(const QString &path);
    QString stateLabel(const QString &state) const;

    QTableWidget *engineTable() const { return engine; }
    QTableWidget *networkTable() const { return network; }
    QString readinessText() const;
    QString statusText() const;
    int snapshotsTaken() const { return snapshots; }

private:
    QJsonObject takeSnapshot();
    void fillEngineTable(const QJsonArray &channels);
    void fillNetworkTable(const QJsonArray &senders);
    void setCell(QTableWidget *table, int row, int column, const QString &value, const QString &tip = QString());
    QString number(const QJsonValue &value, int decimals) const;

    std::function<QString(const QString &)> text;
    std::function<QJsonObject()> snapshot;
    bool sampleContent;
    QLabel *heading = nullptr;
    QPushButton *refreshButton = nullptr;
    QPushButton *exportButton = nullptr;
    QLabel *note = nullptr;
    QLabel *readiness = nullptr;
    QTableWidget *engine = nullptr;
    QTableWidget *network = nullptr;
    QLabel *status = nullptr;
    QTimer *timer = nullptr;
    int snapshots = 0;
};
