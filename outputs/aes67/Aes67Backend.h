#pragma once

#include "outputs/aes67/Aes67Config.h"
#include "outputs/aes67/Aes67Stream.h"
#include "outputs/audio/AudioOutputBackend.h"
#include "outputs/aes67/PtpClock.h"

#include <QByteArray>
#include <QString>

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class LocalAudioEngine;

// The AES67 network output of the local audio engine: the engine's channels as RTP streams of up to
// eight channels (L24, 48 kHz, 48 frames = 1 ms per packet) to IPv4 multicast groups, stamped with
// the time of the PTPv2 clock it owns, and every stream announced by SAP with its SDP.
//
// The sender thread wakes once per packet on absolute deadlines of the monotonic clock, placed
// where the next packet falls due in PTP time, renders 48 frames through LocalAudioEngine::render
// and sends one packet per stream. open(), stop(), status() and description() run on the engine's
// thread.
class Aes67Backend : public AudioOutputBackend
{
public:
    static constexpr int FramesPerPacket = 48;
    static constexpr int SampleRate = 48000;
    static constexpr int MaxCatchUpCycles = 64;
    static constexpr qint64 ReanchorSamples = 4800;
    static constexpr qint64 AnnounceIntervalNs = 30'000'000'000;
    static constexpr char SapGroup[] = "239.255.255.255";

    explicit Aes67Backend(LocalAudioEngine *engine);
    ~Aes67Backend() override;

    // device is the IPv4 address of the sending interface; bufferFrames is not used.
    bool open(const QString &device, int bufferFrames, QString *error) override;
    void stop() override;
    int channels() const override { return m_config.channels; }
    int bufferFrames() const override { return FramesPerPacket; }
    QString description() const override;
    QJsonObject status() const override;

    // The PTP time of the packets (tests and benchmarks compare against it).
    const PtpClock &ptpClock() const { return m_clock; }

    // Test seam: fills each packet's 48 frames of all channels in place of the engine. Set before
    // open.
    using RenderHook = std::function<void(float *out, int frames, int channels)>;
    void setRenderHook(RenderHook hook) { m_renderHook = std::move(hook); }

private:
    bool openStream(int index, const in_addr &interface, QString *error);
    int openSenderSocket(const in_addr &interface) const;
    void closeSockets();
    void run();
    void announceAll(bool deletion, const PtpClockIdentity &grandmaster);
    void sendCycle(std::vector<float> &buffer, std::vector<uchar> &packet, qint64 rtpPosition);
    void noteSendFailure(const QString &destination, int errorCode);

    LocalAudioEngine *m_engine;
    RenderHook m_renderHook;
    Aes67Config m_config;
    PtpClock m_clock;
    std::vector<Aes67Stream> m_streams;
    int m_sapSocket = -1;
    sockaddr_in m_sapDestination{};
    std::thread m_sender;
    std::atomic<bool> m_stopRequested{false};
    // Cycles in which every stream's packet was taken by the network stack.
    std::atomic<qint64> m_packets{0};
    std::atomic<qint64> m_latePackets{0};
    std::atomic<qint64> m_reanchors{0};
    // Datagrams (RTP or SAP) that sendto refused, and why the last one was refused.
    std::atomic<qint64> m_sendErrors{0};
    mutable std::mutex m_errorLock;
    QString m_sendError;
    int m_lastErrorCode = 0; // sender thread only: the failure already described in m_sendError
};
