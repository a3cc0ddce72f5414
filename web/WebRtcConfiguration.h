#pragma once

#include <QStringList>

// The network settings of one viewer's peer connection: the local UDP port range its ICE agent
// binds in, and the addresses it gathers candidates on. With only "127.0.0.1" the offer carries
// loopback candidates alone, which keeps a this-computer-only monitor off the network.
struct WebRtcConfiguration
{
    int minPort = 50200;
    int maxPort = 50399;
    QStringList localAddresses{QStringLiteral("127.0.0.1")};
};
