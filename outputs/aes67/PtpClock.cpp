#include "outputs/aes67/PtpClock.h"

#include "outputs/aes67/ForeignMaster.h"
#include "outputs/aes67/PtpClockState.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QStringList>
#include <QtDebug>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <limits>

namespace {

using Sample = PtpClockState::Sample;

constexpr qint64 Ms = 1'000'000;
constexpr qint64 Second = 1'000'000'000;
constexpr qint64 TaiMinusUtcNs = 37 * Second;
constexpr qint64 AnnounceInterval = Second;
constexpr qint64 SyncInterval = 125 * Ms;
constexpr qint64 DelayReqInterval = Second;
constexpr qint64 ForeignMasterTimeout = 4 * Second;
constexpr qint64 LockTimeout = 2 * Second;
constexpr qint64 AutoMasterDelay = 3 * Second;
constexpr qint64 StepThreshold = 2 * Ms;
constexpr qint64 LockThreshold = Ms / 2;
constexpr qint64 RateWindow = 2 * Second;
constexpr double MaxRate = 0.0005;
constexpr std::size_t SyncSampleLimit = 8;
constexpr std::size_t DelaySampleLimit = 8;
constexpr std::size_t HistoryLimit = 128;
constexpr qint64 LockSampleCount = 8;
// Datagrams taken from one socket per wake-up: a flood must not keep tick from sending on time.
constexpr int DrainLimit = 64;
constexpr int DatagramSize = 1500;
constexpr char GroupAddress[] = "224.0.1.129";
// Announces that passed through this many boundary clocks or more must be ignored.
constexpr quint16 MaxStepsRemoved = 255;
// Software receive and transmit stamps, reported without the packet on the error queue.
constexpr int TimestampingFlags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_TX_SOFTWARE
    | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
// How long a sender waits for the kernel's transmit stamp before it keeps its own reading.
constexpr qint64 TransmitStampWait = Ms;
// A kernel stamp further back than this from the moment the datagram is read is not believed
// (the system clock was stepped in between).
constexpr qint64 StampPlausibility = Second;
constexpr std::size_t ControlSize = 256;

qint64 utcAsTai()
{
    return QDateTime::currentMSecsSinceEpoch() * Ms + TaiMinusUtcNs;
}

ForeignMaster ownDataset(const PtpClockIdentity &identity)
{
    ForeignMaster own;
    own.priority1 = 250;
    own.clockClass = 248;
    own.clockAccuracy = 0xFE;
    own.offsetScaledLogVariance = 0xFFFF;
    own.priority2 = 250;
    own.grandmasterIdentity = identity;
    return own;
}

template <std::size_t N>
QByteArray toBytes(const std::array<quint8, N> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(N));
}

void pushBounded(std::deque<Sample> &samples, Sample sample, std::size_t limit)
{
    samples.push_back(sample);
    while (samples.size() > limit)
        samples.pop_front();
}

// A sample's offset carried from its own time to localTime with the current rate.
qint64 carried(const Sample &sample, qint64 localTime, double rate)
{
    return sample.second + qint64(double(localTime - sample.first) * rate);
}

qint64 nanoseconds(const timespec &ts)
{
    return qint64(ts.tv_sec) * Second + ts.tv_nsec;
}

// Kernel software stamps are CLOCK_REALTIME; the model runs on CLOCK_MONOTONIC. Both advance at the
// same rate (slewing affects both), so their difference converts a stamp until the next step.
// Read between two monotonic readings; a thread preempted in between would put its error (half the
// gap) into every stamp it converts, so the tightest of a few tries is kept.
qint64 realtimeMinusMonotonic()
{
    qint64 best = 0;
    qint64 narrowest = std::numeric_limits<qint64>::max();
    for (int attempt = 0; attempt < 5 && narrowest > 20000; ++attempt) {
        timespec before{};
        timespec realtime{};
        timespec after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        clock_gettime(CLOCK_REALTIME, &realtime);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const qint64 gap = nanoseconds(after) - nanoseconds(before);
        if (gap < narrowest) {
            narrowest = gap;
            best = nanoseconds(realtime) - (nanoseconds(before) + gap / 2);
        }
    }
    return best;
}

