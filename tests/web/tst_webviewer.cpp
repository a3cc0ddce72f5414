// One viewer's peer connection against a receiving webrtcbin in the same process: the answer is
// checked and applied, every video packet carries the playout-delay extension, and a picture loss
// indication from the receiver comes back as a key-frame request.
#include "web/WebH264Encoder.h"
#include "web/WebViewer.h"

#include <QImage>
#include <QTest>
#include <atomic>
#include <mutex>

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

namespace {

struct Receiver
{
    GstElement *pipeline = nullptr;
    GstElement *webrtc = nullptr;
    GstPad *videoSink = nullptr;  // the sink pad behind the video output, to send events upstream
    std::atomic<int> videoPackets{0};
    std::atomic<int> withoutDelay{0};
    std::atomic<bool> gathered{false};
    std::mutex mutex;

    ~Receiver()
    {
        if (videoSink)
            gst_object_unref(videoSink);
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }

    static GstPadProbeReturn onRtp(GstPad *, GstPadProbeInfo *info, gpointer data)
    {
        auto *self = static_cast<Receiver *>(data);
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (gst_rtp_buffer_map(GST_PAD_PROBE_INFO_BUFFER(info), GST_MAP_READ, &rtp)) {
            gpointer extension = nullptr;
            guint size = 0;
            const bool delay = gst_rtp_buffer_get_extension_onebyte_header(&rtp, 6, 0, &extension, &size) && size == 3;
            ++self->videoPackets;
            if (!delay)
                ++self->withoutDelay;
            gst_rtp_buffer_unmap(&rtp);
        }
        return GST_PAD_PROBE_OK;
    }

    static void onPad(GstElement *, GstPad *pad, gpointer data)
    {
        auto *self = static_cast<Receiver *>(data);
        if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
            return;
        GstCaps *caps = gst_pad_get_current_caps(pad);
        const gchar *media = caps ? gst_structure_get_string(gst_caps_get_structure(caps, 0), "media") : nullptr;
        const bool video = media && g_str_equal(media, "video");
        if (caps)
            gst_caps_unref(caps);
        GstElement *sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, nullptr);
        gst_bin_add(GST_BIN(self->pipeline), sink);
        gst_element_sync_state_with_parent(sink);
        GstPad *input = gst_element_get_static_pad(sink, "sink");
        gst_pad_link(pad, input);
        if (video) {
            gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Receiver::onRtp, self, nullptr);
            std::lock_guard lock(self->mutex);
            self->videoSink = GST_PAD(gst_object_ref(input));
        }
        gst_object_unref(input);
    }

    GstPromise *wait(GstPromise *promise)
    {
        gst_promise_wait(promise);
        return promise;
    }

    // Applies the offer and returns the complete answer.
    QString answer(const QString &offerText)
    {
        pipeline = gst_pipeline_new(nullptr);
        webrtc = gst_element_factory_make("webrtcbin", nullptr);
        g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
        gst_bin_add(GST_BIN(pipeline), webrtc);
        GstElement *ice = nullptr;
        g_object_get(webrtc, "ice-agent", &ice, nullptr);
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
        gst_object_unref(ice);
        g_signal_connect(webrtc, "pad-added", G_CALLBACK(&Receiver::onPad), this);
        g_signal_connect(webrtc, "notify::ice-gathering-state",
                         G_CALLBACK(+[](GObject *object, GParamSpec *, gpointer data) {
                             GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
                             g_object_get(object, "ice-gathering-state", &state, nullptr);
                             if (state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE)
                                 static_cast<Receiver *>(data)->gathered = true;
                         }),
                         this);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstSDPMessage *sdp = nullptr;
        gst_sdp_message_new_from_text(offerText.toUtf8().constData(), &sdp);
        GstWebRTCSessionDescription *offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        GstPromise *remote = gst_promise_new();
        g_signal_emit_by_name(webrtc, "set-remote-description", offer, remote);
        gst_promise_unref(wait(remote));
        gst_webrtc_session_description_free(offer);
        GstPromise *created = gst_promise_new();
        g_signal_emit_by_name(webrtc, "create-answer", nullptr, created);
        GstWebRTCSessionDescription *answer = nullptr;
        gst_structure_get(gst_promise_get_reply(wait(created)), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer,
                          nullptr);
        gst_promise_unref(created);
        GstPromise *local = gst_promise_new();
        g_signal_emit_by_name(webrtc, "set-local-description", answer, local);
        gst_promise_unref(wait(local));
        gst_webrtc_session_description_free(answer);
        if (!QTest::qWaitFor([this] { return gathered.load(); }, 8000))
            return {};
        GstWebRTCSessionDescription *description = nullptr;
        g_object_get(webrtc, "local-description", &description, nullptr);
        gchar *text = gst_sdp_message_as_text(description->sdp);
        const QString result = QString::fromUtf8(text);
        g_free(text);
        gst_webrtc_session_description_free(description);
        return result;
    }

    // A picture loss as the depayloader reports it: an upstream force-key-unit request.
    void requestKeyFrame()
    {
        std::lock_guard lock(mutex);
        GstStructure *s = gst_structure_new("GstForceKeyUnit", "all-headers", G_TYPE_BOOLEAN, TRUE, nullptr);
        gst_pad_push_event(videoSink, gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM, s));
    }
};

} // namespace

