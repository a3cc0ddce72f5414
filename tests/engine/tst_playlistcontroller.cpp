#include "engine/NativeChannel.h"
#include "engine/PlaylistController.h"

#include <QSignalSpy>
#include <QTest>
#include <cmath>

class TestPlaylistController : public QObject
{
    Q_OBJECT

private:
    static Cue cueFor(const QString &name, qint64 in = 0, qint64 out = -1)
    {
        Cue cue = Cue::forPath(qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name);
        cue.in_ms = in;
        cue.out_ms = out;
        return cue;
    }

private slots:
    void takeCueRefusesBadRowsAndFadesWithoutChangingAnything_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("fade");
        QTest::addColumn<int>("fadeMs");
        QTest::newRow("negative row") << -1 << false << 0;
        QTest::newRow("row past the end") << 1 << false << 0;
        QTest::newRow("fade 0") << 0 << true << 0;
        QTest::newRow("fade 10001") << 0 << true << 10001;
    }

    void takeCueRefusesBadRowsAndFadesWithoutChangingAnything()
    {
        QFETCH(int, index);
        QFETCH(bool, fade);
        QFETCH(int, fadeMs);
        NativeChannel deck(false);
        PlaylistController controller(&deck);
        controller.failed = true;
        const quint64 generation = deck.requestGeneration();
        QVERIFY(!controller.takeCue({cueFor("card_red.mp4")}, index, fade, fadeMs));
        QVERIFY(controller.items.isEmpty());
        QVERIFY(controller.failed);
        QCOMPARE(deck.requestGeneration(), generation);
    }

    void automaticTakeStartsTheCappedTransitionBeforeOut()
    {
        // The next row asks for a 1000 ms dissolve, but the cue on air only has 1200 ms of range:
        // the dissolve is capped at 600 ms, so the take comes at Out - 600.
        NativeChannel deck(false);
        PlaylistController controller(&deck);
        Cue next = cueFor("card_blue.mp4", 0, 1200);
        next.transition = 1;
        next.transition_ms = 1000;
        bool dissolving = false;
        connect(&controller, &PlaylistController::cueStarted, this,
                [&](int index) { dissolving = index == 1 && deck.outgoingSlot() >= 0; });
        qint64 lastPositionOfFirst = -1;
        connect(&deck, &NativeChannel::started, this, [&] {
            if (controller.pending == 1)
                lastPositionOfFirst = deck.slot(deck.preparedSlot()).lastFrame.startTime() / 1000;
        });
        controller.setAutoAdvance(true);
        QVERIFY(controller.takeCue({cueFor("card_red.mp4", 0, 1200), next}, 0, false, 0));
        QTRY_VERIFY_WITH_TIMEOUT(controller.current == 1, 8000);
        QVERIFY2(lastPositionOfFirst >= 560 && lastPositionOfFirst <= 700, qPrintable(QString::number(lastPositionOfFirst)));
        QVERIFY(dissolving); // the first cue stayed on as the outgoing slot
    }

    void switchingToManualCancelsThePreparedRow()
    {
        NativeChannel deck(false);
        PlaylistController controller(&deck);
        controller.setAutoAdvance(true);
        QVERIFY(controller.takeCue({cueFor("card_red.mp4"), cueFor("card_green.mp4")}, 0, false, 0));
        QTRY_VERIFY_WITH_TIMEOUT(controller.nextPrepared && deck.isPrepared(), 8000);
        controller.setAutoAdvance(false);
        QVERIFY(!controller.nextPrepared);
        QVERIFY(!deck.isPrepared() && !deck.isPreparing());
        QCOMPARE(deck.preparationState(), QStringLiteral("cancelled"));
    }

    void sequencedBoundaryLeavesNoHoleInTheProgramAudio()
    {
        // Each short clip carries a continuous 440 Hz tone; the program audio across the boundary
        // must not fall silent for longer than the take's own timing slack.
        NativeChannel deck(false);
        PlaylistController controller(&deck);
        std::vector<float> left;
        connect(&deck, &NativeChannel::audioReady, this, [&](const AudioPacket &p) {
            const float *s = reinterpret_cast<const float *>(p.data.constData());
            for (int i = 0; i < p.frames(); ++i)
                left.push_back(s[2 * i]);
        });
        controller.setAutoAdvance(true);
        // Three rows, so the row after the boundary is prepared into the slot that just went off air.
        QVERIFY(controller.takeCue({cueFor("short_a.mp4"), cueFor("short_b.mp4"), cueFor("short_c.mp4")}, 0, false, 0));
        QTRY_VERIFY_WITH_TIMEOUT(controller.current == 1 && deck.positionMs() > 500, 8000);
        size_t first = 0;
        while (first < left.size() && left[first] == 0.0f)
            ++first;
        size_t run = 0, longest = 0;
        for (size_t i = first; i < left.size(); ++i) {
            run = left[i] == 0.0f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        QVERIFY2(left.size() - first > 48 * 2300, "the sequence produced too little sound");
        QVERIFY2(longest < 48 * 15, qPrintable(QStringLiteral("silent for %1 ms").arg(longest / 48.0)));
    }
};

QTEST_MAIN(TestPlaylistController)
#include "tst_playlistcontroller.moc"
