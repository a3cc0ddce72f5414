// NetworkBus and its senders against the stand-in runtimes: what reaches a receiver (pictures,
// sound, metadata, rates, repeats), the name and runtime refusals, the picture gates, the project
// frame-rate slotting and the queue limits.
#include "engine/NativeChannel.h"
#include "outputs/network/FrameRateFraction.h"
#include "outputs/network/NdiApi.h"
#include "outputs/network/NetworkBus.h"
#include "outputs/network/OmtApi.h"
#include "outputs/ProjectFps.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QVideoFrameFormat>
#include <QtTest>
#include <cstring>
#include <optional>

namespace {

const QString nameRefused = QStringLiteral("Enter a source name (1–200 UTF-8 bytes).");

struct Picture
{
    int width = 0;
    int height = 0;
    quint32 fourcc = 0;
    int rateN = 0;
    int rateD = 0;
    float aspect = 0;
    int formatType = 0;
    qint64 timecode = 0;
    QString metadata;
    QImage image;
    qint64 receivedAtMs = 0;

    qint64 sequence() const { return attribute(QStringLiteral("sequence")); }
    qint64 programTimeUs() const { return attribute(QStringLiteral("program_time_us")); }
    qint64 attribute(const QString &name) const
    {
        const QRegularExpression pattern(name + QStringLiteral("=\"([0-9]+)\""));
        const auto match = pattern.match(metadata);
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
};

struct Sound
{
    int rate = 0;
    int channels = 0;
    int samples = 0;
    int stride = 0;
    QByteArray planar;
};

// An in-process NDI receiver of one source, through the stand-in runtime.
class NdiReceiver
{
public:
    explicit NdiReceiver(const QString &source) : m_api(sharedNdiApi())
    {
        const QByteArray name = source.toUtf8();
        NDIlib_recv_create_v3_t settings{};
        settings.source_to_connect_to.p_ndi_name = name.constData();
        settings.p_ndi_recv_name = "test receiver";
        m_receiver = m_api->NDIlib_recv_create_v3(&settings);
        m_clock.start();
    }
    ~NdiReceiver() { m_api->NDIlib_recv_destroy(m_receiver); }

    // The next picture within the time limit; sound met on the way is kept in sounds.
    std::optional<Picture> picture(int timeoutMs = 3000)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            NDIlib_video_frame_v2_t v{};
            NDIlib_audio_frame_v2_t a{};
            const int type = m_api->NDIlib_recv_capture_v2(m_receiver, &v, &a, nullptr, 20);
            if (type == NDIlib_frame_type_audio) {
                const int bytes = a.channel_stride_in_bytes * a.no_channels;
                sounds.append({a.sample_rate, a.no_channels, a.no_samples, a.channel_stride_in_bytes,
                               QByteArray(reinterpret_cast<const char *>(a.p_data), bytes)});
                m_api->NDIlib_recv_free_audio_v2(m_receiver, &a);
            } else if (type == NDIlib_frame_type_video) {
                Picture p{v.xres, v.yres, v.FourCC, v.frame_rate_N, v.frame_rate_D, v.picture_aspect_ratio,
                          v.frame_format_type, v.timecode, QString::fromUtf8(v.p_metadata),
                          QImage(v.p_data, v.xres, v.yres, v.line_stride_in_bytes, QImage::Format_ARGB32).copy(),
                          m_clock.elapsed()};
                m_api->NDIlib_recv_free_video_v2(m_receiver, &v);
                return p;
            }
        }
        return std::nullopt;
    }

    QList<Sound> sounds;

private:
    std::shared_ptr<NdiApi> m_api;
    NDIlib_recv_instance_t m_receiver = nullptr;
    QElapsedTimer m_clock;
};

class OmtReceiver
{
public:
    explicit OmtReceiver(const QString &address) : m_api(sharedOmtApi())
    {
        m_receiver = m_api->omt_receive_create(address.toUtf8().constData(), OMTFrameType_Video | OMTFrameType_Audio,
                                               OMTPreferredVideoFormat_BGRA, 0);
    }
    ~OmtReceiver() { m_api->omt_receive_destroy(m_receiver); }

