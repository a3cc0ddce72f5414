#include "selftest/AudioEngineTests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QThread>
#include <alsa/asoundlib.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace {

const char *const scope = "Real-time render core driven by a test backend, ALSA loopback through VB-Audio Cable when "
                          "installed and an informational ASIO driver probe. Not a physical speaker/AV-sync "
                          "measurement.";

constexpr int testChannels = 8;
constexpr int blockFrames = 128;
constexpr double soundingLevel = 0.005;

using Peaks = std::vector<double>;

bool sounding(double peak)
{
    return peak > soundingLevel;
}

// Drives the engine's render routine in real time as a device thread does: from a thread of its
// own, raised to real-time priority where the system allows it (as the ALSA device thread is), in
// 128-frame blocks that follow the steady clock at 48 kHz with a device latency of one block. This
// thread meanwhile processes events, which keep the decks' audio flowing into their mixers. Rendered
// from the event loop instead, every render call would stand in line behind whatever else runs on
// a busy machine, and its measured cost would be the machine's load rather than its own.
Peaks measureRenderPeaks(LocalAudioEngine &engine, int channels, int durationMs)
{
    Peaks peaks(size_t(channels), 0.0);
    std::atomic<bool> finished{false};
    std::thread device([&] {
        sched_param param{};
        param.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), 70);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        std::vector<float> buffer(size_t(channels) * blockFrames);
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::milliseconds(durationMs);
        for (qint64 rendered = 0;; rendered += blockFrames) {
            const auto due = start + std::chrono::microseconds(rendered * 1000000 / LocalAudioEngine::sampleRate);
            if (due >= end)
                break;
            std::this_thread::sleep_until(due);
            engine.render(buffer.data(), blockFrames, channels, blockFrames);
            for (int i = 0; i < blockFrames; ++i) {
                for (int c = 0; c < channels; ++c)
                    peaks[size_t(c)] = std::max(peaks[size_t(c)], double(std::fabs(buffer[size_t(i * channels + c)])));
            }
        }
        finished = true;
    });
    while (!finished.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::msleep(1);
    }
    device.join();
    return peaks;
}

// The ALSA capture device whose description or name contains the fragment (case-insensitive).
QString findCaptureDevice(const QString &fragment)
{
    QString found;
    void **hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints)
        return found;
    for (void **hint = hints; *hint && found.isEmpty(); ++hint) {
        char *name = snd_device_name_get_hint(*hint, "NAME");
        char *description = snd_device_name_get_hint(*hint, "DESC");
        char *direction = snd_device_name_get_hint(*hint, "IOID");
        const bool capture = !direction || std::strcmp(direction, "Input") == 0;
        const QString text = QString::fromLocal8Bit(description ? description : "") + QLatin1Char(' ')
                             + QString::fromLocal8Bit(name ? name : "");
        if (capture && name && text.contains(fragment, Qt::CaseInsensitive))
            found = QString::fromLocal8Bit(name);
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
    return found;
}

// Records from the capture device named by the fragment for durationMs and returns the largest
// absolute sample, or -1 when the device cannot be found or opened. Only 32-bit float captures
// count; a device that records in another format gives 0.
double captureDevicePeak(const QString &fragment, int durationMs, const std::function<void()> &pumpOnce)
{
    const QString device = findCaptureDevice(fragment);
    if (device.isEmpty())
        return -1.0;
    snd_pcm_t *pcm = nullptr;
    if (snd_pcm_open(&pcm, device.toLocal8Bit().constData(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0)
        return -1.0;
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    unsigned channels = 2;
    snd_pcm_uframes_t buffer = LocalAudioEngine::sampleRate / 5;  // 200 ms
    bool isFloat = false;
    if (snd_pcm_hw_params_any(pcm, params) < 0
        || snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
        snd_pcm_close(pcm);
        return -1.0;
    }
    isFloat = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_FLOAT_LE) >= 0;
    snd_pcm_hw_params_set_channels_near(pcm, params, &channels);
    unsigned rate = LocalAudioEngine::sampleRate;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    if (snd_pcm_hw_params(pcm, params) < 0 || snd_pcm_start(pcm) < 0) {
        snd_pcm_close(pcm);
        return -1.0;
    }
    const int bytesPerFrame = snd_pcm_frames_to_bytes(pcm, 1);
    std::vector<char> block(size_t(bytesPerFrame) * buffer);
    double peak = 0.0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < durationMs) {
        pumpOnce();
        for (;;) {
            const snd_pcm_sframes_t n = snd_pcm_readi(pcm, block.data(), buffer);
            if (n == -EPIPE) {
                snd_pcm_prepare(pcm);
                snd_pcm_start(pcm);
                continue;
            }
            if (n <= 0)
                break;
            if (!isFloat)
                continue;
            const auto *samples = reinterpret_cast<const float *>(block.data());
            for (qsizetype i = 0; i < qsizetype(n) * channels; ++i)
                peak = std::max(peak, double(std::fabs(samples[i])));
        }
    }
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
    return peak;
}

