#pragma once

#include "outputs/aes67/PtpMessage.h"

#include <tuple>

// A PTP master seen through its Announce messages, and the dataset a clock compares masters by.
// A fresh entry is the worst possible master until an Announce fills it.
struct ForeignMaster
{
    quint8 priority1 = 255;
    quint8 clockClass = 255;
    quint8 clockAccuracy = 0xFE;
    quint16 offsetScaledLogVariance = 0xFFFF;
    quint8 priority2 = 255;
    PtpClockIdentity grandmasterIdentity{};
    PtpPortIdentity sourcePortIdentity{};
    qint64 lastAnnounceLocal = 0;

    static ForeignMaster fromAnnounce(const PtpMessage &announce, qint64 receivedLocal)
    {
        ForeignMaster master;
        master.priority1 = announce.priority1;
        master.clockClass = announce.clockClass;
        master.clockAccuracy = announce.clockAccuracy;
        master.offsetScaledLogVariance = announce.offsetScaledLogVariance;
        master.priority2 = announce.priority2;
        master.grandmasterIdentity = announce.grandmasterIdentity;
        master.sourcePortIdentity = announce.sourcePortIdentity;
        master.lastAnnounceLocal = receivedLocal;
        return master;
    }

    // The grandmaster fields of an Announce body.
    void fillAnnounce(PtpMessage &announce) const
    {
        announce.priority1 = priority1;
        announce.clockClass = clockClass;
        announce.clockAccuracy = clockAccuracy;
        announce.offsetScaledLogVariance = offsetScaledLogVariance;
        announce.priority2 = priority2;
        announce.grandmasterIdentity = grandmasterIdentity;
    }

    // Best-master comparison: lower wins at the first difference of priority1, clockClass,
    // clockAccuracy, offsetScaledLogVariance, priority2, then grandmaster identity bytewise.
    bool beats(const ForeignMaster &other) const
    {
        return std::tie(priority1, clockClass, clockAccuracy, offsetScaledLogVariance, priority2, grandmasterIdentity)
            < std::tie(other.priority1, other.clockClass, other.clockAccuracy, other.offsetScaledLogVariance,
                       other.priority2, other.grandmasterIdentity);
    }
};
