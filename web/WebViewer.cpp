#include "web/WebViewer.h"

#include <QRegularExpression>
#include <QStringList>

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <mutex>

namespace {

using WeakViewer = std::weak_ptr<WebViewer>;

void freeWeak(gpointer data, GClosure *)
{
    delete static_cast<WeakViewer *>(data);
}

void freeWeakNotify(gpointer data)
{
    delete static_cast<WeakViewer *>(data);
}

std::shared_ptr<WebViewer> lockViewer(gpointer data)
{
    return static_cast<WeakViewer *>(data)->lock();
}

const char *const playoutDelayUri = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay";

// Playout delay: minimum 0 and maximum 10 units of 10 ms, so the browser keeps at most 100 ms.
void stampPlayoutDelay(GstBuffer *buffer)
{
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READWRITE, &rtp))
        return;
    const guint8 delay[3] = {0x00, 0x00, 0x0A};
    gst_rtp_buffer_add_extension_onebyte_header(&rtp, WebViewer::playoutDelayExtensionId, delay, sizeof delay);
    gst_rtp_buffer_unmap(&rtp);
}

GstPadProbeReturn onVideoRtp(GstPad *, GstPadProbeInfo *info, gpointer)
{
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        stampPlayoutDelay(buffer);
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList *list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        gst_buffer_list_foreach(
            list,
            [](GstBuffer **buffer, guint, gpointer) -> gboolean {
                *buffer = gst_buffer_make_writable(*buffer);
                stampPlayoutDelay(*buffer);
                return TRUE;
            },
            nullptr);
        GST_PAD_PROBE_INFO_DATA(info) = list;
    }
    return GST_PAD_PROBE_OK;
}

// webrtcbin's RTP session turns a PLI or FIR from the browser into an upstream force-key-unit event.
GstPadProbeReturn onUpstreamEvent(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    const GstStructure *s = event ? gst_event_get_structure(event) : nullptr;
    if (s && gst_structure_has_name(s, "GstForceKeyUnit")) {
        if (auto viewer = lockViewer(data))
            viewer->keyframeNeeded();
    }
    return GST_PAD_PROBE_OK;
}

QStringList sdpLines(const QString &text)
{
    return text.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
}

// The media sections of an SDP text: the media type and mid of every m= line, in order.
QStringList mediaSections(const QString &text)
{
    QStringList sections;
    for (const QString &line : sdpLines(text)) {
        if (line.startsWith(QLatin1String("m=")))
            sections << line.mid(2).section(QLatin1Char(' '), 0, 0);
        else if (line.startsWith(QLatin1String("a=mid:")) && !sections.isEmpty())
            sections.last() += QLatin1Char('/') + line.mid(6).trimmed();
    }
    return sections;
}

// True when every media section, or the session part above them, carries an attribute.
bool everySectionHas(const QString &text, const QString &prefix)
{
    bool sessionHas = false;
    bool inMedia = false;
    bool current = false;
    bool all = true;
    for (const QString &line : sdpLines(text)) {
        if (line.startsWith(QLatin1String("m="))) {
            if (inMedia)
                all = all && (current || sessionHas);
            inMedia = true;
            current = false;
        } else if (line.startsWith(prefix) && line.size() > prefix.size()) {
            (inMedia ? current : sessionHas) = true;
        }
    }
    if (inMedia)
        all = all && (current || sessionHas);
    return inMedia && all;
}

} // namespace

void WebViewer::initialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        // Only warnings and errors of the WebRTC elements reach the log.
        gst_debug_set_threshold_for_name("webrtc*", GST_LEVEL_WARNING);
    });
}

WebViewer::WebViewer(const QString &session, quint32 videoSsrc) : m_session(session), m_videoSsrc(videoSsrc)
{
}

WebViewer::~WebViewer()
{
    close();
}

QByteArray WebViewer::videoCaps(quint32 ssrc)
{
    return QStringLiteral("application/x-rtp, media=(string)video, a-mid=(string)video, encoding-name=(string)H264, payload=(int)96, "
                          "clock-rate=(int)90000, profile-level-id=(string)42e033, packetization-mode=(string)1, "
                          "level-asymmetry-allowed=(string)1, rtcp-fb-nack-pli=(boolean)true, "
                          "rtcp-fb-ccm-fir=(boolean)true, extmap-6=(string)\"%1\", ssrc=(uint)%2")
        .arg(QLatin1String(playoutDelayUri))
        .arg(ssrc)
        .toLatin1();
}

