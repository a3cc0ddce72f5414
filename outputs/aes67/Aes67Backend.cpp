#include "outputs/aes67/Aes67Backend.h"

#include "outputs/aes67/Aes67Addresses.h"
#include "outputs/aes67/Aes67RtpPacket.h"
#include "outputs/aes67/Aes67Sdp.h"
#include "outputs/audio/LocalAudioEngine.h"
#include "outputs/aes67/SapPacket.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

Q_LOGGING_CATEGORY(lcAes67, "zelvo.audio.aes67")

namespace {

constexpr qint64 Second = 1'000'000'000;
// The sender wakes this long before the PTP time of the next packet's first sample. A packet goes
// out in the wake that finds it no more than half a packet (0.5 ms) ahead, and the one after it
// only from half a packet late on, so a wake that comes up to 0.6 ms late (sleeps never end early)
// still sends exactly one packet.
constexpr qint64 WakeLeadNs = 100'000;
constexpr qint64 MinSleepNs = 50'000;
// Bounds every sleep, so a clock step or a stop request is seen within 2 ms.
constexpr qint64 MaxSleepNs = 2'000'000;
constexpr int SenderPriority = 80;
constexpr qint64 TightReadingNs = 20'000;

std::atomic<bool> priorityWarningLogged{false};

// 48 kHz samples of a PTP time in nanoseconds, without overflowing 64 bits.
qint64 samplesAt(qint64 ptpNs)
{
    return (ptpNs / Second) * Aes67Backend::SampleRate + ((ptpNs % Second) * Aes67Backend::SampleRate) / Second;
}

qint64 nanosecondsAt(qint64 samples)
{
    return (samples / Aes67Backend::SampleRate) * Second + (samples % Aes67Backend::SampleRate) * Second / Aes67Backend::SampleRate;
}

void raiseSenderPriority()
{
    sched_param param{};
    param.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), SenderPriority);
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0 && !priorityWarningLogged.exchange(true))
        qCWarning(lcAes67, "AES67 sender thread runs at normal priority: %s", qPrintable(qt_error_string(error)));
}

void sleepUntil(qint64 deadlineNs)
{
    timespec until{};
    until.tv_sec = time_t(deadlineNs / Second);
    until.tv_nsec = long(deadlineNs % Second);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// PTP time and the local time it was read at. Preemption between the two readings would shift
// every deadline computed from the pair, so a pair that took long is read again (three tries at
// most; the tightest one counts).
qint64 readClocks(const PtpClock &clock, qint64 *localNs)
{
    qint64 ptpNs = 0;
    qint64 best = std::numeric_limits<qint64>::max();
    for (int attempt = 0; attempt < 3 && best > TightReadingNs; ++attempt) {
        const qint64 before = monotonicNs();
        const qint64 ptp = clock.now();
        const qint64 after = monotonicNs();
        if (after - before < best) {
            best = after - before;
            ptpNs = ptp;
            *localNs = before + (after - before) / 2;
        }
    }
    return ptpNs;
}

sockaddr_in socketAddress(const in_addr &address, int port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(quint16(port));
    result.sin_addr = address;
    return result;
}

} // namespace

Aes67Backend::Aes67Backend(LocalAudioEngine *engine) : m_engine(engine)
{
}

Aes67Backend::~Aes67Backend()
{
    stop();
}

bool Aes67Backend::open(const QString &device, int bufferFrames, QString *error)
{
    Q_UNUSED(bufferFrames);
    stop();
    m_config = readAes67Config(m_engine ? m_engine->aes67Options : QJsonObject(), device);
    if (!m_clock.start(m_config.interfaceAddress, m_config.domain, m_config.ptpMode, error)) {
        stop();
        return false;
    }
    in_addr interface{};
    if (inet_pton(AF_INET, m_config.interfaceAddress.toLatin1().constData(), &interface) != 1)
        interface.s_addr = htonl(INADDR_ANY);

    const int count = (m_config.channels + Aes67RtpPacket::MaxChannels - 1) / Aes67RtpPacket::MaxChannels;
    for (int i = 0; i < count; ++i) {
        if (!openStream(i, interface, error)) {
            stop();
            return false;
        }
    }
    m_sapSocket = openSenderSocket(interface);
    in_addr sapGroup{};
    inet_pton(AF_INET, SapGroup, &sapGroup);
    m_sapDestination = socketAddress(sapGroup, SapPacket::Port);

    m_stopRequested = false;
    m_sender = std::thread([this] { run(); });
    return true;
}

