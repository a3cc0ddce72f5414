// The file log: one "category: message" line per message, appended, whole lines from any thread.
#include "app/FileLog.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

Q_LOGGING_CATEGORY(logTestCategory, "zelvo.logtest")

class FileLogTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        previous = qInstallMessageHandler(messageHandler);
    }

    void cleanup()
    {
        qInstallMessageHandler(previous);
        qunsetenv("ZELVO_LOG_PATH");
    }

    void appendsCategoryAndText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("run.log"));
        {
            QFile existing(path);
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("earlier line\n");
        }
        qputenv("ZELVO_LOG_PATH", path.toUtf8());
        qCWarning(logTestCategory, "disk %d is full", 2);
        qWarning("first\nsecond");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier line\nzelvo.logtest: disk 2 is full\ndefault: first\nsecond\n"));
    }

    void unwritablePathDropsMessages()
    {
        QTemporaryDir dir;
        qputenv("ZELVO_LOG_PATH", dir.filePath(QStringLiteral("missing/run.log")).toUtf8());
        qWarning("nobody reads this");
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing"))));
        // A change of the variable takes effect at the next message.
        qputenv("ZELVO_LOG_PATH", dir.filePath(QStringLiteral("run.log")).toUtf8());
        qWarning("now written");
        QFile file(dir.filePath(QStringLiteral("run.log")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("default: now written\n"));
    }

    void threadsWriteWholeLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("run.log"));
        qputenv("ZELVO_LOG_PATH", path.toUtf8());
        const QString filler(200, QLatin1Char('x'));
        auto writer = [&](char tag) {
            for (int i = 0; i < 200; ++i)
                qCWarning(logTestCategory).noquote() << QString(QLatin1Char(tag)) + filler;
        };
        std::unique_ptr<QThread> a(QThread::create(writer, 'a'));
        std::unique_ptr<QThread> b(QThread::create(writer, 'b'));
        a->start();
        b->start();
        QVERIFY(a->wait(30000));
        QVERIFY(b->wait(30000));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 401);
        for (int i = 0; i < 400; ++i) {
            const QByteArray &line = lines[i];
            QVERIFY2(line == "zelvo.logtest: a" + filler.toLatin1() || line == "zelvo.logtest: b" + filler.toLatin1(), line.constData());
        }
    }

private:
    QtMessageHandler previous = nullptr;
};

QTEST_GUILESS_MAIN(FileLogTest)
#include "tst_filelog.moc"