QByteArray WebViewer::audioCaps(quint32 ssrc)
{
    // One bit rate for the offer and the encoder (WebOpusEncoder::streamBitrate).
    return QStringLiteral("application/x-rtp, media=(string)audio, a-mid=(string)audio, encoding-name=(string)OPUS, payload=(int)111, "
                          "clock-rate=(int)48000, encoding-params=(string)2, minptime=(string)10, "
                          "maxaveragebitrate=(string)128000, stereo=(string)1, sprop-stereo=(string)1, "
                          "useinbandfec=(string)1, ssrc=(uint)%1")
        .arg(ssrc)
        .toLatin1();
}

QString WebViewer::answerProblem(const QString &offer, const QString &answer)
{
    const QStringList lines = sdpLines(answer);
    if (lines.isEmpty() || lines.first().trimmed() != QLatin1String("v=0"))
        return QStringLiteral("The answer is not an SDP document.");
    if (mediaSections(answer) != mediaSections(offer))
        return QStringLiteral("The answer's media sections do not match the offer.");
    if (!everySectionHas(answer, QStringLiteral("a=ice-ufrag:")) || !everySectionHas(answer, QStringLiteral("a=ice-pwd:")))
        return QStringLiteral("The answer carries no ICE credentials.");
    if (!everySectionHas(answer, QStringLiteral("a=fingerprint:")))
        return QStringLiteral("The answer carries no DTLS fingerprint.");
    return {};
}

QString WebViewer::offer() const
{
    std::lock_guard lock(m_mutex);
    return m_offer;
}

void WebViewer::keyframeNeeded()
{
    if (m_callbacks.keyframeRequested)
        m_callbacks.keyframeRequested();
}

bool WebViewer::start(const WebRtcConfiguration &configuration, const Callbacks &callbacks, QString *error)
{
    initialiseLibrary();
    m_callbacks = callbacks;
    const QString description =
        QStringLiteral(
            "webrtcbin name=webrtc bundle-policy=max-bundle latency=0 "
            "appsrc name=video is-live=true format=time do-timestamp=false emit-signals=false "
            "caps=\"video/x-h264,stream-format=byte-stream,alignment=au\" "
            "! rtph264pay name=videopay pt=96 config-interval=-1 aggregate-mode=zero-latency mtu=1200 ssrc=%1 "
            "! capssetter name=videocaps replace=true ! webrtc.sink_0 "
            "appsrc name=audio is-live=true format=time do-timestamp=false emit-signals=false "
            "caps=\"audio/x-opus,rate=48000,channels=2,channel-mapping-family=0\" "
            "! rtpopuspay name=audiopay pt=111 ssrc=%2 "
            "! capssetter name=audiocaps replace=true ! webrtc.sink_1")
            .arg(m_videoSsrc)
            .arg(audioSsrc());
    GError *parseError = nullptr;
    GstElement *pipeline = gst_parse_launch(description.toUtf8().constData(), &parseError);
    if (!pipeline || parseError) {
        *error = QStringLiteral("The WebRTC pipeline cannot be built: %1")
                     .arg(QString::fromUtf8(parseError ? parseError->message : "unknown element"));
        if (parseError)
            g_error_free(parseError);
        if (pipeline)
            gst_object_unref(pipeline);
        return false;
    }
    m_pipeline = pipeline;
    m_webrtc = gst_bin_get_by_name(GST_BIN(pipeline), "webrtc");
    m_videoSource = gst_bin_get_by_name(GST_BIN(pipeline), "video");
    m_audioSource = gst_bin_get_by_name(GST_BIN(pipeline), "audio");

    // Sender reports pair each RTP time with the time its buffer was captured, not the time it
    // left: the sound reaches the sender tens of milliseconds after its picture, and reports by
    // send time would tell the browser that it belongs to a later picture than it does.
    if (GstElement *rtpbin = gst_bin_get_by_name(GST_BIN(m_webrtc), "rtpbin")) {
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(rtpbin), "rtcp-sync-send-time"))
            g_object_set(rtpbin, "rtcp-sync-send-time", FALSE, nullptr);
        gst_object_unref(rtpbin);
    }

    GstElement *ice = nullptr;
    g_object_get(m_webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        g_object_set(ice, "min-rtp-port", guint(configuration.minPort), "max-rtp-port", guint(configuration.maxPort),
                     nullptr);
        for (const QString &address : configuration.localAddresses) {
            gboolean added = FALSE;
            g_signal_emit_by_name(ice, "add-local-ip-address", address.toUtf8().constData(), &added);
        }
        gst_object_unref(ice);
    }

    // The payloaders describe what they send (the encoder's own profile-level-id, for one); the
    // sections are offered and sent with the caps below instead.
    const QByteArray caps[2] = {videoCaps(m_videoSsrc), audioCaps(audioSsrc())};
    const char *setters[2] = {"videocaps", "audiocaps"};
    for (int index = 0; index < 2; ++index) {
        GstElement *setter = gst_bin_get_by_name(GST_BIN(pipeline), setters[index]);
        GstCaps *fixed = gst_caps_from_string(caps[index].constData());
        g_object_set(setter, "caps", fixed, nullptr);
        gst_caps_unref(fixed);
        gst_object_unref(setter);
    }
    for (int index = 0; index < 2; ++index) {
        GstWebRTCRTPTransceiver *transceiver = nullptr;
        g_signal_emit_by_name(m_webrtc, "get-transceiver", index, &transceiver);
        if (!transceiver)
            continue;
        GstCaps *preferences = gst_caps_from_string(caps[index].constData());
        // NACK on the video section only: browsers reject an offer with it on Opus.
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences",
                     preferences, "do-nack", index == 0, nullptr);
        gst_caps_unref(preferences);
        gst_object_unref(transceiver);
    }
    for (const char *pad : {"sink_0", "sink_1"}) {
        if (GstPad *sink = gst_element_get_static_pad(m_webrtc, pad)) {
            if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "msid"))
                g_object_set(sink, "msid", "zelvo", nullptr);
            gst_object_unref(sink);
        }
    }

    GstElement *payloader = gst_bin_get_by_name(GST_BIN(pipeline), "videopay");
    GstPad *payloaded = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(payloaded, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      onVideoRtp, nullptr, nullptr);
    GstPad *intake = gst_element_get_static_pad(payloader, "sink");
    gst_pad_add_probe(intake, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstreamEvent, new WeakViewer(weak_from_this()),
                      freeWeakNotify);
    gst_object_unref(intake);
    gst_object_unref(payloaded);
    gst_object_unref(payloader);

    // webrtcbin paces each section against the pipeline clock with a clocksync element; the encoder
    // thread already sends at the stream's rate, and waiting for a time stamp only adds delay.
    g_signal_connect(pipeline, "deep-element-added",
                     G_CALLBACK(+[](GstBin *, GstBin *, GstElement *element, gpointer) {
                         GstElementFactory *factory = gst_element_get_factory(element);
                         if (factory && g_str_equal(GST_OBJECT_NAME(factory), "clocksync"))
                             g_object_set(element, "sync", FALSE, nullptr);
                     }),
                     nullptr);
    g_signal_connect_data(m_webrtc, "notify::ice-gathering-state", G_CALLBACK(&WebViewer::onGatheringState),
                          new WeakViewer(weak_from_this()), freeWeak, GConnectFlags(0));
    g_signal_connect_data(m_webrtc, "notify::connection-state", G_CALLBACK(&WebViewer::onConnectionState),
                          new WeakViewer(weak_from_this()), freeWeak, GConnectFlags(0));

    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        *error = QStringLiteral("The WebRTC pipeline cannot start.");
        close();
        return false;
    }
    GstPromise *promise = gst_promise_new_with_change_func(&WebViewer::onOfferCreated,
                                                           new WeakViewer(weak_from_this()), freeWeakNotify);
    g_signal_emit_by_name(m_webrtc, "create-offer", nullptr, promise);
    return true;
}