QJsonArray toJson(const Peaks &peaks, std::initializer_list<int> channels)
{
    QJsonArray array;
    for (int c : channels)
        array.append(peaks[size_t(c - 1)]);
    return array;
}

double tappedBuffers(NativeChannel &deck)
{
    return deck.diagnostics().value(QStringLiteral("audio_buffers_tapped")).toDouble();
}

bool slotsMuted(const NativeChannel &deck)
{
    return deck.slot(0).audioOutput && deck.slot(0).audioOutput->isMuted() && deck.slot(1).audioOutput
           && deck.slot(1).audioOutput->isMuted();
}

QJsonObject routeState(const QJsonObject &state)
{
    return state.value(QStringLiteral("routes")).toArray().at(0).toObject();
}

// Plays deck A through a virtual cable device and records it back from the cable's capture side,
// once shared and once exclusive (each with a new engine). Skipped when no cable is installed.
void runCableLoopback(SelfTestReport &report, NativeChannel &deckA)
{
    QString cableId;
    for (int type : {int(LocalAudioEngine::ExclusiveDevice), int(LocalAudioEngine::SharedDevice)}) {
        for (const AudioDeviceInfo &device : LocalAudioEngine::devices(type)) {
            if (cableId.isEmpty() && device.name.contains(QLatin1String("CABLE Input"), Qt::CaseInsensitive))
                cableId = device.id;
        }
    }
    if (cableId.isEmpty()) {
        report.recordResult(QStringLiteral("vb_cable_loopback_skipped"), true,
                            {{QStringLiteral("reason"), QStringLiteral("VB-Audio Cable not installed")}});
        return;
    }

    const auto pumpOnce = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); };
    const auto capture = [&] { return captureDevicePeak(QStringLiteral("CABLE Output"), 2500, pumpOnce); };
    for (int type : {int(LocalAudioEngine::SharedDevice), int(LocalAudioEngine::ExclusiveDevice)}) {
        const bool exclusive = type == LocalAudioEngine::ExclusiveDevice;
        auto engine = std::make_unique<LocalAudioEngine>();
        const bool opened = engine->start(type, cableId, 0);
        engine->setRoutes({LocalAudioRoute{&deckA, 0}});
        deckA.setExternalOutput(opened);
        const double first = opened ? capture() : -1.0;
        double captured = first;
        if (opened && first <= soundingLevel)
            captured = capture();
        QJsonObject details;
        if (exclusive && opened && captured <= soundingLevel) {
            engine->stop();
            const bool retryOpened = engine->start(type, cableId, 480);
            engine->setRoutes({LocalAudioRoute{&deckA, 0}});
            deckA.setExternalOutput(retryOpened);
            const double retry = retryOpened ? capture() : -1.0;
            if (retryOpened)
                captured = retry;
            details.insert(QStringLiteral("retry_buffer_frames"), 480);
            details.insert(QStringLiteral("retry_opened"), retryOpened);
            details.insert(QStringLiteral("retry_peak"), retry);
        }
        const QJsonObject state = engine->state();
        details.insert(QStringLiteral("opened"), opened);
        details.insert(QStringLiteral("error"), engine->errorText());
        details.insert(QStringLiteral("captured_peak"), captured);
        details.insert(QStringLiteral("first_attempt_peak"), first);
        for (const char *key : {"device", "buffer_ms", "device_latency_ms", "late_samples"})
            details.insert(QLatin1String(key), state.value(QLatin1String(key)));
        report.recordResult(QStringLiteral("vb_cable_%1_plays_program_audio")
                                .arg(exclusive ? QStringLiteral("exclusive") : QStringLiteral("shared")),
                            opened && sounding(captured), details);
        engine->stop();
        deckA.setExternalOutput(false);
    }
}

} // namespace

int runAudioEngineTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    SelfTestReport report(QString::fromUtf8(scope));

    NativeChannel deckA(false);
    NativeChannel deckB(false);
    Cue cue;
    cue.source = QDir(fixtures).absoluteFilePath(QStringLiteral("01-h264.mp4"));
    cue.in_ms = 0;
    cue.out_ms = -1;
    cue.transition = 0;
    cue.transition_ms = 300;
    for (NativeChannel *deck : {&deckA, &deckB}) {
        deck->setLooping(true);
        deck->load(cue, true);
    }

    // 1
    waitUntil([&] { return tappedBuffers(deckA) > 20 && tappedBuffers(deckB) > 20; }, 12000);
    report.recordResult(QStringLiteral("fixture_programs_produce_audio"),
                        tappedBuffers(deckA) > 20 && tappedBuffers(deckB) > 20, {});

    // 2
    auto engine = std::make_unique<LocalAudioEngine>();
    report.recordResult(QStringLiteral("engine_is_off_by_default"), !engine->isRunning() && !deckA.externalOutput(),
                        {});

    // 3
    const bool started = engine->start(LocalAudioEngine::TestDevice, QStringLiteral("8"), blockFrames);
    engine->setRoutes({LocalAudioRoute{&deckA, 0}, LocalAudioRoute{&deckB, 2}});
    deckA.setExternalOutput(true);
    deckB.setExternalOutput(true);
    report.recordResult(QStringLiteral("test_backend_starts"),
                        started && engine->isRunning() && engine->channels() == testChannels, {});

    // 4
    report.recordResult(QStringLiteral("engine_ownership_mutes_qt_sinks"),
                        deckA.externalOutput() && slotsMuted(deckA) && slotsMuted(deckB), {});

    // 5
    Peaks peaks = measureRenderPeaks(*engine, testChannels, 1500);
    report.recordResult(QStringLiteral("routes_programs_to_their_channel_pairs"),
                        sounding(peaks[0]) && sounding(peaks[1]) && sounding(peaks[2]) && sounding(peaks[3])
                            && peaks[4] == 0.0 && peaks[7] == 0.0,
                        {{QStringLiteral("peaks"), toJson(peaks, {1, 2, 3, 4, 5, 8})}});

    // 6
    const double base = peaks[0];
    deckA.setVolume(0.5f);
    peaks = measureRenderPeaks(*engine, testChannels, 800);
    const double ratio = base > 0 ? peaks[0] / base : 0.0;
    report.recordResult(QStringLiteral("program_volume_scales_its_pair_only"),
                        std::fabs(ratio - 0.5) < 0.12 && sounding(peaks[2]), {{QStringLiteral("ratio"), ratio}});

    // 7
    deckA.setVolume(1.0f);
    deckA.setMuted(true);
    peaks = measureRenderPeaks(*engine, testChannels, 500);
    report.recordResult(QStringLiteral("program_mute_silences_its_pair_only"),
                        peaks[0] == 0.0 && peaks[1] == 0.0 && sounding(peaks[2]), {});

    // 8
    deckA.setMuted(false);
    deckB.setAudioEnabled(false);
    peaks = measureRenderPeaks(*engine, testChannels, 500);
    report.recordResult(QStringLiteral("local_monitor_off_silences_engine_output"),
                        peaks[2] == 0.0 && sounding(peaks[0]), {});

    // 9
    deckB.setAudioEnabled(true);
    measureRenderPeaks(*engine, testChannels, 1000);
    QJsonObject state = engine->state();
    const double lag = routeState(state).value(QStringLiteral("video_lag_ms")).toDouble();
    const double delay = routeState(state).value(QStringLiteral("sync_delay_ms")).toDouble();
    const double headroom = state.value(QStringLiteral("headroom_ms")).toDouble();
    const double deviceLatency = state.value(QStringLiteral("device_latency_ms")).toDouble();
    report.recordResult(QStringLiteral("sync_delay_follows_measured_video_lag"),
                        lag >= 0 && std::fabs(delay - std::max(lag - deviceLatency, headroom)) < 4.0,
                        {{QStringLiteral("video_lag_ms"), lag},
                         {QStringLiteral("sync_delay_ms"), delay},
                         {QStringLiteral("headroom_ms"), headroom},
                         {QStringLiteral("device_latency_ms"), deviceLatency}});

    // 10
    engine->offsetUs = 40000;
    measureRenderPeaks(*engine, testChannels, 1500);
    state = engine->state();
    const double after = routeState(state).value(QStringLiteral("sync_delay_ms")).toDouble();
    const double expected = std::max(std::max(lag, 0.0) + 40.0 - deviceLatency, headroom);
    report.recordResult(QStringLiteral("operator_offset_delays_audio"),
                        std::fabs(after - expected) < 4.0 && after > delay,
                        {{QStringLiteral("before_ms"), delay},
                         {QStringLiteral("after_ms"), after},
                         {QStringLiteral("expected_ms"), expected}});

    // 11
    engine->offsetUs = 0;
    const double renderMsMax = state.value(QStringLiteral("render_ms_max")).toDouble();
    report.recordResult(QStringLiteral("render_thread_cost_is_small"), renderMsMax < 3.0,
                        {{QStringLiteral("render_ms_max"), renderMsMax},
                         {QStringLiteral("late_samples"), state.value(QStringLiteral("late_samples"))},
                         {QStringLiteral("reanchors"), state.value(QStringLiteral("reanchors"))}});

    // 12
    QJsonArray perSecond;
    bool allSounding = true;
    for (int second = 0; second < 11; ++second) {
        const double peak = measureRenderPeaks(*engine, testChannels, 1000)[0];
        perSecond.append(peak);
        allSounding = allSounding && sounding(peak);
    }
    report.recordResult(QStringLiteral("looping_program_keeps_engine_audio_after_wrapping"), allSounding,
                        {{QStringLiteral("peak_per_second"), perSecond}});

    // 13
    engine->setRoutes({});
    peaks = measureRenderPeaks(*engine, testChannels, 300);
    report.recordResult(QStringLiteral("removed_routes_are_silent"), peaks[0] == 0.0 && peaks[2] == 0.0, {});

    // 14
    engine->stop();
    deckA.setExternalOutput(false);
    deckB.setExternalOutput(false);
    report.recordResult(QStringLiteral("stopping_returns_output_to_qt"),
                        !engine->isRunning()
                            && (!deckA.slot(0).audioOutput->isMuted() || !deckA.slot(1).audioOutput->isMuted()),
                        {});

    // 15
    QJsonArray names;
    for (int type : {int(LocalAudioEngine::ExclusiveDevice), int(LocalAudioEngine::SharedDevice)}) {
        for (const AudioDeviceInfo &device : LocalAudioEngine::devices(type))
            names.append(QStringLiteral("%1 (%2 ch)").arg(device.name).arg(device.channels));
    }
    report.recordResult(QStringLiteral("alsa_lists_render_devices"), !names.isEmpty(),
                        {{QStringLiteral("devices"), names}});

    // 16
    runCableLoopback(report, deckA);

    // 17
    report.recordResult(QStringLiteral("asio_driver_probe"), true,
                        {{QStringLiteral("compiled"), false},
                         {QStringLiteral("drivers"), QJsonArray()},
                         {QStringLiteral("note"),
                          QStringLiteral("Informational: a driver opens only when its hardware/service is present.")}});

    deckA.clear();
    deckB.clear();
    const int code = report.write(result);
    engine.reset();
    return code;
}
