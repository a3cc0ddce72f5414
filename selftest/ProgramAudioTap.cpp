#include "selftest/ProgramAudioTap.h"

#include "engine/NativeChannel.h"

#include <cmath>

void ProgramAudioTap::attach(NativeChannel *deck)
{
    QObject::connect(deck, &NativeChannel::audioReady, deck, [this](const AudioPacket &packet) {
        lastPeak = packetPeak(packet);
        ++packets;
        if (lastPeak > 0.001)
            ++nonSilentPackets;
        timestamps.append(packet.timestampUs);
    });
}

double ProgramAudioTap::packetPeak(const AudioPacket &packet)
{
    const auto *samples = reinterpret_cast<const float *>(packet.data.constData());
    const qsizetype count = qsizetype(packet.frames()) * 2;
    double peak = 0.0;
    for (qsizetype i = 0; i < count; ++i)
        peak = std::max(peak, double(std::fabs(samples[i])));
    return peak;
}
