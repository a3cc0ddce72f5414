#pragma once

#include <QJsonObject>
#include <QString>

// The AES67 sender's settings: the engine's option object read with defaults and limits, plus the
// interface the operator chose as the device.
struct Aes67Config
{
    static constexpr int MaxNameLength = 60;

    QString interfaceAddress;
    QString name = QStringLiteral("Zelvo Playout");
    QString multicast; // base group address; empty = addresses derived from the interface
    int channels = 8;  // 1..64
    int ttl = 32;      // 1..255
    int latencyMs = 2; // 1..20
    int domain = 0;    // 0..127
    int ptpMode = 0;   // 0 automatic, 1 slave only, 2 master only
};

// Reads the option object: a key that is absent or of the wrong type gives the default, numbers are
// clamped to their range, "ptp" is "slave", "master" or anything else for automatic.
Aes67Config readAes67Config(const QJsonObject &options, const QString &interfaceAddress);
