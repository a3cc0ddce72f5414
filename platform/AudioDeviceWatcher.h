#pragma once

#include <QByteArrayList>
#include <QMediaDevices>
#include <QObject>
#include <QTimer>

// Announces changes of the audio output list. Qt 6.4's PulseAudio backend keeps the list current
// but does not emit QMediaDevices::audioOutputsChanged, so the list is also compared once a second.
class AudioDeviceWatcher : public QObject
{
    Q_OBJECT
public:
    explicit AudioDeviceWatcher(QObject *parent = nullptr);

signals:
    void audioOutputsChanged();

private:
    void compare();
    static QByteArrayList currentIds();

    QMediaDevices m_devices;
    QTimer m_timer;
    QByteArrayList m_ids;
};