// The software time stamp in a message's control data, as CLOCK_REALTIME nanoseconds; -1 without.
qint64 softwareStamp(msghdr &message)
{
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SO_TIMESTAMPING)
            continue;
        scm_timestamping stamps{};
        std::memcpy(&stamps, CMSG_DATA(header), std::min(sizeof stamps, size_t(header->cmsg_len - CMSG_LEN(0))));
        if (stamps.ts[0].tv_sec != 0 || stamps.ts[0].tv_nsec != 0)
            return nanoseconds(stamps.ts[0]);
    }
    return -1;
}

// One entry of the socket's error queue without waiting: its software stamp (realtime ns), -1 for an
// entry without one, -2 when the queue is empty.
qint64 readErrorQueue(int socket)
{
    alignas(cmsghdr) char control[ControlSize];
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(socket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
        return -2;
    return softwareStamp(message);
}

void discardErrorQueue(int socket)
{
    for (int i = 0; i < DrainLimit && readErrorQueue(socket) != -2; ++i) {
    }
}

// The kernel's transmit stamp of the datagram just sent on this socket, as monotonic ns, or -1 when
// none arrives within TransmitStampWait.
qint64 awaitTransmitStamp(int socket, qint64 sentLocal)
{
    const qint64 deadline = sentLocal + TransmitStampWait;
    for (;;) {
        const qint64 stamp = readErrorQueue(socket);
        if (stamp >= 0) {
            const qint64 local = stamp - realtimeMinusMonotonic();
            return std::abs(local - sentLocal) < StampPlausibility ? local : -1;
        }
        const qint64 left = deadline - monotonicNs();
        if (stamp == -2 && left <= 0)
            return -1;
        if (stamp == -2) {
            // An entry on the error queue shows as POLLERR whatever events are asked for.
            timespec timeout{0, long(left)};
            pollfd waiting{socket, 0, 0};
            ::ppoll(&waiting, 1, &timeout, nullptr);
        }
    }
}

bool isEventMessage(quint8 type)
{
    return type == PtpMessage::Sync || type == PtpMessage::DelayReq;
}

// Runs `read` on the published copies until it saw them between two writes.
template <typename Read>
void readPublished(const PtpClockState &s, Read read)
{
    quint64 before = 0;
    quint64 after = 0;
    do {
        before = s.publishedSequence.load(std::memory_order_acquire);
        read();
        std::atomic_thread_fence(std::memory_order_acquire);
        after = s.publishedSequence.load(std::memory_order_relaxed);
    } while (before != after || (before & 1));
}

void raiseReceivePriority()
{
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    static std::atomic<bool> warned{false};
    if (rc != 0 && !warned.exchange(true))
        qWarning("PTP receive thread keeps its normal priority (error %d)", rc);
}

QString portError(int code)
{
    QString text = QStringLiteral("PTP ports 319/320 unavailable (error %1)").arg(code);
    if (code == EACCES || code == EPERM)
        text += QStringLiteral(": ports below 1024 need root or CAP_NET_BIND_SERVICE");
    return text;
}

} // namespace

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * Second + ts.tv_nsec;
}

QString formatClockIdentity(const QByteArray &bytes)
{
    QStringList parts;
    for (const char byte : bytes)
        parts << QStringLiteral("%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char('-'));
}

QByteArray clockIdentityFor(const QString &interfaceAddress)
{
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto entries = interface.addressEntries();
        const bool hasAddress = std::any_of(entries.begin(), entries.end(), [&](const QNetworkAddressEntry &entry) {
            return entry.ip().toString() == interfaceAddress;
        });
        const QStringList parts = interface.hardwareAddress().split(QLatin1Char(':'));
        if (!hasAddress || parts.size() != 6)
            continue;
        QByteArray mac;
        for (const QString &part : parts) {
            bool ok = false;
            const uint value = part.toUInt(&ok, 16);
            if (!ok || value > 0xFF)
                break;
            mac.append(char(value));
        }
        // A loopback interface reports an all-zero MAC, which would give every clock on it the same
        // identity; such clocks would take each other's messages for their own.
        if (mac.size() != 6 || mac.count('\0') == 6)
            continue;
        return mac.left(3) + QByteArray("\xFF\xFE", 2) + mac.right(3);
    }
    QByteArray identity(8, '\0');
    for (char &byte : identity)
        byte = char(QRandomGenerator::system()->generate() >> 24);
    identity[3] = char(0xFF);
    identity[4] = char(0xFE);
    return identity;
}