void WebViewer::onOfferCreated(GstPromise *promise, void *data)
{
    auto viewer = lockViewer(data);
    GstWebRTCSessionDescription *offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        if (const GstStructure *reply = gst_promise_get_reply(promise))
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    }
    gst_promise_unref(promise);
    if (!viewer || viewer->m_closed) {
        if (offer)
            gst_webrtc_session_description_free(offer);
        return;
    }
    if (!offer) {
        viewer->fail();
        return;
    }
    g_signal_emit_by_name(viewer->m_webrtc, "set-local-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);
}

void WebViewer::onGatheringState(GObject *object, GParamSpec *, void *data)
{
    auto viewer = lockViewer(data);
    if (!viewer || viewer->m_closed)
        return;
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(object, "ice-gathering-state", &state, nullptr);
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE)
        return;
    GstWebRTCSessionDescription *local = nullptr;
    g_object_get(object, "local-description", &local, nullptr);
    if (!local) {
        viewer->fail();
        return;
    }
    gchar *text = gst_sdp_message_as_text(local->sdp);
    const QString sdp = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(local);
    {
        std::lock_guard lock(viewer->m_mutex);
        if (viewer->m_offerSent)
            return;
        viewer->m_offerSent = true;
        viewer->m_offer = sdp;
    }
    // Without a single candidate no browser can reach this viewer (for example when no port of the
    // range could be bound).
    if (!sdp.contains(QLatin1String("a=candidate:"))) {
        viewer->fail();
        return;
    }
    if (viewer->m_callbacks.offer)
        viewer->m_callbacks.offer(sdp);
}

