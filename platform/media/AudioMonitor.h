#pragma once

#include "platform/media/MonitorStream.h"

#include <QMediaDevices>
#include <QObject>
#include <QPointer>

class QAudioDevice;
class QAudioOutput;

// Local monitoring sound of a player: plays the played audio on the device of the player's
// QAudioOutput, at its volume, through one MonitorStream (our own ALSA stream; Qt 6.4's PulseAudio
// QAudioSink races its own teardown when it is closed and reopened often, and crashed on air).
// Lives on the player's thread.
//
// The stream opens with the first sound after the output is unmuted and stays open while the
// output's device and mute state stay the same: pause, seek and loop restarts only drop the queued
// sound. It closes when the output is muted or gone, or when the system lists no output device,
// and moves when the device changes. Mute and device changes are
// looked at once control returns to the event loop, so a mute that is lifted again within the same
// call (a deck restarting a loop) leaves the stream alone. The stream never paces playback: sound
// that does not fit into its ring is dropped.
class AudioMonitor : public QObject
{
    Q_OBJECT
public:
    explicit AudioMonitor(QObject *parent = nullptr);
    ~AudioMonitor() override;

    void setOutput(QAudioOutput *output);
    // 48 kHz stereo float samples, in playing order.
    void write(const QByteArray &samples);
    // Drops the sound still queued (pause, seek, stop); the stream stays open.
    void reset();
    // Sound is wanted and the device has not refused it.
    bool hasSink() const { return m_requested && !m_stream.hasFailed(); }
    bool isOpen() const { return m_stream.isOpen(); }
    // Device opens since construction (test seam).
    quint64 streamOpens() const { return m_stream.opens(); }

    // The ALSA device that plays a device of QMediaDevices: `default` for the system's default
    // output, else the PulseAudio plugin's device for that sink.
    static QByteArray alsaDeviceFor(const QAudioDevice &device);

private:
    void scheduleUpdate();
    void update();

    QPointer<QAudioOutput> m_output;
    QMediaDevices m_devices;
    MonitorStream m_stream;
    bool m_enabled = false;    // unmuted, with a device to play on
    bool m_requested = false;  // the stream was asked to play (since the first sound while enabled)
    QByteArray m_device;
    bool m_updatePending = false;
    QList<QMetaObject::Connection> m_connections;
};
