#include "app/ProcessUsage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

const QString memoryScope = QStringLiteral(
    "Current process DRM fdinfo LOCAL (VRAM) + NON_LOCAL (GTT/system) usage on each GPU; not physical VRAM "
    "capacity. Partial queries remain unavailable.");
const QString usageScope = QStringLiteral(
    "Current process; CPU normalized by the processors it may use, RAM resident set, busiest observed process "
    "GPU engine. Not decoder identification or whole-system load.");
const QString provider = QStringLiteral("Linux /proc/self/stat / /proc/self/status / /proc/self/statm / DRM fdinfo");

const char *const figureKeys[] = {"cpu_percent", "working_set_bytes", "gpu_percent", "gpu_engine",
                                  "gpu_memory_bytes", "gpu_memory_local_bytes", "gpu_memory_nonlocal_bytes"};

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(1 << 20);
}

// "123 KiB", "4 MiB" or "77" (bytes) as bytes; -1 when it is no size.
qint64 sizeBytes(const QByteArray &text)
{
    const QList<QByteArray> parts = text.simplified().split(' ');
    bool ok = false;
    const qint64 value = parts.value(0).toLongLong(&ok);
    if (!ok || value < 0)
        return -1;
    const QByteArray unit = parts.value(1);
    if (unit.isEmpty() || unit == "B")
        return value;
    if (unit == "KiB")
        return value * 1024;
    if (unit == "MiB")
        return value * 1024 * 1024;
    if (unit == "GiB")
        return value * 1024 * 1024 * 1024;
    return -1;
}

bool isLocalRegion(const QByteArray &region)
{
    return region.startsWith("vram") || region.startsWith("local");
}

} // namespace

ProcessUsage::ProcessUsage(const QString &procRoot, std::function<qint64()> clockNs)
    : root(procRoot), clock(std::move(clockNs))
{
    timer.start();
}

qint64 ProcessUsage::nowNs() const
{
    return clock ? clock() : timer.nsecsElapsed();
}

QJsonObject ProcessUsage::sample()
{
    const qint64 now = nowNs();
    QJsonObject result;
    for (const char *key : figureKeys)
        result.insert(QLatin1String(key), QJsonValue::Null);
    result.insert(QStringLiteral("gpu_memory_adapters"), QJsonArray());
    result.insert(QStringLiteral("gpu_memory_complete"), false);
    result.insert(QStringLiteral("gpu_memory_scope"), memoryScope);
    result.insert(QStringLiteral("scope"), usageScope);
    result.insert(QStringLiteral("interval_ms"), havePrevious ? double((now - lastSampleNs) / 1000000) : 0.0);
    result.insert(QStringLiteral("provider"), provider);
    result.insert(QStringLiteral("pid"), double(QCoreApplication::applicationPid()));
    sampleCpu(result, now);
    sampleMemory(result);
    sampleGpu(result, now);
    result.insert(QStringLiteral("sampled_unix_ms"), double(QDateTime::currentMSecsSinceEpoch()));
    return result;
}

// CPU time is utime + stime of the stat line, in clock ticks; the fields are counted after the
// last ')' because the command name may itself hold blanks and parentheses.
void ProcessUsage::sampleCpu(QJsonObject &result, qint64 now)
{
    const QByteArray stat = readSmallFile(root + QStringLiteral("/self/stat"));
    const int close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = close < 0 ? QList<QByteArray>() : stat.mid(close + 1).simplified().split(' ');
    bool userOk = false;
    bool systemOk = false;
    const quint64 user = fields.value(11).toULongLong(&userOk);
    const quint64 system = fields.value(12).toULongLong(&systemOk);
    if (!userOk || !systemOk) {
        havePrevious = false;
        return;
    }
    const quint64 total = user + system;
    const int processors = allowedCpus();
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (havePrevious && lastSampleNs < now && total >= lastCpuTicks && processors > 0 && ticksPerSecond > 0) {
        const double cpuNs = double(total - lastCpuTicks) * 1e9 / double(ticksPerSecond);
        const double percent = cpuNs * 100.0 / (double(now - lastSampleNs) * processors);
        result.insert(QStringLiteral("cpu_percent"), std::clamp(percent, 0.0, 100.0));
    }
    lastCpuTicks = total;
    lastSampleNs = now;
    havePrevious = true;
}

// The processors of Cpus_allowed_list ("0-3,6"), which is what the scheduler lets this process use;
// the machine's count when the line is missing.
int ProcessUsage::allowedCpus() const
{
    const QByteArray status = readSmallFile(root + QStringLiteral("/self/status"));
    for (const QByteArray &line : status.split('\n')) {
        if (!line.startsWith("Cpus_allowed_list:"))
            continue;
        int count = 0;
        for (const QByteArray &range : line.mid(18).trimmed().split(',')) {
            const QList<QByteArray> ends = range.split('-');
            bool firstOk = false;
            bool lastOk = ends.size() == 1;
            const int first = ends.value(0).toInt(&firstOk);
            const int last = ends.size() == 2 ? ends.value(1).toInt(&lastOk) : first;
            if (firstOk && lastOk && last >= first && ends.size() <= 2)
                count += last - first + 1;
        }
        if (count > 0)
            return count;
    }
    return QThread::idealThreadCount();
}

void ProcessUsage::sampleMemory(QJsonObject &result) const
{
    const QList<QByteArray> fields = readSmallFile(root + QStringLiteral("/self/statm")).simplified().split(' ');
    bool ok = false;
    const qint64 residentPages = fields.value(1).toLongLong(&ok);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (ok && residentPages >= 0 && pageSize > 0)
        result.insert(QStringLiteral("working_set_bytes"), double(residentPages) * double(pageSize));
}

