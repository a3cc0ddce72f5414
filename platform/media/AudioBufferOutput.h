#pragma once

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QObject>

// Tap of a MediaPlayer's decoded audio. Every decoded buffer is converted to the tap's format
// (48 kHz stereo 32-bit float unless told otherwise) and emitted on the GUI thread together with
// its start time in microseconds of media time (QAudioBuffer::startTime()).
class AudioBufferOutput : public QObject
{
    Q_OBJECT
public:
    explicit AudioBufferOutput(QObject *parent = nullptr);
    AudioBufferOutput(const QAudioFormat &format, QObject *parent = nullptr);

    QAudioFormat format() const { return m_format; }

    // The stereo 48 kHz float format that the program audio path works in.
    static QAudioFormat programFormat();

signals:
    void audioBufferReceived(const QAudioBuffer &buffer);

private:
    QAudioFormat m_format;
};
