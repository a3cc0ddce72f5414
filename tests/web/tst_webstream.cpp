#include "engine/NativeChannel.h"
#include "outputs/ProjectFps.h"
#include "web/WebStream.h"
#include "web/WebViewer.h"

#include <QTest>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <cstring>
#include <mutex>

namespace {

QVideoFrame frame(QSize size, QVideoFrameFormat::ColorTransfer transfer)
{
    QVideoFrameFormat format(size, QVideoFrameFormat::Format_BGRX8888);
    format.setColorTransfer(transfer);
    QVideoFrame frame(format);
    if (frame.map(QVideoFrame::WriteOnly)) {
        std::memset(frame.bits(0), 0x80, size_t(frame.bytesPerLine(0)) * size.height());
        frame.unmap();
    }
    return frame;
}

AudioPacket silence(qint64 timestampUs)
{
    AudioPacket packet;
    packet.data = QByteArray(480 * 8, '\0');
    packet.timestampUs = timestampUs;
    return packet;
}

// What a stream sent, by kind, in order.
struct SentLog
{
    std::mutex lock;
    std::vector<double> video;
    std::vector<double> audio;

    std::function<void(bool, double)> hook()
    {
        return [this](bool isVideo, double seconds) {
            std::lock_guard guard(lock);
            (isVideo ? video : audio).push_back(seconds);
        };
    }
    size_t count(bool isVideo)
    {
        std::lock_guard guard(lock);
        return (isVideo ? video : audio).size();
    }
    double at(bool isVideo, size_t index)
    {
        std::lock_guard guard(lock);
        return (isVideo ? video : audio).at(index);
    }
};

} // namespace

