#include "outputs/network/NetworkBus.h"

#include "engine/ProgramAudioMixer.h"
#include "outputs/network/FrameRateFraction.h"
#include "outputs/network/NdiApi.h"
#include "outputs/network/OmtApi.h"

#include <QByteArray>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

namespace {

constexpr qint64 releaseDelayUs = 40000;
constexpr int maxQueuedPictures = 6;
constexpr int maxQueuedAudio = 20;
constexpr int maxNameBytes = 200;
const QSize primeSize(1280, 720);

const char *const timecodePolicy =
    "SDK synthesis for audio/video; source sequence metadata distinguishes cached connection frames";

} // namespace

// The runtime objects of a running sender; the shared runtime stays loaded while any sender uses it.
struct NetworkBus::Sender::SenderRuntime
{
    int protocol = 0;
    std::shared_ptr<NdiApi> ndi;
    std::shared_ptr<OmtApi> omt;
    NDIlib_send_instance_t ndiSender = nullptr;
    omt_send_t *omtSender = nullptr;
};

NetworkBus::Sender::Sender() = default;

NetworkBus::Sender::~Sender()
{
    stop();
}

bool NetworkBus::Sender::fail(const QString &text)
{
    std::lock_guard lock(m_lock);
    m_error = text;
    return false;
}

bool NetworkBus::Sender::start(int protocol, const QString &name, qint64 nowUs)
{
    QElapsedTimer local;
    local.start();
    stop();
    {
        std::lock_guard lock(m_lock);
        m_error.clear();
        m_sourceName.clear();
    }
    for (auto *counter : {&m_videoFrames, &m_audioPackets, &m_droppedAudio, &m_supersededVideo, &m_connections})
        counter->store(0);

    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty() || trimmed.toUtf8().size() > maxNameBytes || trimmed.contains(QLatin1Char('\n')))
        return fail(QStringLiteral("Enter a source name (1–200 UTF-8 bytes)."));
    if (qEnvironmentVariableIsSet("ZELVO_DISABLE_NETWORK_RUNTIME"))
        return fail(QStringLiteral("Network runtime unavailable"));

    auto runtime = std::make_unique<SenderRuntime>();
    runtime->protocol = protocol == 0 ? 0 : 1;
    QString reportedName;
    const QString failure = openRuntime(*runtime, trimmed, &reportedName);
    if (!failure.isEmpty())
        return fail(failure);
    m_runtime = std::move(runtime);

    {
        std::lock_guard lock(m_lock);
        m_sourceName = reportedName;
        m_current = QImage(primeSize, QImage::Format_ARGB32);
        m_current.fill(Qt::black);
        m_currentFps = 30.0;
        m_currentPts = nowUs;
        m_fresh = true;
    }
    m_clockOriginUs = nowUs + local.nsecsElapsed() / 1000;
    m_clock.start();
    m_stopRequested = false;
    m_running = true;
    m_thread = std::thread(&Sender::run, this);
    return true;
}

QString NetworkBus::Sender::openRuntime(SenderRuntime &runtime, const QString &name, QString *reportedName)
{
    const QByteArray utf8 = name.toUtf8();
    if (runtime.protocol != 0) {
        runtime.omt = sharedOmtApi();
        if (!runtime.omt->initialised)
            return runtime.omt->error;
        runtime.omtSender = runtime.omt->omt_send_create(utf8.constData(), OMTQuality_Best);
        if (!runtime.omtSender)
            return QStringLiteral("Could not create OMT sender");
        QByteArray address(2048, '\0');
        runtime.omt->omt_send_getaddress(runtime.omtSender, address.data(), int(address.size()));
        *reportedName = QString::fromUtf8(address.constData());
        return {};
    }
    runtime.ndi = sharedNdiApi();
    if (!runtime.ndi->initialised)
        return runtime.ndi->error;
    NDIlib_send_create_t settings{};
    settings.p_ndi_name = utf8.constData();
    settings.p_groups = nullptr;
    settings.clock_video = false;
    settings.clock_audio = false;
    runtime.ndiSender = runtime.ndi->NDIlib_send_create(&settings);
    if (!runtime.ndiSender)
        return QStringLiteral("Could not create NDI sender");
    const NDIlib_source_t *source = runtime.ndi->NDIlib_send_get_source_name(runtime.ndiSender);
    if (source && source->p_ndi_name)
        *reportedName = QString::fromUtf8(source->p_ndi_name);
    return {};
}

