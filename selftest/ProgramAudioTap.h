#pragma once

#include "engine/AudioPacket.h"

#include <QList>

class NativeChannel;

// Listens to a deck's published program audio and keeps what the network tests judge it by.
class ProgramAudioTap
{
public:
    // Connects to the deck's audioReady with the deck as context, so the tap stops with the deck.
    void attach(NativeChannel *deck);

    // Largest absolute sample of the packet; 0 for an empty one.
    static double packetPeak(const AudioPacket &packet);

    double lastPeak = 0.0;
    int packets = 0;
    int nonSilentPackets = 0;
    QList<qint64> timestamps;
};
