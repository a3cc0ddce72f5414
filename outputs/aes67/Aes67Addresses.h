#pragma once

#include "outputs/audio/AudioDeviceInfo.h"

#include <QList>
#include <QString>

// Group address of stream `index` when the operator chose none: 239.69.<last part of the interface
// address>.<index + 1> (192.168.1.23 gives 239.69.23.1, 239.69.23.2, ...).
QString defaultStreamAddress(const QString &interfaceAddress, int index);
// The base address with `index` added to its last part, modulo 256; a base that does not have four
// dot-separated parts comes back unchanged.
QString offsetStreamAddress(const QString &base, int index);
// Every IPv4 address of every interface that is up, running, not loopback and able to multicast,
// as devices of the AES67 backend type.
QList<AudioDeviceInfo> aes67Interfaces();
