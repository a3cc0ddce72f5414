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
// guarded by it, except the published copies at the end, which the receive thread writes under the
// lock and other threads read without it.
struct PtpClockState
{
    using Sample = std::pair<qint64, qint64>;

    // PTP time = local + offset + (local - local0) x rate, as now() reads it.
    struct TimeBase
    {
        qint64 local0 = 0;
        qint64 offset = 0;
        double rate = 0;
    };

    int eventSocket = -1;   // port 319
    int generalSocket = -1; // port 320
    std::thread receiver;
    std::atomic<bool> stopRequested{false};
    PtpClockIdentity identity{};
    int domain = 0;
    int mode = 0; // 0 automatic, 1 slave only, 2 master only
    in_addr interfaceAddress{};
    sockaddr_in group{};
    bool kernelStamps = false; // SO_TIMESTAMPING is on for both sockets
    quint32 transmitKey = 0;   // OPT_ID key of the next event message sent

    std::mutex lock;
    // The held estimate: PTP time = anchorPtp + (local - anchorLocal) x (1 + anchorRate). It runs
    // while the clock is master, listening, or not yet locked to the master it follows.
    qint64 anchorPtp = 0;
    qint64 anchorLocal = 0;
    double anchorRate = 0;
    // now() reads the servo model (set at the first lock to the followed master), else the hold.
    bool tracking = false;
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

    // Published for readers outside the lock, behind a sequence counter (odd while being written):
    // the time base and the grandmaster (as one 64-bit word). Then the stamp counters.
    std::atomic<quint64> publishedSequence{0};
    std::atomic<qint64> publishedLocal0{0};
    std::atomic<qint64> publishedOffset{0};
    std::atomic<double> publishedRate{0};
    std::atomic<quint64> publishedGrandmaster{0};
    std::atomic<bool> publishedGrandmasterKnown{false};
    std::atomic<qint64> kernelStampCount{0};
    std::atomic<qint64> programStampCount{0};
};
