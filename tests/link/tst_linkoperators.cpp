// Operator records and levels, the refusal texts of the permission check, and the sign-in throttle.
#include "link/LinkOperators.h"
#include "link/LinkSignInThrottle.h"

#include <QtTest>

class TestLinkOperators : public QObject
{
    Q_OBJECT

private slots:
    void permissionMatrix_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QJsonArray>("programs");
        QTest::addColumn<int>("program");
        QTest::addColumn<QString>("refusal");
        const QString viewOnly = QStringLiteral("Not allowed: view only");
        const QString notAssigned = QStringLiteral("Not allowed: Program not assigned to this operator");
        QTest::newRow("operator, all Programs") << "operator" << QJsonArray() << 7 << QString();
        QTest::newRow("operator, assigned") << "operator" << QJsonArray{2} << 2 << QString();
        QTest::newRow("operator, not assigned") << "operator" << QJsonArray{2} << 3 << notAssigned;
        QTest::newRow("operator in capitals") << "OPERATOR" << QJsonArray{1} << 1 << QString();
        QTest::newRow("viewer") << "viewer" << QJsonArray() << 1 << viewOnly;
        QTest::newRow("Viewer") << "Viewer" << QJsonArray{1} << 1 << viewOnly;
        QTest::newRow("unknown level") << "admin" << QJsonArray() << 1 << viewOnly;
        QTest::newRow("no level") << "" << QJsonArray() << 1 << viewOnly;
    }
    void permissionMatrix()
    {
        QFETCH(QString, level);
        QFETCH(QJsonArray, programs);
        QFETCH(int, program);
        const QJsonObject record{{QStringLiteral("name"), QStringLiteral("Crew")},
                                 {QStringLiteral("pin"), QStringLiteral("1")},
                                 {QStringLiteral("level"), level},
                                 {QStringLiteral("programs"), programs}};
        QTEST(LinkOperators::refusal(record, program), "refusal");
        QCOMPARE(LinkOperators::allowedPrograms(record), LinkOperators::mayCommand(record) ? programs : QJsonArray());
    }

    void missingRecordIsViewOnly()
    {
        QCOMPARE(LinkOperators::refusal(QJsonObject(), 1), QStringLiteral("Not allowed: view only"));
    }

    void levels()
    {
        QCOMPARE(LinkOperators::normalizedLevel(QStringLiteral(" Operator ")), QStringLiteral("operator"));
        QCOMPARE(LinkOperators::normalizedLevel(QStringLiteral("Viewer")), QStringLiteral("viewer"));
        QCOMPARE(LinkOperators::normalizedLevel(QStringLiteral("operators")), QStringLiteral("viewer"));
    }

    void recordLookup()
    {
        const QJsonArray list{QJsonObject{{QStringLiteral("name"), QStringLiteral("Crew")}, {QStringLiteral("pin"), QStringLiteral("1")}},
                              QJsonObject{{QStringLiteral("name"), QStringLiteral("crew")}, {QStringLiteral("pin"), QStringLiteral("2")}}};
        QCOMPARE(LinkOperators::record(list, QStringLiteral("  CREW ")).value(QLatin1String("pin")).toString(), QStringLiteral("1"));
        QVERIFY(LinkOperators::record(list, QStringLiteral("   ")).isEmpty());
        QVERIFY(LinkOperators::record(list, QStringLiteral("Crews")).isEmpty());
    }

    void throttleGrowsAndForgets()
    {
        LinkSignInThrottle throttle;
        const QString address = QStringLiteral("10.0.0.5");
        qint64 now = 1000;
        throttle.recordFailure(address, QStringLiteral("Crew"), now);
        throttle.recordFailure(address, QStringLiteral("Crew"), now);
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 0);
        throttle.recordFailure(address, QStringLiteral("Crew"), now);
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 1000);
        // The address is locked for every name, and the name from every address.
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Guest"), now), 1000);
        QCOMPARE(throttle.lockedForMs(QStringLiteral("10.0.0.6"), QStringLiteral(" crew "), now), 1000);
        now += 1000;
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 0);
        throttle.recordFailure(address, QStringLiteral("Crew"), now);
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 2000);
        for (int i = 0; i < 30; ++i)
            throttle.recordFailure(address, QStringLiteral("Crew"), now);
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), LinkSignInThrottle::maxLockoutMs);
        // A good sign-in of another operator does not clear what that address did.
        throttle.recordSuccess(QStringLiteral("Guest"));
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Guest"), now), LinkSignInThrottle::maxLockoutMs);
        now += LinkSignInThrottle::forgetAfterMs + 1;
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 0);
        throttle.recordFailure(address, QStringLiteral("Crew"), now);
        QCOMPARE(throttle.lockedForMs(address, QStringLiteral("Crew"), now), 0);
    }
};

QTEST_GUILESS_MAIN(TestLinkOperators)
#include "tst_linkoperators.moc"
