#include "platform/media/AudioMonitor.h"

#include <QAudioDevice>
#include <QAudioOutput>

AudioMonitor::AudioMonitor(QObject *parent) : QObject(parent)
{
    connect(&m_devices, &QMediaDevices::audioOutputsChanged, this, &AudioMonitor::scheduleUpdate);
}

AudioMonitor::~AudioMonitor() = default;

void AudioMonitor::setOutput(QAudioOutput *output)
{
    if (output == m_output)
        return;
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_output = output;
    if (output) {
        m_connections << connect(output, &QAudioOutput::mutedChanged, this, &AudioMonitor::scheduleUpdate)
                      << connect(output, &QAudioOutput::deviceChanged, this, &AudioMonitor::scheduleUpdate)
                      << connect(output, &QAudioOutput::volumeChanged, this,
                                 [this](float volume) { m_stream.setVolume(volume); })
                      << connect(output, &QObject::destroyed, this, &AudioMonitor::scheduleUpdate);
        m_stream.setVolume(output->volume());
    }
    update();
}

QByteArray AudioMonitor::alsaDeviceFor(const QAudioDevice &device)
{
    if (device.isNull() || device.id() == QMediaDevices::defaultAudioOutput().id())
        return QByteArrayLiteral("default");
    QByteArray id = device.id();
    id.replace('\\', "\\\\").replace('"', "\\\"");
    return "pulse:DEVICE=\"" + id + '"';
}

void AudioMonitor::scheduleUpdate()
{
    if (m_updatePending)
        return;
    m_updatePending = true;
    QMetaObject::invokeMethod(this, &AudioMonitor::update, Qt::QueuedConnection);
}

void AudioMonitor::update()
{
    m_updatePending = false;
    m_enabled = m_output && !m_output->isMuted() && !QMediaDevices::audioOutputs().isEmpty();
    m_device = m_enabled ? alsaDeviceFor(m_output->device()) : QByteArray();
    if (m_requested)
        m_stream.configure(m_device, m_enabled);
    m_requested = m_requested && m_enabled;
}

void AudioMonitor::write(const QByteArray &samples)
{
    if (!m_enabled)
        return;
    // The stream opens with the first sound, so an unmuted output that plays nothing costs nothing.
    if (!m_requested) {
        m_stream.configure(m_device, true);
        m_requested = true;
    }
    m_stream.write(samples);
}

void AudioMonitor::reset()
{
    m_stream.drop();
}
