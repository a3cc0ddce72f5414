#pragma once

#include "selftest/NdiOrderCheck.h"

#include <QJsonArray>
#include <QString>
#include <memory>

class NdiApi;
class OmtApi;
struct omt_receive_s;

// Receives the program's own NDI and OMT senders back in process, through the same runtimes, and
// keeps what the network tests judge them by: counts of 1920x1080 pictures and of stereo 48 kHz
// sound, sound peaks, whether black arrived, frame order and timestamp traces.
class NetworkLoopback
{
public:
    struct Protocol
    {
        bool black = false;
        double lastMean = -1.0;
        int videoFrames = 0;
        int audioFrames = 0;
        double audioPeak = 0.0;
        QJsonArray trace;
    };

    NetworkLoopback(std::shared_ptr<NdiApi> ndi, std::shared_ptr<OmtApi> omt);
    ~NetworkLoopback();
    NetworkLoopback(const NetworkLoopback &) = delete;
    NetworkLoopback &operator=(const NetworkLoopback &) = delete;

    // A receiver of the named source; a protocol without one is never polled.
    bool createNdiReceiver(const QString &sourceName);
    bool createOmtReceiver(const QString &address);
    void destroyReceivers();

    // One capture from each receiver. True once both protocols delivered at least 8 pictures and
    // 8 sound frames, with sound above 0.001.
    bool receiveStep();
    bool complete() const;

    // Samples 49 pixels of a 4-byte-per-pixel picture (rows and columns at 1/8 .. 7/8) and stores
    // the mean of their first three bytes. False without a result for missing data, a size below 1
    // or a stride below width x 4; else whether the mean is below 3.
    static bool probeBlackFrame(const unsigned char *data, int width, int height, int strideBytes, double *mean);

    Protocol ndi;
    Protocol omt;
    quint32 ndiFourcc = 0;
    NdiOrderCheck ndiOrder;
    bool ndiOrderOk = true;
    qint64 ndiLastVideoTimecode = -1;
    bool ndiRawTimecodeStrict = true;
    int ndiRawTimecodeRepeats = 0;
    qint64 ndiLastAudioTimecode = -1;
    bool ndiAudioTimecodeStrict = true;
    int omtCodec = 0;
    qint64 omtLastTimestamp = -1;
    bool omtTimestampsStrict = true;
    int omtViolations = 0;

private:
    void receiveNdi();
    void receiveOmt();

    std::shared_ptr<NdiApi> m_ndiApi;
    std::shared_ptr<OmtApi> m_omtApi;
    void *m_ndiReceiver = nullptr;
    omt_receive_s *m_omtReceiver = nullptr;
};