PtpClock::PtpClock() = default;

PtpClock::~PtpClock()
{
    stop();
}

bool PtpClock::start(const QString &interfaceAddress, int domain, int mode, QString *error)
{
    stop();
    auto fresh = std::make_unique<PtpClockState>();
    const QByteArray identity = presetIdentity.size() == 8 ? presetIdentity : clockIdentityFor(interfaceAddress);
    std::copy_n(identity.constData(), fresh->identity.size(), fresh->identity.begin());
    fresh->domain = std::clamp(domain, 0, 127);
    fresh->mode = mode;
    const QByteArray address = interfaceAddress.isEmpty() ? QByteArray("0.0.0.0") : interfaceAddress.toLatin1();
    const bool addressValid = inet_pton(AF_INET, address.constData(), &fresh->interfaceAddress) == 1;
    fresh->group.sin_family = AF_INET;
    inet_pton(AF_INET, GroupAddress, &fresh->group.sin_addr);
    fresh->anchorLocal = fresh->startedLocal = localNs();
    fresh->anchorPtp = utcAsTai();
    fresh->admissionTokens = AdmissionBurst;
    fresh->admissionRefilled = fresh->startedLocal;
    state = std::move(fresh);

    if (!hooks.send) {
        int code = addressValid ? 0 : EINVAL;
        const bool opened = addressValid && openSocket(EventPort, &state->eventSocket, &code)
            && openSocket(GeneralPort, &state->generalSocket, &code);
        if (!opened) {
            if (error)
                *error = portError(code);
            stop();
            return false;
        }
        const int flags = TimestampingFlags;
        state->kernelStamps = setsockopt(state->eventSocket, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0
            && setsockopt(state->generalSocket, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
        if (!state->kernelStamps)
            qWarning("PTP clock takes its time stamps in the program: no kernel time stamps (error %d)", errno);
    }
    {
        std::lock_guard guard(state->lock);
        if (state->mode == 2)
            becomeMaster(localNs());
        publish();
    }
    if (!hooks.send)
        state->receiver = std::thread([this] { receiveLoop(); });
    return true;
}

void PtpClock::stop()
{
    if (!state)
        return;
    state->stopRequested = true;
    if (state->receiver.joinable())
        state->receiver.join();
    for (const int socket : {state->eventSocket, state->generalSocket}) {
        if (socket >= 0)
            ::close(socket);
    }
    state.reset();
}

bool PtpClock::openSocket(int port, int *socket, int *errorCode)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *errorCode = errno;
        return false;
    }
    *socket = fd; // closed by stop, also on failure
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(quint16(port));
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    membership.imr_multiaddr = state->group.sin_addr;
    membership.imr_interface = state->interfaceAddress;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0
        || setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        *errorCode = errno;
        return false;
    }
    const unsigned char ttl = 1;
    const unsigned char loop = 1; // other clocks of this host, and the own-identity filter, rely on it
    // Only the group joined on our interface: with several interfaces in the group, a datagram seen
    // again on another one would be taken for a second, later copy.
    const int all = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &state->interfaceAddress, sizeof state->interfaceAddress);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    return true;
}

