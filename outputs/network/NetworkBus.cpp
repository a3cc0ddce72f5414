#include "outputs/network/NetworkBus.h"

#include "engine/NativeChannel.h"
#include "outputs/ProjectFps.h"

#include <QVideoFrameFormat>
#include <cmath>

namespace {

constexpr int maxSide = 4096;
constexpr qint64 maxPixels = 4096LL * 2160;

bool isHdrTransfer(QVideoFrameFormat::ColorTransfer transfer)
{
    return transfer == QVideoFrameFormat::ColorTransfer_ST2084
        || transfer == QVideoFrameFormat::ColorTransfer_STD_B67;
}

bool withinPixelBudget(const QSize &size)
{
    return size.width() <= maxSide && size.height() <= maxSide
        && qint64(size.width()) * size.height() <= maxPixels;
}

// The senders take ARGB32. Frame conversion gives opaque RGB32, whose pixels (0xffRRGGBB) already
// are ARGB32 bytes: relabel the picture instead of copying all of it on the GUI thread.
QImage senderPicture(const QVideoFrame &frame)
{
    QImage picture = frame.toImage();
    if (picture.format() == QImage::Format_RGB32)
        picture.reinterpretAsFormat(QImage::Format_ARGB32);
    else
        picture.convertTo(QImage::Format_ARGB32);
    return picture;
}

QImage blackPicture(const QSize &size)
{
    QImage picture(size, QImage::Format_ARGB32);
    picture.fill(Qt::black);
    return picture;
}

} // namespace

NetworkBus::NetworkBus(NativeChannel *source, QObject *parent) : QObject(parent), m_source(source)
{
    if (!source)
        return;
    connect(source, &NativeChannel::frameReady, this, &NetworkBus::onFrame);
    connect(source, &NativeChannel::audioReady, this, &NetworkBus::onAudio);
    connect(source, &NativeChannel::audioReset, this, &NetworkBus::onAudioReset);
}

// The senders (an array, destroyed last element first: OMT, then NDI) stop themselves.
NetworkBus::~NetworkBus() = default;

bool NetworkBus::start(int protocol, const QString &sourceName)
{
    Sender &target = sender(protocol);
    target.setAudioEnabled(m_audioEnabled);
    if (!target.start(protocol == 0 ? 0 : 1, sourceName, deckClockUs())) {
        emit warning(target.error());
        return false;
    }
    onFrame(m_source ? m_source->currentFrame() : QVideoFrame());
    return true;
}

void NetworkBus::stop(int protocol)
{
    sender(protocol).stop();
}

void NetworkBus::setAudioEnabled(bool on)
{
    m_audioEnabled = on;
    for (Sender &s : m_senders)
        s.setAudioEnabled(on);
}

void NetworkBus::onFrame(const QVideoFrame &frame)
{
    if (!m_senders[0].isRunning() && !m_senders[1].isRunning())
        return;
    double fps = projectFps.load(std::memory_order_relaxed);
    const bool valid = frame.isValid();
    if (fps > 0 && valid) {
        const auto slot = qint64(std::floor(double(presentationTimeUs()) * fps / 1000000.0));
        if (slot == m_lastSlot)
            return;
        m_lastSlot = slot;
    }

    QImage picture;
    QString warningText;
    if (valid) {
        if (isHdrTransfer(frame.surfaceFormat().colorTransfer()))
            warningText = QStringLiteral("HDR network output requires tone mapping; sending black");
        else if (withinPixelBudget(frame.size()))
            picture = senderPicture(frame);
        else
            warningText = QStringLiteral("Network frame exceeds tested pixel budget; sending black");
    }
    // A warning is announced when its condition starts, not on every frame.
    if (warningText != m_lastWarning) {
        m_lastWarning = warningText;
        if (!warningText.isEmpty())
            emit warning(warningText);
    }
    if (picture.isNull())
        picture = blackPicture(m_frameSize);
    else
        m_frameSize = picture.size();

    const double rate = frame.surfaceFormat().frameRate();
    if (rate > 0)
        m_streamFps = rate;
    if (!(fps > 0))
        fps = m_streamFps;
    const qint64 pts = valid ? presentationTimeUs() : deckClockUs();
    // One conversion, shared by both queues.
    m_senders[0].queueVideo(picture, pts, fps);
    m_senders[1].queueVideo(picture, pts, fps);
}

void NetworkBus::onAudio(const AudioPacket &packet)
{
    for (Sender &s : m_senders)
        s.queueAudio(packet);
}

void NetworkBus::onAudioReset()
{
    for (Sender &s : m_senders)
        s.clearAudio();
}

qint64 NetworkBus::presentationTimeUs() const
{
    if (m_presentationClock)
        return m_presentationClock();
    return m_source ? m_source->presentationTimeUs() : deckClockUs();
}

qint64 NetworkBus::deckClockUs() const
{
    return m_source ? m_source->clockUs() : 0;
}
