#pragma once

#include <QString>
#include <QtGlobal>

#include <netinet/in.h>

// One RTP stream of the AES67 sender: up to eight consecutive channels of the engine's output sent
// to one multicast group on port 5004, announced by SAP with its own SDP session.
struct Aes67Stream
{
    static constexpr int Port = 5004;

    int socket = -1; // closed when -1
    sockaddr_in destination{};
    QString address;
    QString name;
    int firstChannel = 0; // 0-based index in the engine's output
    int channels = 0;     // 1..8
    quint32 ssrc = 0;
    quint32 sessionId = 0; // lowest bit always set, so never 0
    int version = 1;       // SDP session version
    quint16 sequence = 0;  // next RTP sequence number
};
