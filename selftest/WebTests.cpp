#include "selftest/WebTests.h"

#include "engine/Cue.h"
#include "engine/NativeChannel.h"
#include "outputs/ProjectFps.h"
#include "outputs/network/FrameRateFraction.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"
#include "web/Nv12Conversion.h"
#include "web/WebMonitorServer.h"
#include "web/WebStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QThread>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

namespace {

const char *const scope = "In-process GStreamer webrtcbin receiver on the same computer over loopback (server "
                          "offer/client answer as in the page). Not a browser, LAN, Wi-Fi or glass-to-glass "
                          "latency qualification.";

// Waits for a GStreamer promise while the GUI thread goes on serving events.
GstPromise *waitPromise(GstPromise *promise)
{
    waitUntil([promise] { return gst_promise_wait(promise) != GST_PROMISE_RESULT_PENDING; }, 0);
    return promise;
}

// One in-process viewer: a receiving webrtcbin that answers the server's offer and counts the
// H.264 access units and Opus packets that arrive. The counters are written on GStreamer's threads
// and read by the runner without a lock.
class Client
{
public:
    Client() = default;
    ~Client()
    {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(webrtc);
            gst_object_unref(pipeline);
        }
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connect(QNetworkAccessManager &manager, const QString &base, const QString &code, int program);

    GstElement *pipeline = nullptr;
    GstElement *webrtc = nullptr;
    std::atomic<int> videoFrames{0};
    std::atomic<int> audioPackets{0};
    std::atomic<int> idrFrames{0};
    std::atomic<int> spsFrames{0};
    std::atomic<int> profileIdc{-1};
    std::atomic<bool> gatheringComplete{false};
    QString sessionId;

private:
    static void onPadAdded(GstElement *, GstPad *pad, gpointer data);
    static GstFlowReturn onVideoSample(GstAppSink *sink, gpointer data);
    static GstFlowReturn onAudioSample(GstAppSink *sink, gpointer data);
    void onVideoFrame(const QByteArray &accessUnit);
};

void Client::onVideoFrame(const QByteArray &accessUnit)
{
    ++videoFrames;
    const QList<int> types = nalUnitTypes(accessUnit);
    if (types.contains(5))
        ++idrFrames;
    if (types.contains(7)) {
        ++spsFrames;
        const qsizetype i = accessUnit.indexOf(QByteArray("\x00\x00\x01\x67", 4));
        if (i >= 0 && i + 4 < accessUnit.size())
            profileIdc = quint8(accessUnit.at(i + 4));
    }
}

GstFlowReturn Client::onVideoSample(GstAppSink *sink, gpointer data)
{
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample)
        return GST_FLOW_OK;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        static_cast<Client *>(data)->onVideoFrame(
            QByteArray(reinterpret_cast<const char *>(map.data), qsizetype(map.size)));
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstFlowReturn Client::onAudioSample(GstAppSink *sink, gpointer data)
{
    if (GstSample *sample = gst_app_sink_pull_sample(sink)) {
        ++static_cast<Client *>(data)->audioPackets;
        gst_sample_unref(sample);
    }
    return GST_FLOW_OK;
}

void Client::onPadAdded(GstElement *, GstPad *pad, gpointer data)
{
    auto *client = static_cast<Client *>(data);
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const gchar *media = gst_structure_get_string(gst_caps_get_structure(caps, 0), "media");
    const bool video = media && g_str_equal(media, "video");
    gst_caps_unref(caps);
    const char *description = video ? "rtph264depay ! video/x-h264,stream-format=byte-stream,alignment=au "
                                      "! appsink name=sink sync=false"
                                    : "rtpopusdepay ! appsink name=sink sync=false";
    GstElement *bin = gst_parse_bin_from_description(description, TRUE, nullptr);
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "sink");
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = video ? &Client::onVideoSample : &Client::onAudioSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, client, nullptr);
    gst_object_unref(sink);
    gst_bin_add(GST_BIN(client->pipeline), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad *input = gst_element_get_static_pad(bin, "sink");
    gst_pad_link(pad, input);
    gst_object_unref(input);
}

