#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <functional>

// Measures what this process costs the machine: CPU load over the processors the process may run
// on, resident memory, the busiest GPU engine it uses and the GPU memory it holds, as one JSON
// sample. Everything is read from the proc file system: <root>/self/stat and <root>/self/status
// for CPU, <root>/self/statm for memory and the DRM entries of <root>/self/fdinfo for the GPU
// (figures the kernel does not offer stay null). The root is injectable so that tests can hand it
// a fixture tree.
//
// One sample runs at a time on a pool thread (the window's watcher guarantees that), so the
// sampler keeps its previous readings without a lock. Not a QObject.
class ProcessUsage
{
public:
    explicit ProcessUsage(const QString &procRoot = QStringLiteral("/proc"),
                          std::function<qint64()> clockNs = {});

    QJsonObject sample();

    // The latest sample as the window hands it out: stale when empty or more than 3500 ms older
    // than nowUnixMs, and then without figures.
    static QJsonObject withStaleness(const QJsonObject &latest, qint64 nowUnixMs);

    static constexpr qint64 staleAfterMs = 3500;

private:
    struct GpuReading
    {
        QHash<QString, qint64> engineBusyNs;   // "pdev engine" -> busy time summed over clients
        QHash<QString, double> engineCapacity; // "pdev engine" -> engines of that class
        QHash<QString, QString> adapterNames;  // pdev -> driver
        QHash<QString, qint64> localBytes;     // pdev -> bytes, absent when not offered
        QHash<QString, qint64> nonlocalBytes;
    };

    qint64 nowNs() const;
    void sampleCpu(QJsonObject &result, qint64 now);
    void sampleMemory(QJsonObject &result) const;
    void sampleGpu(QJsonObject &result, qint64 now);
    GpuReading readDrmClients() const;
    int allowedCpus() const;

    QString root;
    std::function<qint64()> clock;
    QElapsedTimer timer;
    quint64 lastCpuTicks = 0;
    qint64 lastSampleNs = 0;
    bool havePrevious = false;
    QHash<QString, qint64> lastEngineBusyNs;
    qint64 lastGpuNs = 0;
};
