// The node's identity file: a usable id is kept, a short or missing one is replaced and saved.
#include "link/LinkNode.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestLinkNodeId : public QObject
{
    Q_OBJECT

private slots:
    void identity_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("expected");  // empty: a new UUID
        QTest::newRow("kept, trimmed") << QByteArray("  abcdefgh \n") << "abcdefgh";
        QTest::newRow("short") << QByteArray("abc") << "";
        QTest::newRow("missing") << QByteArray() << "";
    }
    void identity()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        if (!stored.isEmpty()) {
            QDir().mkpath(dir.filePath(QStringLiteral("link")));
            QFile file(dir.filePath(QStringLiteral("link/node-id.txt")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(stored);
        }
        QString first;
        {
            LinkNode node(QStringLiteral("n"), dir.path());
            QCOMPARE(node.mode, int(LinkNode::Stopped));
            first = node.nodeId;
            if (!expected.isEmpty())
                QCOMPARE(first, expected);
            else
                QVERIFY(!QUuid::fromString(first).isNull() && !first.startsWith(QLatin1Char('{')));
        }
        // The next start reads the same identity back.
        LinkNode again(QStringLiteral("n"), dir.path());
        QCOMPARE(again.nodeId, first);
    }
};

QTEST_GUILESS_MAIN(TestLinkNodeId)
#include "tst_linknodeid.moc"