bool Client::connect(QNetworkAccessManager &manager, const QString &base, const QString &code, int program)
{
    if (pipeline) {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(webrtc);
        gst_object_unref(pipeline);
    }
    pipeline = gst_pipeline_new(nullptr);
    webrtc = gst_element_factory_make("webrtcbin", nullptr);
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    gst_bin_add(GST_BIN(pipeline), webrtc);
    gst_object_ref(webrtc);
    GstElement *ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
        gst_object_unref(ice);
    }
    g_signal_connect(webrtc, "pad-added", G_CALLBACK(&Client::onPadAdded), this);
    g_signal_connect(webrtc, "notify::ice-gathering-state",
                     G_CALLBACK(+[](GObject *object, GParamSpec *, gpointer data) {
                         GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
                         g_object_get(object, "ice-gathering-state", &state, nullptr);
                         if (state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE)
                             static_cast<Client *>(data)->gatheringComplete = true;
                     }),
                     this);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    const WebTestReply session = webTestHttp(
        manager, "POST", base + QStringLiteral("/api/session?k=%1&program=%2").arg(code).arg(program), {});
    if (session.status != 200)
        return false;
    const QJsonObject offerJson = QJsonDocument::fromJson(session.body).object();
    sessionId = offerJson.value(QStringLiteral("session")).toString();
    const QByteArray offerText = offerJson.value(QStringLiteral("sdp")).toString().toUtf8();
    GstSDPMessage *sdp = nullptr;
    gst_sdp_message_new_from_text(offerText.constData(), &sdp);
    GstWebRTCSessionDescription *offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    GstPromise *applied = waitPromise([&] {
        GstPromise *promise = gst_promise_new();
        g_signal_emit_by_name(webrtc, "set-remote-description", offer, promise);
        return promise;
    }());
    gst_promise_unref(applied);
    gst_webrtc_session_description_free(offer);

    GstPromise *created = gst_promise_new();
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, created);
    waitPromise(created);
    GstWebRTCSessionDescription *answer = nullptr;
    if (const GstStructure *reply = gst_promise_get_reply(created))
        gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    gst_promise_unref(created);
    if (!answer)
        return false;
    GstPromise *local = gst_promise_new();
    g_signal_emit_by_name(webrtc, "set-local-description", answer, local);
    waitPromise(local);
    gst_promise_unref(local);
    gst_webrtc_session_description_free(answer);

    waitUntil([this] { return gatheringComplete.load(); }, 8000);
    if (!gatheringComplete)
        return false;
    GstWebRTCSessionDescription *description = nullptr;
    g_object_get(webrtc, "local-description", &description, nullptr);
    if (!description)
        return false;
    gchar *text = gst_sdp_message_as_text(description->sdp);
    const QByteArray body(text);
    g_free(text);
    gst_webrtc_session_description_free(description);
    const WebTestReply posted = webTestHttp(
        manager, "POST", base + QStringLiteral("/api/answer?k=%1&session=%2").arg(code, sessionId), body);
    return posted.status == 204;
}

QJsonObject firstStreamStatus(const WebMonitorServer &server)
{
    return server.statusJson().value(QStringLiteral("streams")).toArray().first().toObject();
}

bool waitForStreamSize(const WebMonitorServer &server, int w, int h)
{
    return waitUntil(
        [&] {
            const QJsonObject s = firstStreamStatus(server);
            return s.value(QStringLiteral("width")).toInt() == w && s.value(QStringLiteral("height")).toInt() == h;
        },
        10000);
}

double frameRateLimit(double fps)
{
    return WebStream::effectiveRate(fps);
}

struct Rig
{
    SelfTestReport report{QString::fromLatin1(scope)};
    std::unique_ptr<NativeChannel> deck;
    std::unique_ptr<WebMonitorServer> server;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<Client> c1 = std::make_unique<Client>();
    std::unique_ptr<Client> c2 = std::make_unique<Client>();
    std::unique_ptr<QTcpSocket> probe;
    std::unique_ptr<WebMonitorServer> lanServer;
    QString base;
    QString code = QStringLiteral("plumvane31");

    WebTestReply get(const QString &path) { return webTestHttp(*manager, "GET", base + path, {}); }
    WebTestReply post(const QString &path) { return webTestHttp(*manager, "POST", base + path, {}); }
    int streamCount() const { return server->streamCount(); }

    void record(const char *name, bool pass, const QJsonObject &details = {})
    {
        report.recordResult(QString::fromLatin1(name), pass, details);
    }
};

void nv12Case(Rig &rig)
{
    QImage image(32, 16, QImage::Format_RGB32);
    image.fill(qRgb(16, 128, 235));
    std::vector<uint8_t> out(768);
    convertToNv12(image, out.data());
    const int y = out[0], u = out[512], v = out[513];
    rig.record("nv12_uses_bt709_limited_range", std::abs(y - 112) <= 2 && u >= 129 && v <= 127,
               {{QStringLiteral("y"), y}, {QStringLiteral("u"), u}, {QStringLiteral("v"), v}});
}

