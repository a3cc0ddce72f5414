#include "selftest/ReadinessTests.h"

#include "app/AppInfo.h"
#include "engine/CueReadiness.h"
#include "engine/NativeChannel.h"
#include "platform/media/MediaPlayer.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <cmath>
#include <numbers>

namespace {

constexpr int stateWaitMs = 10000;

// 2 s of a 440 Hz tone, 16-bit stereo at 48 kHz, the right channel in opposite phase.
bool writeStereoWav(const QString &path)
{
    constexpr quint32 frames = 96000;
    constexpr quint32 dataBytes = frames * 4;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(48000) << quint32(192000) << quint16(4)
        << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (quint32 n = 0; n < frames; ++n) {
        const auto s = qint16(std::trunc(std::sin(2.0 * std::numbers::pi * 440.0 * n / 48000.0) * 5000.0));
        out << s << qint16(-s);
    }
    return out.status() == QDataStream::Ok && file.flush();
}

bool writeText(const QString &path, const QByteArray &text, QIODevice::OpenMode mode)
{
    QFile file(path);
    return file.open(mode) && file.write(text) == text.size();
}

class ReadinessRun
{
public:
    explicit ReadinessRun(const QString &fixtures)
        : m_report(QStringLiteral("Real local media, muted source/trim preflight and measured Qt callbacks/CPU "
                                  "composition. READY is not an armed Program or physical signal certification.")),
          m_clipA(QDir(fixtures).absoluteFilePath(QStringLiteral("fixtures/01-h264.mp4"))),
          m_clipB(QDir(fixtures).absoluteFilePath(QStringLiteral("fixtures/03-h264.mkv"))),
          m_readiness(&m_preview)
    {
    }

    int run(const QString &result)
    {
        readinessCases();
        sourceCheckCases();
        programCases();
        m_preview.clear();
        m_readiness.clear();
        m_report.setMember(QStringLiteral("version"), AppInfo::version);
        m_report.setDecodeMode();
        return m_report.write(result);
    }

private:
    // The record step of this runner logs the verdict without the details.
    void record(const QString &name, bool pass, QJsonObject details = {})
    {
        details.insert(QStringLiteral("name"), name);
        m_report.appendResult(details, pass);
        qInfo().noquote() << name << (pass ? "PASS" : "FAIL");
    }

    QString temp(const QString &name) const { return m_temp.filePath(name); }
    bool isState(CueReadiness::State state) const { return m_readiness.state() == state; }

    bool waitOutOfPreparing()
    {
        return waitUntil([this] { return !isState(CueReadiness::Preparing); }, stateWaitMs);
    }

    bool cueAndWait(const Cue &cue)
    {
        m_readiness.prepare(cue);
        const bool settled = waitOutOfPreparing();
        return settled && !isState(CueReadiness::Preparing) && m_readiness.readyFor(cue);
    }

    void readinessCases();
    void trimProofCases();
    void sourceCheckCases();
    void fileCases();
    void programCases();
    void metricsCases();

