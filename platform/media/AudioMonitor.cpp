#include "platform/media/AudioMonitor.h"

#include "platform/media/AudioBufferOutput.h"

#include <QAudioOutput>
#include <QAudioSink>

namespace {
constexpr int BufferMs = 200;
}

AudioMonitor::AudioMonitor(QObject *parent)
    : QObject(parent), m_format(AudioBufferOutput::programFormat())
{
    connect(&m_devices, &QMediaDevices::audioOutputsChanged, this, [this] {
        closeSink();
        m_failed = false;
    });
}

AudioMonitor::~AudioMonitor()
{
    closeSink();
}

void AudioMonitor::setOutput(QAudioOutput *output)
{
    if (output == m_output)
        return;
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    closeSink();
    m_failed = false;
    m_output = output;
    if (!output)
        return;
    const auto restart = [this] {
        closeSink();
        m_failed = false;
    };
    m_connections << connect(output, &QAudioOutput::mutedChanged, this, restart)
                  << connect(output, &QAudioOutput::deviceChanged, this, restart)
                  << connect(output, &QAudioOutput::volumeChanged, this, [this](float volume) {
                         if (m_sink)
                             m_sink->setVolume(volume);
                     });
}

bool AudioMonitor::wanted() const
{
    return m_output && !m_output->isMuted() && !m_failed;
}

bool AudioMonitor::openSink()
{
    if (QMediaDevices::audioOutputs().isEmpty())
        return false;
    QAudioDevice device = m_output->device();
    if (device.isNull())
        device = QMediaDevices::defaultAudioOutput();
    if (device.isNull() || !device.isFormatSupported(m_format)) {
        m_failed = true;
        return false;
    }
    m_sink = std::make_unique<QAudioSink>(device, m_format);
    m_sink->setBufferSize(m_format.bytesForDuration(BufferMs * 1000));
    m_sink->setVolume(m_output->volume());
    m_io = m_sink->start();
    if (!m_io) {
        m_sink.reset();
        m_failed = true;
        return false;
    }
    return true;
}

void AudioMonitor::closeSink()
{
    if (!m_sink)
        return;
    m_sink->stop();
    m_sink.reset();
    m_io = nullptr;
}

void AudioMonitor::write(const QByteArray &samples)
{
    if (!wanted()) {
        closeSink();
        return;
    }
    if (!m_sink && !openSink())
        return;
    if (m_sink->error() == QAudio::OpenError || m_sink->error() == QAudio::FatalError) {
        closeSink();
        m_failed = true;
        return;
    }
    const qsizetype frameBytes = m_format.bytesPerFrame();
    const qsizetype room = m_sink->bytesFree() / frameBytes * frameBytes;
    if (room > 0)
        m_io->write(samples.constData(), std::min(room, samples.size()));
}

void AudioMonitor::reset()
{
    closeSink();
}