void accessCases(Rig &rig)
{
    const WebTestReply page = rig.get(QStringLiteral("/"));
    rig.record("serves_view_only_page",
               page.status == 200 && page.body.contains("ZELVO") && !page.body.contains("/api/cut"));

    const int without = rig.get(QStringLiteral("/api/programs")).status;
    const int wrong = without == 403 ? rig.get(QStringLiteral("/api/programs?k=wrong")).status : 0;
    rig.record("api_without_code_is_forbidden", without == 403 && wrong == 403);

    const WebTestReply list = rig.get(QStringLiteral("/api/programs?k=") + rig.code);
    const QJsonArray programs = QJsonDocument::fromJson(list.body).object().value(QStringLiteral("programs")).toArray();
    const QJsonObject first = programs.first().toObject();
    rig.record("lists_programs_with_tally",
               list.status == 200 && programs.size() == 1
                   && first.value(QStringLiteral("name")).toString() == QLatin1String("Program A")
                   && first.value(QStringLiteral("onAir")).toBool());

    const int unknown = rig.post(QStringLiteral("/api/session?k=%1&program=99").arg(rig.code)).status;
    rig.record("unknown_program_is_rejected", unknown == 404 && rig.streamCount() == 0);
    rig.record("control_endpoints_do_not_exist",
               rig.post(QStringLiteral("/api/cut?k=") + rig.code).status == 404);
}

void viewerCases(Rig &rig)
{
    Client &c1 = *rig.c1;
    const bool connected = c1.connect(*rig.manager, rig.base, rig.code, 1);
    const bool flowing = connected && waitUntil(
                                          [&] {
                                              return c1.videoFrames >= 20 && c1.audioPackets >= 20
                                                     && c1.idrFrames >= 1 && c1.spsFrames >= 1;
                                          },
                                          20000);
    rig.record("webrtc_viewer_receives_h264_and_opus", flowing,
               {{QStringLiteral("video_frames"), c1.videoFrames.load()},
                {QStringLiteral("audio_packets"), c1.audioPackets.load()},
                {QStringLiteral("idr"), c1.idrFrames.load()},
                {QStringLiteral("sps"), c1.spsFrames.load()},
                {QStringLiteral("stats"), rig.server->statusJson()}});
    rig.record("stream_is_constrained_baseline_h264", c1.profileIdc == 66,
               {{QStringLiteral("profile_idc"), c1.profileIdc.load()}});

    Client &c2 = *rig.c2;
    const bool second = c2.connect(*rig.manager, rig.base, rig.code, 1);
    const bool secondFlowing = second && waitUntil([&] { return c2.videoFrames >= 10 && c2.idrFrames >= 1; }, 15000);
    const int viewers = rig.server->viewerCount();
    const int encoders = rig.streamCount();
    rig.record("second_viewer_shares_one_encoder", secondFlowing && viewers == 2 && encoders == 1,
               {{QStringLiteral("viewers"), viewers}, {QStringLiteral("encoders"), encoders}});
}

void qualityCases(Rig &rig)
{
    Client &c1 = *rig.c1;
    const bool automatic = waitForStreamSize(*rig.server, 1920, 1080);
    QJsonObject stats = firstStreamStatus(*rig.server);
    rig.record("automatic_quality_follows_the_source",
               automatic && stats.value(QStringLiteral("bitrate")).toDouble() >= 6000000,
               {{QStringLiteral("stats"), stats}});

    *rig.server->appQuality = 1;
    const int sps = c1.spsFrames;
    bool switched = waitForStreamSize(*rig.server, 1280, 720);
    switched = switched && waitUntil([&] { return c1.spsFrames > sps && c1.videoFrames > 4; }, 10000);
    rig.record("quality_720p_switches_live", switched, {{QStringLiteral("stats"), firstStreamStatus(*rig.server)}});

    *rig.server->appQuality = 3;
    const int frames = c1.videoFrames;
    bool uhd = waitForStreamSize(*rig.server, 3840, 2160);
    uhd = uhd && waitUntil([&] { return c1.videoFrames >= frames + 10; }, 20000);
    rig.record("quality_4k_encodes_2160p", uhd && c1.profileIdc == 66,
               {{QStringLiteral("stats"), firstStreamStatus(*rig.server)},
                {QStringLiteral("frames"), c1.videoFrames - frames},
                {QStringLiteral("profile_idc"), c1.profileIdc.load()}});

    *rig.server->appQuality = 0;
    waitForStreamSize(*rig.server, 1920, 1080);

    const WebTestReply own = rig.post(QStringLiteral("/api/session?k=%1&program=1&quality=720").arg(rig.code));
    const QString session = QJsonDocument::fromJson(own.body).object().value(QStringLiteral("session")).toString();
    bool separate = waitUntil([&] { return rig.streamCount() == 2; }, 3000);
    separate = separate && waitUntil(
                               [&] {
                                   bool full = false, small = false;
                                   for (const auto &value :
                                        rig.server->statusJson().value(QStringLiteral("streams")).toArray()) {
                                       const int width = value.toObject().value(QStringLiteral("width")).toInt();
                                       full = full || width == 1920;
                                       small = small || width == 1280;
                                   }
                                   return full && small && rig.streamCount() == 2;
                               },
                               5000);
    rig.record("viewer_quality_gets_its_own_encoder", own.status == 200 && separate,
               {{QStringLiteral("encoders"), rig.streamCount()}});
    rig.post(QStringLiteral("/api/close?k=%1&session=%2").arg(rig.code, session));
    waitUntil([&] { return rig.streamCount() == 1; }, 3000);
}

