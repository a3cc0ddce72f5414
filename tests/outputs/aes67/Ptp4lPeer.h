#pragma once

// linuxptp's ptp4l as a standard PTP peer of our clock, for the interoperability tests and the PTP
// benchmark. It runs with software time stamps over UDPv4 and the End-to-End delay mechanism, and
// always with free_running 1, so it never adjusts this machine's clock, whatever role it takes. Its
// management socket lives in a private temporary directory, so peers of parallel runs never meet;
// pmc reads its data sets from there. Used from one thread (the test's or the benchmark's).

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

class Ptp4lPeer
{
public:
    Ptp4lPeer() = default;
    Ptp4lPeer(const Ptp4lPeer &) = delete;
    Ptp4lPeer &operator=(const Ptp4lPeer &) = delete;
    ~Ptp4lPeer() { stop(); }

    static QString program(const QString &name)
    {
        const QStringList paths{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/local/sbin")};
        QString found = QStandardPaths::findExecutable(name);
        return found.isEmpty() ? QStandardPaths::findExecutable(name, paths) : found;
    }

    // Starts ptp4l on the named interface with the common settings plus extra configuration lines
    // (such as "slaveOnly 1"). Announce every second with a 2-interval receipt timeout and Sync
    // eight times a second, as our clock does, so roles settle within seconds.
    bool start(const QString &interface, const QStringList &extra, QString *error)
    {
        stop();
        if (!m_dir.isValid() || program(QStringLiteral("ptp4l")).isEmpty()) {
            *error = QStringLiteral("ptp4l (linuxptp) is not installed");
            return false;
        }
        QStringList config{QStringLiteral("[global]"),
                           QStringLiteral("free_running 1"),
                           QStringLiteral("time_stamping software"),
                           QStringLiteral("network_transport UDPv4"),
                           QStringLiteral("delay_mechanism E2E"),
                           QStringLiteral("logAnnounceInterval 0"),
                           QStringLiteral("announceReceiptTimeout 2"),
                           QStringLiteral("logSyncInterval -3"),
                           QStringLiteral("uds_address ") + socketPath()};
        config += extra;
        QFile file(configPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(config.join(QLatin1Char('\n')).toUtf8() + '\n') < 0) {
            *error = QStringLiteral("Cannot write the ptp4l configuration.");
            return false;
        }
        file.close();
        m_output.clear();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program(QStringLiteral("ptp4l")),
                        {QStringLiteral("-f"), configPath(), QStringLiteral("-i"), interface, QStringLiteral("-S"),
                         QStringLiteral("-4"), QStringLiteral("-E"), QStringLiteral("-m")});
        if (!m_process.waitForStarted(5000)) {
            *error = QStringLiteral("ptp4l did not start: ") + m_process.errorString();
            return false;
        }
        return true;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
        collect();
    }

    bool running() const { return m_process.state() == QProcess::Running; }

    // Everything ptp4l printed so far.
    QString output()
    {
        collect();
        return m_output;
    }

    // Waits until the output matches, at most timeoutMs; the first match, or an invalid one.
    QRegularExpressionMatch waitFor(const QRegularExpression &pattern, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const QRegularExpressionMatch match = pattern.match(output());
            if (match.hasMatch() || timer.elapsed() >= timeoutMs || !running())
                return match;
            m_process.waitForReadyRead(50);
        }
    }

    // One data set read through pmc ("CURRENT_DATA_SET", "PARENT_DATA_SET", "PORT_DATA_SET"): its
    // fields by name; empty when ptp4l did not answer.
    QMap<QString, QString> query(const QString &dataSet)
    {
        QProcess pmc;
        pmc.setProcessChannelMode(QProcess::MergedChannels);
        pmc.start(program(QStringLiteral("pmc")),
                  {QStringLiteral("-u"), QStringLiteral("-b"), QStringLiteral("0"), QStringLiteral("-f"), configPath(),
                   QStringLiteral("-s"), socketPath(), QStringLiteral("-i"), m_dir.filePath(QStringLiteral("pmc.sock")),
                   QStringLiteral("GET ") + dataSet});
        QMap<QString, QString> fields;
        if (!pmc.waitForFinished(5000)) {
            pmc.kill();
            pmc.waitForFinished(1000);
            return fields;
        }
        bool inResponse = false;
        for (const QString &line : QString::fromUtf8(pmc.readAll()).split(QLatin1Char('\n'))) {
            if (line.contains(QStringLiteral("RESPONSE MANAGEMENT ") + dataSet)) {
                inResponse = true;
                continue;
            }
            const QStringList parts = line.simplified().split(QLatin1Char(' '));
            if (inResponse && parts.size() == 2)
                fields.insert(parts[0], parts[1]);
        }
        return fields;
    }

    // ptp4l writes clock identities as 001122.fffe.334455; ours are 00-11-22-FF-FE-33-44-55.
    static QString formatIdentity(const QString &ptp4lIdentity)
    {
        QString hex = ptp4lIdentity;
        hex.remove(QLatin1Char('.'));
        QStringList bytes;
        for (int i = 0; i + 1 < hex.size(); i += 2)
            bytes << hex.mid(i, 2).toUpper();
        return bytes.join(QLatin1Char('-'));
    }

private:
    QString configPath() const { return m_dir.filePath(QStringLiteral("ptp4l.cfg")); }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("ptp4l.sock")); }

    void collect() { m_output += QString::fromUtf8(m_process.readAll()); }

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_output;
};