void NetworkBus::Sender::closeRuntime()
{
    if (!m_runtime)
        return;
    if (m_runtime->ndiSender)
        m_runtime->ndi->NDIlib_send_destroy(m_runtime->ndiSender);
    if (m_runtime->omtSender)
        m_runtime->omt->omt_send_destroy(m_runtime->omtSender);
    m_runtime.reset();
}

void NetworkBus::Sender::stop()
{
    m_stopRequested = true;
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
    closeRuntime();
    std::lock_guard lock(m_lock);
    m_audioQueue.clear();
    m_videoQueue.clear();
    m_current = QImage();
    m_fresh = false;
    m_connections = 0;
}

void NetworkBus::Sender::setAudioEnabled(bool on)
{
    m_audioOn = on;
    if (!on)
        clearAudio();
}

void NetworkBus::Sender::queueVideo(const QImage &image, qint64 ptsUs, double fps)
{
    if (!m_running)
        return;
    const double rate = fps > 0 && std::isfinite(fps) ? std::clamp(fps, 1.0, 60.0) : 30.0;
    {
        std::lock_guard lock(m_lock);
        while (m_videoQueue.size() >= maxQueuedPictures) {
            m_videoQueue.pop_front();
            ++m_supersededVideo;
        }
        m_videoQueue.push_back({image, ptsUs, rate});
    }
    m_wake.notify_one();
}

void NetworkBus::Sender::queueAudio(const AudioPacket &packet)
{
    if (!m_running || !m_audioOn)
        return;
    {
        std::lock_guard lock(m_lock);
        while (m_audioQueue.size() >= maxQueuedAudio) {
            m_audioQueue.pop_front();
            ++m_droppedAudio;
        }
        m_audioQueue.push_back(packet);
    }
    m_wake.notify_one();
}

void NetworkBus::Sender::clearAudio()
{
    std::lock_guard lock(m_lock);
    m_audioQueue.clear();
}

QJsonObject NetworkBus::Sender::stats() const
{
    QJsonObject stats{
        {QStringLiteral("running"), m_running.load()},
        {QStringLiteral("connections"), m_connections.load()},
        {QStringLiteral("video_frames"), m_videoFrames.load()},
        {QStringLiteral("audio_packets"), m_audioPackets.load()},
        {QStringLiteral("superseded_video"), m_supersededVideo.load()},
        {QStringLiteral("dropped_audio"), m_droppedAudio.load()},
        {QStringLiteral("ndi_timecode_policy"), QLatin1String(timecodePolicy)},
    };
    std::lock_guard lock(m_lock);
    stats.insert(QStringLiteral("source"), m_sourceName);
    stats.insert(QStringLiteral("error"), m_error);
    return stats;
}

QString NetworkBus::Sender::sourceName() const
{
    std::lock_guard lock(m_lock);
    return m_sourceName;
}

QString NetworkBus::Sender::error() const
{
    std::lock_guard lock(m_lock);
    return m_error;
}

std::deque<NetworkBus::Sender::QueuedPicture> NetworkBus::Sender::queuedVideoForTesting() const
{
    std::lock_guard lock(m_lock);
    return m_videoQueue;
}

int NetworkBus::Sender::queuedAudioForTesting() const
{
    std::lock_guard lock(m_lock);
    return int(m_audioQueue.size());
}

void NetworkBus::Sender::run()
{
    if (m_stopRequested)
        return;
    qint64 lastSentUs = -1000000;
    qint64 lastTimestamp = -1;
    for (;;) {
        const qint64 now = m_clockOriginUs + m_clock.nsecsElapsed() / 1000;
        std::optional<AudioPacket> audio;
        QImage picture;
        qint64 timestamp = 0;
        qint64 period = 0;
        double fps = 30.0;
        {
            std::unique_lock lock(m_lock);
            m_wake.wait_for(lock, std::chrono::milliseconds(2));
            if (m_stopRequested)
                return;
            if (!m_holdForTesting) {
                if (!m_audioQueue.empty()) {
                    if (m_audioOn)
                        audio = std::move(m_audioQueue.front());
                    m_audioQueue.pop_front();
                }
                // Pictures that fell due together: only the newest is sent.
                while (!m_videoQueue.empty() && now >= m_videoQueue.front().ptsUs + releaseDelayUs) {
                    if (m_fresh)
                        ++m_supersededVideo;
                    const QueuedPicture &next = m_videoQueue.front();
                    m_current = next.image;
                    m_currentPts = next.ptsUs;
                    m_currentFps = next.fps;
                    m_fresh = true;
                    m_videoQueue.pop_front();
                }
                const auto due = qint64(1000000 / m_currentFps);
                if (!m_current.isNull() && now - lastSentUs >= due && now >= m_currentPts + releaseDelayUs) {
                    picture = m_current;
                    period = due;
                    fps = m_currentFps;
                    // A repeat is stamped as if it had been released now.
                    const qint64 t = m_fresh ? m_currentPts : now - releaseDelayUs;
                    m_fresh = false;
                    timestamp = std::max(lastTimestamp + 1, t);
                }
            }
        }
        if (audio) {
            sendAudio(*audio);
            ++m_audioPackets;
        }
        if (!picture.isNull()) {
            sendPicture(picture, timestamp, fps);
            lastTimestamp = timestamp;
            // A picture that goes out within a quarter period of its slot counts as sent on the
            // slot. Taking the actual send time instead lets every wake-up delay add to the next
            // slot: at a source rate equal to the send rate the delay then grows by a frame and a
            // picture is dropped (and one repeated) every second or two.
            lastSentUs = now - lastSentUs < period + period / 4 ? lastSentUs + period : now;
            ++m_videoFrames;
        }
        if (m_stopRequested)
            return;
    }
}