void PtpClock::receiveLoop()
{
    raiseReceivePriority();
    pollfd sockets[2] = {{state->eventSocket, POLLIN, 0}, {state->generalSocket, POLLIN, 0}};
    while (!state->stopRequested) {
        if (::poll(sockets, 2, 5) > 0) {
            // Transmit stamps nobody waited for any more would keep poll from sleeping.
            for (const pollfd &socket : sockets) {
                if (socket.revents & POLLERR)
                    discardErrorQueue(socket.fd);
            }
            if (sockets[0].revents & POLLIN)
                drain(state->eventSocket, true);
            if (sockets[1].revents & POLLIN)
                drain(state->generalSocket, false);
        }
        tick(monotonicNs());
    }
}

// Each datagram is timed by the kernel's receive stamp, or by the monotonic clock read right after
// it was taken when there is none.
void PtpClock::drain(int socket, bool event)
{
    char datagram[DatagramSize];
    alignas(cmsghdr) char control[ControlSize];
    const qint64 realtimeOffset = state->kernelStamps ? realtimeMinusMonotonic() : 0;
    for (int i = 0; i < DrainLimit; ++i) {
        iovec buffer{datagram, sizeof datagram};
        msghdr message{};
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = ::recvmsg(socket, &message, 0);
        if (length < 0)
            return;
        const qint64 read = monotonicNs();
        const qint64 stamp = state->kernelStamps ? softwareStamp(message) : -1;
        const qint64 stampLocal = stamp - realtimeOffset;
        const bool stamped = stamp >= 0 && stampLocal <= read && read - stampLocal < StampPlausibility;
        const qint64 received = stamped ? stampLocal : read;
        if (length > 0 && isEventMessage(quint8(datagram[0] & 0x0F)))
            (stamped ? state->kernelStampCount : state->programStampCount).fetch_add(1, std::memory_order_relaxed);
        // The master sends Sync before its Follow_Up, so the Sync is queued on the event socket by
        // the time the Follow_Up is read; take it first, or the pair would be lost when the Sync
        // arrived after this wake-up's poll.
        if (!event && length > 0 && (datagram[0] & 0x0F) == PtpMessage::FollowUp)
            drain(state->eventSocket, true);
        handleMessage(datagram, int(length), received, event);
    }
}

void PtpClock::handleMessage(const char *data, int length, qint64 localNs, bool event)
{
    if (!state)
        return;
    const std::optional<PtpMessage> message = PtpMessage::parse(data, length);
    if (!message || message->domainNumber != state->domain || message->sourceClockIdentity() == state->identity)
        return;
    std::lock_guard guard(state->lock);
    if (message->messageType == PtpMessage::Announce)
        noteAnnounce(*message, localNs);
    if (state->isMaster) {
        if (message->messageType == PtpMessage::DelayReq && event)
            answerDelayReq(*message, localNs);
    } else if (state->parentPort == message->sourcePortIdentity) {
        handleFromParent(*message, localNs);
    }
    publish();
}

void PtpClock::noteAnnounce(const PtpMessage &message, qint64 localNs)
{
    // A master this many boundary clocks away is no master to follow (IEEE 1588 9.3.2.5).
    if (message.stepsRemoved >= MaxStepsRemoved)
        return;
    const ForeignMaster announced = ForeignMaster::fromAnnounce(message, localNs);
    auto &s = *state;
    if (!s.foreignMasters.contains(message.sourcePortIdentity) && !admitForeignMaster(announced, localNs))
        return;
    s.foreignMasters[message.sourcePortIdentity] = announced;
    if (s.parentPort == message.sourcePortIdentity) {
        s.parentDataset = announced;
        s.grandmasterId = announced.grandmasterIdentity;
    }
}