bool Aes67Backend::openStream(int index, const in_addr &interface, QString *error)
{
    Aes67Stream &stream = m_streams.emplace_back();
    stream.firstChannel = Aes67RtpPacket::MaxChannels * index;
    stream.channels = std::min(Aes67RtpPacket::MaxChannels, m_config.channels - stream.firstChannel);
    if (m_config.multicast.isEmpty())
        stream.address = defaultStreamAddress(m_config.interfaceAddress, index);
    else
        stream.address = index == 0 ? m_config.multicast : offsetStreamAddress(m_config.multicast, index);

    in_addr group{};
    const bool valid = inet_pton(AF_INET, stream.address.toLatin1().constData(), &group) == 1;
    stream.socket = valid ? openSenderSocket(interface) : -1;
    if (stream.socket < 0) {
        if (error)
            *error = QStringLiteral("Invalid AES67 multicast address: ") + stream.address;
        return false;
    }
    stream.destination = socketAddress(group, Aes67Stream::Port);

    QRandomGenerator *random = QRandomGenerator::system();
    stream.ssrc = random->generate();
    stream.sequence = quint16(random->generate());
    stream.sessionId = random->generate() | 1u;
    stream.version = 1;
    stream.name = m_config.channels <= Aes67RtpPacket::MaxChannels
        ? m_config.name
        : QStringLiteral("%1 %2-%3").arg(m_config.name).arg(stream.firstChannel + 1).arg(stream.firstChannel + stream.channels);
    return true;
}

// A non-blocking UDP socket that multicasts from the interface with the configured TTL and loops
// its datagrams back to receivers on this computer. The option results are not checked: a socket
// that cannot take them still sends through the default route.
int Aes67Backend::openSenderSocket(const in_addr &interface) const
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const unsigned char ttl = quint8(m_config.ttl);
    const unsigned char loop = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    return fd;
}

void Aes67Backend::stop()
{
    m_stopRequested = true;
    if (m_sender.joinable())
        m_sender.join();
    closeSockets();
    m_clock.stop();
}

void Aes67Backend::closeSockets()
{
    for (const Aes67Stream &stream : m_streams) {
        if (stream.socket >= 0)
            ::close(stream.socket);
    }
    m_streams.clear();
    if (m_sapSocket >= 0)
        ::close(m_sapSocket);
    m_sapSocket = -1;
}

QString Aes67Backend::description() const
{
    const QString address = m_streams.empty() ? QString() : m_streams.front().address;
    return QStringLiteral("AES67 · %1 ch · %2 · 48 kHz L24 · 1 ms").arg(m_config.channels).arg(address);
}

QJsonObject Aes67Backend::status() const
{
    QJsonArray streams;
    for (const Aes67Stream &stream : m_streams) {
        streams.append(QJsonObject{
            {QStringLiteral("name"), stream.name},
            {QStringLiteral("address"), stream.address},
            {QStringLiteral("port"), Aes67Stream::Port},
            {QStringLiteral("channels"), stream.channels},
            {QStringLiteral("first_channel"), stream.firstChannel + 1},
        });
    }
    QString sendError;
    {
        std::lock_guard guard(m_errorLock);
        sendError = m_sendError;
    }
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("aes67")},
        {QStringLiteral("interface"), m_config.interfaceAddress},
        {QStringLiteral("streams"), streams},
        {QStringLiteral("packets"), QJsonValue(m_packets.load())},
        {QStringLiteral("late_packets"), QJsonValue(m_latePackets.load())},
        {QStringLiteral("reanchors"), QJsonValue(m_reanchors.load())},
        {QStringLiteral("send_errors"), QJsonValue(m_sendErrors.load())},
        {QStringLiteral("error"), sendError},
        {QStringLiteral("receiver_latency_ms"), m_config.latencyMs},
        {QStringLiteral("ptp"), m_clock.status().toJson()},
    };
}

