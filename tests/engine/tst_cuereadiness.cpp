#include "engine/CueReadiness.h"
#include "engine/NativeChannel.h"
#include "platform/media/MediaPlayer.h"
#include "support/FrameCode.h"

#include <QDateTime>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Cue verification on a real muted Preview deck with the generated clips: clip_360p25 is 10 s at
// 25 fps (frames start every 40 ms, frame index coded along the bottom edge), the WAV has no video.
class TestCueReadiness : public QObject
{
    Q_OBJECT

private:
    static QString fixture(const QString &name)
    {
        return qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name;
    }


    static bool settle(const CueReadiness &readiness, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return readiness.state() != CueReadiness::Preparing; }, timeoutMs);
    }

    static bool prepareAndSettle(CueReadiness &readiness, const Cue &cue)
    {
        readiness.prepare(cue);
        return settle(readiness);
    }

    static bool appendText(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::Append) && file.write("changed") == 7;
    }

    static bool copyClip(const QTemporaryDir &dir, const QString &name, QString *path)
    {
        *path = dir.filePath(name);
        return QFile::copy(fixture("clip_360p25.mp4"), *path);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(fixture("clip_360p25.mp4")), "run tests/make-fixtures.sh and set ZELVO_FIXTURES");
    }

    void videoAtStartIsReadyOnItsFirstFrameWithoutSeeking()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const Cue cue{fixture("clip_360p25.mp4"), 0, 2500};
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.error(), QString());
        QCOMPARE(readiness.state(), int(CueReadiness::Ready));
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), 0);
        QCOMPARE(frameCodeOf(preview.currentFrame()), 0);
        QVERIFY(!preview.isPlaying());
        QCOMPARE(preview.positionMs(), 0);
        QCOMPARE(readiness.generation(), preview.requestGeneration());
        QCOMPARE(readiness.generation(), preview.activeGeneration());

        const QJsonObject snapshot = readiness.snapshot();
        QCOMPARE(snapshot.value("state").toString(), QStringLiteral("ready"));
        QCOMPARE(snapshot.value("cue").toObject(), jsonFromCue(cue));
        QCOMPARE(snapshot.value("generation").toDouble(), double(preview.requestGeneration()));
        QCOMPARE(snapshot.value("first_verified_video_pts_us").toDouble(), 0.0);
        QCOMPARE(snapshot.value("elapsed_ms").toDouble(), double(readiness.elapsedMs()));
        QVERIFY(snapshot.value("scope").toString().startsWith("Muted Preview source/trim verification"));
        QVERIFY(snapshot.contains("error"));
    }

    void readyOnlyForTheVerifiedSourceAndTrim_data()
    {
        QTest::addColumn<Cue>("asked");
        QTest::addColumn<bool>("ready");
        const Cue verified{fixture("clip_360p25.mp4"), 400, 1600};
        QTest::newRow("same") << verified << true;
        Cue styled = verified;
        styled.transition = 2;
        styled.transition_ms = 900;
        styled.enter_ms = 500;
        styled.exit_ms = 700;
        QTest::newRow("other transition and fades") << styled << true;
        QTest::newRow("other In") << Cue{verified.source, 480, 1600} << false;
        QTest::newRow("other Out") << Cue{verified.source, 400, 2000} << false;
        QTest::newRow("Out to the end") << Cue{verified.source, 400, -1} << false;
        QTest::newRow("other source") << Cue{fixture("clip_360p25.mkv"), 400, 1600} << false;
        QTest::newRow("same file spelt differently")
            << Cue{fixture("./clip_360p25.mp4"), 400, 1600} << false;
    }

    void readyOnlyForTheVerifiedSourceAndTrim()
    {
        QFETCH(Cue, asked);
        QFETCH(bool, ready);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("clip_360p25.mp4"), 400, 1600}));
        QCOMPARE(readiness.state(), int(CueReadiness::Ready));
        QCOMPARE(readiness.readyFor(asked), ready);
    }

    // Frames start every 40 ms; a seek lands on the frame that contains In.
    void videoInIsProvenWithinTwoMilliseconds_data()
    {
        QTest::addColumn<qint64>("in");
        QTest::addColumn<qint64>("provenUs");
        QTest::newRow("on a frame start") << 4000LL << 4000000LL;
        QTest::newRow("frame 1 ms early") << 5001LL << 5000000LL;
        QTest::newRow("frame 2 ms early") << 5002LL << 5000000LL;
        QTest::newRow("frame 3 ms early: the next one proves") << 5003LL << 5040000LL;
        QTest::newRow("mid frame") << 5020LL << 5040000LL;
    }

    void videoInIsProvenWithinTwoMilliseconds()
    {
        QFETCH(qint64, in);
        QFETCH(qint64, provenUs);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("clip_360p25.mp4"), in, 8000}));
        QCOMPARE(readiness.error(), QString());
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), provenUs);
        QCOMPARE(readiness.snapshot().value("first_verified_video_pts_us").toDouble(), double(provenUs));
        QVERIFY(!preview.isPlaying());
        // The proof is a real decoded picture of that time, not just a timestamp.
        QVERIFY(preview.currentFrame().startTime() >= provenUs);
        QVERIFY(frameCodeOf(preview.currentFrame()) >= int(provenUs / 40000));
    }

    // The frame at In is the first one starting at or after In - 2 ms, in every container and GOP
    // structure the player takes; the proof is read back from the picture itself.
    void videoInIsProvenInEveryContainer_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<qint64>("in");
        QTest::addColumn<qint64>("provenUs");
        QTest::addColumn<int>("frame");
        QTest::newRow("mpeg2 ts before an I-frame") << "mpeg2_360p25.ts" << 1890LL << 1890022LL << 47;
        QTest::newRow("h264 ts in its last GOP") << "h264_360p25.ts" << 7621LL << 7621333LL << 190;
        QTest::newRow("ts after a timestamp wrap") << "h264_wrap_360p25.ts" << 2421LL << 2421333LL << 60;
        QTest::newRow("mpeg-ps before an I-frame") << "mpeg2_360p25.mpg" << 1770LL << 1770022LL << 44;
        QTest::newRow("open-GOP hevc before a key frame") << "hevc_opengop_360p25.mp4" << 1960LL << 1960000LL << 49;
        QTest::newRow("open-GOP h264 before a key frame") << "h264_opengop_360p25.mp4" << 3960LL << 3960000LL << 99;
        QTest::newRow("intra refresh") << "h264_intrarefresh_360p25.mp4" << 2200LL << 2200000LL << 55;
        // The video has no frame before 480 ms (its sound starts at 0): its first frame proves In.
        QTest::newRow("video starting after In") << "video_starts_late.mp4" << 200LL << 480000LL << 0;
    }

    void videoInIsProvenInEveryContainer()
    {
        QFETCH(QString, file);
        QFETCH(qint64, in);
        QFETCH(qint64, provenUs);
        QFETCH(int, frame);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, Cue{fixture(file), in}));
        QCOMPARE(readiness.error(), QString());
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), provenUs);
        QCOMPARE(preview.currentFrame().startTime(), provenUs);
        QCOMPARE(frameCodeOf(preview.currentFrame()), frame);
    }

    // A source that skips the frame at In and shows a later one has not proven In, however close
    // the later frame is.
    void laterFrameNeverProves()
    {
        NativeChannel preview(true);
        for (int i = 0; i < 2; ++i)
            preview.slot(i).player->setSeekRetreatForTesting(false);
        CueReadiness readiness(&preview);
        readiness.setTimeoutForTesting(3000);
        // Without seeking further back, the open GOP's key frame (frame 50) comes first.
        const Cue cue{fixture("hevc_opengop_360p25.mp4"), 1960};
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.error(), QStringLiteral("Cue verification timed out"));
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), -1);
        QVERIFY(!readiness.readyFor(cue));
    }

    void frameAtOutNeverProvesAndVerificationTimesOut()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        readiness.setTimeoutForTesting(1500);
        // The frame holding 2990 starts at 2960 (too early), the next one at Out.
        const Cue cue{fixture("clip_360p25.mp4"), 2990, 3000};
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.error(), QStringLiteral("Cue verification timed out"));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), -1);
        QVERIFY(readiness.elapsedMs() >= 1500);
        QVERIFY(!readiness.readyFor(cue));
        QVERIFY(!preview.isPlaying());
    }

    void audioOnlyIsReadyWithoutVideoProof_data()
    {
        QTest::addColumn<qint64>("in");
        QTest::newRow("from the start") << 0LL;
        QTest::newRow("from 200 ms") << 200LL;
    }

    void audioOnlyIsReadyWithoutVideoProof()
    {
        QFETCH(qint64, in);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const Cue cue{fixture("tone_48k_stereo_f32.wav"), in, 1200};
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.error(), QString());
        QVERIFY(readiness.readyFor(cue));
        const MediaPlayer &player = *preview.slot(preview.activeSlot()).player;
        QVERIFY(player.hasAudio() && !player.hasVideo());
        QVERIFY(preview.positionMs() + 2 >= in);
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), -1);
        QCOMPARE(readiness.snapshot().value("first_verified_video_pts_us").toDouble(), -1.0);
    }

    void refusedBeforePrepareReturns_data()
    {
        QTest::addColumn<Cue>("cue");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty path") << Cue() << "Empty media path";
        QTest::newRow("In after Out") << Cue{fixture("clip_360p25.mp4"), 800, 400} << "In must be before Out";
        Cue longFade{fixture("clip_360p25.mp4")};
        longFade.transition_ms = 10001;
        QTest::newRow("fade") << longFade << "Transition duration must be between 0 and 10 seconds";
        QTest::newRow("missing") << Cue{fixture("no_such_file.mp4")} << "File is missing or unreadable";
        QTest::newRow("directory") << Cue{qEnvironmentVariable("ZELVO_FIXTURES")}
                                   << "File is missing or unreadable";
    }

    void refusedBeforePrepareReturns()
    {
        QFETCH(Cue, cue);
        QFETCH(QString, message);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        // The Preview first shows a verified clip; a refused cue must not leave that picture behind.
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("card_red.mp4")}));
        QCOMPARE(readiness.state(), int(CueReadiness::Ready));
        QSignalSpy changed(&readiness, &CueReadiness::changed);
        readiness.prepare(cue);
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.error(), message);
        QCOMPARE(readiness.snapshot().value("error").toString(), message);
        QVERIFY(changed.count() >= 2);
        QVERIFY(preview.source().isEmpty());
        QCOMPARE(preview.activeGeneration(), 0);
        QVERIFY(!preview.currentFrame().isValid());
        QVERIFY(!readiness.readyFor(cue));
        QVERIFY(!readiness.readyFor(Cue{fixture("card_red.mp4")}));
    }

    void mediaRefusalsReachTheCaller_data()
    {
        QTest::addColumn<Cue>("cue");
        QTest::addColumn<QString>("message");  // empty: the player's own words
        QTest::newRow("Out beyond the end") << Cue{fixture("clip_360p25.mp4"), 0, 15000}
                                            << "Trim exceeds media duration";
        QTest::newRow("In at the end") << Cue{fixture("clip_360p25.mp4"), 10000}
                                       << "Trim exceeds media duration";
        QTest::newRow("random bytes") << Cue{fixture("corrupt.mp4")} << QString();
        QTest::newRow("text file") << Cue{fixture("not_media.mp4")} << QString();
        // Refused as soon as the player knows, long before the time limit.
        QTest::newRow("picture ends before In") << Cue{fixture("video_ends_early.mp4"), 3000} << "Media ends before In";
        QTest::newRow("undecodable video") << Cue{fixture("unknown_video.avi")} << "Unsupported codec: ZLVO";
    }

    void mediaRefusalsReachTheCaller()
    {
        QFETCH(Cue, cue);
        QFETCH(QString, message);
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        if (message.isEmpty()) {
            QVERIFY(!readiness.error().isEmpty());
            QCOMPARE(readiness.error(), preview.preparationError());
        } else {
            QCOMPARE(readiness.error(), message);
        }
        QVERIFY(!readiness.readyFor(cue));
        QVERIFY(!preview.isPlaying());
    }

    // Our player opens every local file seekable when it knows the duration; an elementary stream
    // has neither, so it never prepares. A file the player could seek is handed over as unseekable
    // through the test switch to reach the refusal itself.
    void unseekableSourceIsNeverReadyAtNonZeroIn()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        readiness.setUnseekableForTesting(true);
        const Cue cue{fixture("clip_360p25.mp4"), 1000, 3000};
        QSignalSpy changed(&readiness, &CueReadiness::changed);
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.error(), QStringLiteral("Source cannot seek to In"));
        QVERIFY(changed.count() >= 1);
        QCOMPARE(changed.last().size(), 0);
        QVERIFY(!readiness.readyFor(cue));
        QCOMPARE(readiness.firstVerifiedVideoPtsUs(), -1);
        QVERIFY(!preview.isPlaying());
        QTest::qWait(300);
        QCOMPARE(readiness.state(), int(CueReadiness::Error));

        // From the start nothing has to seek.
        const Cue fromStart{fixture("clip_360p25.mp4"), 0, 3000};
        QVERIFY(prepareAndSettle(readiness, fromStart));
        QVERIFY(readiness.readyFor(fromStart));
    }

    void elementaryStreamWithoutDurationIsNeverReady()
    {
        const QString path = fixture("raw_360p25.h264");
        QVERIFY2(QFile::exists(path), "run tests/make-fixtures.sh");
        NativeChannel preview(true);
        preview.setPreparationTimeoutForTesting(800);
        CueReadiness readiness(&preview);
        const Cue cue{path, 1000};
        QVERIFY(prepareAndSettle(readiness, cue));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.error(), QStringLiteral("Media preparation timed out"));
        QVERIFY(!readiness.readyFor(cue));
    }

    void laterChangesVoidTheProof()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const Cue a{fixture("clip_360p25.mp4"), 400, 1600};
        QVERIFY(prepareAndSettle(readiness, a));
        QVERIFY(readiness.readyFor(a));

        // Scrubbing inside the loaded file keeps the proof: the deck still shows that load.
        preview.seek(0);
        QTest::qWait(150);
        QVERIFY(preview.positionMs() < 400);
        QVERIFY(readiness.readyFor(a));
        QVERIFY(readiness.recheckMedia());

        // A new trim needs its own verification.
        Cue trimmed = a;
        trimmed.out_ms = 2000;
        QVERIFY(!readiness.readyFor(trimmed));

        // Re-cueing another source drops the first proof for good.
        const Cue b{fixture("clip_360p25.mkv"), 200, 1800};
        readiness.prepare(a);
        readiness.prepare(b);
        QVERIFY(settle(readiness));
        QVERIFY(readiness.readyFor(b));
        QVERIFY(!readiness.readyFor(a));
        QCOMPARE(preview.source(), fixture("clip_360p25.mkv"));

        // Anyone else loading the Preview voids it at once and then turns it into an error.
        QSignalSpy changed(&readiness, &CueReadiness::changed);
        preview.loadPath(fixture("card_red.mp4"), false);
        QVERIFY(!readiness.readyFor(b));
        QTRY_COMPARE_WITH_TIMEOUT(readiness.state(), int(CueReadiness::Error), 2000);
        QCOMPARE(readiness.error(), QStringLiteral("Preview changed; cue again"));
        QCOMPARE(changed.count(), 1);
    }

    void changedFileVoidsTheProof_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("touched") << "touch";
        QTest::newRow("appended") << "append";
        QTest::newRow("removed") << "remove";
        QTest::newRow("replaced") << "replace";
    }

    void changedFileVoidsTheProof()
    {
        QFETCH(QString, action);
        QTemporaryDir dir;
        QString path;
        QVERIFY(copyClip(dir, "copy.mp4", &path));
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const Cue cue{path, 0, 2000};
        QVERIFY(prepareAndSettle(readiness, cue));
        QVERIFY(readiness.readyFor(cue));
        QVERIFY(readiness.mediaUnchanged());

        QFile file(path);
        if (action == "touch") {
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(30), QFileDevice::FileModificationTime));
            file.close();
        } else if (action == "append") {
            QVERIFY(appendText(path));
        } else if (action == "remove") {
            QVERIFY(file.remove());
        } else {
            QVERIFY(file.remove());
            QVERIFY(QFile::copy(fixture("clip_360p25.mkv"), path));
        }
        QVERIFY(!readiness.mediaUnchanged());
        QTRY_COMPARE_WITH_TIMEOUT(readiness.state(), int(CueReadiness::Error), 3000);
        QCOMPARE(readiness.error(), QStringLiteral("Media changed; cue again"));
        QVERIFY(!readiness.readyFor(cue));
        QVERIFY(!readiness.recheckMedia());
    }

    // Without waiting for the watcher, the check before a take catches the change itself.
    void recheckCatchesAChangeBeforeTheWatcher()
    {
        QTemporaryDir dir;
        QString path;
        QVERIFY(copyClip(dir, "copy.mp4", &path));
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, Cue{path}));
        QVERIFY(readiness.recheckMedia());
        QVERIFY(appendText(path));
        QSignalSpy changed(&readiness, &CueReadiness::changed);
        QVERIFY(!readiness.recheckMedia());
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.error(), QStringLiteral("Media changed; cue again"));
        QCOMPARE(changed.count(), 1);
    }

    void clearedRequestNeverBecomesReady()
    {
        QTemporaryDir dir;
        QString path;
        QVERIFY(copyClip(dir, "copy.mp4", &path));
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const Cue cue{path, 500, 1900};
        readiness.prepare(cue);
        QCOMPARE(readiness.state(), int(CueReadiness::Preparing));
        QSignalSpy changed(&readiness, &CueReadiness::changed);
        readiness.clear();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(readiness.state(), int(CueReadiness::Empty));
        QCOMPARE(readiness.generation(), 0);
        QCOMPARE(readiness.cue(), Cue());

        // The Preview goes on loading by itself; none of it revives the cleared request.
        QTest::qWait(600);
        emit preview.failed(QStringLiteral("late failure of the old load"));
        QVERIFY(appendText(path));
        QTest::qWait(200);
        QCOMPARE(readiness.state(), int(CueReadiness::Empty));
        QCOMPARE(readiness.error(), QString());
        QCOMPARE(changed.count(), 1);
        QVERIFY(!readiness.readyFor(cue));
    }

    void playerFailureOfTheVerifiedLoadFails()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("clip_360p25.mp4")}));
        emit preview.failed(QStringLiteral("Decoder gave up"));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QCOMPARE(readiness.error(), QStringLiteral("Decoder gave up"));
    }

    void verificationNeverDisturbsAPlayingProgram()
    {
        NativeChannel program(false);
        program.setLooping(true);
        const Cue onAir{fixture("clip_360p25.mp4"), 0, 2500};
        program.load(onAir, true);
        QTRY_VERIFY_WITH_TIMEOUT(program.frameCount() >= 5, 10000);
        const quint64 requested = program.requestGeneration();
        const quint64 active = program.activeGeneration();

        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        const int before = program.frameCount();
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("clip_360p25.mp4"), 4000, 6000}));
        QCOMPARE(readiness.state(), int(CueReadiness::Ready));
        QVERIFY(prepareAndSettle(readiness, Cue{fixture("corrupt.mp4")}));
        QCOMPARE(readiness.state(), int(CueReadiness::Error));
        QTest::qWait(200);

        QCOMPARE(program.source(), onAir.source);
        QCOMPARE(program.slot(program.activeSlot()).cue, onAir);
        QVERIFY(program.isPlaying());
        QVERIFY(program.frameCount() > before);
        QCOMPARE(program.requestGeneration(), requested);
        QCOMPARE(program.activeGeneration(), active);
    }

    void snapshotTracksElapsedTimeWhilePreparing()
    {
        NativeChannel preview(true);
        CueReadiness readiness(&preview);
        QCOMPARE(readiness.snapshot().value("state").toString(), QStringLiteral("empty"));
        QCOMPARE(readiness.snapshot().value("generation").toDouble(), 0.0);
        readiness.setTimeoutForTesting(600);
        readiness.prepare(Cue{fixture("clip_360p25.mp4"), 2990, 3000});
        QTest::qWait(250);
        const QJsonObject preparing = readiness.snapshot();
        QCOMPARE(preparing.value("state").toString(), QStringLiteral("preparing"));
        QVERIFY(preparing.value("elapsed_ms").toDouble() >= 250);
        QVERIFY(settle(readiness));
        const double final = readiness.snapshot().value("elapsed_ms").toDouble();
        QTest::qWait(150);
        QCOMPARE(readiness.snapshot().value("elapsed_ms").toDouble(), final);
    }
};

QTEST_MAIN(TestCueReadiness)
#include "tst_cuereadiness.moc"