// A new sender needs a token (the bucket refills at AdmissionsPerSecond), unless it beats every
// known master: a flood then cannot keep the rightful best master out. A full table makes room
// only by dropping its worst entry, never the followed master, and only for a better newcomer.
bool PtpClock::admitForeignMaster(const ForeignMaster &candidate, qint64 localNs)
{
    auto &s = *state;
    const qint64 elapsed = std::max<qint64>(0, localNs - s.admissionRefilled);
    s.admissionTokens = std::min(AdmissionBurst, s.admissionTokens + double(elapsed) * AdmissionsPerSecond / Second);
    s.admissionRefilled = localNs;
    const bool beatsAll = std::all_of(s.foreignMasters.begin(), s.foreignMasters.end(),
                                      [&](const auto &entry) { return candidate.beats(entry.second); });
    if (s.admissionTokens < 1 && !beatsAll)
        return false;
    if (int(s.foreignMasters.size()) >= ForeignMasterCapacity) {
        auto worst = s.foreignMasters.end();
        for (auto it = s.foreignMasters.begin(); it != s.foreignMasters.end(); ++it) {
            if (s.parentPort != it->first && (worst == s.foreignMasters.end() || worst->second.beats(it->second)))
                worst = it;
        }
        if (worst == s.foreignMasters.end() || !candidate.beats(worst->second))
            return false;
        s.foreignMasters.erase(worst);
    }
    s.admissionTokens = std::max(0.0, s.admissionTokens - 1);
    return true;
}

void PtpClock::handleFromParent(const PtpMessage &message, qint64 localNs)
{
    auto &s = *state;
    switch (message.messageType) {
    case PtpMessage::Sync:
        if (message.twoStep())
            s.pendingSync = {message.sequenceId, localNs, message.correctionNs, true};
        else
            updateServo(message.timestampNs + message.correctionNs, localNs);
        break;
    case PtpMessage::FollowUp:
        if (s.pendingSync.pending && s.pendingSync.sequenceId == message.sequenceId) {
            s.pendingSync.pending = false;
            updateServo(message.timestampNs + message.correctionNs + s.pendingSync.correction, s.pendingSync.localTime);
        }
        break;
    case PtpMessage::DelayResp:
        if (std::equal(s.identity.begin(), s.identity.end(), message.requestingPortIdentity.begin())
            && message.sequenceId == s.lastDelayReqSeq && s.lastDelayReqSent >= 0 && !s.syncSamples.empty()) {
            pushBounded(s.delaySamples,
                        {s.lastDelayReqSent, message.timestampNs - message.correctionNs - s.lastDelayReqSent},
                        DelaySampleLimit);
            s.lastDelayReqSent = -1;
        }
        break;
    default:
        break;
    }
}

void PtpClock::answerDelayReq(const PtpMessage &request, qint64 localNs)
{
    PtpMessage response = writeHeader(PtpMessage::DelayResp, request.sequenceId, 3, 0, 0, request.correctionNs);
    response.timestampNs = freeRunningPtp(localNs);
    response.requestingPortIdentity = request.sourcePortIdentity;
    send(response.encode(), false);
}

void PtpClock::tick(qint64 now)
{
    if (!state)
        return;
    std::lock_guard guard(state->lock);
    selectMaster(now);
    if (state->isMaster)
        sendMasterMessages(now);
    else if (state->parentPort && state->servoValid && now >= state->nextDelayReq)
        sendDelayReq(now);
    publish();
}

void PtpClock::sendMasterMessages(qint64 now)
{
    auto &s = *state;
    if (now >= s.nextAnnounce) {
        s.nextAnnounce = now + AnnounceInterval;
        PtpMessage announce = writeHeader(PtpMessage::Announce, s.announceSeq++, 5, 0, 0x000C);
        announce.timestampNs = freeRunningPtp(now);
        announce.currentUtcOffset = qint16(TaiMinusUtcNs / Second);
        ownDataset(s.identity).fillAnnounce(announce);
        announce.stepsRemoved = 0;
        announce.timeSource = 0xA0;
        send(announce.encode(), false);
    }
    if (now >= s.nextSync) {
        s.nextSync = now + SyncInterval;
        const QByteArray sync = writeHeader(PtpMessage::Sync, s.syncSeq, 0, -3, 0x0208).encode();
        PtpMessage followUp = writeHeader(PtpMessage::FollowUp, s.syncSeq, 2, -3, 0x0008);
        ++s.syncSeq;
        followUp.timestampNs = freeRunningPtp(sendEvent(sync));
        send(followUp.encode(), false);
    }
}

