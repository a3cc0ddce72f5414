#pragma once

#include <QtGlobal>

class QUdpSocket;

// What the AES67 runner has heard on SAP about its two test streams (flags are only ever set).
struct SapAnnouncementFlags
{
    bool announced1 = false; // 239.69.93.1 with 8 channels in PTP domain 93
    bool announced2 = false; // 239.69.93.2 with 2 channels
    bool withdrawn = false;  // a deletion naming 239.69.93.1

    // One received datagram; anything that is not a readable SAP packet is skipped.
    void note(const char *data, qsizetype size);
};

// Reads every pending datagram of the SAP socket into the flags.
void readSapAnnouncement(QUdpSocket &socket, SapAnnouncementFlags &flags);
