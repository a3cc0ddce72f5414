// The process resource sampler on fixture proc trees (an amdgpu-like and an i915-like DRM client,
// and none), its staleness rule, and on this very process against what ps reports.
#include "app/ProcessUsage.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// A stat line whose command name holds a blank and a parenthesis, as real ones may.
QByteArray statLine(quint64 userTicks, quint64 systemTicks)
{
    return QByteArray("4242 (zel (vo) x) S 1 4242 4242 0 -1 4194560 100 0 0 0 ") + QByteArray::number(userTicks) + ' '
        + QByteArray::number(systemTicks) + " 0 0 20 0 9 0 100 1000000 2000\n";
}

QByteArray amdgpuClient(qint64 gfxNs, const QByteArray &clientId)
{
    return "pos:\t0\nflags:\t02100002\nmnt_id:\t24\ndrm-driver:\tamdgpu\ndrm-client-id:\t" + clientId
        + "\ndrm-pdev:\t0000:03:00.0\npasid:\t32771\ndrm-memory-vram:\t2048 KiB\ndrm-memory-gtt: \t1024 KiB\n"
          "drm-memory-cpu: \t0 KiB\ndrm-engine-gfx:\t"
        + QByteArray::number(gfxNs) + " ns\ndrm-engine-compute:\t0 ns\n";
}

QByteArray i915Client(qint64 renderNs, qint64 videoNs)
{
    return "pos:\t0\nflags:\t02100002\ndrm-driver:\ti915\ndrm-pdev:\t0000:00:02.0\ndrm-client-id:\t7\n"
           "drm-engine-render:\t"
        + QByteArray::number(renderNs) + " ns\ndrm-engine-copy:\t0 ns\ndrm-engine-video:\t" + QByteArray::number(videoNs)
        + " ns\ndrm-engine-capacity-video:\t2\n";
}

struct FakeClock
{
    qint64 ns = 1000000000;
    std::function<qint64()> function()
    {
        return [this] { return ns; };
    }
};

} // namespace

class TestProcessUsage : public QObject
{
    Q_OBJECT

private slots:
    void cpuAndMemoryFromFixtureTree();
    void gpuFromFixtureTrees_data();
    void gpuFromFixtureTrees();
    void unreadableTreeLeavesFiguresNull();
    void staleAfter3500Ms();
    void thisProcessAgreesWithPs();
};

void TestProcessUsage::cpuAndMemoryFromFixtureTree()
{
    QTemporaryDir root;
    writeFile(root.filePath("self/stat"), statLine(100, 50));
    writeFile(root.filePath("self/status"), "Name:\tzelvo\nCpus_allowed_list:\t0-1,4-5\n");
    writeFile(root.filePath("self/statm"), "50000 2500 300 10 0 900 0\n");
    FakeClock clock;
    ProcessUsage usage(root.path(), clock.function());

    const QJsonObject first = usage.sample();
    QVERIFY(first.value("cpu_percent").isNull());
    QCOMPARE(first.value("interval_ms").toDouble(), 0.0);
    QCOMPARE(first.value("working_set_bytes").toDouble(), 2500.0 * sysconf(_SC_PAGESIZE));
    QVERIFY(first.value("provider").toString().contains("/proc/self/stat"));
    QVERIFY(first.value("provider").toString().contains("fdinfo"));

    // One second of CPU time over two seconds on four allowed processors: 12.5 %.
    const long ticks = sysconf(_SC_CLK_TCK);
    writeFile(root.filePath("self/stat"), statLine(100 + ticks / 2, 50 + ticks / 2));
    clock.ns += 2000000000;
    const QJsonObject second = usage.sample();
    QCOMPARE(second.value("interval_ms").toDouble(), 2000.0);
    QVERIFY(qAbs(second.value("cpu_percent").toDouble() - 12.5) < 1e-9);

    // A clock that did not move gives no value rather than a division by zero.
    QVERIFY(usage.sample().value("cpu_percent").isNull());
}

