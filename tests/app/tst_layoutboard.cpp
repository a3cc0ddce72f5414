// The layout-review options: capture sizes, picture names and the sample layouts of a board.
#include "app/LayoutBoard.h"
#include "app/MainWindow.h"

#include <QCommandLineParser>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The options that the layout board reads, as start-up registers them.
void parse(QCommandLineParser &parser, const QStringList &arguments)
{
    for (const char *flag : {"board", "board-multi-output", "capture-sequential", "capture-link", "capture-settings",
                             "capture-digital", "capture-diagnostics"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag)));
    QCommandLineOption programs(QStringLiteral("board-programs"), QString(), QStringLiteral("count"), QStringLiteral("1"));
    QCommandLineOption page(QStringLiteral("capture-page"), QString(), QStringLiteral("page"), QStringLiteral("0"));
    parser.addOption(programs);
    parser.addOption(page);
    QVERIFY(parser.parse(QStringList{QStringLiteral("ZelvoPlayout")} + arguments));
}

} // namespace

class LayoutBoardTest : public QObject
{
    Q_OBJECT

private slots:
    void captureSize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QSize>("size");
        QTest::newRow("smallest") << "1280x800" << QSize(1280, 800);
        QTest::newRow("default") << "1600x1000" << QSize(1600, 1000);
        QTest::newRow("narrow") << "1279x800" << QSize();
        QTest::newRow("low") << "1280x799" << QSize();
        QTest::newRow("five digits") << "12800x900" << QSize();
        QTest::newRow("trailing x") << "1600x1000x" << QSize();
        QTest::newRow("blank") << "1600 x1000" << QSize();
        QTest::newRow("empty") << "" << QSize();
    }

    void captureSize()
    {
        QFETCH(QString, text);
        QFETCH(QSize, size);
        const std::optional<QSize> parsed = LayoutBoard::captureSize(text);
        QCOMPARE(parsed.value_or(QSize()), size);
    }

    void captureName_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("portuguese");
        QTest::addColumn<QString>("name");
        QTest::newRow("main") << QStringList{} << false << "01-main-en.png";
        QTest::newRow("main pt") << QStringList{} << true << "04-main-pt-BR.png";
        QTest::newRow("below 0") << QStringList{QStringLiteral("--capture-page=-3")} << false << "01-main-en.png";
        QTest::newRow("edit pt") << QStringList{QStringLiteral("--capture-page"), QStringLiteral("1")} << true << "06-edit-pt-BR.png";
        QTest::newRow("library pt") << QStringList{QStringLiteral("--capture-page"), QStringLiteral("2")} << true << "03-library-en.png";
        QTest::newRow("outputs pt") << QStringList{QStringLiteral("--capture-page"), QStringLiteral("3")} << true << "02-outputs-en.png";
        QTest::newRow("above 4") << QStringList{QStringLiteral("--capture-page"), QStringLiteral("9")} << false << "07-audio-en.png";
        QTest::newRow("digital pt") << QStringList{QStringLiteral("--capture-digital")} << true << "10-network-pt-BR.png";
        QTest::newRow("settings wins") << QStringList{QStringLiteral("--capture-diagnostics"), QStringLiteral("--capture-settings")}
                                       << false << "15-project-en.png";
        QTest::newRow("link over diagnostics") << QStringList{QStringLiteral("--capture-diagnostics"), QStringLiteral("--capture-link")}
                                               << true << "14-link-pt-BR.png";
    }

    void captureName()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, portuguese);
        QFETCH(QString, name);
        QCommandLineParser parser;
        parse(parser, arguments);
        QCOMPARE(LayoutBoard::captureName(parser, portuguese), name);
    }

    void boardPrograms_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("board");
        QTest::addColumn<int>("programs");
        QTest::newRow("absent") << QStringList{} << true << 1;
        QTest::newRow("zero") << QStringList{QStringLiteral("--board-programs"), QStringLiteral("0")} << true << 1;
        QTest::newRow("not a number") << QStringList{QStringLiteral("--board-programs"), QStringLiteral("x")} << true << 1;
        QTest::newRow("four") << QStringList{QStringLiteral("--board-programs"), QStringLiteral("4")} << true << 4;
        QTest::newRow("hundred") << QStringList{QStringLiteral("--board-programs"), QStringLiteral("100")} << true << 64;
        QTest::newRow("without board") << QStringList{QStringLiteral("--board-programs"), QStringLiteral("4")} << false << 1;
    }

    void boardPrograms()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, board);
        QFETCH(int, programs);
        QTemporaryDir state;
        MainWindow window(board, QString(), state.path());
        QCommandLineParser parser;
        parse(parser, arguments);
        LayoutBoard::applyBoardOptions(window, parser);
        QCOMPARE(window.programTotal(), programs);
        if (board)
            QVERIFY(!QFile::exists(state.filePath(QStringLiteral("preferences.ini"))));
    }

    void multiOutputAndSequential()
    {
        QTemporaryDir state;
        MainWindow window(true, QString(), state.path());
        QCommandLineParser parser;
        parse(parser, {QStringLiteral("--board-multi-output"), QStringLiteral("--capture-sequential")});
        LayoutBoard::applyBoardOptions(window, parser);
        QCOMPARE(window.programTotal(), 3);
        OutputConfig expected;
        expected.programs = 3;
        expected.displays = 5;
        expected.displayPrograms = {0, 0, 1, 2, 0};
        QCOMPARE(window.currentOutputConfig(), expected);
        // Each added sample Program starts with Program A's playlist.
        QCOMPARE(window.programList()[2].playlist.size(), 5);
        QVERIFY(window.selectedPlaylist()->autoAdvance);
        QVERIFY(!window.isModified());
    }
};

QTEST_MAIN(LayoutBoardTest)
#include "tst_layoutboard.moc"
