// The local audio engine's cost and latency.
//   bench_audio_engine [bursts=10]
// 1. The cost of LocalAudioEngine::render for one 10 ms period (480 frames, 64 channels) with 1, 8
//    and 32 routed Programs whose mixers hold a second of audio: mean, 99th percentile and maximum
//    over 3000 calls.
// 2. End-to-end latency from a deck's clock to the device: a burst of tone placed into a deck's
//    program audio at a known deck-clock time, played by the engine in shared mode through ALSA's
//    pulse device into a PulseAudio null sink, and found again in a recording of the sink's monitor
//    (parec with a 5 ms buffer, whose own delay is included). Needs PulseAudio: run it inside
//    scripts/test-env.sh.
#include "engine/NativeChannel.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "selftest/SelfTestWait.h"
#include "bench/BenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <vector>

namespace {


void fillMixer(NativeChannel &deck, qint64 first)
{
    std::vector<float> samples(2 * ProgramAudioMixer::ringFrames);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(std::sin(double(i) * 0.01)) * 0.3f;
    deck.mixer().push(0, samples.data(), ProgramAudioMixer::ringFrames, first);
}

void benchRender(int programs)
{
    std::vector<std::unique_ptr<NativeChannel>> decks;
    QList<LocalAudioRoute> routes;
    for (int i = 0; i < programs; ++i) {
        decks.push_back(std::make_unique<NativeChannel>(false));
        fillMixer(*decks.back(), 0);
        routes.append(LocalAudioRoute{decks.back().get(), 2 * (i % 32)});
    }
    // Each call moves the clocks on by a period; after 90 periods they start over inside the ring.
    qint64 clockUs = 0;
    LocalAudioEngine engine;
    engine.setDeckTimingForTesting([&clockUs](NativeChannel *) { return clockUs; }, {});
    engine.start(LocalAudioEngine::TestDevice, QStringLiteral("64"), 480);
    engine.setRoutes(routes);
    std::vector<float> out(480 * 64);
    std::vector<double> us;
    for (int call = 0; call < 3000; ++call) {
        clockUs = 100000 + (call % 90) * 10000;
        const auto start = std::chrono::steady_clock::now();
        engine.render(out.data(), 480, 64, 480);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    double sum = 0;
    for (double v : us)
        sum += v;
    std::printf("render, %2d Program(s), 480 frames x 64 ch: mean %7.1f us, p99 %7.1f us, max %7.1f us\n", programs,
                sum / double(us.size()), percentile(us, 0.99), percentile(us, 1.0));
}

qint64 monotonicUs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void benchLatency(int bursts)
{
    if (!qEnvironmentVariableIsSet("ZELVO_TEST_PULSE") || QStandardPaths::findExecutable("parec").isEmpty()) {
        std::printf("latency: skipped (run inside scripts/test-env.sh with parec installed)\n");
        return;
    }
    // Every arriving block of the recording is stamped with the monotonic time it arrived at;
    // a sample's time is its block's stamp less the samples that follow it in that block.
    QProcess recorder;
    std::vector<float> left;
    std::vector<std::pair<qint64, qint64>> arrivals;  // (monotonic us, samples received so far)
    QObject::connect(&recorder, &QProcess::readyReadStandardOutput, [&] {
        const QByteArray bytes = recorder.readAllStandardOutput();
        const auto *f = reinterpret_cast<const float *>(bytes.constData());
        for (qsizetype i = 0; i + 1 < bytes.size() / 4; i += 2)
            left.push_back(f[i]);
        arrivals.emplace_back(monotonicUs(), qint64(left.size()));
    });
    recorder.start("parec", {"--device=zelvo_null.monitor", "--format=float32le", "--rate=48000", "--channels=2",
                             "--raw", "--latency-msec=5"});
    recorder.waitForStarted();

    NativeChannel deck(false);
    LocalAudioEngine engine;
    engine.start(LocalAudioEngine::SharedDevice, QStringLiteral("pulse"), 0);
    engine.setRoutes({LocalAudioRoute{&deck, 0}});
    waitUntil([&] { return engine.state().value("callbacks").toDouble() > 100; }, 10000);

    std::vector<double> latencies;
    std::vector<float> burst(2 * 480);
    for (int i = 0; i < 480; ++i)
        burst[2 * i] = burst[2 * i + 1] = 0.5f * float(std::sin(2 * std::numbers::pi * i / 48.0));
    for (int b = 0; b < bursts; ++b) {
        // The burst starts 300 ms ahead on the deck's clock.
        const qint64 deckToMonotonicUs = monotonicUs() - deck.clockUs();
        const qint64 frame = (deck.clockUs() + 300000) * 48 / 1000;
        deck.mixer().flush(-1);
        deck.mixer().push(0, burst.data(), 480, frame);
        const size_t from = left.size();
        pump(700);
        const auto onset = std::find_if(left.begin() + qsizetype(from), left.end(), [](float v) { return std::fabs(v) > 0.05f; });
        if (onset == left.end())
            continue;
        const qint64 index = onset - left.begin();
        const auto block = std::find_if(arrivals.begin(), arrivals.end(), [&](const auto &a) { return a.second > index; });
        const qint64 heardUs = block->first - (block->second - index) * 1000 / 48;
        latencies.push_back(double(heardUs - (deckToMonotonicUs + frame * 1000 / 48)) / 1000.0);
    }
    const QJsonObject state = engine.state();
    engine.stop();
    recorder.terminate();
    recorder.waitForFinished();
    if (latencies.empty()) {
        std::printf("latency: no burst came back\n");
        return;
    }
    std::printf("deck clock to null sink (recorded): min %.1f ms, median %.1f ms, max %.1f ms over %zu bursts\n",
                percentile(latencies, 0), percentile(latencies, 0.5), percentile(latencies, 1.0), latencies.size());
    std::printf("engine's own account: sync delay %.1f ms + device latency %.1f ms; %s\n",
                state.value("routes").toArray().at(0).toObject().value("sync_delay_ms").toDouble(),
                state.value("device_latency_ms").toDouble(), qPrintable(state.value("device").toString()));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int bursts = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    for (int programs : {1, 8, 32})
        benchRender(programs);
    benchLatency(bursts);
    return 0;
}
