#include "engine/Cue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

namespace {

const QString emptyPath = QStringLiteral("Empty media path");
const QString inBeforeOut = QStringLiteral("In must be before Out");
const QString trimExceeds = QStringLiteral("Trim exceeds media duration");
const QString badFade = QStringLiteral("Transition duration must be between 0 and 10 seconds");

Cue cueWith(const std::function<void(Cue &)> &edit)
{
    Cue cue = Cue::forPath(QStringLiteral("/media/clip.mp4"));
    edit(cue);
    return cue;
}

// A complete, valid Cue object as a show file holds it.
QJsonObject validObject()
{
    return QJsonObject{
        {QStringLiteral("source"), QStringLiteral("/media/clip.mp4")},
        {QStringLiteral("in_ms"), 500},
        {QStringLiteral("out_ms"), 1600},
        {QStringLiteral("transition"), 2},
        {QStringLiteral("transition_ms"), 400},
        {QStringLiteral("enter_ms"), 100},
        {QStringLiteral("exit_ms"), 200},
    };
}

} // namespace

class TestCue : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const Cue cue;
        QVERIFY(cue.source.isEmpty());
        QCOMPARE(cue.in_ms, 0);
        QCOMPARE(cue.out_ms, -1);
        QCOMPARE(cue.transition, 0);
        QCOMPARE(cue.transition_ms, 300);
        QCOMPARE(cue.enter_ms, 0);
        QCOMPARE(cue.exit_ms, 0);
        Cue forPath = Cue::forPath(QStringLiteral("/a.mp4"));
        QCOMPARE(forPath.source, QStringLiteral("/a.mp4"));
        forPath.source.clear();
        QCOMPARE(forPath, cue);
    }

    void validate_data()
    {
        QTest::addColumn<Cue>("cue");
        QTest::addColumn<qint64>("durationMs");
        QTest::addColumn<QString>("message");

        using C = Cue &;
        QTest::newRow("default for a path") << cueWith([](C) {}) << qint64(0) << QString();
        QTest::newRow("empty source beats every other fault")
            << cueWith([](C c) {
                   c.source.clear();
                   c.in_ms = -5;
                   c.out_ms = -7;
                   c.transition_ms = -1;
                   c.enter_ms = 20000;
                   c.exit_ms = -3;
               })
            << qint64(100) << emptyPath;
        QTest::newRow("in equals out") << cueWith([](C c) { c.in_ms = c.out_ms = 1000; }) << qint64(0) << inBeforeOut;
        QTest::newRow("in after out") << cueWith([](C c) { c.in_ms = 2000, c.out_ms = 1000; }) << qint64(0) << inBeforeOut;
        QTest::newRow("negative in") << cueWith([](C c) { c.in_ms = -1; }) << qint64(0) << inBeforeOut;
        QTest::newRow("out below -1") << cueWith([](C c) { c.out_ms = -2; }) << qint64(0) << inBeforeOut;
        QTest::newRow("range fault beats duration and fades")
            << cueWith([](C c) { c.in_ms = 50000, c.out_ms = 40000, c.enter_ms = -1; }) << qint64(10000) << inBeforeOut;
        QTest::newRow("out equals duration") << cueWith([](C c) { c.out_ms = 10000; }) << qint64(10000) << QString();
        QTest::newRow("out past duration") << cueWith([](C c) { c.out_ms = 10001; }) << qint64(10000) << trimExceeds;
        QTest::newRow("in at duration, to the end") << cueWith([](C c) { c.in_ms = 10000; }) << qint64(10000) << trimExceeds;
        QTest::newRow("in just before duration") << cueWith([](C c) { c.in_ms = 9999; }) << qint64(10000) << QString();
        QTest::newRow("unknown duration never exceeds")
            << cueWith([](C c) { c.in_ms = 500000, c.out_ms = 600000; }) << qint64(0) << QString();
        QTest::newRow("negative duration is unknown too")
            << cueWith([](C c) { c.in_ms = 500000; }) << qint64(-1) << QString();
        QTest::newRow("duration fault beats fades")
            << cueWith([](C c) { c.out_ms = 20000, c.exit_ms = 10001; }) << qint64(10000) << trimExceeds;
        QTest::newRow("enter -1") << cueWith([](C c) { c.enter_ms = -1; }) << qint64(0) << badFade;
        QTest::newRow("enter 10001") << cueWith([](C c) { c.enter_ms = 10001; }) << qint64(0) << badFade;
        QTest::newRow("exit 10001") << cueWith([](C c) { c.exit_ms = 10001; }) << qint64(0) << badFade;
        QTest::newRow("transition most negative int")
            << cueWith([](C c) { c.transition_ms = std::numeric_limits<int>::min(); }) << qint64(0) << badFade;
        QTest::newRow("all fades at 10000")
            << cueWith([](C c) { c.transition_ms = c.enter_ms = c.exit_ms = 10000; }) << qint64(0) << QString();
        QTest::newRow("all fades at 0")
            << cueWith([](C c) { c.transition_ms = c.enter_ms = c.exit_ms = 0; }) << qint64(0) << QString();
    }

    void validate()
    {
        QFETCH(Cue, cue);
        QFETCH(qint64, durationMs);
        QFETCH(QString, message);
        QCOMPARE(cue.validate(durationMs), message);
    }

    void writesAllSevenKeys()
    {
        Cue cue = Cue::forPath(QStringLiteral("/media/clip.mp4"));
        cue.in_ms = 604800000;
        cue.out_ms = -1;
        cue.transition = 1;
        cue.transition_ms = 350;
        cue.enter_ms = 100;
        cue.exit_ms = 200;
        const QJsonObject object = jsonFromCue(cue);
        QCOMPARE(object.keys(), QStringList({"enter_ms", "exit_ms", "in_ms", "out_ms", "source",
                                             "transition", "transition_ms"}));
        for (const QString &key : object.keys())
            QVERIFY2(object.value(key).isDouble() == (key != QLatin1String("source")), qPrintable(key));
        // Through the text form, as a show file carries it.
        const QJsonObject reparsed = QJsonDocument::fromJson(QJsonDocument(object).toJson()).object();
        Cue read;
        QVERIFY(readCue(reparsed, read, false));
        QCOMPARE(read, cue);
    }

    void readObject_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<bool>("accepted");

        auto with = [](const char *key, const QJsonValue &value) {
            QJsonObject object = validObject();
            object.insert(QLatin1String(key), value);
            return object;
        };
        auto without = [](const char *key) {
            QJsonObject object = validObject();
            object.remove(QLatin1String(key));
            return object;
        };

        QTest::newRow("valid") << validObject() << true;
        QTest::newRow("extra key ignored") << with("comment", QStringLiteral("x")) << true;
        QTest::newRow("whole double") << with("in_ms", 500.0) << true;
        QTest::newRow("in 0.25") << with("in_ms", 0.25) << false;
        QTest::newRow("in 1.5") << with("in_ms", 1.5) << false;
        QTest::newRow("in past seven days") << with("in_ms", 604800001) << false;
        QTest::newRow("in -1") << with("in_ms", -1) << false;
        QTest::newRow("in huge") << with("in_ms", 1e300) << false;
        QTest::newRow("out -1") << with("out_ms", -1) << true;
        QTest::newRow("out -2") << with("out_ms", -2) << false;
        QTest::newRow("out past seven days") << with("out_ms", 604800001) << false;
        QTest::newRow("out equals in") << with("out_ms", 500) << false;
        QTest::newRow("out before in") << with("out_ms", 400) << false;
        QTest::newRow("transition 3") << with("transition", 3) << false;
        QTest::newRow("transition -1") << with("transition", -1) << false;
        QTest::newRow("transition 1.5") << with("transition", 1.5) << false;
        QTest::newRow("transition_ms as string") << with("transition_ms", QStringLiteral("300")) << false;
        QTest::newRow("transition_ms 10001") << with("transition_ms", 10001) << false;
        QTest::newRow("enter_ms -1") << with("enter_ms", -1) << false;
        QTest::newRow("exit_ms 10000") << with("exit_ms", 10000) << true;
        QTest::newRow("exit_ms null") << with("exit_ms", QJsonValue::Null) << false;
        QTest::newRow("exit_ms bool") << with("exit_ms", true) << false;
        QTest::newRow("empty source") << with("source", QString()) << false;
        QTest::newRow("source number") << with("source", 5) << false;
        for (const char *key : {"source", "in_ms", "out_ms", "transition", "transition_ms", "enter_ms", "exit_ms"})
            QTest::addRow("without %s", key) << without(key) << false;
    }

    void readObject()
    {
        QFETCH(QJsonObject, object);
        QFETCH(bool, accepted);
        Cue cue;
        QCOMPARE(readCue(object, cue, false), accepted);
        if (accepted) {
            QCOMPARE(cue.source, object.value("source").toString());
            QCOMPARE(cue.in_ms, object.value("in_ms").toInteger());
            QCOMPARE(cue.out_ms, object.value("out_ms").toInteger());
            QCOMPARE(cue.transition, object.value("transition").toInt());
            QCOMPARE(cue.exit_ms, object.value("exit_ms").toInt());
        }
    }

    void readObjectAtSevenDays()
    {
        QJsonObject object = validObject();
        object.insert("in_ms", 604800000 - 1);
        object.insert("out_ms", 604800000);
        Cue cue;
        QVERIFY(readCue(object, cue, false));
        QCOMPARE(cue.in_ms, 604799999);
        QCOMPARE(cue.out_ms, 604800000);

        object.insert("in_ms", 604800000);
        object.insert("out_ms", -1);
        QVERIFY(readCue(object, cue, false));
        QCOMPARE(cue.in_ms, 604800000);
    }

    void readObjectRejectsOtherTypes_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("string") << QJsonValue(QStringLiteral("/media/clip.mp4"));
        QTest::newRow("array") << QJsonValue(QJsonArray{validObject()});
        QTest::newRow("null") << QJsonValue(QJsonValue::Null);
        QTest::newRow("number") << QJsonValue(3);
    }

    void readObjectRejectsOtherTypes()
    {
        QFETCH(QJsonValue, value);
        Cue cue;
        QVERIFY(!readCue(value, cue, false));
    }

    void readPathOnly_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("path") << QJsonValue(QStringLiteral("media/clip.mp4")) << true;
        QTest::newRow("blank path is still a path") << QJsonValue(QStringLiteral(" ")) << true;
        QTest::newRow("empty path") << QJsonValue(QString()) << false;
        QTest::newRow("cue object") << QJsonValue(validObject()) << false;
        QTest::newRow("number") << QJsonValue(1) << false;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << false;
    }

    void readPathOnly()
    {
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        Cue cue = cueWith([](Cue &c) { c.in_ms = 77, c.transition = 2, c.exit_ms = 5; });
        QCOMPARE(readCue(value, cue, true), accepted);
        if (accepted)
            QCOMPARE(cue, Cue::forPath(value.toString()));
    }
};

QTEST_GUILESS_MAIN(TestCue)
#include "tst_cue.moc"
