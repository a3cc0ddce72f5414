#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QMediaDevices>
#include <QObject>
#include <QPointer>
#include <memory>

class QAudioOutput;
class QAudioSink;
class QIODevice;

// Local monitoring sound of a player: pushes the played audio into a QAudioSink on the device of the
// player's QAudioOutput, at its volume. There is no sink at all while the output is missing or muted
// or while the system lists no output device. The sink never paces playback: audio that does not fit
// into its buffer is dropped.
class AudioMonitor : public QObject
{
    Q_OBJECT
public:
    explicit AudioMonitor(QObject *parent = nullptr);
    ~AudioMonitor() override;

    void setOutput(QAudioOutput *output);
    // 48 kHz stereo float samples, in playing order.
    void write(const QByteArray &samples);
    // Drops the sound still queued in the sink (pause, seek, stop).
    void reset();
    bool hasSink() const { return m_sink != nullptr; }

private:
    void closeSink();
    bool openSink();
    bool wanted() const;

    QPointer<QAudioOutput> m_output;
    QMediaDevices m_devices;
    std::unique_ptr<QAudioSink> m_sink;
    QIODevice *m_io = nullptr;
    QAudioFormat m_format;
    bool m_failed = false;  // the device refused; retried after a change of device or mute
    QList<QMetaObject::Connection> m_connections;
};
