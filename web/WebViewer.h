#pragma once

#include "web/WebRtcConfiguration.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

typedef struct _GstElement GstElement;

// One browser watching one web stream: a small GStreamer pipeline of its own, the H.264 access
// units and Opus packets of the stream entering through two app sources, an RTP payloader each and
// one webrtcbin (max-bundle, send-only). The viewer builds its complete, non-trickle offer (all
// ICE candidates gathered on the configured addresses and port range), checks and applies the
// browser's answer, stamps the playout-delay header extension on every video packet, keeps NACK
// on the video section only and turns a picture loss indication into a key-frame request.
//
// Threads: created, answered and closed on the GUI thread; the encoder thread pushes media; the
// webrtcbin threads raise the callbacks, which only store atomics or hand off to the owner (the
// owner queues them to the GUI thread). Callbacks hold the viewer weakly.
class WebViewer : public std::enable_shared_from_this<WebViewer>
{
public:
    struct Callbacks
    {
        std::function<void(const QString &sdp)> offer;    // once, when ICE gathering is complete
        std::function<void()> closed;                     // on Disconnected, Failed or Closed
        std::function<void()> failed;                     // the offer cannot be made
        std::function<void()> keyframeRequested;          // track opened, PLI or FIR
    };

    static constexpr int videoPayloadType = 96;
    static constexpr int audioPayloadType = 111;
    static constexpr int playoutDelayExtensionId = 6;

    // Starts GStreamer once per process, its WebRTC elements logging warnings and errors only.
    static void initialiseLibrary();

    WebViewer(const QString &session, quint32 videoSsrc);
    ~WebViewer();
    WebViewer(const WebViewer &) = delete;
    WebViewer &operator=(const WebViewer &) = delete;

    // Builds the pipeline and starts the offer; false with *error when the peer connection cannot
    // be made (nothing is left running then).
    bool start(const WebRtcConfiguration &configuration, const Callbacks &callbacks, QString *error);
    // Checks the browser's answer against the offer and applies it; true only when webrtcbin
    // accepted it.
    bool applyAnswer(const QString &sdp, QString *error);
    // Stops the pipeline; the closed callback follows. Safe to call more than once.
    void close();

    void sendVideo(const QByteArray &accessUnit, double seconds);
    void sendAudio(const QByteArray &packet, double seconds);

    QString session() const { return m_session; }
    quint32 videoSsrc() const { return m_videoSsrc; }
    quint32 audioSsrc() const { return m_videoSsrc + 1; }
    QString offer() const;
    // A track opened or the browser lost a picture: the next frame is a key frame.
    void keyframeNeeded();

    std::atomic<bool> videoOpen{false};
    std::atomic<bool> audioOpen{false};
    std::atomic<bool> connected{false};

    // A browser answer is usable only when it is an SDP document (v=0) whose media sections are
    // the offer's in order, and which carries ICE credentials and a DTLS fingerprint. Empty when it
    // is, else why not.
    static QString answerProblem(const QString &offer, const QString &answer);
    // The caps the sections are offered and sent with.
    static QByteArray videoCaps(quint32 ssrc);
    static QByteArray audioCaps(quint32 ssrc);

private:
    static void onOfferCreated(struct _GstPromise *promise, void *data);
    static void onGatheringState(struct _GObject *object, struct _GParamSpec *spec, void *data);
    static void onConnectionState(struct _GObject *object, struct _GParamSpec *spec, void *data);
    void push(GstElement *const &source, const QByteArray &payload, double seconds);
    void fail();

    const QString m_session;
    const quint32 m_videoSsrc;
    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    GstElement *m_videoSource = nullptr;
    GstElement *m_audioSource = nullptr;
    Callbacks m_callbacks;
    mutable std::mutex m_mutex;   // guards the offer text, the time anchor and the elements
    QString m_offer;
    bool m_offerSent = false;
    bool m_anchored = false;
    qint64 m_anchorNs = 0;        // stream time minus pipeline running time
    std::atomic<bool> m_closed{false};
};