class TestWebViewer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        gst_init(nullptr, nullptr);
        qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1");
    }

    void deliversVideoWithPlayoutDelayAndAnswersPictureLoss()
    {
        std::mutex mutex;
        QString offer;
        std::atomic<int> keyframeRequests{0};
        std::atomic<int> closed{0};
        WebViewer::Callbacks callbacks;
        callbacks.offer = [&](const QString &sdp) {
            std::lock_guard lock(mutex);
            offer = sdp;
        };
        callbacks.keyframeRequested = [&] { ++keyframeRequests; };
        callbacks.closed = [&] { ++closed; };
        auto viewer = std::make_shared<WebViewer>(QStringLiteral("s1"), 1000);
        QString error;
        WebRtcConfiguration configuration;
        configuration.minPort = 0;
        configuration.maxPort = 0;
        QVERIFY2(viewer->start(configuration, callbacks, &error), qPrintable(error));
        QVERIFY(QTest::qWaitFor([&] { std::lock_guard lock(mutex); return !offer.isEmpty(); }, 8000));
        QCOMPARE(viewer->offer(), offer);

        QString refused;
        QVERIFY(!viewer->applyAnswer(QStringLiteral("v=0\r\ngarbage"), &refused));
        QVERIFY(!refused.isEmpty());

        Receiver receiver;
        const QString answer = receiver.answer(offer);
        QVERIFY(!answer.isEmpty());
        QVERIFY2(viewer->applyAnswer(answer, &error), qPrintable(error));
        QVERIFY(QTest::qWaitFor([&] { return viewer->connected.load(); }, 10000));
        QVERIFY(keyframeRequests >= 1);  // the tracks opened

        WebH264Encoder encoder;
        QVERIFY(encoder.open(320, 180, 25, 1500000, false));
        QImage picture(320, 180, QImage::Format_RGB32);
        const auto sendFrames = [&](int count, int first) {
            for (int i = first; i < first + count; ++i) {
                picture.fill(QColor::fromHsv((i * 10) % 360, 255, 255));
                bool key = false;
                viewer->sendVideo(encoder.encode(picture, qint64(i) * 40000, i == 0, &key), i * 0.04);
                QTest::qWait(40);
            }
        };
        sendFrames(25, 0);
        QVERIFY(QTest::qWaitFor([&] { return receiver.videoPackets >= 20; }, 5000));
        QCOMPARE(receiver.withoutDelay.load(), 0);

        const int before = keyframeRequests;
        receiver.requestKeyFrame();
        sendFrames(25, 25);
        QVERIFY(QTest::qWaitFor([&] { return keyframeRequests > before; }, 5000));

        viewer->close();
        QVERIFY(closed >= 1);
        QVERIFY(!viewer->connected);
    }
};

QTEST_MAIN(TestWebViewer)
#include "tst_webviewer.moc"