void NetworkBus::Sender::sendAudio(const AudioPacket &packet)
{
    QByteArray planar = planarStereo(packet.data);
    const int samples = int(packet.data.size() / 8);
    auto *data = reinterpret_cast<float *>(planar.data());
    if (m_runtime->protocol == 0) {
        NDIlib_audio_frame_v2_t frame{};
        frame.sample_rate = 48000;
        frame.no_channels = 2;
        frame.no_samples = samples;
        frame.timecode = NDIlib_timecode_synthesize;
        frame.p_data = data;
        frame.channel_stride_in_bytes = samples * 4;
        frame.p_metadata = nullptr;
        frame.timestamp = 0;
        m_runtime->ndi->NDIlib_send_send_audio_v2(m_runtime->ndiSender, &frame);
        return;
    }
    OMTMediaFrame frame{};
    frame.Type = OMTFrameType_Audio;
    frame.Timestamp = packet.timestampUs * 10;
    frame.Codec = OMTCodec_FPA1;
    frame.SampleRate = 48000;
    frame.Channels = 2;
    frame.SamplesPerChannel = samples;
    frame.Data = data;
    frame.DataLength = int(planar.size());
    m_runtime->omt->omt_send(m_runtime->omtSender, &frame);
}

void NetworkBus::Sender::sendPicture(const QImage &picture, qint64 timestampUs, double fps)
{
    // Already ARGB32 when it comes from the bus; then this shares, it does not copy.
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const FrameRateFraction rate = frameRateFraction(fps);
    auto *bits = const_cast<uchar *>(image.constBits());
    const float aspect = float(image.width()) / float(image.height());
    if (m_runtime->protocol == 0) {
        const QByteArray metadata = QStringLiteral("<zelvo_frame sequence=\"%1\" program_time_us=\"%2\"/>")
                                        .arg(m_videoFrames.load() + 1)
                                        .arg(timestampUs)
                                        .toUtf8();
        NDIlib_video_frame_v2_t frame{};
        frame.xres = image.width();
        frame.yres = image.height();
        frame.FourCC = NDIlib_FourCC_type_BGRA;
        frame.frame_rate_N = rate.numerator;
        frame.frame_rate_D = rate.denominator;
        frame.picture_aspect_ratio = aspect;
        frame.frame_format_type = NDIlib_frame_format_type_progressive;
        frame.timecode = NDIlib_timecode_synthesize;
        frame.p_data = bits;
        frame.line_stride_in_bytes = int(image.bytesPerLine());
        frame.p_metadata = metadata.constData();
        frame.timestamp = 0;
        m_runtime->ndi->NDIlib_send_send_video_v2(m_runtime->ndiSender, &frame);
        m_connections = m_runtime->ndi->NDIlib_send_get_no_connections(m_runtime->ndiSender, 0);
        return;
    }
    OMTMediaFrame frame{};
    frame.Type = OMTFrameType_Video;
    frame.Timestamp = timestampUs * 10;
    frame.Codec = OMTCodec_BGRA;
    frame.Width = image.width();
    frame.Height = image.height();
    frame.Stride = int(image.bytesPerLine());
    frame.Flags = 0;
    frame.FrameRateN = rate.numerator;
    frame.FrameRateD = rate.denominator;
    frame.AspectRatio = aspect;
    frame.ColorSpace = OMTColorSpace_BT709;
    frame.Data = bits;
    frame.DataLength = int(image.sizeInBytes());
    m_runtime->omt->omt_send(m_runtime->omtSender, &frame);
    m_connections = m_runtime->omt->omt_send_connections(m_runtime->omtSender);
}
