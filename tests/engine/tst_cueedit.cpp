#include "engine/CueEdit.h"

#include <QTest>

#include <limits>

namespace {

const QString clip = QStringLiteral("/media/clip.mp4");

Cue storedCue()
{
    Cue cue = Cue::forPath(clip);
    cue.in_ms = 1000;
    cue.out_ms = 5000;
    cue.transition = 1;
    cue.transition_ms = 300;
    cue.enter_ms = 100;
    cue.exit_ms = 200;
    return cue;
}

CueEditorFields fieldsOf(const Cue &cue)
{
    return CueEditorFields{cue.in_ms / 1000.0, cue.out_ms < 0 ? -1.0 : cue.out_ms / 1000.0, cue.transition,
                           cue.transition_ms / 1000.0, cue.enter_ms / 1000.0, cue.exit_ms / 1000.0};
}

} // namespace

Q_DECLARE_METATYPE(CueEditorFields)

class TestCueEdit : public QObject
{
    Q_OBJECT
private slots:
    void rounding_data();
    void rounding();
    void fieldsBecomeTheCandidate();
    void validation_data();
    void validation();
    void trimChange_data();
    void trimChange();
};

void TestCueEdit::rounding_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<qint64>("ms");
    QTest::newRow("half up") << 1.2345 << qint64(1235);
    QTest::newRow("binary just below the half") << 0.5005 << qint64(501);
    QTest::newRow("another just below") << 0.5045 << qint64(505);
    QTest::newRow("below the half") << 1.2344 << qint64(1234);
    QTest::newRow("negative half away from zero") << -0.0005 << qint64(-1);
    QTest::newRow("whole") << 3.0 << qint64(3000);
    QTest::newRow("zero") << 0.0 << qint64(0);
    QTest::newRow("seven days") << 604800.0 << qint64(604800000);
    QTest::newRow("beyond the range") << 1e300 << std::numeric_limits<qint64>::max();
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << std::numeric_limits<qint64>::min();
}

void TestCueEdit::rounding()
{
    QFETCH(double, seconds);
    QFETCH(qint64, ms);
    QCOMPARE(msFromSeconds(seconds), ms);
}

void TestCueEdit::fieldsBecomeTheCandidate()
{
    const CueEditorFields fields{1.2345, -0.5, 2, 0.6005, 0.4, 1.25};
    const CueEdit edit = editCue(storedCue(), fields, QString(), 0);
    QVERIFY2(edit.error.isEmpty(), qPrintable(edit.error));
    QCOMPARE(edit.candidate.source, clip);
    QCOMPARE(edit.candidate.in_ms, 1235);
    QCOMPARE(edit.candidate.out_ms, -1);
    QCOMPARE(edit.candidate.transition, 2);
    QCOMPARE(edit.candidate.transition_ms, 601);
    QCOMPARE(edit.candidate.enter_ms, 400);
    QCOMPARE(edit.candidate.exit_ms, 1250);
}

void TestCueEdit::validation_data()
{
    QTest::addColumn<CueEditorFields>("fields");
    QTest::addColumn<QString>("previewSource");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<QString>("error");
    const CueEditorFields base = fieldsOf(storedCue());
    CueEditorFields inEqualsOut = base;
    inEqualsOut.inSeconds = 5;
    CueEditorFields pastEnd = base;
    pastEnd.outSeconds = 6;
    CueEditorFields longFade = base;
    longFade.enterSeconds = 10.0004;
    CueEditorFields eightDays = base;
    eightDays.inSeconds = 8 * 86400;
    eightDays.outSeconds = -1;
    CueEditorFields noTransition = base;
    noTransition.transition = -1;
    CueEditorFields hugeFade = base;
    hugeFade.exitSeconds = 1e12;

    QTest::newRow("valid") << base << clip << qint64(5000) << QString();
    QTest::newRow("in equals out") << inEqualsOut << QString() << qint64(0) << "In must be before Out";
    QTest::newRow("past the preview's duration") << pastEnd << clip << qint64(5500) << "Trim exceeds media duration";
    // The Preview's duration counts only for its own source, compared case-sensitively.
    QTest::newRow("other media's duration ignored") << pastEnd << "/media/other.mp4" << qint64(5500) << QString();
    QTest::newRow("other case is other media") << pastEnd << "/media/CLIP.mp4" << qint64(5500) << QString();
    QTest::newRow("fade rounds to 10000") << longFade << QString() << qint64(0) << QString();
    QTest::newRow("fade too long") << CueEditorFields{1, 5, 1, 0.3, 10.0006, 0} << QString() << qint64(0)
                                   << "Transition duration must be between 0 and 10 seconds";
    QTest::newRow("fade beyond int") << hugeFade << QString() << qint64(0)
                                     << "Transition duration must be between 0 and 10 seconds";
    QTest::newRow("trim a show file cannot hold") << eightDays << QString() << qint64(0) << "Trim exceeds media duration";
    QTest::newRow("no transition chosen") << noTransition << QString() << qint64(0) << "Unknown transition";
}

void TestCueEdit::validation()
{
    QFETCH(CueEditorFields, fields);
    QFETCH(QString, previewSource);
    QFETCH(qint64, durationMs);
    QFETCH(QString, error);
    QCOMPARE(editCue(storedCue(), fields, previewSource, durationMs).error, error);
}

void TestCueEdit::trimChange_data()
{
    QTest::addColumn<CueEditorFields>("fields");
    QTest::addColumn<bool>("trimChanged");
    const CueEditorFields same = fieldsOf(storedCue());
    CueEditorFields in = same, out = same, toEnd = same, transition = same, fades = same, sub = same;
    in.inSeconds = 1.5;
    out.outSeconds = 4;
    toEnd.outSeconds = -0.5;
    transition.transition = 2;
    transition.transitionSeconds = 1;
    fades.enterSeconds = 0.5;
    fades.exitSeconds = 0.5;
    sub.inSeconds = 1.0004;   // rounds back to the stored 1000 ms
    QTest::newRow("nothing") << same << false;
    QTest::newRow("in") << in << true;
    QTest::newRow("out") << out << true;
    QTest::newRow("out to the end") << toEnd << true;
    QTest::newRow("transition only") << transition << false;
    QTest::newRow("fades only") << fades << false;
    QTest::newRow("change below a millisecond") << sub << false;
}

void TestCueEdit::trimChange()
{
    QFETCH(CueEditorFields, fields);
    QFETCH(bool, trimChanged);
    const CueEdit edit = editCue(storedCue(), fields, clip, 0);
    QVERIFY(edit.error.isEmpty());
    QCOMPARE(edit.trimChanged, trimChanged);
}

QTEST_GUILESS_MAIN(TestCueEdit)
#include "tst_cueedit.moc"