void PtpClock::sendDelayReq(qint64 now)
{
    auto &s = *state;
    s.nextDelayReq = now + DelayReqInterval;
    s.lastDelayReqSeq = s.delayReqSeq++;
    const QByteArray request = writeHeader(PtpMessage::DelayReq, s.lastDelayReqSeq, 1, 0x7F, 0).encode();
    s.lastDelayReqSent = sendEvent(request);
}

void PtpClock::selectMaster(qint64 now)
{
    auto &s = *state;
    std::erase_if(s.foreignMasters,
                  [&](const auto &entry) { return now - entry.second.lastAnnounceLocal > ForeignMasterTimeout; });
    const ForeignMaster *best = nullptr;
    for (const auto &[port, candidate] : s.foreignMasters) {
        if (!best || candidate.beats(*best))
            best = &candidate;
    }
    const bool following = best && (s.mode == 1 || (s.mode != 2 && best->beats(ownDataset(s.identity))));
    if (following) {
        if (s.parentPort != best->sourcePortIdentity)
            follow(*best, now);
    } else if (s.mode == 2) {
        if (!s.isMaster)
            becomeMaster(now);
    } else if (s.mode != 1 && !s.isMaster && s.foreignMasters.empty() && now - s.startedLocal > AutoMasterDelay) {
        becomeMaster(now);
    }
    if (!s.isMaster && s.lastSyncLocal >= 0 && now - s.lastSyncLocal > LockTimeout)
        s.locked = false;
}

// The estimate now() gives runs on from the hold until the servo has locked to the new master.
void PtpClock::follow(const ForeignMaster &best, qint64 now)
{
    auto &s = *state;
    holdEstimate(now);
    s.tracking = false;
    s.isMaster = false;
    s.locked = false;
    s.servoValid = false;
    s.parentPort = best.sourcePortIdentity;
    s.parentDataset = best;
    s.grandmasterId = best.grandmasterIdentity;
    s.syncSamples.clear();
    s.delaySamples.clear();
    s.pathDelay = 0;
    s.pendingSync = {};
    s.nextDelayReq = now;
}

void PtpClock::becomeMaster(qint64 now)
{
    auto &s = *state;
    holdEstimate(now);
    s.tracking = false;
    s.isMaster = true;
    s.locked = true;
    s.servoValid = false;
    s.parentPort.reset();
    s.syncSamples.clear();
    s.nextSync = s.nextAnnounce = now;
}

void PtpClock::updateServo(qint64 masterTime, qint64 localTime)
{
    auto &s = *state;
    ++s.sampleCount;
    s.lastSyncLocal = localTime;
    pushBounded(s.syncSamples, {localTime, masterTime - localTime}, SyncSampleLimit);

    // The least-delayed Sync gives the largest offset, the least-delayed Delay_Req the smallest;
    // the true offset lies halfway, the path delay is half the gap.
    qint64 high = std::numeric_limits<qint64>::min();
    for (const Sample &sample : s.syncSamples)
        high = std::max(high, carried(sample, localTime, s.rate));
    qint64 measured = high;
    s.pathDelay = 0;
    if (!s.delaySamples.empty()) {
        qint64 low = std::numeric_limits<qint64>::max();
        for (const Sample &sample : s.delaySamples)
            low = std::min(low, carried(sample, localTime, s.rate));
        s.pathDelay = std::max<qint64>(0, (low - high) / 2);
        measured = qint64((__int128(high) + low) / 2);
    }

    if (!s.servoValid) {
        ++s.steps;
        s.modelLocal = localTime;
        s.modelOffset = measured;
        s.servoValid = true;
        s.historySamples = {{localTime, measured}};
        return;
    }
    const qint64 predicted = s.modelOffset + qint64(double(localTime - s.modelLocal) * s.rate);
    s.lastError = double(measured - predicted);
    if (std::abs(s.lastError) > StepThreshold) {
        s.modelLocal = localTime;
        s.modelOffset = measured;
        s.rate = 0;
        s.syncSamples.clear();
        s.historySamples.clear();
        s.delaySamples.clear();
        ++s.steps;
        s.locked = false;
        return;
    }
    pushBounded(s.historySamples, {localTime, measured}, HistoryLimit);
    updateRate();
    s.modelLocal = localTime;
    s.modelOffset = predicted + qint64(s.lastError / 4);
    if (s.sampleCount >= LockSampleCount && std::abs(s.lastError) < LockThreshold) {
        s.locked = true;
        // The one step from the held estimate to this master's time, now that it is measured.
        s.tracking = true;
    }
}

