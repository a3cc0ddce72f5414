// The 200 ms status refresh against real decks, senders and output windows: the dashboard tiles,
// the Preview's readiness word and the on-air column of the running order.
#include "app/MainWindow.h"
#include "app/widgets/MediaDelegate.h"
#include "app/widgets/DeckWindow.h"
#include "outputs/display/OutputWindow.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString fixture(const QString &name)
{
    return QFileInfo(qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name).canonicalFilePath();
}

QLabel *previewState(MainWindow &window)
{
    for (QLabel *label : window.findChildren<QLabel *>(QStringLiteral("deckState")))
        if (label->property("health").isValid())
            return label;
    return nullptr;
}

Show showWith(const QList<Cue> &playlist)
{
    Show show;
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), playlist}};
    for (const Cue &cue : playlist)
        show.library << cue.source;
    return show;
}

} // namespace

class StatusRefreshTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        state = std::make_unique<QTemporaryDir>();
    }

    void displayTileCountsOpenWindows()
    {
        MainWindow window(false, QString(), state->path());
        auto *tile = window.findChild<QPushButton *>(QStringLiteral("statusTile"));
        QVERIFY(tile);
        window.tick();
        QCOMPARE(tile->text(), QStringLiteral("Displays  0 / 1 Open"));
        QCOMPARE(tile->toolTip(), QStringLiteral("1 → Program · Closed"));
        window.openDisplayOutput(0);
        QVERIFY(window.routeWindow(0));
        window.tick();
        QCOMPARE(tile->text(), QStringLiteral("Displays  1 / 1 Open"));
        QCOMPARE(tile->toolTip(), QStringLiteral("1 → Program · Open"));
        // Closed by the user: counts as closed, shows the Program of its selector.
        QVERIFY(window.addProgram(false));
        window.routeSource(0)->setCurrentIndex(1);
        window.routeWindow(0)->close();
        QTRY_VERIFY(!window.routeWindow(0));
        window.tick();
        QCOMPARE(tile->text(), QStringLiteral("Displays  0 / 1 Open"));
        QCOMPARE(tile->toolTip(), QStringLiteral("1 → Program B · Closed"));
    }

    void failedSenderShowsError()
    {
        qputenv("ZELVO_DISABLE_NETWORK_RUNTIME", "1");
        MainWindow window(false, QString(), state->path());
        QVERIFY(!window.networkBus(0)->start(0, QStringLiteral("Desk")));
        QVERIFY(!window.networkBus(0)->sender(0).error().isEmpty());
        window.tick();
        const QList<QPushButton *> tiles = window.findChildren<QPushButton *>(QStringLiteral("networkTile"));
        QCOMPARE(tiles.size(), 2);
        QCOMPARE(tiles[0]->text(), QStringLiteral("NDI  0 / 1 Sending"));
        QCOMPARE(tiles[0]->toolTip(), QStringLiteral("Program: Error"));
        QCOMPARE(tiles[1]->toolTip(), QStringLiteral("Program: Stopped"));
        // The failure reached the status line through the bus's warning.
        QVERIFY(!window.statusText().isEmpty());
        qunsetenv("ZELVO_DISABLE_NETWORK_RUNTIME");
    }

    void readinessWordFollowsTheCuedRow()
    {
        MainWindow window(false, QString(), state->path());
        const QString broken = fixture(QStringLiteral("corrupt.mp4"));
        const QString good = fixture(QStringLiteral("clip_360p25.mp4"));
        QVERIFY(window.applyShowState(showWith({Cue::forPath(broken), Cue::forPath(good)}), QString()));
        QTableWidget *order = window.runningOrder();
        QLabel *word = previewState(window);
        QVERIFY(word);
        window.tick();
        QCOMPARE(word->text(), QStringLiteral("Not cued"));

        order->selectRow(0);
        window.cueSelected(0);
        QTRY_COMPARE_WITH_TIMEOUT(window.cueReadiness()->state(), int(CueReadiness::Error), 30000);
        window.tick();
        QCOMPARE(word->text(), QStringLiteral("Error"));
        QCOMPARE(word->property("health").toString(), QStringLiteral("error"));
        QCOMPARE(word->toolTip(), window.uiText(window.cueReadiness()->error()));
        QVERIFY(!window.canTake());

        // The table's current row moved away from the cued row.
        order->selectRow(1);
        window.tick();
        QCOMPARE(word->text(), QStringLiteral("Not cued"));
        QCOMPARE(word->property("health").toString(), QStringLiteral("idle"));

        window.cueSelected(1);
        QTRY_VERIFY_WITH_TIMEOUT(window.canTake(), 30000);
        window.tick();
        QCOMPARE(word->text(), QStringLiteral("READY"));
        QCOMPARE(word->property("health").toString(), QStringLiteral("ready"));
    }

    void onAirRowMatchesSourceInAndOut()
    {
        MainWindow window(false, QString(), state->path());
        const QString clip = fixture(QStringLiteral("clip_360p25.mp4"));
        Cue first = Cue::forPath(clip);
        Cue second = first;
        second.in_ms = 1000;
        QVERIFY(window.applyShowState(showWith({first, second}), QString()));
        QVERIFY(window.controller(0)->takeCue(window.workingPlaylist(), 1, false, 300));
        NativeChannel *program = window.channel(0);
        QTRY_VERIFY_WITH_TIMEOUT(!program->source().isEmpty() && !program->isPreparing(), 30000);
        window.runningOrder()->setCurrentCell(0, 0);
        window.tick();
        QTableWidget *order = window.runningOrder();
        QCOMPARE(order->item(1, 1)->data(MediaDelegate::statusRole).toString(), QStringLiteral("PROGRAM"));
        QCOMPARE(order->item(0, 1)->data(MediaDelegate::statusRole).toString(), QStringLiteral("CUED"));
        // Program A holds media: the tally is on and the deck reports its state.
        QFrame *deck = nullptr;
        for (QFrame *frame : window.findChildren<QFrame *>(QStringLiteral("deck")))
            if (frame->property("channel").toString() == QStringLiteral("program"))
                deck = frame;
        QVERIFY(deck && deck->property("onAir").toBool());
        program->clear();
        window.tick();
        QCOMPARE(order->item(1, 1)->data(MediaDelegate::statusRole).toString(), QString());
        QVERIFY(!deck->property("onAir").toBool());
        QProgressBar *bar = deck->findChild<QProgressBar *>(QStringLiteral("deckProgress"));
        QCOMPARE(bar->value(), 0);
    }

    void deckWindowAvoidsAnOutputScreen()
    {
        MainWindow window(false, QString(), state->path());
        window.show();
        window.detachDeck(-1);
        window.deckWindowList().first()->setGeometry(QRect(20, 30, 400, 300));
        window.deckWindowList().first()->close();
        window.openDisplayOutput(0);
        QVERIFY(window.routeWindow(0) && window.routeWindow(0)->isVisible());
        window.detachDeck(-1);
        QVERIFY(window.deckWindowList().first()->size() != QSize(400, 300));
        // Stored again on close; the same geometry comes back once the output window is gone.
        window.deckWindowList().first()->setGeometry(QRect(20, 30, 400, 300));
        window.deckWindowList().first()->close();
        window.routeWindow(0)->close();
        QTRY_VERIFY(!window.routeWindow(0));
        window.detachDeck(-1);
        QCOMPARE(window.deckWindowList().first()->size(), QSize(400, 300));
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(StatusRefreshTest)
#include "tst_statusrefresh.moc"