    // The next frame of the given type within the time limit, copied.
    std::optional<OMTMediaFrame> frame(int type, QByteArray *data, int timeoutMs = 3000)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            const OMTMediaFrame *f = m_api->omt_receive(m_receiver, type, 20);
            if (f) {
                *data = QByteArray(static_cast<const char *>(f->Data), f->DataLength);
                return *f;
            }
        }
        return std::nullopt;
    }

private:
    std::shared_ptr<OmtApi> m_api;
    omt_receive_t *m_receiver = nullptr;
};

QVideoFrame makeFrame(QSize size, QColor colour, double fps = 0.0,
                      QVideoFrameFormat::ColorTransfer transfer = QVideoFrameFormat::ColorTransfer_Unknown)
{
    QVideoFrameFormat format(size, QVideoFrameFormat::pixelFormatFromImageFormat(QImage::Format_ARGB32));
    format.setFrameRate(fps);
    format.setColorTransfer(transfer);
    QVideoFrame frame(format);
    frame.map(QVideoFrame::WriteOnly);
    const quint32 pixel = colour.rgba();
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(frame.bits(0) + qsizetype(y) * frame.bytesPerLine(0));
        std::fill(line, line + size.width(), pixel);
    }
    frame.unmap();
    return frame;
}

// A planar 4:2:0 frame of one colour, given as its Y, Cb and Cr bytes.
QVideoFrame yuvFrame(QSize size, uchar y, uchar cb, uchar cr)
{
    QVideoFrame frame(QVideoFrameFormat(size, QVideoFrameFormat::Format_YUV420P));
    frame.map(QVideoFrame::WriteOnly);
    const uchar values[3] = {y, cb, cr};
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? size.height() : size.height() / 2;
        std::memset(frame.bits(plane), values[plane], size_t(frame.bytesPerLine(plane)) * rows);
    }
    frame.unmap();
    return frame;
}

bool isBlack(const QImage &image)
{
    return !image.isNull() && image.pixel(0, 0) == qRgb(0, 0, 0)
        && image.pixel(image.width() / 2, image.height() / 2) == qRgb(0, 0, 0);
}

AudioPacket stereoPacket(int frames, qint64 timestampUs, float left, float right)
{
    AudioPacket packet;
    packet.timestampUs = timestampUs;
    packet.data.resize(frames * 8);
    auto *samples = reinterpret_cast<float *>(packet.data.data());
    for (int i = 0; i < frames; ++i) {
        samples[2 * i] = left + i * 0.001f;
        samples[2 * i + 1] = right;
    }
    return packet;
}

int stat(const NetworkBus::Sender &sender, const char *key)
{
    return sender.stats().value(QLatin1String(key)).toInt();
}

template <typename Hook>
Hook standinHook(QLibrary &library, const char *name)
{
    return reinterpret_cast<Hook>(library.resolve(name));
}

} // namespace

class NetworkBusTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QString app = qEnvironmentVariable("ZELVO_STANDIN_APP");
        QVERIFY2(QFile::exists(app + "/libndi.so.6"), "stand-in runtimes not built");
        qputenv("ZELVO_NDI_RUNTIME", (app + "/libndi.so.6").toUtf8());
        qputenv("ZELVO_OMT_RUNTIME", (app + "/libomt.so").toUtf8());
        qunsetenv("ZELVO_DISABLE_NETWORK_RUNTIME");
        QVERIFY2(sharedNdiApi()->initialised, qPrintable(sharedNdiApi()->error));
        QVERIFY2(sharedOmtApi()->initialised, qPrintable(sharedOmtApi()->error));
    }

    void cleanup() { projectFps = 0.0; }

    void frameRateFractions_data()
    {
        QTest::addColumn<double>("fps");
        QTest::addColumn<int>("numerator");
        QTest::addColumn<int>("denominator");
        QTest::newRow("23.976") << 24000.0 / 1001.0 << 24000 << 1001;
        QTest::newRow("29.97 as typed") << 29.97 << 30000 << 1001;
        QTest::newRow("47.952") << 48000.0 / 1001.0 << 48000 << 1001;
        QTest::newRow("59.94") << 59.94005994005994 << 60000 << 1001;
        QTest::newRow("25") << 25.0 << 25000 << 1000;
        QTest::newRow("24 is not 23.976") << 24.0 << 24000 << 1000;
        QTest::newRow("12.5") << 12.5 << 12500 << 1000;
        QTest::newRow("not a number") << qQNaN() << 30000 << 1000;
    }

    void frameRateFractions()
    {
        QFETCH(double, fps);
        QFETCH(int, numerator);
        QFETCH(int, denominator);
        QCOMPARE(frameRateFraction(fps), (FrameRateFraction{numerator, denominator}));
    }

    void neverStartedSenderReportsNothing()
    {
        const NetworkBus::Sender sender;
        const QJsonObject stats = sender.stats();
        QCOMPARE(stats.value("running").toBool(true), false);
        for (const char *key : {"connections", "video_frames", "audio_packets", "superseded_video", "dropped_audio"})
            QCOMPARE(stats.value(QLatin1String(key)).toInt(-1), 0);
        QCOMPARE(stats.value("source").toString("x"), QString());
        QCOMPARE(stats.value("error").toString("x"), QString());
        QCOMPARE(stats.value("ndi_timecode_policy").toString(),
                 QStringLiteral("SDK synthesis for audio/video; source sequence metadata distinguishes cached "
                                "connection frames"));
    }

    void sourceNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("200 UTF-8 bytes") << QString(100, QChar(0xe9)) << true;
        QTest::newRow("201 UTF-8 bytes") << QString(100, QChar(0xe9)) + "a" << false;
        QTest::newRow("blanks only") << QStringLiteral("   ") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("line feed") << QStringLiteral("Main\nBackup") << false;
        QTest::newRow("trimmed") << QStringLiteral("  Stage left \t") << true;
    }

    void sourceNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        for (const int protocol : {0, 1}) {
            NetworkBus::Sender sender;
            QCOMPARE(sender.start(protocol, name, 0), accepted);
            QCOMPARE(sender.isRunning(), accepted);
            QCOMPARE(sender.error(), accepted ? QString() : nameRefused);
            if (accepted && protocol == 0)
                QVERIFY2(sender.sourceName().endsWith("(" + name.trimmed() + ")"), qPrintable(sender.sourceName()));
            if (accepted && protocol == 1)
                QVERIFY2(sender.sourceName().startsWith("omt://"), qPrintable(sender.sourceName()));
        }
    }

    void disabledRuntimeRefusesAndWarns()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QSignalSpy warnings(&bus, &NetworkBus::warning);
        qputenv("ZELVO_DISABLE_NETWORK_RUNTIME", "1");
        const bool started = bus.start(1, QStringLiteral("QA"));
        qunsetenv("ZELVO_DISABLE_NETWORK_RUNTIME");
        QVERIFY(!started);
        QVERIFY(!bus.sender(1).isRunning());
        QCOMPARE(bus.sender(1).error(), QStringLiteral("Network runtime unavailable"));
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(warnings.at(0).at(0).toString(), QStringLiteral("Network runtime unavailable"));
    }

    void refusedSenderCreation_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("error");
        QTest::newRow("NDI") << 0 << QStringLiteral("Could not create NDI sender");
        QTest::newRow("OMT") << 1 << QStringLiteral("Could not create OMT sender");
    }

    void refusedSenderCreation()
    {
        QFETCH(int, protocol);
        QFETCH(QString, error);
        QLibrary &library = protocol == 0 ? sharedNdiApi()->library : sharedOmtApi()->library;
        auto refuse = standinHook<int (*)(int)>(library, protocol == 0 ? "zelvo_standin_ndi_refuse_senders"
                                                                      : "zelvo_standin_omt_refuse_senders");
        QVERIFY(refuse);
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QSignalSpy warnings(&bus, &NetworkBus::warning);
        refuse(1);
        const bool started = bus.start(protocol, QStringLiteral("QA"));
        refuse(0);
        QVERIFY(!started);
        QCOMPARE(bus.sender(protocol).error(), error);
        QCOMPARE(warnings.size(), 1);
        QVERIFY(bus.start(protocol, QStringLiteral("QA")));
        QVERIFY(bus.sender(protocol).error().isEmpty());
    }

    void sendersAreCreatedAsAgreed()
    {
        NetworkBus::Sender ndi;
        NetworkBus::Sender omt;
        QVERIFY(ndi.start(0, QStringLiteral("Settings"), 0));
        QVERIFY(omt.start(1, QStringLiteral("Settings"), 0));
        auto settings = standinHook<int (*)(const char *, int *, int *, int *)>(sharedNdiApi()->library,
                                                                              "zelvo_standin_ndi_sender_settings");
        auto quality = standinHook<int (*)(const char *)>(sharedOmtApi()->library, "zelvo_standin_omt_sender_quality");
        QVERIFY(settings && quality);
        int clockVideo = -1, clockAudio = -1, groups = -1;
        QVERIFY(settings(ndi.sourceName().toUtf8().constData(), &clockVideo, &clockAudio, &groups));
        QCOMPARE(clockVideo, 0);
        QCOMPARE(clockAudio, 0);
        QCOMPARE(groups, 0);
        QCOMPARE(quality(omt.sourceName().toUtf8().constData()), 100);
    }

    void startSendsBlackFromFortyMilliseconds()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QElapsedTimer clock;
        clock.start();
        const qint64 deckStartUs = deck.clockUs();
        QVERIFY(bus.start(0, QStringLiteral("Prime")));
        NdiReceiver receiver(bus.sender(0).sourceName());
        const std::optional<Picture> first = receiver.picture();
        QVERIFY(first);
        QVERIFY2(clock.elapsed() >= 39, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(first->width, 1280);
        QCOMPARE(first->height, 720);
        QVERIFY(isBlack(first->image));
        QCOMPARE(first->fourcc, quint32(NDIlib_FourCC_type_BGRA));
        QCOMPARE(first->formatType, int(NDIlib_frame_format_type_progressive));
        QCOMPARE(first->aspect, 1280.0f / 720.0f);
        QCOMPARE(first->rateN, 30000);
        QCOMPARE(first->rateD, 1000);
        QVERIFY(QRegularExpression(QStringLiteral("^<zelvo_frame sequence=\"1\" program_time_us=\"[0-9]+\"/>$"))
                    .match(first->metadata)
                    .hasMatch());
        QVERIFY(first->programTimeUs() >= deckStartUs);
    }

    void pausedSourceRepeatsWithRisingTimes()
    {
        NetworkBus::Sender sender;
        QVERIFY(sender.start(0, QStringLiteral("Paused"), 0));
        NdiReceiver receiver(sender.sourceName());
        QList<Picture> pictures;
        for (int i = 0; i < 5; ++i) {
            const std::optional<Picture> p = receiver.picture();
            QVERIFY(p);
            pictures.append(*p);
        }
        // One picture per 1/30 s, stamped as released now: never backwards, each on its slot within
        // a quarter period. A receiver that reads late loses its oldest pictures, so the sequence
        // may jump; every picture the sender counted still took a slot of its own.
        const qint64 period = 1000000 / 30;
        const auto followsOnItsSlot = [period](const Picture &before, const Picture &after) {
            const qint64 steps = after.sequence() - before.sequence();
            return steps >= 1 && after.programTimeUs() - before.programTimeUs() >= steps * period - period / 4
                && after.timecode > before.timecode;
        };
        for (int i = 1; i < pictures.size(); ++i) {
            QVERIFY2(followsOnItsSlot(pictures[i - 1], pictures[i]),
                     qPrintable(QStringLiteral("sequence %1 at %2 us after %3 at %4 us")
                                    .arg(pictures[i].sequence()).arg(pictures[i].programTimeUs())
                                    .arg(pictures[i - 1].sequence()).arg(pictures[i - 1].programTimeUs())));
            QCOMPARE(pictures[i].image, pictures[0].image);
        }
        QVERIFY(pictures.last().programTimeUs() - pictures.first().programTimeUs() >= 4 * period - period / 4);
        // The sender goes on meanwhile: its count names the last picture sent, which the receiver
        // then gets in order.
        const int sent = stat(sender, "video_frames");
        QVERIFY2(sent >= int(pictures.last().sequence()), qPrintable(QString::number(sent)));
        while (int(pictures.last().sequence()) < sent) {
            const std::optional<Picture> p = receiver.picture();
            QVERIFY(p);
            QVERIFY(followsOnItsSlot(pictures.last(), *p));
            pictures.append(*p);
        }
        QCOMPARE(stat(sender, "connections"), 1);
    }

    void deckPicturesReachBothProtocols()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        // Both senders are held until the picture is due, so that it is the first picture either
        // sends. A receiver read late could otherwise lose it behind the black start pictures, and
        // the repeats that follow carry each sender's own time.
        QVERIFY(bus.start(0, QStringLiteral("Both NDI")));
        bus.sender(0).setHoldForTesting(true);
        QVERIFY(bus.start(1, QStringLiteral("Both OMT")));
        bus.sender(1).setHoldForTesting(true);
        NdiReceiver ndi(bus.sender(0).sourceName());
        OmtReceiver omt(bus.sender(1).sourceName());
        emit deck.frameReady(makeFrame(QSize(640, 360), QColor(200, 40, 10), 25.0));
        QTest::qWait(60);
        for (const int i : {0, 1})
            bus.sender(i).setHoldForTesting(false);

        std::optional<Picture> picture;
        while ((picture = ndi.picture()) && picture->width != 640) {
        }
        QVERIFY(picture);
        QCOMPARE(picture->image.pixel(320, 180), qRgb(200, 40, 10));
        QCOMPARE(picture->rateN, 25000);
        QCOMPARE(picture->rateD, 1000);

        QByteArray data;
        std::optional<OMTMediaFrame> frame;
        while ((frame = omt.frame(OMTFrameType_Video, &data)) && frame->Width != 640) {
        }
        QVERIFY(frame);
        QCOMPARE(frame->Height, 360);
        QCOMPARE(frame->Codec, OMTCodec_BGRA);
        QCOMPARE(frame->ColorSpace, 709);
        QCOMPARE(frame->FrameRateN, 25000);
        QCOMPARE(frame->FrameRateD, 1000);
        QCOMPARE(frame->Timestamp, picture->programTimeUs() * 10);
        const QImage received(reinterpret_cast<const uchar *>(data.constData()), frame->Width, frame->Height,
                              frame->Stride, QImage::Format_ARGB32);
        QCOMPARE(received.pixel(10, 10), qRgb(200, 40, 10));
    }

    void pictureIsConvertedOncePerBus()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QVERIFY(bus.start(0, QStringLiteral("Shared NDI")));
        QVERIFY(bus.start(1, QStringLiteral("Shared OMT")));
        bus.sender(0).setHoldForTesting(true);
        bus.sender(1).setHoldForTesting(true);
        emit deck.frameReady(makeFrame(QSize(320, 180), Qt::green));
        const QImage ndi = bus.sender(0).queuedVideoForTesting().back().image;
        const QImage omt = bus.sender(1).queuedVideoForTesting().back().image;
        QCOMPARE(ndi.size(), QSize(320, 180));
        QCOMPARE(ndi.constBits(), omt.constBits());
    }

    // The senders get ARGB32 whatever the deck's frame format: the same picture as converting the
    // frame's image, opaque where the frame is.
    void picturesReachTheSendersAsArgb32_data()
    {
        QTest::addColumn<QVideoFrame>("frame");
        QTest::newRow("planar YUV") << yuvFrame(QSize(64, 36), 81, 90, 240);
        QTest::newRow("ARGB32") << makeFrame(QSize(64, 36), QColor(200, 40, 10));
        QTest::newRow("translucent ARGB32") << makeFrame(QSize(64, 36), QColor(0, 0, 255, 128));
    }

    void picturesReachTheSendersAsArgb32()
    {
        QFETCH(QVideoFrame, frame);
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QVERIFY(bus.start(0, QStringLiteral("Formats")));
        bus.sender(0).setHoldForTesting(true);
        emit deck.frameReady(frame);
        const QImage sent = bus.sender(0).queuedVideoForTesting().back().image;
        QCOMPARE(sent.format(), QImage::Format_ARGB32);
        QCOMPARE(sent, frame.toImage().convertToFormat(QImage::Format_ARGB32));
    }

    void gatesSendBlackAndWarnOnce()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QVERIFY(bus.start(0, QStringLiteral("Gates")));
        NetworkBus::Sender &sender = bus.sender(0);
        sender.setHoldForTesting(true);
        QSignalSpy warnings(&bus, &NetworkBus::warning);
        const QString budget = QStringLiteral("Network frame exceeds tested pixel budget; sending black");
        const QString hdr = QStringLiteral("HDR network output requires tone mapping; sending black");
        const auto last = [&sender] { return sender.queuedVideoForTesting().back().image; };

        emit deck.frameReady(makeFrame(QSize(3840, 2160), Qt::red));
        QCOMPARE(last().size(), QSize(3840, 2160));
        QCOMPARE(last().pixel(5, 5), qRgb(255, 0, 0));
        QCOMPARE(warnings.size(), 0);

        for (int i = 0; i < 2; ++i) {
            emit deck.frameReady(makeFrame(QSize(4096, 2304), Qt::red));
            QCOMPARE(last().size(), QSize(3840, 2160)); // black at the size of the last picture sent
            QVERIFY(isBlack(last()));
        }
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(warnings.at(0).at(0).toString(), budget);

        emit deck.frameReady(makeFrame(QSize(640, 360), Qt::blue));
        QCOMPARE(last().pixel(5, 5), qRgb(0, 0, 255));
        emit deck.frameReady(makeFrame(QSize(640, 360), Qt::blue, 0, QVideoFrameFormat::ColorTransfer_ST2084));
        QVERIFY(isBlack(last()));
        QCOMPARE(last().size(), QSize(640, 360));
        emit deck.frameReady(makeFrame(QSize(640, 360), Qt::blue, 0, QVideoFrameFormat::ColorTransfer_STD_B67));
        emit deck.frameReady(makeFrame(QSize(4096, 2304), Qt::red));
        QCOMPARE(warnings.size(), 3);
        QCOMPARE(warnings.at(1).at(0).toString(), hdr);
        QCOMPARE(warnings.at(2).at(0).toString(), budget);
    }

    void projectRateTakesOneFramePerSlot_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("taken");
        QTest::newRow("project 25 against a 50 fps deck") << 25.0 << 25;
        QTest::newRow("automatic takes every frame") << 0.0 << 50;
    }

    void projectRateTakesOneFramePerSlot()
    {
        QFETCH(double, rate);
        QFETCH(int, taken);
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        qint64 presentationUs = 0;
        bus.setPresentationClockForTesting([&presentationUs] { return presentationUs; });
        QVERIFY(bus.start(1, QStringLiteral("Slots")));
        NetworkBus::Sender &sender = bus.sender(1);
        sender.setHoldForTesting(true);
        const auto queuedOrDropped = [&sender] {
            return int(sender.queuedVideoForTesting().size()) + stat(sender, "superseded_video");
        };
        const int before = queuedOrDropped();
        projectFps = rate;
        const QVideoFrame frame = makeFrame(QSize(64, 36), Qt::white, 50.0);
        for (int i = 0; i < 50; ++i) {
            presentationUs = i * 20000;
            emit deck.frameReady(frame);
        }
        QCOMPARE(queuedOrDropped() - before, taken);
        const std::deque<NetworkBus::Sender::QueuedPicture> queue = sender.queuedVideoForTesting();
        QCOMPARE(int(queue.size()), 6);
        const int step = 50 / taken;
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(queue[i].ptsUs, qint64(50 - step * (6 - i)) * 20000);
            QCOMPARE(queue[i].fps, rate > 0 ? rate : 50.0);
        }
    }

    void videoQueueKeepsTheNewestSix()
    {
        NetworkBus::Sender sender;
        QVERIFY(sender.start(1, QStringLiteral("Queue"), 0));
        sender.setHoldForTesting(true);
        const QImage picture(16, 16, QImage::Format_ARGB32);
        for (int i = 1; i <= 7; ++i)
            sender.queueVideo(picture, 1000000000LL + i, 25.0);
        const auto queue = sender.queuedVideoForTesting();
        QCOMPARE(int(queue.size()), 6);
        QCOMPARE(queue.front().ptsUs, 1000000002LL);
        QCOMPARE(stat(sender, "superseded_video"), 1);
        // Rates are held to 1..60 fps; none or nonsense means 30.
        sender.queueVideo(picture, 0, 120.0);
        sender.queueVideo(picture, 0, -5.0);
        sender.queueVideo(picture, 0, qInf());
        const auto rates = sender.queuedVideoForTesting();
        QCOMPARE(rates[3].fps, 60.0);
        QCOMPARE(rates[4].fps, 30.0);
        QCOMPARE(rates[5].fps, 30.0);
    }

    void picturesDueTogetherAreSentAsOne()
    {
        NetworkBus::Sender sender;
        QVERIFY(sender.start(0, QStringLiteral("Due together"), 0));
        NdiReceiver receiver(sender.sourceName());
        QVERIFY(receiver.picture()); // the black primer
        sender.setHoldForTesting(true);
        const int superseded = stat(sender, "superseded_video");
        for (const QColor colour : {Qt::red, Qt::green, Qt::blue}) {
            QImage image(32, 32, QImage::Format_ARGB32);
            image.fill(colour);
            sender.queueVideo(image, 1, 25.0);
        }
        sender.setHoldForTesting(false);
        std::optional<Picture> p;
        while ((p = receiver.picture()) && p->width != 32) {
        }
        QVERIFY(p);
        QCOMPARE(p->image.pixel(0, 0), qRgb(0, 0, 255));
        QCOMPARE(stat(sender, "superseded_video") - superseded, 2);
    }

    void matchingRateSendsEveryPictureOnce()
    {
        // Pictures on an exact 25 fps grid against a 25 fps sender: wake-up jitter must not add up
        // into a growing delay that ends in dropped and repeated pictures. On a busy machine this
        // thread can itself be held up and hand over a picture late, close to the next one; those
        // two may then share a slot. Such late hand-overs are counted, and only they may cost a
        // picture: a sender that drifts loses pictures that were handed over on time.
        QElapsedTimer clock;
        clock.start();
        NetworkBus::Sender sender;
        QVERIFY(sender.start(1, QStringLiteral("Cadence"), 0));
        QTest::qWait(150); // the black primer has gone out
        const int supersededBefore = stat(sender, "superseded_video");
        const QImage picture(64, 36, QImage::Format_ARGB32);
        const int settled = 10; // by then the cadence has taken up the pictures' phase
        const int last = 50;
        const qint64 lateUs = 10000;
        int sentAtSettled = 0;
        int sentAtLast = 0;
        int lateFeeds = 0;
        int lateFeedsMeasured = 0;
        for (int i = 0; i <= last; ++i) {
            const qint64 ptsUs = 200000 + i * 40000;
            while (clock.nsecsElapsed() / 1000 < ptsUs)
                QThread::usleep(500);
            if (clock.nsecsElapsed() / 1000 - ptsUs > lateUs) {
                ++lateFeeds;
                lateFeedsMeasured += i > settled ? 1 : 0;
            }
            sender.queueVideo(picture, ptsUs, 25.0);
            if (i == settled)
                sentAtSettled = stat(sender, "video_frames");
            if (i == last)
                sentAtLast = stat(sender, "video_frames");
        }
        QTest::qWait(100);
        const int superseded = stat(sender, "superseded_video") - supersededBefore;
        QVERIFY2(superseded <= lateFeeds,
                 qPrintable(QStringLiteral("%1 superseded, %2 handed over late").arg(superseded).arg(lateFeeds)));
        // One picture per grid step, no repeats in between (a send right at either end may fall on
        // either side of it).
        const int sent = sentAtLast - sentAtSettled;
        QVERIFY2(std::abs(sent - (last - settled)) <= 1 + lateFeedsMeasured,
                 qPrintable(QStringLiteral("%1 sent, %2 handed over late").arg(sent).arg(lateFeedsMeasured)));
    }

    void audioQueueKeepsTheNewestTwenty()
    {
        NetworkBus::Sender sender;
        QVERIFY(sender.start(0, QStringLiteral("Audio queue"), 0));
        sender.setHoldForTesting(true);
        for (int i = 0; i < 21; ++i)
            sender.queueAudio(stereoPacket(480, i * 10000, 0.1f, 0.2f));
        QCOMPARE(sender.queuedAudioForTesting(), 20);
        QCOMPARE(stat(sender, "dropped_audio"), 1);
    }

    void audioReachesReceiversPlanar()
    {
        NetworkBus::Sender ndiSender;
        NetworkBus::Sender omtSender;
        QVERIFY(ndiSender.start(0, QStringLiteral("Sound NDI"), 0));
        QVERIFY(omtSender.start(1, QStringLiteral("Sound OMT"), 0));
        NdiReceiver ndi(ndiSender.sourceName());
        OmtReceiver omt(omtSender.sourceName());
        const AudioPacket packet = stereoPacket(480, 123456, 0.25f, -0.5f);
        ndiSender.queueAudio(packet);
        omtSender.queueAudio(packet);

        QTRY_VERIFY(stat(ndiSender, "audio_packets") == 1 && stat(omtSender, "audio_packets") == 1);
        // A slow start lets the sender's black start picture go out before the sound: read past it.
        QElapsedTimer waited;
        waited.start();
        while (ndi.sounds.isEmpty() && waited.elapsed() < 3000)
            ndi.picture(200);
        QCOMPARE(ndi.sounds.size(), 1);
        const Sound &s = ndi.sounds.first();
        QCOMPARE(s.rate, 48000);
        QCOMPARE(s.channels, 2);
        QCOMPARE(s.samples, 480);
        QCOMPARE(s.stride, 480 * 4);
        const QByteArray planar = planarStereo(packet.data);
        QCOMPARE(s.planar, planar);

        QByteArray data;
        const std::optional<OMTMediaFrame> frame = omt.frame(OMTFrameType_Audio, &data);
        QVERIFY(frame);
        QCOMPARE(frame->Timestamp, qint64(1234560));
        QCOMPARE(frame->Codec, OMTCodec_FPA1);
        QCOMPARE(frame->SampleRate, 48000);
        QCOMPARE(frame->Channels, 2);
        QCOMPARE(frame->SamplesPerChannel, 480);
        QCOMPARE(data, planar);
    }

    void audioSwitchAndResetClearBothQueues()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QVERIFY(bus.start(0, QStringLiteral("Switch NDI")));
        QVERIFY(bus.start(1, QStringLiteral("Switch OMT")));
        for (const int i : {0, 1})
            bus.sender(i).setHoldForTesting(true);
        const auto queued = [&bus] {
            return QPair<int, int>(bus.sender(0).queuedAudioForTesting(), bus.sender(1).queuedAudioForTesting());
        };
        for (int i = 0; i < 3; ++i)
            emit deck.audioReady(stereoPacket(480, i * 10000, 0.1f, 0.1f));
        QCOMPARE(queued(), qMakePair(3, 3));
        bus.setAudioEnabled(false);
        QCOMPARE(queued(), qMakePair(0, 0));
        emit deck.audioReady(stereoPacket(480, 0, 0.1f, 0.1f));
        QCOMPARE(queued(), qMakePair(0, 0));
        bus.setAudioEnabled(true);
        emit deck.audioReady(stereoPacket(480, 0, 0.1f, 0.1f));
        QCOMPARE(queued(), qMakePair(1, 1));
        emit deck.audioReset();
        QCOMPARE(queued(), qMakePair(0, 0));

        // A sender started while the bus's audio is off sends no sound.
        bus.setAudioEnabled(false);
        QVERIFY(bus.start(0, QStringLiteral("Switch NDI")));
        bus.sender(0).setHoldForTesting(true);
        emit deck.audioReady(stereoPacket(480, 0, 0.1f, 0.1f));
        QCOMPARE(bus.sender(0).queuedAudioForTesting(), 0);
    }

    void stopEndsTheSource()
    {
        NativeChannel deck(true);
        NetworkBus bus(&deck);
        QVERIFY(bus.start(0, QStringLiteral("Stop")));
        const QString name = bus.sender(0).sourceName();
        {
            NdiReceiver receiver(name);
            QVERIFY(receiver.picture());
            QTRY_COMPARE(stat(bus.sender(0), "connections"), 1);
            bus.stop(0);
            QVERIFY(!bus.sender(0).isRunning());
            QCOMPARE(stat(bus.sender(0), "connections"), 0);
            while (receiver.picture(100)) {
            }
            QVERIFY(!receiver.picture(300));
        }
        emit deck.frameReady(makeFrame(QSize(64, 64), Qt::white));
        QVERIFY(bus.sender(0).queuedVideoForTesting().empty());
    }
};

QTEST_MAIN(NetworkBusTest)
#include "tst_networkbus.moc"
