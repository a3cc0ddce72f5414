#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <memory>
#include <vector>

// Turns 32-bit RGB pictures of one fixed size into H.264 access units in Annex-B form for the web
// stream's RTP payloader. libavcodec does the encoding: the graphics card's encoder (VA-API, NVENC
// or Quick Sync) when one opens with the settings, otherwise libx264 in constrained baseline with
// zero latency and constant bit rate, a key frame every two seconds and on request, and the
// sequence and picture parameter sets in front of every IDR. A hardware encoder is watched: when it
// fails or its first SPS is not baseline the owner is told to reopen in software. One instance is
// used by one thread only (its stream's encoder thread) and takes no locks.
class WebH264Encoder
{
public:
    WebH264Encoder();
    ~WebH264Encoder();
    WebH264Encoder(const WebH264Encoder &) = delete;
    WebH264Encoder &operator=(const WebH264Encoder &) = delete;

    bool open(int width, int height, int fps, int bitrate, bool tryHardware);
    // Empty when nothing was produced (closed, needing a fallback, or a picture of another size).
    QByteArray encode(const QImage &picture, qint64 timestampUs, bool keyframe, bool *isKeyframe);
    void close();

    QString name() const;
    bool isHardware() const;
    QString lastError() const { return m_lastError; }
    bool needsFallback() const { return m_needsFallback; }

    static bool containsNalUnit(const QByteArray &bytes, int type);
    // profile_idc of the first SPS behind a three-byte start code; -1 when there is none.
    static int spsProfile(const QByteArray &bytes);

    // Test seam: makes the next open believe a hardware encoder opened, so that the profile check
    // and the fallback can be exercised with the software encoder's output.
    void pretendHardwareForTesting(bool on) { m_pretendHardware = on; }

private:
    struct Session;
    bool openCodec(const char *codecName, bool hardware, int width, int height, int fps, int bitrate);
    bool receivePackets(QByteArray &out, bool *key);

    std::unique_ptr<Session> m_session;
    QString m_lastError;
    bool m_needsFallback = false;
    bool m_pretendHardware = false;
};
