// The follower's position rule: rate nudges inside the dead band and the 5 % limit, seeks only
// beyond their thresholds and at most once a second, and the fold of errors on a looping clip.
#include "link/LinkMirrorCorrection.h"

#include <QtTest>

class LinkMirrorCorrectionTest : public QObject
{
    Q_OBJECT

private slots:
    void decide_data()
    {
        QTest::addColumn<qint64>("error");
        QTest::addColumn<bool>("synced");
        QTest::addColumn<qint64>("sinceSeek");
        QTest::addColumn<double>("rate");
        QTest::addColumn<bool>("seek");
        QTest::newRow("synced 8 ms is left alone") << qint64(8) << true << qint64(5000) << 1.0 << false;
        QTest::newRow("synced 9 ms slows a little") << qint64(9) << true << qint64(5000) << 0.982 << false;
        QTest::newRow("synced 30 ms slows 5 %") << qint64(30) << true << qint64(5000) << 0.95 << false;
        QTest::newRow("synced -30 ms speeds up 5 %") << qint64(-30) << true << qint64(5000) << 1.05 << false;
        QTest::newRow("synced 250 ms only nudges") << qint64(250) << true << qint64(5000) << 0.95 << false;
        QTest::newRow("synced 251 ms seeks") << qint64(251) << true << qint64(5000) << 1.0 << true;
        QTest::newRow("synced 600 ms after a seek waits") << qint64(600) << true << qint64(600) << 1.0 << false;
        QTest::newRow("free 80 ms is left alone") << qint64(80) << false << qint64(5000) << 1.0 << false;
        QTest::newRow("free -81 ms seeks") << qint64(-81) << false << qint64(5000) << 1.0 << true;
        QTest::newRow("free seek exactly 1000 ms after the last waits") << qint64(500) << false << qint64(1000) << 1.0 << false;
    }

    void decide()
    {
        QFETCH(qint64, error);
        QFETCH(bool, synced);
        QFETCH(qint64, sinceSeek);
        QFETCH(double, rate);
        QFETCH(bool, seek);
        const auto action = LinkMirrorCorrection::decide(error, synced, sinceSeek);
        QVERIFY2(std::abs(action.rate - rate) < 1e-9, qPrintable(QString::number(action.rate)));
        QCOMPARE(action.seek, seek);
    }

    void foldError_data()
    {
        QTest::addColumn<qint64>("error");
        QTest::addColumn<qint64>("span");
        QTest::addColumn<qint64>("folded");
        QTest::newRow("one span less 10 ms ahead is 10 ms behind") << qint64(9990) << qint64(10000) << qint64(-10);
        QTest::newRow("small errors stay") << qint64(25) << qint64(10000) << qint64(25);
        QTest::newRow("negative near a span") << qint64(-9990) << qint64(10000) << qint64(10);
        QTest::newRow("half a span goes to the negative end") << qint64(5000) << qint64(10000) << qint64(-5000);
        QTest::newRow("no span leaves the error") << qint64(9990) << qint64(0) << qint64(9990);
    }

    void foldError()
    {
        QFETCH(qint64, error);
        QFETCH(qint64, span);
        QFETCH(qint64, folded);
        QCOMPARE(LinkMirrorCorrection::foldError(error, span), folded);
    }
};

QTEST_APPLESS_MAIN(LinkMirrorCorrectionTest)
#include "tst_linkmirrorcorrection.moc"
