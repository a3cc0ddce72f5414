#include "selftest/TransportTests.h"

#include "engine/NativeChannel.h"
#include "engine/PlaylistController.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"
#include "selftest/TransportShowCases.h"

#include <QDir>
#include <QImage>
#include <QLoggingCategory>
#include <algorithm>
#include <memory>

namespace {


QImage filled(Qt::GlobalColor colour)
{
    QImage image(32, 18, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

void runCompositorCases(SelfTestReport &report)
{
    const QImage red = filled(Qt::red);
    const QImage blue = filled(Qt::blue);
    const QColor mix = NativeChannel::composeTransitionImage(red, blue, 0.5, 1).pixelColor(16, 9);
    report.recordResult(QStringLiteral("dissolve_pixel_mix"),
                        std::abs(mix.red() - 128) <= 2 && std::abs(mix.blue() - 128) <= 2 && mix.green() == 0, {});
    const QImage black = NativeChannel::composeTransitionImage(red, blue, 0.5, 2);
    report.recordResult(QStringLiteral("fade_black_midpoint"), black.pixel(16, 9) == qRgba(0, 0, 0, 255), {});
    const int single = NativeChannel::composeTransitionImage(QImage(), red, 0.5, 1).pixelColor(16, 9).red();
    report.recordResult(QStringLiteral("single_clip_fade_pixel"), single >= 126 && single <= 129, {});
}

// One deck with its playlist controller, and the probes the playback cases read.
struct Rig
{
    NativeChannel deck{false};
    PlaylistController controller{&deck};
    QStringList errors;
    int starts = 0;
    bool collecting = true;
    QList<qint64> frameTimes;

    Rig()
    {
        QObject::connect(&deck, &NativeChannel::failed, &deck, [this](const QString &message) {
            errors << message;
            qWarning().noquote() << message;
        });
        countSignal(&deck, &NativeChannel::started, &starts);
        QObject::connect(&deck, &NativeChannel::frameReady, &deck, [this](const QVideoFrame &frame) {
            if (collecting && frame.isValid())
                frameTimes << frame.startTime() / 1000;
        });
    }

    void startList(const QList<Cue> &list)
    {
        if (list.isEmpty())
            return;
        controller.items = list;
        controller.current = -1;
        controller.pending = 0;
        controller.nextPrepared = false;
        controller.failed = false;
        deck.cancelPreparation();
        deck.load(list.first(), true);
    }

    void reset()
    {
        controller.current = -1;
        controller.nextPrepared = false;
        deck.clear();
    }

    void cancelNext()
    {
        if (controller.nextPrepared) {
            controller.nextPrepared = false;
            deck.cancelPreparation();
        }
    }

    void sequenceOn()
    {
        controller.autoAdvance = true;
        deck.setLooping(false);
        controller.advance();
    }

    void sequenceOff()
    {
        controller.autoAdvance = false;
        cancelNext();
        controller.advance();
    }

    const Cue &activeCue() const { return deck.slot(deck.activeSlot()).cue; }
    qint64 composed() const { return qint64(deck.diagnostics().value("cpu_composed_frames").toDouble()); }
    bool switching() const { return deck.isPreparing() && deck.takeWhenReady(); }
};

bool allWithin(const QList<qint64> &times, qint64 low, qint64 high)
{
    return !times.isEmpty()
           && std::all_of(times.begin(), times.end(), [=](qint64 t) { return t >= low && t < high; });
}

QJsonObject frameSpan(const QList<qint64> &times)
{
    return QJsonObject{{"frames", int(times.size())},
                       {"first_ms", QJsonValue(times.isEmpty() ? -1 : times.first())},
                       {"last_ms", QJsonValue(times.isEmpty() ? -1 : times.last())}};
}

void runPlaybackCases(SelfTestReport &report, const QString &fixture1, const QString &fixture2,
                      const QString &fixtures)
{
    const Cue trimCue{fixture1, 500, 1600, 0, 400, 0, 0};
    const Cue tailCue{fixture2, 0, -1, 0, 300, 0, 0};
    const Cue fadesCue{fixture1, 400, 1600, 0, 400, 300, 300};
    const Cue sequenceFirst{fixture1, 200, 1800, 0, 300, 0, 0};
    const Cue pauseCue{fixture1, 200, 2400, 0, 500, 900, 0};
    const Cue overlongCue{fixture2, 500, 999999, 0, 300, 0, 0};
    const Cue loopCue{fixture1, 300, 1100, 0, 300, 0, 0};
    const Cue failingFirst{fixture1, 200, 1400, 0, 300, 0, 0};
    const Cue missingCue{QDir(fixtures).absoluteFilePath("missing-next.mp4"), 0, -1, 0, 300, 0, 0};
    const Cue savedCue{fixture1, 200, 2000, 2, 700, 600, 0};
    const Cue secondClip{fixture2, 200, 2300, 0, 300, 0, 0};

    Rig rig;
    NativeChannel &deck = rig.deck;

    // 16, 17: a trimmed clip in manual mode plays In..Out and holds its last picture.
    rig.startList({trimCue, tailCue});
    const bool ended16 = waitUntil([&] { return deck.hasEnded(); }, 8000);
    pump(150);
    report.recordResult("trim_in_out_exclusive", ended16 && allWithin(rig.frameTimes, 498, 1600),
                        frameSpan(rig.frameTimes));
    report.recordResult("manual_mode_holds_without_advancing",
                        ended16 && rig.starts == 1 && !deck.isPlaying() && deck.currentFrame().isValid(), {});

    // 18: entry and exit fades are composed; the exit fade ends in black.
    rig.collecting = false;
    rig.reset();
    pump(80);
    rig.errors.clear();
    qint64 composedBefore = rig.composed();
    rig.startList({fadesCue});
    const bool ended18 = waitUntil([&] { return deck.hasEnded(); }, 8000);
    const qint64 composed18 = rig.composed() - composedBefore;
    report.recordResult("single_clip_entry_exit_fades", ended18 && composed18 > 4 && !deck.currentFrame().isValid(),
                        {{"composed_frames", double(composed18)}});

    // 19, 20: sequenced dissolve and fade through black.
    for (int kind : {1, 2}) {
        rig.reset();
        pump(80);
        rig.starts = 0;
        composedBefore = rig.composed();
        rig.sequenceOn();
        rig.startList({sequenceFirst, Cue{fixture2, 200, 1700, kind, 400, 0, 0}});
        const bool done = waitUntil([&] { return rig.controller.current == 1 && deck.hasEnded(); }, 12000);
        const qint64 composed = rig.composed() - composedBefore;
        report.recordResult(kind == 1 ? "sequential_dissolve" : "sequential_fade_black",
                            done && rig.starts == 2 && composed > 3,
                            {{"starts", rig.starts}, {"composed_frames", double(composed)}});
    }

    // 21, 22: a pause freezes a running fade; resuming completes it.
    rig.reset();
    pump(80);
    rig.sequenceOff();
    rig.startList({pauseCue});
    const bool inFade = waitUntil([&] { return deck.positionMs() > 450 && deck.isPlaying(); }, 8000);
    deck.togglePlayback();
    pump(100);
    const qint64 pausedAt = deck.positionMs();
    const QImage pausedPicture = deck.currentFrame().toImage();
    pump(350);
    report.recordResult("pause_freezes_transition",
                        inFade && !deck.isPlaying() && std::abs(deck.positionMs() - pausedAt) <= 49
                            && deck.currentFrame().toImage() == pausedPicture,
                        {});
    deck.togglePlayback();
    report.recordResult("resume_transition_completes",
                        waitUntil([&] { return deck.positionMs() > 1300 && deck.isPlaying(); }, 8000), {});

    // 23: an Out beyond the media is refused and the clip on air stays.
    rig.errors.clear();
    const QString onAir = deck.source();
    deck.load(overlongCue, true);
    const bool refused = waitUntil([&] { return !rig.errors.isEmpty(); }, 8000);
    report.recordResult("out_beyond_duration_preserves_program", refused && deck.source() == onAir,
                        {{"error", rig.errors.join("; ")}});

    // 24: a looping clip only ever shows its trimmed range.
    rig.reset();
    pump(80);
    rig.starts = 0;
    rig.frameTimes.clear();
    rig.collecting = true;
    deck.setLooping(true);
    rig.startList({loopCue});
    const bool looped = waitUntil([&] { return deck.frameCount() > 54; }, 9000);
    report.recordResult("manual_loop_repeats_only_trimmed_range",
                        looped && allWithin(rig.frameTimes, 298, 1100) && rig.starts == 1 && deck.isPlaying(),
                        {{"frames", int(rig.frameTimes.size())}});

    // 25: a next item that fails stops the sequence on the current clip.
    rig.collecting = false;
    deck.setLooping(false);
    rig.reset();
    pump(80);
    rig.starts = 0;
    rig.errors.clear();
    rig.sequenceOn();
    rig.startList({failingFirst, missingCue});
    const bool stopped = waitUntil([&] { return deck.hasEnded() && !rig.errors.isEmpty(); }, 8000);
    report.recordResult("failed_next_item_stops_sequence",
                        stopped && rig.starts == 1 && deck.source() == fixture1 && deck.currentFrame().isValid(),
                        {{"starts", rig.starts}});

    // 26: one item with sequence and repeat on plays again and again.
    rig.reset();
    pump(80);
    rig.starts = 0;
    rig.cancelNext();
    rig.controller.repeat = true;
    rig.controller.advance();
    rig.sequenceOn();
    rig.startList({loopCue});
    const bool repeated = waitUntil([&] { return rig.starts > 2; }, 12000);
    report.recordResult("single_item_sequence_repeat", repeated, {{"starts", rig.starts}});

    // 27, 28: a manual CUT ignores the item's own entry fade; the sequence afterwards uses it.
    rig.sequenceOff();
    rig.reset();
    rig.cancelNext();
    rig.controller.repeat = true;
    rig.controller.advance();
    rig.sequenceOn();
    rig.starts = 0;
    composedBefore = rig.composed();
    rig.controller.takeCue({savedCue}, 0, false, 0);
    const bool cut = waitUntil([&] { return rig.starts == 1 && deck.frameCount() > 3; }, 8000);
    report.recordResult("manual_cut_bypasses_saved_entry_fade",
                        cut && rig.activeCue().transition == 0 && rig.activeCue().enter_ms == 0
                            && rig.composed() == composedBefore,
                        {});
    const bool again = waitUntil([&] { return rig.starts > 1; }, 8000);
    report.recordResult("manual_override_preserves_sequence_settings",
                        again && rig.activeCue().transition == 2 && rig.activeCue().transition_ms == 700, {});

    // 29 to 31: manual FADEs from black, between clips, and a refused one.
    rig.sequenceOff();
    rig.reset();
    pump(80);
    composedBefore = rig.composed();
    rig.controller.takeCue({savedCue}, 0, true, 300);
    const bool faded = waitUntil(
        [&] { return deck.source() == fixture1 && !rig.switching() && deck.frameCount() > 4; }, 8000);
    report.recordResult("manual_fade_defaults_300_from_black",
                        faded && rig.activeCue().enter_ms == 300 && rig.activeCue().transition_ms == 300
                            && rig.composed() > composedBefore,
                        {});
    composedBefore = rig.composed();
    rig.controller.takeCue({secondClip}, 0, true, 450);
    const bool between = waitUntil([&] { return deck.source() == fixture2 && deck.frameCount() > 4; }, 8000);
    report.recordResult("manual_fade_configured_between_clips",
                        between && rig.activeCue().transition_ms == 450 && rig.composed() > composedBefore
                            && rig.activeCue().in_ms == 200,
                        {});
    // A FADE of 0 ms is refused: takeCue says so, and nothing starts even after longer than a
    // wrongly accepted take would need to show (a preparation and its first frame).
    const QString kept = deck.source();
    const quint64 generation = deck.requestGeneration();
    rig.starts = 0;
    const bool accepted = rig.controller.takeCue({savedCue}, 0, true, 0);
    pump(1500);
    report.recordResult("invalid_manual_fade_does_not_replace_program",
                        !accepted && rig.starts == 0 && deck.source() == kept
                            && deck.requestGeneration() == generation,
                        {{"accepted", accepted}, {"starts", rig.starts}});
}

} // namespace

int runTransportTests(const QString &fixtures, const QString &result)
{
    SelfTestReport report(QStringLiteral("Native synthetic 640x360 media; functional ranges, compositor pixels and "
                                         "transport state. Not physical display or AV sync qualification."));
    report.setLogStyle(SelfTestReport::LogStyle::Verdict);
    report.setDecodeMode();
    const QDir dir(fixtures);
    runTransportShowCases(report, fixtures);
    runCompositorCases(report);
    runPlaybackCases(report, dir.absoluteFilePath("01-h264.mp4"), dir.absoluteFilePath("03-h264.mkv"), fixtures);
    return report.write(result);
}
