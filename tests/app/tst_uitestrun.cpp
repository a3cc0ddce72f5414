#include "app/UiTestRun.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

// The user-interface runner's own frame: its report, exit codes, file names and widget lookups.
class TestUiTestRun : public QObject
{
    Q_OBJECT

private slots:
    void reportHoldsNameAndVerdictOnlyAndFoldsFailures()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("ui.json"));
        QFile::remove(path);
        UiTestRun run(dir.path(), path);
        run.record(QStringLiteral("first_case"), true);
        QCOMPARE(run.write(), 0);
        run.record(QStringLiteral("second_case"), false);
        run.record(QStringLiteral("third_case"), true);
        QVERIFY(!run.allPassed());
        QCOMPARE(run.write(), 2);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        // Indented with four blanks, members in ascending key order.
        QVERIFY(text.startsWith("{\n    \"result\": \"FAIL\",\n    \"scope\": \"ui\",\n    \"tests\": ["));
        const QJsonArray tests = QJsonDocument::fromJson(text).object().value(QStringLiteral("tests")).toArray();
        QCOMPARE(tests.size(), 3);
        for (const QJsonValue &test : tests)
            QCOMPARE(test.toObject().keys(), (QStringList{QStringLiteral("name"), QStringLiteral("pass")}));
        QCOMPARE(tests[1].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("second_case"));
        QCOMPARE(tests[1].toObject().value(QStringLiteral("pass")).toBool(), false);
    }

    void failedCaseNamesWhyAndCountsAsFailure()
    {
        QTemporaryDir dir;
        UiTestRun run(dir.path(), dir.filePath(QStringLiteral("ui.json")));
        QTest::ignoreMessage(QtInfoMsg, "blocked_case cannot run: a control is missing");
        QTest::ignoreMessage(QtInfoMsg, "blocked_case false");
        run.fail(QStringLiteral("blocked_case"), QStringLiteral("a control is missing"));
        QVERIFY(!run.allPassed());
    }

    void unwritableReportGivesThreeAndLeavesNoFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("missing-folder/ui.json"));
        UiTestRun run(dir.path(), path);
        run.record(QStringLiteral("only_case"), true);
        QCOMPARE(run.write(), 3);
        QVERIFY(!QFile::exists(path));
    }

    void filesTakeTheResultFolderAndBaseName()
    {
        UiTestRun run(QStringLiteral("/clips"), QStringLiteral("/tmp/out/ui.report.json"));
        QCOMPARE(run.output(QStringLiteral("single-"), QStringLiteral(".png")), QStringLiteral("/tmp/out/single-ui.report.png"));
        QCOMPARE(run.clipA, QStringLiteral("/clips/01-h264.mp4"));
        QCOMPARE(run.clipB, QStringLiteral("/clips/03-h264.mkv"));
        QCOMPARE(run.fixture(QStringLiteral("missing-dynamic.mp4")), QStringLiteral("/clips/missing-dynamic.mp4"));
        const Cue cue = UiTestRun::cueFor(run.clipA);
        QCOMPARE(cue.in_ms, 0);
        QCOMPARE(cue.out_ms, -1);
        QCOMPARE(cue.transition, 0);
        QCOMPARE(cue.transition_ms, 300);
        QCOMPARE(cue.enter_ms + cue.exit_ms, 0);
    }

    void insideNeedsTheWholeVisibleRectangle()
    {
        QWidget area;
        area.resize(200, 100);
        auto *child = new QWidget(&area);
        child->setGeometry(10, 10, 50, 50);
        area.show();
        QVERIFY(QTest::qWaitForWindowExposed(&area));
        QVERIFY(UiTestRun::inside(child, &area));
        child->setGeometry(160, 10, 50, 50);   // 10 px past the right edge
        QVERIFY(!UiTestRun::inside(child, &area));
        child->setGeometry(10, 10, 50, 50);
        child->hide();
        QVERIFY(!UiTestRun::inside(child, &area));
    }

    void tipButtonMatchesTipAndDeckKey()
    {
        QWidget parent;
        auto *layout = new QVBoxLayout(&parent);
        auto *other = new QPushButton(&parent);
        other->setProperty("tipKey", QStringLiteral("Detach deck"));
        other->setProperty("deckKey", 2);
        auto *wanted = new QPushButton(&parent);
        wanted->setProperty("tipKey", QStringLiteral("Detach deck"));
        wanted->setProperty("deckKey", 3);
        layout->addWidget(other);
        layout->addWidget(wanted);
        QCOMPARE(UiTestRun::tipButton(&parent, QStringLiteral("Detach deck"), 3), wanted);
        QCOMPARE(UiTestRun::tipButton(&parent, QStringLiteral("Detach deck"), QVariant()), other);
        QCOMPARE(UiTestRun::tipButton(&parent, QStringLiteral("Detach deck"), 7), nullptr);
        QCOMPARE(UiTestRun::tipButton(nullptr, QStringLiteral("Detach deck"), 3), nullptr);
    }

    void waitUntilReturnsAsSoonAsTheConditionHolds()
    {
        int polls = 0;
        QVERIFY(UiTestRun::waitUntil([&polls] { return ++polls >= 3; }, 5000));
        QVERIFY(polls < 10);
        QVERIFY(!UiTestRun::waitUntil([] { return false; }, 30));
    }
};

QTEST_MAIN(TestUiTestRun)
#include "tst_uitestrun.moc"