class TestWebStream : public QObject
{
    Q_OBJECT
private slots:
    void targetSizes_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("target");
        QTest::newRow("720p") << 1 << QSize(1920, 1080) << QSize(1280, 720);
        QTest::newRow("1080p") << 2 << QSize(640, 360) << QSize(1920, 1080);
        QTest::newRow("2160p") << 3 << QSize() << QSize(3840, 2160);
        QTest::newRow("unknown index") << 7 << QSize(640, 360) << QSize(1920, 1080);
        QTest::newRow("auto 2160p source") << 0 << QSize(3840, 2160) << QSize(1920, 1080);
        QTest::newRow("auto square") << 0 << QSize(1000, 1000) << QSize(1000, 1000);
        QTest::newRow("auto tiny") << 0 << QSize(301, 171) << QSize(320, 180);
        QTest::newRow("auto odd") << 0 << QSize(1279, 719) << QSize(1278, 718);
        QTest::newRow("auto no picture yet") << 0 << QSize() << QSize(1280, 720);
        QTest::newRow("auto small not enlarged") << 0 << QSize(640, 360) << QSize(640, 360);
        QTest::newRow("auto tall") << 0 << QSize(1080, 1920) << QSize(606, 1080);
    }
    void targetSizes()
    {
        QFETCH(int, quality);
        QFETCH(QSize, source);
        QFETCH(QSize, target);
        QCOMPARE(WebStream::targetSize(quality, source), target);
    }

    void rates_data()
    {
        QTest::addColumn<double>("fps");
        QTest::addColumn<double>("rate");
        QTest::newRow("unset") << 0.0 << 30.0;
        QTest::newRow("negative") << -5.0 << 30.0;
        QTest::newRow("23.976") << 23.976 << 23.976;
        QTest::newRow("30") << 30.0 << 30.0;
        QTest::newRow("50") << 50.0 << 25.0;
        QTest::newRow("59.94") << 59.94 << 29.97;
    }
    void rates()
    {
        QFETCH(double, fps);
        QFETCH(double, rate);
        QCOMPARE(WebStream::effectiveRate(fps), rate);
    }

    void bitrates()
    {
        QCOMPARE(WebStream::bitrateFor({3840, 2160}), 25000000);
        QCOMPARE(WebStream::bitrateFor({320, 180}), 1500000);
        QCOMPARE(WebStream::bitrateFor({1920, 1080}), 7464960);
    }

    // With no channel and no viewer the stream still encodes its black placeholder at the auto
    // size before the first real picture, and its status starts from zero.
    // The deck hands a picture's sound over some 40 ms after the picture; both must still leave
    // with one stream time, or the browser's lip sync pairs the picture with later sound (and holds
    // the picture back for it).
    void soundAndPictureShareTheirStreamTime()
    {
        qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1");
        // A Preview deck: its clock runs, but it pumps no sound of its own into the stream.
        NativeChannel deck(true);
        WebStream stream(&deck, std::make_shared<std::atomic<int>>(1));
        SentLog sent;
        stream.setSentHookForTesting(sent.hook());
        QTRY_VERIFY(sent.count(true) >= 1); // the placeholder

        // The picture goes in just after the encoder has sent one: while the deck is not playing it
        // repeats the held picture only every 0.4 s, so no repeat is being encoded (and sent after
        // ours was published, with an earlier time) when ours arrives, even on a slow build.
        const size_t seen = sent.count(true);
        QTRY_VERIFY_WITH_TIMEOUT(sent.count(true) > seen, 3000);
        const size_t before = sent.count(true);
        // Made first, so that the deck times read around it bracket the moment the stream takes the
        // picture (on a busy machine the two readings may lie apart).
        const QVideoFrame published = frame(QSize(1280, 720), QVideoFrameFormat::ColorTransfer_BT709);
        const qint64 publishedUs = deck.clockUs();
        stream.onFrame(published, true);
        const double bracket = double(deck.clockUs() - publishedUs) / 1e6;
        QTRY_VERIFY(sent.count(true) > before);
        const double picture = sent.at(true, before);

        QTest::qWait(45);
        for (int i = 0; i < 4; ++i)
            stream.onAudio(silence(publishedUs + i * 10000));
        QTRY_COMPARE(sent.count(false), size_t(2));
        // The sound belongs to the deck time read before the picture was taken.
        QVERIFY2(sent.at(false, 0) < picture + 0.003 && sent.at(false, 0) > picture - bracket - 0.003,
                 qPrintable(QStringLiteral("sound %1 s, picture %2 s, bracket %3 s")
                                .arg(sent.at(false, 0)).arg(picture).arg(bracket)));
        QVERIFY(std::abs(sent.at(false, 1) - sent.at(false, 0) - 0.02) < 1e-6);

        // A gap (a reset of the deck's pump) restarts the sound at its own time; a packet from
        // before the last one sent never makes the time run backwards.
        for (int i = 0; i < 2; ++i)
            stream.onAudio(silence(publishedUs + 300000 + i * 10000));
        QTRY_COMPARE(sent.count(false), size_t(3));
        QVERIFY(std::abs(sent.at(false, 2) - (sent.at(false, 0) + 0.3)) < 0.003);
        for (int i = 0; i < 2; ++i)
            stream.onAudio(silence(publishedUs + 100000 + i * 10000));
        QTRY_COMPARE(sent.count(false), size_t(4));
        QVERIFY(sent.at(false, 3) > sent.at(false, 2) + 0.019);
    }

    void freshStreamEncodesItsPlaceholder()
    {
        qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1");
        WebStream stream(nullptr, std::make_shared<std::atomic<int>>(0));
        const QJsonObject status = stream.statusJson();
        QCOMPARE(status.value(QStringLiteral("viewers")).toInt(), 0);
        QCOMPARE(status.value(QStringLiteral("fps_limit")).toInt(), 30);
        QCOMPARE(status.value(QStringLiteral("audio_codec")).toString(), QStringLiteral("Opus 48 kHz stereo"));
        QTRY_COMPARE(stream.statusJson().value(QStringLiteral("width")).toInt(), 1280);
        QCOMPARE(stream.statusJson().value(QStringLiteral("height")).toInt(), 720);
        QTRY_VERIFY(stream.statusJson().value(QStringLiteral("encoded_frames")).toInt() >= 1);
        QCOMPARE(stream.statusJson().value(QStringLiteral("encoder")).toString(), QStringLiteral("libx264 (software)"));
        QCOMPARE(stream.statusJson().value(QStringLiteral("hardware")).toBool(), false);
    }

    // HDR pictures and pictures beyond 4096 are sent as black and never change the size that
    // automatic quality follows.
    void intakeReplacesUnsupportedPictures()
    {
        qputenv("ZELVO_WEB_SOFTWARE_ENCODER", "1");
        WebStream stream(nullptr, std::make_shared<std::atomic<int>>(0));
        stream.onFrame(frame({640, 360}, QVideoFrameFormat::ColorTransfer_BT709), true);
        QTRY_COMPARE(stream.statusJson().value(QStringLiteral("width")).toInt(), 640);
        for (const auto &[size, transfer] : {std::pair{QSize(1920, 1080), QVideoFrameFormat::ColorTransfer_ST2084},
                                             std::pair{QSize(1920, 1080), QVideoFrameFormat::ColorTransfer_STD_B67},
                                             std::pair{QSize(4098, 2048), QVideoFrameFormat::ColorTransfer_BT709}}) {
            const int before = stream.statusJson().value(QStringLiteral("encoded_frames")).toInt();
            stream.onFrame(frame(size, transfer), true);
            QTRY_VERIFY(stream.statusJson().value(QStringLiteral("encoded_frames")).toInt() > before);
            QTest::qWait(100);
            QCOMPARE(stream.statusJson().value(QStringLiteral("width")).toInt(), 640);
            QCOMPARE(stream.statusJson().value(QStringLiteral("height")).toInt(), 360);
        }
        stream.onFrame(frame({1280, 720}, QVideoFrameFormat::ColorTransfer_BT709), true);
        QTRY_COMPARE(stream.statusJson().value(QStringLiteral("width")).toInt(), 1280);
    }

    void offeredCaps()
    {
        const QByteArray video = WebViewer::videoCaps(1234);
        QVERIFY(video.contains("profile-level-id=(string)42e033"));
        QVERIFY(video.contains("packetization-mode=(string)1"));
        QVERIFY(video.contains("extmap-6="));
        QVERIFY(video.contains("ssrc=(uint)1234"));
        // One Opus bit rate: the one the encoder runs at.
        QVERIFY(WebViewer::audioCaps(1235).contains("maxaveragebitrate=(string)128000"));
    }
};

QTEST_MAIN(TestWebStream)
#include "tst_webstream.moc"
