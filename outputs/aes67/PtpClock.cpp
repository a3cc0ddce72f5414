#include "outputs/aes67/PtpClock.h"

#include "outputs/aes67/ForeignMaster.h"
#include "outputs/aes67/PtpClockState.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QStringList>
#include <QtDebug>

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    }
    if (state->mode == 2)
        becomeMaster(localNs());
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
            if (sockets[0].revents & POLLIN)
                drain(state->eventSocket, true);
            if (sockets[1].revents & POLLIN)
                drain(state->generalSocket, false);
        }
        tick(monotonicNs());
    }
}

void PtpClock::drain(int socket, bool event)
{
    char datagram[DatagramSize];
    for (int i = 0; i < DrainLimit; ++i) {
        const ssize_t length = ::recv(socket, datagram, sizeof datagram, 0);
        if (length < 0)
            return;
        const qint64 received = monotonicNs();
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
        return;
    }
    if (state->parentPort == message->sourcePortIdentity)
        handleFromParent(*message, localNs);
}

void PtpClock::noteAnnounce(const PtpMessage &message, qint64 localNs)
{
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
        followUp.timestampNs = freeRunningPtp(localNs());
        send(sync, true);
        send(followUp.encode(), false);
    }
}

void PtpClock::sendDelayReq(qint64 now)
{
    auto &s = *state;
    s.nextDelayReq = now + DelayReqInterval;
    s.lastDelayReqSeq = s.delayReqSeq++;
    const QByteArray request = writeHeader(PtpMessage::DelayReq, s.lastDelayReqSeq, 1, 0x7F, 0).encode();
    s.lastDelayReqSent = localNs();
    send(request, true);
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

void PtpClock::follow(const ForeignMaster &best, qint64 now)
{
    auto &s = *state;
    if (s.isMaster) {
        s.anchorPtp += now - s.anchorLocal;
        s.anchorLocal = now;
    }
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
    const qint64 offset = s.servoValid ? s.modelOffset + qint64(double(now - s.modelLocal) * s.rate)
                                       : s.anchorPtp - s.anchorLocal;
    s.anchorLocal = now;
    s.anchorPtp = now + offset;
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
    if (s.sampleCount >= LockSampleCount && std::abs(s.lastError) < LockThreshold)
        s.locked = true;
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
    return state->anchorPtp + (local - state->anchorLocal);
}

qint64 PtpClock::now() const
{
    if (!state)
        return utcAsTai();
    std::lock_guard guard(state->lock);
    const qint64 local = localNs();
    if (state->servoValid && !state->isMaster)
        return local + state->modelOffset + qint64(double(local - state->modelLocal) * state->rate);
    return freeRunningPtp(local);
}

QByteArray PtpClock::grandmasterIdentity() const
{
    if (!state)
        return presetIdentity;
    std::lock_guard guard(state->lock);
    if (!state->isMaster && state->grandmasterId)
        return toBytes(*state->grandmasterId);
    return toBytes(state->identity);
}

PtpStatus PtpClock::status() const
{
    PtpStatus status;
    if (!state)
        return status;
    std::lock_guard guard(state->lock);
    status.running = true;
    status.locked = state->locked;
    status.grandmasterHere = state->isMaster;
    if (state->isMaster)
        status.grandmaster = formatClockIdentity(toBytes(state->identity));
    else if (state->grandmasterId)
        status.grandmaster = formatClockIdentity(toBytes(*state->grandmasterId));
    status.domain = state->domain;
    status.offsetUs = state->lastError / 1000;
    status.pathDelayUs = double(state->pathDelay) / 1000;
    status.ratePpm = state->rate * 1e6;
    status.sampleCount = state->sampleCount;
    status.steps = state->steps;
    return status;
}

int PtpClock::foreignMasterCount() const
{
    if (!state)
        return 0;
    std::lock_guard guard(state->lock);
    return int(state->foreignMasters.size());
}