void frameRateCase(Rig &rig)
{
    const bool fractions = frameRateFraction(23.976023976023978) == FrameRateFraction{24000, 1001}
                           && frameRateFraction(25) == FrameRateFraction{25000, 1000}
                           && frameRateFraction(59.94005994005994) == FrameRateFraction{60000, 1001};
    projectFps = 50;
    const bool fifty = std::fabs(frameRateLimit(projectFps.load()) - 25) <= 0.01;
    projectFps = 23.976023976023978;
    const bool film = std::fabs(frameRateLimit(projectFps.load()) - 23.976) <= 0.01;
    projectFps = 25;
    pump(1500);
    const double e0 = firstStreamStatus(*rig.server).value(QStringLiteral("encoded_frames")).toDouble();
    pump(3000);
    const double e1 = firstStreamStatus(*rig.server).value(QStringLiteral("encoded_frames")).toDouble();
    const double rate = (e1 - e0) / 3.0;
    const int limit = firstStreamStatus(*rig.server).value(QStringLiteral("fps_limit")).toInt();
    rig.record("project_frame_rate_paces_the_web_monitor",
               fractions && fifty && film && rate >= 8 && rate <= 25.7 && limit == 25,
               {{QStringLiteral("encoded_per_s"), rate}, {QStringLiteral("fps_limit"), limit}});
    projectFps = 0;
}

void pauseCase(Rig &rig)
{
    rig.deck->togglePlayback();
    waitUntil([&] { return !rig.deck->isPlaying(); }, 3000);
    const int frames = rig.c1->videoFrames;
    QThread::msleep(10);
    pump(1600);
    const int since = rig.c1->videoFrames - frames;
    rig.record("paused_program_keeps_viewers_fed", since > 1, {{QStringLiteral("frames_while_paused"), since}});
    rig.deck->togglePlayback();
}

void codeCases(Rig &rig)
{
    const QString newCode = QStringLiteral("figtree58");
    rig.server->setAccessCode(newCode);
    waitUntil([&] { return rig.server->viewerCount() == 0; }, 3000);
    bool pass = rig.server->viewerCount() == 0 && rig.streamCount() == 0;
    pass = pass && rig.get(QStringLiteral("/api/programs?k=") + rig.code).status == 403;
    pass = pass && rig.get(QStringLiteral("/api/programs?k=") + newCode).status == 200;
    rig.record("new_code_disconnects_viewers_and_rejects_old_code", pass);
    rig.c2.reset();
    rig.c1 = std::make_unique<Client>();
    rig.code = newCode;

    Client &c1 = *rig.c1;
    const bool connected = c1.connect(*rig.manager, rig.base, rig.code, 1);
    waitUntil([&] { return c1.videoFrames > 2; }, 10000);
    rig.server->closeProgram(1);
    rig.record("removed_program_closes_its_stream",
               connected && c1.videoFrames > 2 && rig.server->viewerCount() == 0 && rig.streamCount() == 0);
    rig.c1.reset();

    int last = 0;
    for (int i = 0; i < 25; ++i)
        last = rig.get(QStringLiteral("/api/programs?k=guess%1").arg(i)).status;
    const int right = last == 429 ? rig.get(QStringLiteral("/api/programs?k=") + rig.code).status : 0;
    rig.record("repeated_wrong_codes_are_throttled", last == 429 && right == last);
}

