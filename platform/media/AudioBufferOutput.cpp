#include "platform/media/AudioBufferOutput.h"

AudioBufferOutput::AudioBufferOutput(QObject *parent)
    : AudioBufferOutput(programFormat(), parent)
{
}

AudioBufferOutput::AudioBufferOutput(const QAudioFormat &format, QObject *parent)
    : QObject(parent), m_format(format)
{
}

QAudioFormat AudioBufferOutput::programFormat()
{
    QAudioFormat format;
    format.setSampleRate(48000);
    format.setChannelCount(2);
    format.setChannelConfig(QAudioFormat::ChannelConfigStereo);
    format.setSampleFormat(QAudioFormat::Float);
    return format;
}