void TestProcessUsage::gpuFromFixtureTrees_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QVariant>("percent");
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QVariant>("memoryBytes");
    QTest::addColumn<int>("adapters");

    // The same client opened twice (a duplicated descriptor) counts once: 250 ms busy of 1 s.
    QTest::newRow("amdgpu") << amdgpuClient(1000000000, "12") << amdgpuClient(1250000000, "12") << QVariant(25.0)
                            << "0000:03:00.0 gfx" << QVariant(3072.0 * 1024) << 1;
    // The video class has two engines: 1.6 s busy over 2 engine-seconds is 80 %, busier than render at 30 %.
    QTest::newRow("i915") << i915Client(5000000000, 0) << i915Client(5300000000, 1600000000) << QVariant(80.0)
                          << "0000:00:02.0 video" << QVariant() << 1;
    QTest::newRow("none") << QByteArray() << QByteArray() << QVariant() << QString() << QVariant() << 0;
}

void TestProcessUsage::gpuFromFixtureTrees()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QVariant, percent);
    QFETCH(QString, engine);
    QFETCH(QVariant, memoryBytes);
    QFETCH(int, adapters);

    QTemporaryDir root;
    writeFile(root.filePath("self/stat"), statLine(1, 1));
    writeFile(root.filePath("self/statm"), "1 1 1 1 0 1 0\n");
    writeFile(root.filePath("self/fdinfo/0"), "pos:\t0\nflags:\t02\nmnt_id:\t20\n");
    if (!before.isEmpty()) {
        writeFile(root.filePath("self/fdinfo/9"), before);
        writeFile(root.filePath("self/fdinfo/10"), before);
    }
    FakeClock clock;
    ProcessUsage usage(root.path(), clock.function());
    const QJsonObject first = usage.sample();
    QVERIFY(first.value("gpu_percent").isNull());
    QVERIFY(first.value("gpu_engine").isNull());

    if (!after.isEmpty()) {
        writeFile(root.filePath("self/fdinfo/9"), after);
        writeFile(root.filePath("self/fdinfo/10"), after);
    }
    clock.ns += 1000000000;
    const QJsonObject second = usage.sample();
    if (percent.isValid()) {
        QVERIFY2(qAbs(second.value("gpu_percent").toDouble() - percent.toDouble()) < 1e-6,
                 qPrintable(QString::number(second.value("gpu_percent").toDouble())));
        QCOMPARE(second.value("gpu_engine").toString(), engine);
    } else {
        QVERIFY(second.value("gpu_percent").isNull());
        QVERIFY(second.value("gpu_engine").isNull());
    }
    const QJsonArray list = second.value("gpu_memory_adapters").toArray();
    QCOMPARE(list.size(), adapters);
    if (memoryBytes.isValid()) {
        QVERIFY(second.value("gpu_memory_complete").toBool());
        QCOMPARE(second.value("gpu_memory_bytes").toDouble(), memoryBytes.toDouble());
        QCOMPARE(second.value("gpu_memory_local_bytes").toDouble(), 2048.0 * 1024);
        QCOMPARE(list.first().toObject().value("available").toBool(), true);
    } else {
        // An adapter that offers no memory figures, or none at all: the sums stay unknown.
        QCOMPARE(second.value("gpu_memory_complete").toBool(), false);
        QVERIFY(second.value("gpu_memory_bytes").isNull());
        QVERIFY(second.value("gpu_memory_local_bytes").isNull());
        if (adapters)
            QVERIFY(list.first().toObject().value("local_bytes").isNull());
    }
}

void TestProcessUsage::unreadableTreeLeavesFiguresNull()
{
    QTemporaryDir root;
    writeFile(root.filePath("self/stat"), "garbage without a closing parenthesis");
    ProcessUsage usage(root.path());
    usage.sample();
    const QJsonObject second = usage.sample();
    QVERIFY(second.value("cpu_percent").isNull());
    QVERIFY(second.value("working_set_bytes").isNull());
    QVERIFY(second.value("gpu_memory_bytes").isNull());
    QCOMPARE(second.value("gpu_memory_adapters").toArray().size(), 0);
}

