#pragma once

#include "outputs/aes67/ForeignMaster.h"
#include "outputs/aes67/PtpMessage.h"

#include <netinet/in.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

// Everything a started PtpClock owns; built by start, freed by stop. All members below `lock` are
// guarded by it.
struct PtpClockState
{
    using Sample = std::pair<qint64, qint64>;

    int eventSocket = -1;   // port 319
    int generalSocket = -1; // port 320
    std::thread receiver;
    std::atomic<bool> stopRequested{false};
    PtpClockIdentity identity{};
    int domain = 0;
    int mode = 0; // 0 automatic, 1 slave only, 2 master only
    in_addr interfaceAddress{};
    sockaddr_in group{};

    std::mutex lock;
    qint64 anchorPtp = 0;
    qint64 anchorLocal = 0;
    bool servoValid = false;
    bool isMaster = false;
    bool locked = false;
    qint64 modelLocal = 0;
    qint64 modelOffset = 0;
    double rate = 0;
    double lastError = 0;
    std::deque<Sample> syncSamples;    // (local receive time, master time - local time)
    std::deque<Sample> historySamples; // (local time, measured offset)
    std::deque<Sample> delaySamples;   // (local Delay_Req send time, master receive - correction - send)
    qint64 pathDelay = 0;
    qint64 sampleCount = 0;
    qint64 steps = 0;
    qint64 lastSyncLocal = -1;
    std::map<PtpPortIdentity, ForeignMaster> foreignMasters;
    std::optional<PtpPortIdentity> parentPort;
    ForeignMaster parentDataset;
    std::optional<PtpClockIdentity> grandmasterId;
    struct PendingSync
    {
        quint16 sequenceId = 0;
        qint64 localTime = 0;
        qint64 correction = 0;
        bool pending = false;
    } pendingSync;
    qint64 lastDelayReqSent = -1;
    quint16 lastDelayReqSeq = 0;
    qint64 nextDelayReq = 0;
    qint64 nextSync = 0;
    qint64 nextAnnounce = 0;
    quint16 delayReqSeq = 0;
    quint16 syncSeq = 0;
    quint16 announceSeq = 0;
    qint64 startedLocal = 0;
    // Token bucket for admitting Announce senders not yet in foreignMasters.
    double admissionTokens = 0;
    qint64 admissionRefilled = 0;
};