// Every open DRM file of this process has an fdinfo entry with its client id; several descriptors
// of the same client are counted once.
ProcessUsage::GpuReading ProcessUsage::readDrmClients() const
{
    GpuReading reading;
    QSet<QString> seenClients;
    const QDir folder(root + QStringLiteral("/self/fdinfo"));
    const QStringList entries = folder.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        const QByteArray text = readSmallFile(folder.filePath(entry));
        if (!text.contains("drm-driver:"))
            continue;
        QHash<QByteArray, QByteArray> keys;
        for (const QByteArray &line : text.split('\n')) {
            const int colon = line.indexOf(':');
            if (line.startsWith("drm-") && colon > 0)
                keys.insert(line.left(colon), line.mid(colon + 1).trimmed());
        }
        const QString device = QString::fromUtf8(keys.value("drm-pdev", "drm"));
        const QString client = device + QLatin1Char('/') + QString::fromUtf8(keys.value("drm-client-id", entry.toUtf8()));
        if (seenClients.contains(client))
            continue;
        seenClients.insert(client);
        reading.adapterNames.insert(device, QString::fromUtf8(keys.value("drm-driver")));
        bool hasResident = false;
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            hasResident = hasResident || it.key().startsWith("drm-resident-");
        const QByteArray memoryPrefix = hasResident ? "drm-resident-" : "drm-memory-";
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            if (it.key().startsWith("drm-engine-capacity-")) {
                const QString engine = device + QLatin1Char(' ') + QString::fromUtf8(it.key().mid(20));
                reading.engineCapacity.insert(engine, std::max(1.0, it.value().toDouble()));
            } else if (it.key().startsWith("drm-engine-") && it.value().endsWith(" ns")) {
                const QString engine = device + QLatin1Char(' ') + QString::fromUtf8(it.key().mid(11));
                reading.engineBusyNs[engine] += it.value().chopped(3).trimmed().toLongLong();
            } else if (it.key().startsWith(memoryPrefix)) {
                const qint64 bytes = sizeBytes(it.value());
                if (bytes < 0)
                    continue;
                auto &sums = isLocalRegion(it.key().mid(memoryPrefix.size())) ? reading.localBytes : reading.nonlocalBytes;
                sums[device] += bytes;
            }
        }
    }
    return reading;
}

void ProcessUsage::sampleGpu(QJsonObject &result, qint64 now)
{
    const GpuReading reading = readDrmClients();

    // Busy time is cumulative, so an engine counts from its second reading on.
    double best = -1;
    QString busiest;
    QStringList engines = reading.engineBusyNs.keys();
    engines.sort();
    for (const QString &engine : engines) {
        const auto previous = lastEngineBusyNs.constFind(engine);
        if (previous == lastEngineBusyNs.cend() || now <= lastGpuNs)
            continue;
        const qint64 busy = reading.engineBusyNs.value(engine) - previous.value();
        const double capacity = reading.engineCapacity.value(engine, 1.0);
        const double percent = double(busy) * 100.0 / (double(now - lastGpuNs) * capacity);
        if (busy >= 0 && std::isfinite(percent) && percent > best) {
            best = percent;
            busiest = engine;
        }
    }
    lastEngineBusyNs = reading.engineBusyNs;
    lastGpuNs = now;
    if (best >= 0) {
        result.insert(QStringLiteral("gpu_percent"), std::min(best, 100.0));
        result.insert(QStringLiteral("gpu_engine"), busiest);
    }

    QStringList devices = reading.adapterNames.keys();
    devices.sort();
    QJsonArray adapters;
    bool complete = !devices.isEmpty();
    qint64 local = 0;
    qint64 nonlocal = 0;
    for (const QString &device : devices) {
        const bool available = reading.localBytes.contains(device) || reading.nonlocalBytes.contains(device);
        QJsonObject adapter{{QStringLiteral("name"), reading.adapterNames.value(device)},
                            {QStringLiteral("luid"), device},
                            {QStringLiteral("node"), 0},
                            {QStringLiteral("available"), available},
                            {QStringLiteral("local_bytes"), QJsonValue::Null},
                            {QStringLiteral("nonlocal_bytes"), QJsonValue::Null}};
        if (available) {
            adapter.insert(QStringLiteral("local_bytes"), double(reading.localBytes.value(device)));
            adapter.insert(QStringLiteral("nonlocal_bytes"), double(reading.nonlocalBytes.value(device)));
            local += reading.localBytes.value(device);
            nonlocal += reading.nonlocalBytes.value(device);
        } else {
            complete = false;
        }
        adapters.append(adapter);
    }
    result.insert(QStringLiteral("gpu_memory_adapters"), adapters);
    result.insert(QStringLiteral("gpu_memory_complete"), complete);
    if (complete) {
        result.insert(QStringLiteral("gpu_memory_local_bytes"), double(local));
        result.insert(QStringLiteral("gpu_memory_nonlocal_bytes"), double(nonlocal));
        result.insert(QStringLiteral("gpu_memory_bytes"), double(local + nonlocal));
    }
}

QJsonObject ProcessUsage::withStaleness(const QJsonObject &latest, qint64 nowUnixMs)
{
    QJsonObject result = latest;
    const bool stale = latest.isEmpty()
        || nowUnixMs - qint64(latest.value(QStringLiteral("sampled_unix_ms")).toDouble()) > staleAfterMs;
    result.insert(QStringLiteral("stale"), stale);
    if (stale) {
        for (const char *key : figureKeys)
            result.insert(QLatin1String(key), QJsonValue::Null);
        result.insert(QStringLiteral("gpu_memory_adapters"), QJsonValue::Null);
        result.insert(QStringLiteral("gpu_memory_complete"), false);
    }
    return result;
}