void TestProcessUsage::staleAfter3500Ms()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QJsonObject sample{{"cpu_percent", 12.5}, {"working_set_bytes", 1e9}, {"gpu_percent", 3.0},
                       {"gpu_engine", "x"}, {"gpu_memory_bytes", 5.0}, {"gpu_memory_adapters", QJsonArray{1}},
                       {"gpu_memory_complete", true}, {"pid", 7}};
    sample.insert("sampled_unix_ms", double(now - 3500));
    const QJsonObject fresh = ProcessUsage::withStaleness(sample, now);
    QCOMPARE(fresh.value("stale").toBool(), false);
    QCOMPARE(fresh.value("cpu_percent").toDouble(), 12.5);

    sample.insert("sampled_unix_ms", double(now - 3501));
    const QJsonObject stale = ProcessUsage::withStaleness(sample, now);
    QCOMPARE(stale.value("stale").toBool(), true);
    for (const char *key : {"cpu_percent", "working_set_bytes", "gpu_percent", "gpu_engine", "gpu_memory_bytes",
                            "gpu_memory_adapters"})
        QVERIFY2(stale.value(key).isNull(), key);
    QCOMPARE(stale.value("gpu_memory_complete").toBool(), false);
    QCOMPARE(stale.value("pid").toInt(), 7);

    const QJsonObject empty = ProcessUsage::withStaleness(QJsonObject(), now);
    QCOMPARE(empty.size(), 10);
    QCOMPARE(empty.value("stale").toBool(), true);
}

namespace {
double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
} // namespace

// Burns CPU between two samples. The memory figure is compared with ps's; the CPU figure with the
// kernel's resource accounting (getrusage) over the same two seconds, in units of the allowed
// processors. ps's %CPU covers the process's whole life instead, which on a busy machine can differ
// from these two seconds by more than the tolerance.
void TestProcessUsage::thisProcessAgreesWithPs()
{
    ProcessUsage usage;
    usage.sample();
    QElapsedTimer busy;
    busy.start();
    const double cpuBefore = processCpuSeconds();
    volatile double sink = 0;
    while (busy.elapsed() < 2000)
        for (int i = 0; i < 10000; ++i)
            sink = sink + i * 0.5;
    const double cpuSeconds = processCpuSeconds() - cpuBefore;
    const double wallSeconds = busy.nsecsElapsed() / 1e9;
    const QJsonObject second = usage.sample();

    QProcess ps;
    ps.start("ps", {"-o", "rss=", "-p", QString::number(QCoreApplication::applicationPid())});
    QVERIFY(ps.waitForFinished(5000));
    const QList<QByteArray> fields = ps.readAllStandardOutput().simplified().split(' ');
    QCOMPARE(fields.size(), 1);
    const double rssBytes = fields[0].toDouble() * 1024;
    QVERIFY2(qAbs(second.value("working_set_bytes").toDouble() - rssBytes) <= rssBytes * 0.10,
             qPrintable(QStringLiteral("%1 vs %2").arg(second.value("working_set_bytes").toDouble()).arg(rssBytes)));

    cpu_set_t set;
    CPU_ZERO(&set);
    QCOMPARE(sched_getaffinity(0, sizeof(set), &set), 0);
    const int allowed = CPU_COUNT(&set);
    const double reference = 100.0 * cpuSeconds / wallSeconds / allowed;
    const double measured = second.value("cpu_percent").toDouble();
    QVERIFY2(reference > 0 && qAbs(measured - reference) <= reference * 0.10,
             qPrintable(QStringLiteral("sampler %1 %, getrusage %2 % over %3 processors")
                            .arg(measured).arg(reference).arg(allowed)));
}

QTEST_GUILESS_MAIN(TestProcessUsage)
#include "tst_processusage.moc"
