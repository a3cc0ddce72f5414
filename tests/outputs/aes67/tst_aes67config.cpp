// The AES67 options object and the stream addresses derived from it.
#include "outputs/aes67/Aes67Addresses.h"
#include "outputs/aes67/Aes67Config.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

} // namespace

class TestAes67Config : public QObject
{
    Q_OBJECT

private slots:
    void defaultsForAnEmptyObject()
    {
        const Aes67Config config = readAes67Config({}, QStringLiteral("10.0.0.7"));
        QCOMPARE(config.interfaceAddress, QStringLiteral("10.0.0.7"));
        QCOMPARE(config.name, QStringLiteral("Zelvo Playout"));
        QCOMPARE(config.multicast, QString());
        QCOMPARE(config.channels, 8);
        QCOMPARE(config.ttl, 32);
        QCOMPARE(config.latencyMs, 2);
        QCOMPARE(config.domain, 0);
        QCOMPARE(config.ptpMode, 0);
    }

    void numbersAreClampedAndWrongTypesGiveDefaults_data()
    {
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("ttl");
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<int>("domain");
        QTest::newRow("in range") << QByteArray(R"({"channels":10,"ttl":5,"latencyMs":4,"domain":93})") << 10 << 5 << 4 << 93;
        QTest::newRow("below range") << QByteArray(R"({"channels":0,"ttl":0,"latencyMs":0,"domain":-1})") << 1 << 1 << 1 << 0;
        QTest::newRow("above range") << QByteArray(R"({"channels":100,"ttl":300,"latencyMs":50,"domain":128})") << 64
                                     << 255 << 20 << 127;
        QTest::newRow("huge numbers") << QByteArray(R"({"channels":1e300,"ttl":-1e300,"latencyMs":1e20,"domain":1e19})")
                                      << 64 << 1 << 20 << 127;
        QTest::newRow("fractions truncate") << QByteArray(R"({"channels":10.9,"ttl":31.5})") << 10 << 31 << 2 << 0;
        QTest::newRow("texts and other types") << QByteArray(R"({"channels":"16","ttl":true,"latencyMs":null,"domain":[1]})")
                                               << 8 << 32 << 2 << 0;
    }

    void numbersAreClampedAndWrongTypesGiveDefaults()
    {
        QFETCH(QByteArray, options);
        const Aes67Config config = readAes67Config(json(options.constData()), QString());
        QTEST(config.channels, "channels");
        QTEST(config.ttl, "ttl");
        QTEST(config.latencyMs, "latencyMs");
        QTEST(config.domain, "domain");
    }

    void sessionName_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("name");
        QTest::newRow("trimmed") << QJsonValue(QStringLiteral("  Studio A \t")) << QStringLiteral("Studio A");
        QTest::newRow("blank gives default") << QJsonValue(QStringLiteral("   ")) << QStringLiteral("Zelvo Playout");
        QTest::newRow("number gives default") << QJsonValue(5) << QStringLiteral("Zelvo Playout");
        QTest::newRow("cut to 60") << QJsonValue(QString(70, QLatin1Char('x'))) << QString(60, QLatin1Char('x'));
        QTest::newRow("trimmed before the cut") << QJsonValue(QStringLiteral("   ") + QString(60, QLatin1Char('y')))
                                                << QString(60, QLatin1Char('y'));
        // A character outside the basic plane at the cut is dropped whole.
        QTest::newRow("no half character") << QJsonValue(QString(59, QLatin1Char('z')) + QStringLiteral("\U0001F3B5abc"))
                                           << QString(59, QLatin1Char('z'));
    }

    void sessionName()
    {
        QFETCH(QJsonValue, value);
        const Aes67Config config = readAes67Config(QJsonObject{{QStringLiteral("name"), value}}, QString());
        QTEST(config.name, "name");
    }

    void ptpRoleAndMulticast()
    {
        const auto mode = [](const QJsonValue &ptp) {
            return readAes67Config(QJsonObject{{QStringLiteral("ptp"), ptp}}, QString()).ptpMode;
        };
        QCOMPARE(mode(QStringLiteral("slave")), 1);
        QCOMPARE(mode(QStringLiteral("master")), 2);
        QCOMPARE(mode(QStringLiteral("auto")), 0);
        QCOMPARE(mode(QStringLiteral("Master")), 0);
        QCOMPARE(mode(2), 0);
        QCOMPARE(readAes67Config(json(R"({"multicast":" 239.69.30.255 "})"), QString()).multicast,
                 QStringLiteral("239.69.30.255"));
        QCOMPARE(readAes67Config(json(R"({"multicast":239})"), QString()).multicast, QString());
    }

    void streamAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default 1") << defaultStreamAddress(QStringLiteral("192.168.1.23"), 0) << QStringLiteral("239.69.23.1");
        QTest::newRow("default 2") << defaultStreamAddress(QStringLiteral("192.168.1.23"), 1) << QStringLiteral("239.69.23.2");
        QTest::newRow("default other interface") << defaultStreamAddress(QStringLiteral("10.0.0.7"), 1)
                                                 << QStringLiteral("239.69.7.2");
        QTest::newRow("default without four parts") << defaultStreamAddress(QString(), 0) << QStringLiteral("239.69.1.1");
        QTest::newRow("default, last part not a number") << defaultStreamAddress(QStringLiteral("10.0.0.x"), 2)
                                                         << QStringLiteral("239.69.0.3");
        QTest::newRow("offset 0 keeps the base") << offsetStreamAddress(QStringLiteral("239.69.93.1"), 0)
                                                 << QStringLiteral("239.69.93.1");
        QTest::newRow("offset 1") << offsetStreamAddress(QStringLiteral("239.69.93.1"), 1) << QStringLiteral("239.69.93.2");
        QTest::newRow("offset wraps") << offsetStreamAddress(QStringLiteral("239.69.30.255"), 1)
                                      << QStringLiteral("239.69.30.0");
        QTest::newRow("offset wraps far") << offsetStreamAddress(QStringLiteral("239.69.30.250"), 10)
                                          << QStringLiteral("239.69.30.4");
        QTest::newRow("offset of a non-address") << offsetStreamAddress(QStringLiteral("ff02::1"), 3)
                                                 << QStringLiteral("ff02::1");
    }

    void streamAddresses()
    {
        QFETCH(QString, address);
        QFETCH(QString, expected);
        QCOMPARE(address, expected);
    }
};

QTEST_GUILESS_MAIN(TestAes67Config)
#include "tst_aes67config.moc"