void shutdownCases(Rig &rig)
{
    const quint16 port = rig.server->port();
    rig.server->stop();
    rig.probe = std::make_unique<QTcpSocket>();
    rig.probe->connectToHost(QStringLiteral("127.0.0.1"), port);
    const bool connected = rig.probe->waitForConnected(1500);
    rig.record("stop_closes_listening_port", !rig.server->isRunning() && !connected);

    rig.lanServer = std::make_unique<WebMonitorServer>([] { return QList<WebProgramInfo>(); },
                                                       [](int) -> NativeChannel * { return nullptr; });
    const bool started = rig.lanServer->start(0, true, QStringLiteral("oakmoss14"));
    const QStringList urls = rig.lanServer->urls();
    rig.record("lan_mode_lists_network_addresses",
               started && !urls.isEmpty() && urls.last().startsWith(QLatin1String("http://127.0.0.1:")),
               {{QStringLiteral("urls"), QJsonArray::fromStringList(urls)}});
}

void hold(Rig &rig, const QString &result)
{
    const int seconds = qEnvironmentVariableIntValue("ZELVO_WEB_TEST_HOLD_SECONDS");
    if (seconds <= 0 || !rig.server->isRunning())
        return;
    QFile file(result + QStringLiteral(".url"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(rig.server->urls().value(0).toUtf8());
    file.close();
    pump(seconds * 1000);
}

} // namespace

QList<int> nalUnitTypes(const QByteArray &accessUnit)
{
    QList<int> types;
    const auto *p = reinterpret_cast<const uint8_t *>(accessUnit.constData());
    const qsizetype size = accessUnit.size();
    qsizetype i = 0;
    while (i + 3 < size) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            types << (p[i + 3] & 0x1F);
            i += 4;
        } else {
            ++i;
        }
    }
    return types;
}

WebTestReply webTestHttp(QNetworkAccessManager &manager, const QByteArray &method, const QString &url,
                         const QByteArray &body)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/sdp"));
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    waitUntil([reply] { return reply->isFinished(); }, 20000);
    WebTestReply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->deleteLater();
    return result;
}

int runWebTests(const QString &fixtures, const QString &result)
{
    QGuiApplication::setQuitOnLastWindowClosed(false);
    gst_init(nullptr, nullptr);
    Rig rig;
    rig.report.setDecodeMode();
    nv12Case(rig);

    rig.deck = std::make_unique<NativeChannel>(false);
    rig.deck->setAudioEnabled(false);
    // The clip repeats so that the Program keeps playing through the whole run.
    rig.deck->setLooping(true);
    Cue cue = Cue::forPath(QDir(fixtures).absoluteFilePath(QStringLiteral("01-h264.mp4")));
    cue.transition = 0;
    cue.transition_ms = 300;
    rig.deck->load(cue, true);
    rig.record("fixture_program_plays", waitUntil([&] { return rig.deck->frameCount() >= 5; }, 15000));

    NativeChannel *deck = rig.deck.get();
    rig.server = std::make_unique<WebMonitorServer>(
        [deck] {
            WebProgramInfo info;
            info.id = 1;
            info.name = QStringLiteral("Program A");
            info.media = QFileInfo(deck->source()).fileName();
            info.onAir = !deck->source().isEmpty();
            info.playing = deck->isPlaying();
            return QList<WebProgramInfo>{info};
        },
        [deck](int id) { return id == 1 ? deck : nullptr; });
    rig.record("server_is_off_until_started",
               !rig.server->isRunning() && rig.server->urls().isEmpty() && rig.server->port() == 0);
    const bool started = rig.server->start(0, false, rig.code);
    rig.base = QStringLiteral("http://127.0.0.1:%1").arg(rig.server->port());
    const QStringList urls = rig.server->urls();
    rig.record("starts_on_this_computer_only",
               started && rig.server->port() != 0 && urls.size() == 1
                   && urls.first().startsWith(QLatin1String("http://127.0.0.1:")),
               {{QStringLiteral("urls"), QJsonArray::fromStringList(urls)}});
    hold(rig, result);

    rig.manager = std::make_unique<QNetworkAccessManager>();
    accessCases(rig);
    viewerCases(rig);
    qualityCases(rig);
    frameRateCase(rig);
    pauseCase(rig);
    codeCases(rig);
    shutdownCases(rig);

    rig.lanServer->stop();
    rig.deck->clear();
    const int code = rig.report.write(result);
    rig.lanServer.reset();
    rig.probe.reset();
    rig.manager.reset();
    rig.server.reset();
    rig.deck.reset();
    return code;
}
