#include "selftest/NetworkTests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "engine/ProgramAudioMixer.h"
#include "outputs/network/NdiApi.h"
#include "outputs/network/NetworkBus.h"
#include "outputs/network/OmtApi.h"
#include "selftest/NdiOrderCheck.h"
#include "selftest/NetworkLoopback.h"
#include "selftest/ProgramAudioTap.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QMediaDevices>
#include <cmath>
#include <memory>

namespace {

const char *const scope = "Native audio buffers, controls and in-process SDK network loopback on Windows; not an "
                          "independent LAN receiver, physical listening, AV-sync or multi-hour qualification";

bool near(double value, double expected, double tolerance)
{
    return std::fabs(value - expected) <= tolerance;
}

// Cases 1 to 5: one order check, each case building on the state the one before left.
void runOrderChecks(SelfTestReport &report)
{
    NdiOrderCheck check;
    const bool first = check.accept(1, 100, 1000, "hash1");
    const bool replay = check.accept(1, 100, 1100, "hash1");
    report.recordResult(QStringLiteral("ndi_order_accepts_exact_cache_replay"),
                        first && replay && check.exactReplays() == 1, {});
    report.recordResult(QStringLiteral("ndi_order_rejects_content_change_under_same_id"),
                        !check.accept(1, 100, 1200, "changed"), {});
    report.recordResult(QStringLiteral("ndi_order_rejects_new_frame_with_reused_timecode"),
                        !check.accept(2, 100, 1300, "hash2"), {});
    const bool forward = check.accept(3, 300, 1400, "hash3");
    const bool regression = check.accept(2, 200, 1500, "hash2");
    report.recordResult(QStringLiteral("ndi_order_rejects_source_sequence_regression"), forward && !regression, {});
    report.recordResult(QStringLiteral("ndi_order_rejects_delivery_timestamp_regression"),
                        !check.accept(4, 400, 1400, "hash4"), {});
}

// Cases 6 to 13: one mixer; the decks' samples stay in it until the flush of case 12.
void runMixerChecks(SelfTestReport &report, ProgramAudioMixer &mixer)
{
    const float tone4[8] = {0.4f, -0.2f, 0.4f, -0.2f, 0.4f, -0.2f, 0.4f, -0.2f};
    const float hot4[8] = {2.0f, 2.0f, 2.0f, 2.0f, 2.0f, 2.0f, 2.0f, 2.0f};
    const auto peak = [&mixer](qint64 first, float gain, bool mute) {
        return ProgramAudioTap::packetPeak(mixer.mixPacket(first, 4, gain, mute));
    };

    mixer.push(0, tone4, 4, 4800);
    const AudioPacket half = mixer.mixPacket(4800, 4, 0.5f, false);
    const float firstLeft = half.frames() > 0 ? reinterpret_cast<const float *>(half.data.constData())[0] : -1.0f;
    report.recordResult(QStringLiteral("master_gain_preserves_stereo"), near(firstLeft, 0.2, 1e-5), {});
    report.recordResult(QStringLiteral("master_mute_is_silence"), peak(4800, 1.0f, true) == 0.0, {});
    mixer.push(1, tone4, 4, 4800);
    report.recordResult(QStringLiteral("decks_are_mixed_once"), near(peak(4800, 1.0f, false), 0.8, 1e-5), {});
    report.recordResult(QStringLiteral("sum_is_clipped_to_valid_pcm"), peak(4800, 1.0f, false) <= 1.0, {});

    const QByteArray planar = planarStereo(mixer.mixPacket(4800, 4, 1.0f, false).data);
    const auto *p = reinterpret_cast<const float *>(planar.constData());
    report.recordResult(QStringLiteral("transport_planar_channel_layout"),
                        planar.size() == 32 && near(p[0], 0.8, 1e-5) && near(p[4], -0.4, 1e-5), {});

    mixer.push(0, hot4, 4, 6000);
    report.recordResult(QStringLiteral("overload_is_clipped_at_full_scale"), peak(6000, 1.0f, false) == 1.0, {});
    mixer.flush(-1);
    report.recordResult(QStringLiteral("flush_removes_stale_samples"), peak(4800, 1.0f, false) == 0.0, {});
    mixer.push(0, tone4, 4, 52800);
    report.recordResult(QStringLiteral("ring_wrap_does_not_replay_old_tags"), peak(4800, 1.0f, false) == 0.0, {});
}

// Cases 14 to 17: one envelope record, each case changing one setting.
void runEnvelopeChecks(SelfTestReport &report, ProgramAudioMixer &envelope)
{
    ProgramAudioMixer::Row &row = envelope.row(0);
    row.enterStartUs = 1000000;
    row.enterLengthUs = 300000;
    row.exitStartUs = -1;
    row.exitLengthUs = 0;
    row.endUs = ProgramAudioMixer::noEnd;
    row.fadeThroughBlack = false;
    const auto at = [&envelope](qint64 x) { return double(envelope.envelopeAt(0, x)); };

    report.recordResult(QStringLiteral("fade_uses_audio_sample_time"),
                        at(1000000) == 0.0 && near(at(1150000), 0.5, 0.001) && at(1300000) == 1.0, {});
    row.fadeThroughBlack = true;
    report.recordResult(QStringLiteral("fade_black_holds_first_half"),
                        at(1150000) == 0.0 && near(at(1225000), 0.5, 0.001), {});
    {
        QMutexLocker lock(&envelope.mutex());
        envelope.shiftTimeline(0, 500000);
    }
    report.recordResult(QStringLiteral("pause_shift_preserves_envelope_phase"), near(at(1725000), 0.5, 0.001), {});
    row.endUs = 1800000;
    report.recordResult(QStringLiteral("exclusive_audio_out_is_silent"), at(1800000) == 0.0, {});
}

QJsonArray audioDevices()
{
    QJsonArray devices;
    for (const QAudioDevice &device : QMediaDevices::audioOutputs()) {
        devices.append(QJsonObject{{QStringLiteral("name"), device.description()},
                                   {QStringLiteral("id"), QString::fromLatin1(device.id().toBase64())}});
    }
    return devices;
}

int tappedBuffers(const NativeChannel &deck)
{
    return deck.diagnostics().value(QStringLiteral("audio_buffers_tapped")).toInt();
}

bool strictlyRising(const QList<qint64> &values)
{
    for (qsizetype i = 1; i < values.size(); ++i) {
        if (values[i] <= values[i - 1])
            return false;
    }
    return true;
}

// Everything the runner builds, in order of creation; destroyed in reverse when the run ends.
struct Rig
{
    ProgramAudioMixer mixer;
    ProgramAudioMixer envelope;
    NativeChannel programA{false};
    NativeChannel programB{false};
    NativeChannel preview{true};
    ProgramAudioTap tap;
    int previewPackets = 0;
    Cue cue;
    NetworkBus::Sender standalone;
    std::shared_ptr<NdiApi> ndi;
    std::shared_ptr<OmtApi> omt;
    std::unique_ptr<NetworkBus> busA;
    std::unique_ptr<NetworkBus> busB;
    std::unique_ptr<NetworkLoopback> loopback;
    bool ndiStarted = false;
    bool omtStarted = false;
};

// Cases 18 to 27: the audio a real playing deck publishes.
void runNativeAudioChecks(SelfTestReport &report, Rig &rig)
{
    NativeChannel &a = rig.programA;
    ProgramAudioTap &tap = rig.tap;
    a.setAudioEnabled(false);
    a.setLooping(true);
    tap.attach(&a);
    countSignal(&rig.preview, &NativeChannel::audioReady, &rig.previewPackets);
    a.load(rig.cue, true);
    rig.preview.load(rig.cue, false);
    const bool decoding = waitUntil([&] { return tap.nonSilentPackets >= 6 && a.frameCount() >= 6; }, 12000);
    report.recordResult(QStringLiteral("native_media_decodes_real_audio"), decoding,
                        {{QStringLiteral("decoded_buffers"), tappedBuffers(a)},
                         {QStringLiteral("nonzero_packets"), tap.nonSilentPackets},
                         {QStringLiteral("packet_count"), tap.packets}});

    int frames = a.frameCount();
    a.setVolume(0.25f);
    a.setMuted(true);
    pump(120);
    report.recordResult(QStringLiteral("native_mute_does_not_stop_video"),
                        tap.lastPeak == 0.0 && a.frameCount() > frames && rig.programB.volume() == 1.0f, {});
    a.setMuted(false);
    report.recordResult(QStringLiteral("native_unmute_restores_pcm"),
                        waitUntil([&] { return tap.lastPeak > 0.001; }, 12000), {});
    report.recordResult(QStringLiteral("preview_never_publishes_audio"), rig.previewPackets == 0, {});

    frames = a.frameCount();
    a.setAudioDevice("missing-test-device");
    pump(80);
    report.recordResult(QStringLiteral("missing_device_mutes_local_without_stopping_program"),
                        !a.deviceAvailable() && a.isPlaying() && a.frameCount() > frames && tap.lastPeak > 0.0, {});
    a.setAudioDevice(QByteArray());
    report.recordResult(QStringLiteral("default_device_can_be_restored"),
                        a.deviceAvailable() == !QMediaDevices::defaultAudioOutput().isNull(), {});

    a.togglePlayback();
    pump(120);
    report.recordResult(QStringLiteral("pause_flushes_network_pcm"), tap.lastPeak == 0.0, {});
    a.togglePlayback();
    report.recordResult(QStringLiteral("resume_produces_new_audio"),
                        waitUntil([&] { return tap.lastPeak > 0.001; }, 12000), {});
    a.seek(1000);
    const int buffers = tappedBuffers(a);
    report.recordResult(QStringLiteral("seek_reanchors_audio_timeline"),
                        waitUntil([&] { return tappedBuffers(a) > buffers + 2 && tap.lastPeak > 0.001; }, 12000), {});
    // Two packets at least: an empty or single-packet list proves nothing about order.
    report.recordResult(QStringLiteral("program_audio_timestamps_stay_monotonic"),
                        tap.timestamps.size() >= 2 && strictlyRising(tap.timestamps), {});
}

// Cases 28 to 34: refusals, loaders, and both protocols started on Program A.
void runRuntimeChecks(SelfTestReport &report, Rig &rig)
{
    NativeChannel &a = rig.programA;
    qputenv("ZELVO_DISABLE_NETWORK_RUNTIME", "1");
    const bool disabledRefused = !rig.standalone.start(0, QStringLiteral("QA"), 0);
    qunsetenv("ZELVO_DISABLE_NETWORK_RUNTIME");
    report.recordResult(QStringLiteral("missing_runtime_fails_without_stopping_program"),
                        disabledRefused && rig.standalone.error() == QStringLiteral("Network runtime unavailable")
                            && a.isPlaying(),
                        {});

    const bool blankRefused = !rig.standalone.start(1, QStringLiteral(" "), 0);
    report.recordResult(QStringLiteral("empty_source_name_is_rejected"),
                        blankRefused
                            && rig.standalone.error() == QStringLiteral("Enter a source name (1–200 UTF-8 bytes)."),
                        {});

    // The runtime file is handed to this loader directly rather than through ZELVO_OMT_RUNTIME:
    // rewriting the environment while decoder threads run is not safe.
    const QString appDir = QCoreApplication::applicationDirPath();
    {
        const OmtApi missingCodec(OmtApi::runtimeFile(appDir, appDir + QStringLiteral("/missing-codec/libomt.so")));
        report.recordResult(QStringLiteral("missing_omt_codec_is_reported_before_sender_creation"),
                            !missingCodec.initialised && missingCodec.error.contains(QStringLiteral("codec"))
                                && a.isPlaying(),
                            {});
    }

    rig.ndi = sharedNdiApi();
    rig.omt = sharedOmtApi();
    const bool besideProgram = QFileInfo(rig.ndi->path).canonicalPath() == QDir(appDir).canonicalPath();
    report.recordResult(QStringLiteral("private_ndi_runtime_loaded"), rig.ndi->initialised && besideProgram,
                        {{QStringLiteral("path"), rig.ndi->path},
                         {QStringLiteral("version"), rig.ndi->version},
                         {QStringLiteral("error"), rig.ndi->error}});
    report.recordResult(QStringLiteral("packaged_omt_runtime_loaded"), rig.omt->initialised,
                        {{QStringLiteral("path"), rig.omt->path}, {QStringLiteral("error"), rig.omt->error}});

    rig.busA = std::make_unique<NetworkBus>(&a);
    rig.busB = std::make_unique<NetworkBus>(&rig.programB);
    report.recordResult(QStringLiteral("network_senders_are_off_by_default"),
                        !rig.busA->sender(0).isRunning() && !rig.busA->sender(1).isRunning(), {});

    const QString pid = QString::number(QCoreApplication::applicationPid());
    rig.ndiStarted = rig.busA->start(0, QStringLiteral("Zelvo QA NDI ") + pid);
    rig.omtStarted = rig.busA->start(1, QStringLiteral("Zelvo QA OMT ") + pid);
    report.recordResult(QStringLiteral("both_protocols_start_on_one_program"), rig.ndiStarted && rig.omtStarted, {});
}

void receiveFor(NetworkLoopback &loopback, int ms)
{
    QElapsedTimer clock;
    clock.start();
    waitUntil([&] {
        loopback.receiveStep();
        return clock.elapsed() >= ms;
    }, ms + 1000);
}

QJsonObject receivedSummary(const NetworkLoopback::Protocol &protocol)
{
    return {{QStringLiteral("video_frames"), protocol.videoFrames},
            {QStringLiteral("audio_packets"), protocol.audioFrames},
            {QStringLiteral("audio_peak"), protocol.audioPeak}};
}

// Cases 35 to 39: pictures, sound, mute and the bus's audio switch, received back.
void runLoopbackChecks(SelfTestReport &report, Rig &rig)
{
    NativeChannel &a = rig.programA;
    rig.loopback = std::make_unique<NetworkLoopback>(rig.ndi, rig.omt);
    NetworkLoopback &loop = *rig.loopback;
    if (rig.ndiStarted)
        loop.createNdiReceiver(rig.busA->sender(0).sourceName());
    if (rig.omtStarted)
        loop.createOmtReceiver(rig.busA->sender(1).sourceName());
    waitUntil([&] { return loop.receiveStep(); }, 18000);
    report.recordResult(QStringLiteral("ndi_loopback_receives_native_video_and_audio"),
                        loop.ndi.videoFrames > 7 && loop.ndi.audioFrames > 7 && loop.ndi.audioPeak > 0.001
                            && loop.ndiOrderOk,
                        receivedSummary(loop.ndi));
    report.recordResult(QStringLiteral("omt_loopback_receives_native_video_and_audio"),
                        loop.omt.videoFrames > 7 && loop.omt.audioFrames > 7 && loop.omt.audioPeak > 0.001
                            && loop.omtTimestampsStrict,
                        receivedSummary(loop.omt));

    a.setMuted(true);
    receiveFor(loop, 400);
    loop.ndi.audioPeak = 0.0;
    loop.omt.audioPeak = 0.0;
    const int ndiAudio = loop.ndi.audioFrames;
    const int omtAudio = loop.omt.audioFrames;
    receiveFor(loop, 200);
    report.recordResult(QStringLiteral("master_mute_reaches_both_network_receivers"),
                        loop.ndi.audioPeak < 1e-5 && loop.omt.audioPeak < 1e-5 && loop.ndi.audioFrames > ndiAudio
                            && loop.omt.audioFrames > omtAudio,
                        {});
    a.setMuted(false);
    report.recordResult(QStringLiteral("master_unmute_restores_both_network_receivers"), waitUntil([&] {
                            loop.receiveStep();
                            return loop.ndi.audioPeak > 0.001 && loop.omt.audioPeak > 0.001;
                        }, 12000),
                        {});

    // The count must have been rising before the switch, or a sender that sends nothing would pass;
    // on a busy machine the deck's sound may take a while to come round.
    const NetworkBus::Sender &omtSender = rig.busA->sender(1);
    const auto sentAudio = [&omtSender] { return omtSender.stats().value(QStringLiteral("audio_packets")).toInt(); };
    const int before = sentAudio();
    const bool rising = waitUntil([&] { return sentAudio() > before; }, 3000);
    const int sent = sentAudio();
    rig.busA->setAudioEnabled(false);
    pump(100);
    const int afterSwitch = sentAudio();
    pump(100);
    const int later = sentAudio();
    rig.busA->setAudioEnabled(true);
    report.recordResult(QStringLiteral("network_audio_can_be_disabled_independently"),
                        omtSender.isRunning() && rising && later == afterSwitch && afterSwitch <= sent + 1
                            && a.isPlaying(),
                        {});
}

// Case 40: a second Program sends on its own.
void runSecondProgramCheck(SelfTestReport &report, Rig &rig)
{
    NativeChannel &b = rig.programB;
    b.setAudioEnabled(false);
    b.setLooping(true);
    b.load(rig.cue, true);
    const bool playing = waitUntil([&] { return b.frameCount() >= 5; }, 12000);
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const bool started = rig.busB->start(1, QStringLiteral("Zelvo QA Program B ") + pid);
    const int framesA = rig.programA.frameCount();
    pump(120);
    const QString nameB = rig.busB->sender(1).sourceName();
    report.recordResult(QStringLiteral("independent_program_b_has_its_own_sender"),
                        playing && started && nameB != rig.busA->sender(1).sourceName()
                            && rig.programA.frameCount() > framesA,
                        {});
    rig.busB->stop(1);
    b.clear();
}

// Cases 41 to 45: black, frame order over the whole loopback, and stopping.
void runBlackAndOrderChecks(SelfTestReport &report, Rig &rig)
{
    NativeChannel &a = rig.programA;
    NetworkLoopback &loop = *rig.loopback;
    report.setMember(QStringLiteral("loopback"),
                     QJsonArray{QJsonObject{{QStringLiteral("protocol"), QStringLiteral("NDI")},
                                            {QStringLiteral("statistics"), rig.busA->sender(0).stats()}},
                                QJsonObject{{QStringLiteral("protocol"), QStringLiteral("OMT")},
                                            {QStringLiteral("statistics"), rig.busA->sender(1).stats()}}});
    loop.ndi.black = false;
    loop.omt.black = false;
    a.clear();
    const bool black = waitUntil([&] {
        loop.receiveStep();
        return loop.ndi.black && loop.omt.black;
    }, 12000);
    report.recordResult(QStringLiteral("black_reaches_both_network_outputs"), black,
                        {{QStringLiteral("ndi_black"), loop.ndi.black},
                         {QStringLiteral("omt_black"), loop.omt.black},
                         {QStringLiteral("ndi_mean"), loop.ndi.lastMean},
                         {QStringLiteral("omt_mean"), loop.omt.lastMean},
                         {QStringLiteral("ndi_fourcc"), double(loop.ndiFourcc)},
                         {QStringLiteral("omt_codec"), loop.omtCodec},
                         {QStringLiteral("native_frame_stays_invalid"), !a.currentFrame().isValid()}});

    a.load(rig.cue, true);
    waitUntil([&] { return a.isPlaying() && a.frameCount() >= 5; }, 12000);
    // Order flags start out true: they mean something only once pictures were received.
    report.recordResult(QStringLiteral("ndi_source_frames_and_sdk_delivery_remain_strictly_in_order"),
                        rig.ndiStarted && loop.ndi.videoFrames > 7 && loop.ndiOrderOk && loop.ndiAudioTimecodeStrict,
                        {{QStringLiteral("raw_timecode_strict"), loop.ndiRawTimecodeStrict},
                         {QStringLiteral("raw_timecode_repeats_or_regressions"), loop.ndiRawTimecodeRepeats},
                         {QStringLiteral("verified_exact_cache_repeats"), loop.ndiOrder.exactReplays()},
                         {QStringLiteral("video_frames"), loop.ndi.videoFrames},
                         {QStringLiteral("audio_packets"), loop.ndi.audioFrames}});
    report.recordResult(QStringLiteral("omt_video_timestamps_remain_strictly_increasing"),
                        rig.omtStarted && loop.omt.videoFrames > 7 && loop.omtTimestampsStrict,
                        {{QStringLiteral("video_violations"), loop.omtViolations},
                         {QStringLiteral("video_frames"), loop.omt.videoFrames}});

    loop.destroyReceivers();
    const int frames = a.frameCount();
    rig.busA->stop(0);
    rig.busA->stop(1);
    pump(100);
    report.recordResult(QStringLiteral("stopping_network_preserves_program"),
                        a.isPlaying() && a.frameCount() > frames && !rig.busA->sender(0).isRunning(), {});
    a.clear();
    pump(120);
    report.recordResult(QStringLiteral("black_flushes_audio"), rig.tap.lastPeak == 0.0, {});
}

} // namespace

int runNetworkTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    SelfTestReport report(QString::fromLatin1(scope));
    report.setDecodeMode();

    Rig rig;
    runOrderChecks(report);
    runMixerChecks(report, rig.mixer);
    runEnvelopeChecks(report, rig.envelope);
    report.setMember(QStringLiteral("audio_devices"), audioDevices());

    rig.cue = Cue::forPath(QDir(fixtures).absoluteFilePath(QStringLiteral("01-h264.mp4")));
    runNativeAudioChecks(report, rig);
    runRuntimeChecks(report, rig);
    runLoopbackChecks(report, rig);
    runSecondProgramCheck(report, rig);
    runBlackAndOrderChecks(report, rig);
    rig.preview.clear();

    report.setMember(QStringLiteral("ndi_video_trace"), rig.loopback->ndi.trace);
    report.setMember(QStringLiteral("omt_video_trace"), rig.loopback->omt.trace);
    return report.write(result);
}