void Aes67Backend::run()
{
    raiseSenderPriority();
    std::vector<float> buffer(size_t(FramesPerPacket) * size_t(m_config.channels), 0.0f);
    std::vector<uchar> packet(size_t(Aes67RtpPacket::sizeFor(Aes67RtpPacket::MaxChannels)));
    PtpClock::Grandmaster lastGrandmaster;
    bool announced = false;
    qint64 nextAnnounce = 0;
    qint64 nextRtp = -1;
    qint64 deadline = monotonicNs() + MaxSleepNs / 2;

    while (!m_stopRequested.load()) {
        sleepUntil(deadline);
        qint64 localNs = 0;
        const qint64 ptpNs = readClocks(m_clock, &localNs);
        const qint64 nowSamples = samplesAt(ptpNs);

        // Announced at once when the grandmaster changes or becomes known (the clock chose a
        // master, or leads); a changed SDP is a new session version, with a new SAP hash.
        const PtpClock::Grandmaster grandmaster = m_clock.grandmaster();
        if (grandmaster != lastGrandmaster) {
            if (announced && grandmaster.identity != lastGrandmaster.identity) {
                for (Aes67Stream &stream : m_streams)
                    ++stream.version;
            }
            lastGrandmaster = grandmaster;
            nextAnnounce = 0;
        }
        if (localNs >= nextAnnounce) {
            announceAll(false, grandmaster.identity);
            announced = true;
            nextAnnounce = localNs + AnnounceIntervalNs;
        }

        // A long stall or a step of the clock: jump to the clock instead of catching up.
        if (nextRtp < 0 || std::abs(nextRtp - nowSamples) > ReanchorSamples) {
            nextRtp = nowSamples - nowSamples % FramesPerPacket;
            m_reanchors.fetch_add(1);
        }
        int cycles = 0;
        while (cycles < MaxCatchUpCycles && nextRtp <= nowSamples + FramesPerPacket / 2) {
            sendCycle(buffer, packet, nextRtp);
            nextRtp += FramesPerPacket;
            ++cycles;
        }
        if (cycles > 1)
            m_latePackets.fetch_add(cycles - 1);

        deadline = localNs + std::clamp(nanosecondsAt(nextRtp) - ptpNs - WakeLeadNs, MinSleepNs, MaxSleepNs);
    }
    announceAll(true, announced ? lastGrandmaster.identity : m_clock.grandmaster().identity);
}

void Aes67Backend::sendCycle(std::vector<float> &buffer, std::vector<uchar> &packet, qint64 rtpPosition)
{
    const int total = m_config.channels;
    if (m_renderHook)
        m_renderHook(buffer.data(), FramesPerPacket, total);
    else if (m_engine)
        m_engine->render(buffer.data(), FramesPerPacket, total, qint64(FramesPerPacket) * (m_config.latencyMs + 1));
    bool allSent = true;
    for (Aes67Stream &stream : m_streams) {
        const int size = Aes67RtpPacket::sizeFor(stream.channels);
        Aes67RtpPacket::write(packet.data(), stream.sequence, quint32(rtpPosition), stream.ssrc, buffer.data(), total,
                              stream.firstChannel, stream.channels);
        const ssize_t sent = ::sendto(stream.socket, packet.data(), size_t(size), 0,
                                      reinterpret_cast<const sockaddr *>(&stream.destination), sizeof stream.destination);
        if (sent != size) {
            allSent = false;
            noteSendFailure(stream.address, sent < 0 ? errno : EMSGSIZE);
        }
        // A refused packet is a lost packet: the next one keeps its place in sequence and time.
        ++stream.sequence;
    }
    if (allSent) {
        m_packets.fetch_add(1);
        m_lastErrorCode = 0;
    }
}

void Aes67Backend::announceAll(bool deletion, const PtpClockIdentity &grandmaster)
{
    const QByteArray identity(reinterpret_cast<const char *>(grandmaster.data()), qsizetype(grandmaster.size()));
    for (const Aes67Stream &stream : m_streams) {
        const QByteArray sdp = buildSdp(stream.name, m_config.interfaceAddress, stream.address, m_config.ttl,
                                        stream.channels, m_config.domain, stream.sessionId, stream.version, identity);
        const QByteArray datagram = buildSapPacket(deletion, sapMessageIdHash(stream.sessionId, stream.version),
                                                   m_config.interfaceAddress, sdp);
        const ssize_t sent = ::sendto(m_sapSocket, datagram.constData(), size_t(datagram.size()), 0,
                                      reinterpret_cast<const sockaddr *>(&m_sapDestination), sizeof m_sapDestination);
        if (sent != datagram.size())
            noteSendFailure(QString::fromLatin1(SapGroup), sent < 0 ? errno : EMSGSIZE);
    }
}

// Counts the refused datagram; the text is rebuilt only when the reason changes, so a network that
// stays down costs no formatting per packet.
void Aes67Backend::noteSendFailure(const QString &destination, int errorCode)
{
    m_sendErrors.fetch_add(1);
    if (errorCode == m_lastErrorCode)
        return;
    m_lastErrorCode = errorCode;
    const QString text = QStringLiteral("Sending to %1 failed: %2").arg(destination, qt_error_string(errorCode));
    std::lock_guard guard(m_errorLock);
    m_sendError = text;
}