// Least-squares slope of the measured offset over local time, once the history spans the window.
void PtpClock::updateRate()
{
    auto &s = *state;
    const auto &history = s.historySamples;
    if (history.back().first - history.front().first <= RateWindow)
        return;
    const auto [t0, y0] = history.front();
    double meanX = 0;
    double meanY = 0;
    for (const Sample &sample : history) {
        meanX += double(sample.first - t0);
        meanY += double(sample.second - y0);
    }
    meanX /= double(history.size());
    meanY /= double(history.size());
    double sxx = 0;
    double sxy = 0;
    for (const Sample &sample : history) {
        const double dx = double(sample.first - t0) - meanX;
        sxx += dx * dx;
        sxy += dx * (double(sample.second - y0) - meanY);
    }
    if (sxx > 0)
        s.rate = std::clamp(sxy / sxx, -MaxRate, MaxRate);
}

PtpMessage PtpClock::writeHeader(quint8 type, quint16 sequenceId, quint8 controlField, qint8 logMessageInterval,
                                 quint16 flags, qint64 correction) const
{
    PtpMessage message;
    message.messageType = type;
    message.domainNumber = quint8(state->domain);
    message.flags = flags;
    message.correctionNs = correction;
    std::copy(state->identity.begin(), state->identity.end(), message.sourcePortIdentity.begin());
    message.sourcePortIdentity[8] = 0;
    message.sourcePortIdentity[9] = 1;
    message.sequenceId = sequenceId;
    message.controlField = controlField;
    message.logMessageInterval = logMessageInterval;
    return message;
}

// Sends an event message and returns the local time it left: the kernel's transmit stamp, else the
// monotonic clock read right before sending.
qint64 PtpClock::sendEvent(const QByteArray &message)
{
    auto &s = *state;
    if (s.kernelStamps)
        discardErrorQueue(s.eventSocket);
    const qint64 before = localNs();
    send(message, true);
    qint64 stamp = -1;
    if (hooks.transmitStamp)
        stamp = hooks.transmitStamp(message);
    else if (s.kernelStamps)
        stamp = awaitTransmitStamp(s.eventSocket, before);
    (stamp >= 0 ? s.kernelStampCount : s.programStampCount).fetch_add(1, std::memory_order_relaxed);
    return stamp >= 0 ? stamp : before;
}

