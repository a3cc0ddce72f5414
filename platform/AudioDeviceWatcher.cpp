#include "platform/AudioDeviceWatcher.h"

#include <QAudioDevice>

AudioDeviceWatcher::AudioDeviceWatcher(QObject *parent) : QObject(parent), m_ids(currentIds())
{
    connect(&m_devices, &QMediaDevices::audioOutputsChanged, this, &AudioDeviceWatcher::compare);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &AudioDeviceWatcher::compare);
    m_timer.start();
}

QByteArrayList AudioDeviceWatcher::currentIds()
{
    QByteArrayList ids;
    for (const QAudioDevice &device : QMediaDevices::audioOutputs())
        ids << device.id();
    return ids;
}

void AudioDeviceWatcher::compare()
{
    QByteArrayList ids = currentIds();
    if (ids == m_ids)
        return;
    m_ids = std::move(ids);
    emit audioOutputsChanged();
}
