// The layout boards: the real program draws each page in sample content, in English and in
// Brazilian Portuguese, at 1600 x 1000; every picture must exist, show something and differ
// between the two languages. The pictures stay in <build>/captures/<language>/ for a person to look at.
#include "PictureCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Board
{
    QString name;           // row name
    QStringList options;    // page selection
    QString english;        // picture names
    QString portuguese;
};

const QList<Board> boards = {
    {QStringLiteral("main"), {QStringLiteral("--capture-page"), QStringLiteral("0")}, QStringLiteral("01-main-en.png"), QStringLiteral("04-main-pt-BR.png")},
    {QStringLiteral("edit"), {QStringLiteral("--capture-page"), QStringLiteral("1")}, QStringLiteral("05-edit-en.png"), QStringLiteral("06-edit-pt-BR.png")},
    {QStringLiteral("library"), {QStringLiteral("--capture-page"), QStringLiteral("2")}, QStringLiteral("03-library-en.png"), QStringLiteral("03-library-en.png")},
    {QStringLiteral("outputs"), {QStringLiteral("--capture-page"), QStringLiteral("3")}, QStringLiteral("02-outputs-en.png"), QStringLiteral("02-outputs-en.png")},
    {QStringLiteral("audio"), {QStringLiteral("--capture-page"), QStringLiteral("9")}, QStringLiteral("07-audio-en.png"), QStringLiteral("08-audio-pt-BR.png")},
    {QStringLiteral("digital"), {QStringLiteral("--capture-digital")}, QStringLiteral("09-network-en.png"), QStringLiteral("10-network-pt-BR.png")},
    {QStringLiteral("diagnostics"), {QStringLiteral("--capture-diagnostics")}, QStringLiteral("11-engine-en.png"), QStringLiteral("12-engine-pt-BR.png")},
    {QStringLiteral("link"), {QStringLiteral("--capture-link")}, QStringLiteral("13-link-en.png"), QStringLiteral("14-link-pt-BR.png")},
    {QStringLiteral("settings"), {QStringLiteral("--capture-settings"), QStringLiteral("--capture-diagnostics")}, QStringLiteral("15-project-en.png"), QStringLiteral("16-project-pt-BR.png")},
};

QString captureRoot()
{
    return qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/captures");
}

} // namespace

class CapturesTest : public QObject
{
    Q_OBJECT

private slots:
    // All boards are drawn first, four programs at a time, so the checks below only read files.
    void initTestCase()
    {
        const QString program = qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/ZelvoPlayout");
        QVERIFY(QFileInfo(program).isExecutable());
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")}) {
            QDir(captureRoot() + QLatin1Char('/') + language).removeRecursively();
            QVERIFY(QDir().mkpath(captureRoot() + QLatin1Char('/') + language));
        }
        QList<QStringList> runs;
        for (const Board &board : boards)
            for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")})
                runs << QStringList{QStringLiteral("--board"), QStringLiteral("--board-programs"), QStringLiteral("1"),
                                    QStringLiteral("--state-dir"), state.path(), QStringLiteral("--lang"), language,
                                    QStringLiteral("--capture-size"), QStringLiteral("1600x1000"),
                                    QStringLiteral("--capture-dir"), captureRoot() + QLatin1Char('/') + language}
                             + board.options;
        while (!runs.isEmpty()) {
            std::vector<std::unique_ptr<QProcess>> batch;
            for (int i = 0; i < 4 && !runs.isEmpty(); ++i) {
                batch.push_back(std::make_unique<QProcess>());
                batch.back()->start(program, runs.takeFirst());
            }
            for (auto &process : batch) {
                QVERIFY(process->waitForFinished(60000));
                QCOMPARE(process->exitCode(), 0);
            }
        }
        // The layout board writes no preferences.
        QVERIFY(!QFileInfo::exists(state.filePath(QStringLiteral("preferences.ini"))));
    }

    void boardsExistShowSomethingAndFollowTheLanguage_data()
    {
        QTest::addColumn<QString>("english");
        QTest::addColumn<QString>("portuguese");
        for (const Board &board : boards)
            QTest::newRow(qPrintable(board.name)) << board.english << board.portuguese;
    }

    void boardsExistShowSomethingAndFollowTheLanguage()
    {
        QFETCH(QString, english);
        QFETCH(QString, portuguese);
        const QImage en(captureRoot() + QStringLiteral("/en/") + english);
        const QImage pt(captureRoot() + QStringLiteral("/pt-BR/") + portuguese);
        QCOMPARE(en.size(), QSize(1600, 1000));
        QCOMPARE(pt.size(), QSize(1600, 1000));
        for (const QImage *image : {&en, &pt}) {
            const PictureSpread spread = pictureSpread(*image);
            QVERIFY2(spread.luminanceDeviation > 8 && spread.colours > 50,
                     qPrintable(QStringLiteral("deviation %1, colours %2").arg(spread.luminanceDeviation).arg(spread.colours)));
        }
        QVERIFY(pictureDifference(en, pt) > 0.001);
    }

    void namesFollowTheOptions()
    {
        // Each language folder holds exactly the pictures the table names, nothing else.
        QStringList en;
        QStringList pt;
        for (const Board &board : boards) {
            en << board.english;
            pt << board.portuguese;
        }
        en.sort();
        pt.sort();
        pt.removeDuplicates();
        QCOMPARE(QDir(captureRoot() + QStringLiteral("/en")).entryList(QDir::Files, QDir::Name), en);
        QCOMPARE(QDir(captureRoot() + QStringLiteral("/pt-BR")).entryList(QDir::Files, QDir::Name), pt);
    }

private:
    QTemporaryDir state;
};

QTEST_MAIN(CapturesTest)
#include "tst_captures.moc"