void WebViewer::onConnectionState(GObject *object, GParamSpec *, void *data)
{
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(object, "connection-state", &state, nullptr);
    auto viewer = lockViewer(data);
    if (!viewer)
        return;
    const bool up = state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED;
    viewer->connected = up;
    viewer->videoOpen = up;
    viewer->audioOpen = up;
    if (up) {
        viewer->keyframeNeeded();
    } else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED
               || state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED
               || state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
        if (viewer->m_callbacks.closed)
            viewer->m_callbacks.closed();
    }
}

void WebViewer::fail()
{
    if (m_callbacks.failed)
        m_callbacks.failed();
}

bool WebViewer::applyAnswer(const QString &sdp, QString *error)
{
    const QString offerText = offer();
    if (m_closed || offerText.isEmpty()) {
        *error = QStringLiteral("The viewer has no offer to answer.");
        return false;
    }
    const QString problem = answerProblem(offerText, sdp);
    if (!problem.isEmpty()) {
        *error = problem;
        return false;
    }
    GstSDPMessage *message = nullptr;
    gst_sdp_message_new(&message);
    const QByteArray text = sdp.toUtf8();
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8 *>(text.constData()), guint(text.size()), message)
        != GST_SDP_OK) {
        gst_sdp_message_free(message);
        *error = QStringLiteral("The answer cannot be parsed.");
        return false;
    }
    GstWebRTCSessionDescription *answer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message);
    GstPromise *promise = gst_promise_new();
    g_signal_emit_by_name(m_webrtc, "set-remote-description", answer, promise);
    gst_webrtc_session_description_free(answer);
    const GstPromiseResult result = gst_promise_wait(promise);
    bool accepted = result == GST_PROMISE_RESULT_REPLIED;
    if (accepted) {
        const GstStructure *reply = gst_promise_get_reply(promise);
        if (reply && gst_structure_has_field(reply, "error")) {
            GError *failure = nullptr;
            gst_structure_get(reply, "error", G_TYPE_ERROR, &failure, nullptr);
            *error = QStringLiteral("The answer was refused: %1")
                         .arg(QString::fromUtf8(failure ? failure->message : "unknown reason"));
            if (failure)
                g_error_free(failure);
            accepted = false;
        }
    } else {
        *error = QStringLiteral("The answer was not applied.");
    }
    gst_promise_unref(promise);
    return accepted;
}

void WebViewer::close()
{
    if (m_closed.exchange(true))
        return;
    const bool wasUp = connected.exchange(false);
    videoOpen = false;
    audioOpen = false;
    if (m_pipeline) {
        g_signal_handlers_disconnect_matched(m_webrtc, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<gpointer>(&WebViewer::onConnectionState), nullptr);
        g_signal_handlers_disconnect_matched(m_webrtc, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<gpointer>(&WebViewer::onGatheringState), nullptr);
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        std::lock_guard lock(m_mutex);
        gst_object_unref(m_videoSource);
        gst_object_unref(m_audioSource);
        gst_object_unref(m_webrtc);
        gst_object_unref(m_pipeline);
        m_pipeline = m_webrtc = m_videoSource = m_audioSource = nullptr;
    }
    // The peer connection is closed now, as a browser would see it.
    (void)wasUp;
    if (m_callbacks.closed)
        m_callbacks.closed();
}

void WebViewer::sendVideo(const QByteArray &accessUnit, double seconds)
{
    if (videoOpen)
        push(m_videoSource, accessUnit, seconds);
}

void WebViewer::sendAudio(const QByteArray &packet, double seconds)
{
    if (audioOpen)
        push(m_audioSource, packet, seconds);
}

void WebViewer::push(GstElement *const &source, const QByteArray &payload, double seconds)
{
    // Stream seconds become pipeline running time through one anchor taken at the first packet, so
    // audio and video keep the spacing the encoder thread gave them. The lock keeps close() from
    // releasing the elements during a push.
    const qint64 streamNs = qint64(seconds * 1e9);
    std::lock_guard lock(m_mutex);
    if (m_closed || !source || payload.isEmpty())
        return;
    qint64 pts = 0;
    {
        if (!m_anchored) {
            GstClock *clock = gst_element_get_clock(m_pipeline);
            const qint64 running = clock ? qint64(gst_clock_get_time(clock) - gst_element_get_base_time(m_pipeline)) : 0;
            if (clock)
                gst_object_unref(clock);
            m_anchorNs = streamNs - running;
            m_anchored = true;
        }
        pts = streamNs - m_anchorNs;
    }
    if (pts < 0)
        return;
    GstBuffer *buffer = gst_buffer_new_memdup(payload.constData(), gsize(payload.size()));
    GST_BUFFER_PTS(buffer) = GstClockTime(pts);
    GST_BUFFER_DTS(buffer) = GstClockTime(pts);
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
}
