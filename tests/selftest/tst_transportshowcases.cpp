#include "engine/Show.h"
#include "selftest/SelfTestReport.h"
#include "selftest/TransportShowCases.h"

#include <QJsonArray>
#include <QTest>

namespace {

const QStringList caseNames{
    "schema4_roundtrip_preserves_cues_and_single_output",
    "schema2_migrates_to_single_program",
    "schema3_shared_playlist_migrates_to_independent_copies",
    "schema4_preserves_three_lists_and_five_routes",
    "output_config_rejects_missing_or_fractional_counts_atomically",
    "output_config_allocation_guards",
    "output_config_rejects_disabled_or_fractional_source",
    "duplicate_program_identity_rejects_atomically",
    "program_count_mismatch_rejects_atomically",
    "schema1_migration_and_duplicate_files",
    "invalid_show_is_atomic",
    "fractional_and_invalid_range_rejected",
};

const QStringList rejectionCases{
    "output_config_rejects_missing_or_fractional_counts_atomically",
    "output_config_allocation_guards",
    "output_config_rejects_disabled_or_fractional_source",
    "duplicate_program_identity_rejects_atomically",
    "program_count_mismatch_rejects_atomically",
    "invalid_show_is_atomic",
};

QStringList failedCases(const SelfTestReport &report)
{
    QStringList failed;
    for (const QJsonValue &test : report.tests()) {
        if (!test.toObject().value("pass").toBool())
            failed.append(test.toObject().value("name").toString());
    }
    return failed;
}

} // namespace

class TestTransportShowCases : public QObject
{
    Q_OBJECT

private slots:
    void allCasesPassInOrder_data()
    {
        QTest::addColumn<QString>("fixtures");
        QTest::newRow("generated fixtures") << qEnvironmentVariable("ZELVO_FIXTURES");
        // The show cases only store media paths, so missing media must not matter.
        QTest::newRow("missing directory") << QStringLiteral("/nonexistent/zelvo-fixtures");
    }

    void allCasesPassInOrder()
    {
        QFETCH(QString, fixtures);
        SelfTestReport report(QStringLiteral("scope"));
        runTransportShowCases(report, fixtures);

        QStringList names;
        for (const QJsonValue &test : report.tests()) {
            const QJsonObject object = test.toObject();
            QCOMPARE(object.keys(), QStringList({"name", "pass"}));
            names.append(object.value("name").toString());
        }
        QCOMPARE(names, caseNames);
        QCOMPARE(failedCases(report), QStringList());
        QVERIFY(report.allPassed());
    }

    void faultyReadersAreCaught_data()
    {
        QTest::addColumn<ShowReader>("reader");
        QTest::addColumn<QStringList>("expectedFailures");

        QTest::newRow("reports every read as success")
            << ShowReader([](const QJsonObject &document, Show &show) {
                   readShow(document, show);
                   return true;
               })
            << rejectionCases;
        QTest::newRow("clears the show when it refuses a document")
            << ShowReader([](const QJsonObject &document, Show &show) {
                   if (readShow(document, show))
                       return true;
                   show = Show();
                   return false;
               })
            << rejectionCases;
        QTest::newRow("loses the fades of every cue")
            << ShowReader([](const QJsonObject &document, Show &show) {
                   if (!readShow(document, show))
                       return false;
                   for (ShowProgram &program : show.programs) {
                       for (Cue &cue : program.playlist)
                           cue.enter_ms = cue.exit_ms = 0;
                   }
                   return true;
               })
            << QStringList{"schema4_roundtrip_preserves_cues_and_single_output",
                           "schema4_preserves_three_lists_and_five_routes"};
        QTest::newRow("keeps only the first Program")
            << ShowReader([](const QJsonObject &document, Show &show) {
                   if (!readShow(document, show))
                       return false;
                   show.programs = show.programs.mid(0, 1);
                   return true;
               })
            << QStringList{"schema3_shared_playlist_migrates_to_independent_copies",
                           "schema4_preserves_three_lists_and_five_routes"};
        QTest::newRow("refuses plain path playlists")
            << ShowReader([](const QJsonObject &document, Show &show) {
                   return document.value("schema").toInt() != 1 && readShow(document, show);
               })
            << QStringList{"schema1_migration_and_duplicate_files"};
    }

    void faultyReadersAreCaught()
    {
        QFETCH(ShowReader, reader);
        QFETCH(QStringList, expectedFailures);
        SelfTestReport report(QStringLiteral("scope"));
        runTransportShowCases(report, QStringLiteral("/fixtures"), reader);
        QCOMPARE(report.tests().size(), caseNames.size());
        QCOMPARE(failedCases(report), expectedFailures);
        QVERIFY(!report.allPassed());
    }
};

QTEST_GUILESS_MAIN(TestTransportShowCases)
#include "tst_transportshowcases.moc"
