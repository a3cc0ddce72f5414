#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

// What PtpClock::status reports; all false, zero and empty for a stopped clock.
struct PtpStatus
{
    bool running = false;
    bool locked = false;
    bool grandmasterHere = false;
    QString grandmaster; // formatted clock identity, empty when none is known
    int domain = 0;
    double offsetUs = 0;
    double pathDelayUs = 0;
    double ratePpm = 0;
    qint64 sampleCount = 0;
    qint64 steps = 0;

    // The clock's part of the AES67 status object.
    QJsonObject toJson() const;
};