void PtpClock::send(const QByteArray &message, bool event)
{
    if (hooks.send) {
        hooks.send(message, event);
        return;
    }
    sockaddr_in to = state->group;
    to.sin_port = htons(quint16(event ? EventPort : GeneralPort));
    ::sendto(event ? state->eventSocket : state->generalSocket, message.constData(), size_t(message.size()), 0,
             reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

qint64 PtpClock::localNs() const
{
    return hooks.monotonic ? hooks.monotonic() : monotonicNs();
}

qint64 PtpClock::freeRunningPtp(qint64 local) const
{
    const qint64 elapsed = local - state->anchorLocal;
    return state->anchorPtp + elapsed + qint64(double(elapsed) * state->anchorRate);
}

// The PTP time now() gives at this local time (caller holds the lock).
qint64 PtpClock::estimate(qint64 local) const
{
    const auto &s = *state;
    if (s.tracking)
        return local + s.modelOffset + qint64(double(local - s.modelLocal) * s.rate);
    return freeRunningPtp(local);
}

// Makes the current estimate, with its rate, the hold that runs on from now.
void PtpClock::holdEstimate(qint64 now)
{
    auto &s = *state;
    const qint64 ptp = estimate(now);
    s.anchorRate = s.tracking ? s.rate : s.anchorRate;
    s.anchorPtp = ptp;
    s.anchorLocal = now;
}

// Copies what now() and grandmaster() read for the threads that do not take the lock; called at the
// end of every change under the lock.
void PtpClock::publish()
{
    auto &s = *state;
    PtpClockState::TimeBase base;
    if (s.tracking) {
        base = {s.modelLocal, s.modelOffset, s.rate};
    } else {
        base = {s.anchorLocal, s.anchorPtp - s.anchorLocal, s.anchorRate};
    }
    const PtpClockIdentity &grandmaster = !s.isMaster && s.grandmasterId ? *s.grandmasterId : s.identity;
    quint64 word = 0;
    std::memcpy(&word, grandmaster.data(), sizeof word);

    const quint64 sequence = s.publishedSequence.load(std::memory_order_relaxed);
    s.publishedSequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    s.publishedLocal0.store(base.local0, std::memory_order_relaxed);
    s.publishedOffset.store(base.offset, std::memory_order_relaxed);
    s.publishedRate.store(base.rate, std::memory_order_relaxed);
    s.publishedGrandmaster.store(word, std::memory_order_relaxed);
    s.publishedGrandmasterKnown.store(s.isMaster || s.parentPort.has_value(), std::memory_order_relaxed);
    s.publishedSequence.store(sequence + 2, std::memory_order_release);
}

qint64 PtpClock::now() const
{
    if (!state)
        return utcAsTai();
    const auto &s = *state;
    PtpClockState::TimeBase base;
    readPublished(s, [&] {
        base.local0 = s.publishedLocal0.load(std::memory_order_relaxed);
        base.offset = s.publishedOffset.load(std::memory_order_relaxed);
        base.rate = s.publishedRate.load(std::memory_order_relaxed);
    });
    const qint64 local = localNs();
    return local + base.offset + qint64(double(local - base.local0) * base.rate);
}

PtpClock::Grandmaster PtpClock::grandmaster() const
{
    Grandmaster result;
    if (!state) {
        if (presetIdentity.size() == qsizetype(result.identity.size()))
            std::copy_n(presetIdentity.constData(), result.identity.size(), result.identity.begin());
        return result;
    }
    quint64 word = 0;
    readPublished(*state, [&] {
        word = state->publishedGrandmaster.load(std::memory_order_relaxed);
        result.known = state->publishedGrandmasterKnown.load(std::memory_order_relaxed);
    });
    std::memcpy(result.identity.data(), &word, sizeof word);
    return result;
}

QByteArray PtpClock::grandmasterIdentity() const
{
    if (!state)
        return presetIdentity;
    return toBytes(grandmaster().identity);
}

// Copies the fields under the lock and formats after it: the lock is the receive thread's.
PtpStatus PtpClock::status() const
{
    PtpStatus status;
    if (!state)
        return status;
    std::optional<PtpClockIdentity> shown;
    {
        std::lock_guard guard(state->lock);
        status.running = true;
        status.locked = state->locked;
        status.grandmasterHere = state->isMaster;
        shown = state->isMaster ? std::optional(state->identity) : state->grandmasterId;
        status.domain = state->domain;
        status.offsetUs = state->lastError / 1000;
        status.pathDelayUs = double(state->pathDelay) / 1000;
        status.ratePpm = state->rate * 1e6;
        status.sampleCount = state->sampleCount;
        status.steps = state->steps;
    }
    if (shown)
        status.grandmaster = formatClockIdentity(toBytes(*shown));
    return status;
}

qint64 PtpClock::kernelStampCount() const
{
    return state ? state->kernelStampCount.load(std::memory_order_relaxed) : 0;
}

qint64 PtpClock::programStampCount() const
{
    return state ? state->programStampCount.load(std::memory_order_relaxed) : 0;
}

int PtpClock::foreignMasterCount() const
{
    if (!state)
        return 0;
    std::lock_guard guard(state->lock);
    return int(state->foreignMasters.size());
}