    SelfTestReport m_report;
    const QString m_clipA;
    const QString m_clipB;
    NativeChannel m_preview{true};
    NativeChannel m_program{false};
    CueReadiness m_readiness;
    QTemporaryDir m_temp;
};

void ReadinessRun::readinessCases()
{
    record(QStringLiteral("readiness_starts_empty"),
           isState(CueReadiness::Empty) && !m_readiness.readyFor(Cue::forPath(m_clipA)));

    const Cue a2500{m_clipA, 0, 2500};
    const bool ready = cueAndWait(a2500);
    record(QStringLiteral("video_ready_requires_decoded_frame_and_duration"),
           ready && m_preview.currentFrame().isValid() && m_preview.durationMs() >= a2500.out_ms
               && m_preview.requestGeneration() == m_preview.activeGeneration(),
           m_readiness.snapshot());
    record(QStringLiteral("ready_preview_stays_paused"), !m_preview.isPlaying());
    record(QStringLiteral("ready_is_tied_to_applied_trim"), !m_readiness.readyFor(Cue{m_clipA, 400, 2000}));
    record(QStringLiteral("source_check_does_not_start_program"),
           m_program.source().isEmpty() && m_program.frameCount() == 0);
    trimProofCases();
}

void ReadinessRun::trimProofCases()
{
    const Cue a400{m_clipA, 400, 1600};
    const bool ready = cueAndWait(a400);
    const qint64 start = m_preview.currentFrame().startTime();
    record(QStringLiteral("nonzero_in_is_verified_by_video_timestamp"),
           ready && start >= 398000 && start < 1600000, m_readiness.snapshot());

    const double proven = m_readiness.snapshot().value(QStringLiteral("first_verified_video_pts_us")).toDouble(0);
    m_preview.seek(0);
    pump(120);
    record(QStringLiteral("edit_can_scrub_outside_applied_trim"),
           m_preview.positionMs() < a400.in_ms && m_readiness.readyFor(a400) && proven >= 398000);
    record(QStringLiteral("transition_change_reuses_source_range_proof"),
           m_readiness.readyFor(Cue{m_clipA, 400, 1600, 2, 900}));
    record(QStringLiteral("ready_file_recheck_succeeds"), m_readiness.recheckMedia());
}

void ReadinessRun::sourceCheckCases()
{
    m_readiness.prepare(Cue{m_clipA, 0, m_preview.durationMs() + 5000});
    waitOutOfPreparing();
    record(QStringLiteral("out_beyond_duration_never_ready"),
           isState(CueReadiness::Error) && m_readiness.error() == QStringLiteral("Trim exceeds media duration"));

    m_readiness.prepare(Cue{m_clipA, 800, 400});
    record(QStringLiteral("invalid_range_rejected"), isState(CueReadiness::Error));

    m_readiness.prepare(Cue::forPath(temp(QStringLiteral("missing.mp4"))));
    record(QStringLiteral("missing_file_rejected_without_stale_ready"), isState(CueReadiness::Error));

    writeText(temp(QStringLiteral("corrupt.mp4")), QByteArrayLiteral("invalid media, no decoder frames"),
              QIODevice::WriteOnly);
    m_readiness.prepare(Cue::forPath(temp(QStringLiteral("corrupt.mp4"))));
    waitOutOfPreparing();
    record(QStringLiteral("corrupt_source_never_ready"),
           isState(CueReadiness::Error) && !m_readiness.error().isEmpty(), m_readiness.snapshot());

    const Cue b200{m_clipB, 200, 1800};
    m_readiness.prepare(Cue::forPath(m_clipA));
    m_readiness.prepare(b200);
    const bool settled = waitOutOfPreparing();
    record(QStringLiteral("rapid_recues_accept_only_latest_source"),
           settled && !isState(CueReadiness::Preparing) && m_readiness.readyFor(b200)
               && m_preview.source() == m_clipB && !m_readiness.readyFor(Cue::forPath(m_clipA)));

    const Cue a500{m_clipA, 500, 1900};
    m_readiness.prepare(a500);
    m_readiness.clear();
    pump(250);
    record(QStringLiteral("cleared_request_cannot_become_ready_later"),
           isState(CueReadiness::Empty) && !m_readiness.readyFor(a500));

    const bool ready = cueAndWait(Cue::forPath(m_clipA));
    m_preview.load(Cue::forPath(m_clipB), false);
    pump(120);
    record(QStringLiteral("external_preview_load_invalidates_proof"), ready && isState(CueReadiness::Error));
    fileCases();
}

void ReadinessRun::fileCases()
{
    const QString copy = temp(QStringLiteral("replaceable.mp4"));
    QFile::copy(m_clipA, copy);
    const bool ready = cueAndWait(Cue::forPath(copy));
    writeText(copy, QByteArrayLiteral("changed"), QIODevice::Append);
    const bool recheck = m_readiness.recheckMedia();
    record(QStringLiteral("modified_source_invalidates_ready"), ready && !recheck && isState(CueReadiness::Error));

    const QString wav = temp(QStringLiteral("stereo.wav"));
    writeStereoWav(wav);
    const bool audioReady = cueAndWait(Cue{wav, 200, 1200});
    const MediaPlayer &player = *m_preview.slot(m_preview.activeSlot()).player;
    const double proven = m_readiness.snapshot().value(QStringLiteral("first_verified_video_pts_us")).toDouble(0);
    record(QStringLiteral("audio_only_ready_is_explicit_backend_check"),
           audioReady && player.hasAudio() && !player.hasVideo() && proven == -1);
}

void ReadinessRun::programCases()
{
    m_program.setLooping(true);
    m_program.load(Cue{m_clipA, 0, 2500}, true);
    const bool running = waitUntil([this] { return m_program.frameCount() >= 5; }, stateWaitMs);
    const int noted = m_program.frameCount();
    m_readiness.prepare(Cue::forPath(temp(QStringLiteral("corrupt.mp4"))));
    waitOutOfPreparing();
    pump(180);
    record(QStringLiteral("failed_preview_preserves_running_program"),
           running && m_program.source() == m_clipA && m_program.isPlaying() && m_program.frameCount() > noted);
    metricsCases();

    m_program.clear();
    pump(200);
    record(QStringLiteral("black_clears_media_and_active_generation"),
           m_program.source().isEmpty() && m_program.activeGeneration() == 0 && !m_program.currentFrame().isValid());
}

void ReadinessRun::metricsCases()
{
    const QJsonObject d1 = m_program.diagnostics();
    auto number = [](const QJsonObject &o, const char *key) { return o.value(QLatin1String(key)).toDouble(0); };
    record(QStringLiteral("diagnostics_include_observed_frames_and_size"),
           number(d1, "published_frames") > 0 && number(d1, "width") >= 1 && number(d1, "height") >= 1
               && number(d1, "video_frames_last_second") >= 1,
           d1);

    bool nulls = true;
    for (const char *key : {"decoder_adapter", "decode_time_ms", "decoder_dropped_frames", "decoder_packet_queue"})
        nulls = nulls && d1.contains(QLatin1String(key)) && d1.value(QLatin1String(key)).isNull();
    record(QStringLiteral("unsupported_decoder_metrics_remain_null"), nulls);

    const double buffer = number(d1, "backend_buffer_progress");
    record(QStringLiteral("backend_buffer_is_bounded"), buffer >= 0 && buffer <= 1);

    const double composed = number(d1, "cpu_composed_frames");
    m_program.load(Cue{m_clipB, 0, 2500, 1, 300, 300, 0}, true);
    const bool mixed = waitUntil(
        [&] { return number(m_program.diagnostics(), "cpu_composed_frames") > composed; }, stateWaitMs);
    const QJsonObject d2 = m_program.diagnostics();
    const QJsonValue last = d2.value(QStringLiteral("cpu_composition_last_ms"));
    record(QStringLiteral("cpu_composition_timing_comes_from_real_transition"),
           mixed && last.isDouble() && number(d2, "cpu_composition_peak_ms") >= last.toDouble(), d2);
}

} // namespace

int runReadinessTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    ReadinessRun run(fixtures);
    return run.run(result);
}
