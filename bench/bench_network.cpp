// What the NDI and OMT senders cost per 1080p picture and how long a picture takes from the deck's
// frameReady to a receiver, measured against the stand-in runtimes (built with the tests into
// <build>/standin-app; ZELVO_NDI_RUNTIME / ZELVO_OMT_RUNTIME point elsewhere when set).
//   bench_network [pictures]
#include "engine/NativeChannel.h"
#include "outputs/network/NdiApi.h"
#include "outputs/network/NetworkBus.h"
#include "outputs/network/OmtApi.h"
#include "bench/BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QRegularExpression>
#include <QThread>
#include <QVideoFrameFormat>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuMs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1.0e6;
}

// A decoded-looking 1080p picture: planar YUV 4:2:0 with a gradient, as the player delivers it.
QVideoFrame yuvFrame()
{
    QVideoFrameFormat format(QSize(1920, 1080), QVideoFrameFormat::Format_YUV420P);
    format.setFrameRate(25.0);
    QVideoFrame frame(format);
    frame.map(QVideoFrame::WriteOnly);
    for (int plane = 0; plane < frame.planeCount(); ++plane) {
        const int height = plane == 0 ? 1080 : 540;
        for (int y = 0; y < height; ++y) {
            uchar *line = frame.bits(plane) + qsizetype(y) * frame.bytesPerLine(plane);
            for (int x = 0; x < frame.bytesPerLine(plane); ++x)
                line[x] = uchar((x + y + plane * 60) & 0xff);
        }
    }
    frame.unmap();
    return frame;
}

// Reads pictures back on its own thread and notes when each program time arrived.
class Receiver
{
public:
    Receiver(int protocol, const QString &source) : m_protocol(protocol)
    {
        if (protocol == 0) {
            const QByteArray name = source.toUtf8();
            NDIlib_recv_create_v3_t settings{};
            settings.source_to_connect_to.p_ndi_name = name.constData();
            m_ndi = sharedNdiApi()->NDIlib_recv_create_v3(&settings);
        } else {
            m_omt = sharedOmtApi()->omt_receive_create(source.toUtf8().constData(), OMTFrameType_Video,
                                                       OMTPreferredVideoFormat_BGRA, 0);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        m_stop = true;
        m_thread.join();
        if (m_ndi)
            sharedNdiApi()->NDIlib_recv_destroy(m_ndi);
        if (m_omt)
            sharedOmtApi()->omt_receive_destroy(m_omt);
    }
    std::map<qint64, Clock::time_point> arrivals()
    {
        std::lock_guard lock(m_lock);
        return m_arrivals;
    }
    // CPU the receiving thread has used so far.
    double cpuUsedMs() const { return m_cpuMs.load(); }

private:
    void run()
    {
        static const QRegularExpression time(QStringLiteral("program_time_us=\"([0-9]+)\""));
        const double start = cpuMs(CLOCK_THREAD_CPUTIME_ID);
        while (!m_stop) {
            m_cpuMs = cpuMs(CLOCK_THREAD_CPUTIME_ID) - start;
            qint64 pts = -1;
            if (m_protocol == 0) {
                NDIlib_video_frame_v2_t v{};
                if (sharedNdiApi()->NDIlib_recv_capture_v2(m_ndi, &v, nullptr, nullptr, 5) == NDIlib_frame_type_video) {
                    const auto match = time.match(QString::fromUtf8(v.p_metadata));
                    pts = match.hasMatch() ? match.captured(1).toLongLong() : -1;
                    sharedNdiApi()->NDIlib_recv_free_video_v2(m_ndi, &v);
                }
            } else if (const OMTMediaFrame *f = sharedOmtApi()->omt_receive(m_omt, OMTFrameType_Video, 5)) {
                pts = f->Timestamp / 10;
            }
            if (pts >= 0) {
                std::lock_guard lock(m_lock);
                m_arrivals.emplace(pts, Clock::now());
            }
        }
    }

    int m_protocol;
    NDIlib_recv_instance_t m_ndi = nullptr;
    omt_receive_t *m_omt = nullptr;
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_cpuMs{0.0};
    std::thread m_thread;
    std::mutex m_lock;
    std::map<qint64, Clock::time_point> m_arrivals;
};


void measure(int protocol, int pictures)
{
    NativeChannel deck(true);
    NetworkBus bus(&deck);
    qint64 presentationUs = 0;
    bus.setPresentationClockForTesting([&presentationUs] { return presentationUs; });
    const char *label = protocol == 0 ? "NDI" : "OMT";
    if (!bus.start(protocol, QStringLiteral("Bench %1").arg(label))) {
        std::printf("%s: sender did not start: %s\n", label, qPrintable(bus.sender(protocol).error()));
        return;
    }
    Receiver receiver(protocol, bus.sender(protocol).sourceName());
    const QVideoFrame frame = yuvFrame();
    QThread::msleep(100);

    std::map<qint64, Clock::time_point> emitted;
    double guiCpu = 0;
    const double processStart = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    const double receiverStart = receiver.cpuUsedMs();
    for (int i = 0; i < pictures; ++i) {
        const Clock::time_point at = Clock::now();
        presentationUs = deck.clockUs();
        const double before = cpuMs(CLOCK_THREAD_CPUTIME_ID);
        emit deck.frameReady(frame);
        guiCpu += cpuMs(CLOCK_THREAD_CPUTIME_ID) - before;
        emitted.emplace(presentationUs, at);
        QCoreApplication::processEvents();
        std::this_thread::sleep_until(at + std::chrono::milliseconds(40));
    }
    QThread::msleep(200);
    const double processCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    const double receiverCpu = receiver.cpuUsedMs() - receiverStart;

    std::vector<double> delays;
    const auto arrivals = receiver.arrivals();
    for (const auto &[pts, at] : emitted) {
        const auto found = arrivals.find(pts);
        if (found != arrivals.end())
            delays.push_back(std::chrono::duration<double, std::milli>(found->second - at).count());
    }
    const int sent = bus.sender(protocol).stats().value("video_frames").toInt();
    std::printf("%s, %d pictures of 1920x1080 YUV 4:2:0 at 25 fps, one receiver\n", label, pictures);
    std::printf("  GUI thread (ARGB conversion + queueing): %.2f ms CPU per picture\n", guiCpu / pictures);
    // The rest of the process is the sender thread with its calls into the runtime (for OMT that
    // includes the stand-in's encoder) and the deck's own timers.
    std::printf("  sender thread + runtime hand-off: %.2f ms CPU per picture sent (%d sent, repeats included)\n",
                (processCpu - guiCpu - receiverCpu) / std::max(sent, 1), sent);
    std::printf("  stand-in receiver thread: %.2f ms CPU per picture\n", receiverCpu / std::max(sent, 1));
    std::printf("  frameReady -> receiver: median %.1f ms, 95th percentile %.1f ms, max %.1f ms (%zu of %d "
                "matched; the sender holds each picture 40 ms by design)\n",
                percentile(delays, 0.5), percentile(delays, 0.95), percentile(delays, 1.0), delays.size(), pictures);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QString standins = qEnvironmentVariable("ZELVO_STANDIN_APP");
    if (standins.isEmpty())
        standins = QDir(QCoreApplication::applicationDirPath() + "/../standin-app").absolutePath();
    if (qEnvironmentVariableIsEmpty("ZELVO_NDI_RUNTIME"))
        qputenv("ZELVO_NDI_RUNTIME", (standins + "/libndi.so.6").toUtf8());
    if (qEnvironmentVariableIsEmpty("ZELVO_OMT_RUNTIME"))
        qputenv("ZELVO_OMT_RUNTIME", (standins + "/libomt.so").toUtf8());
    const int pictures = argc > 1 ? std::max(10, atoi(argv[1])) : 150;
    std::printf("runtimes: %s (%s), %s\n", qPrintable(sharedNdiApi()->path), qPrintable(sharedNdiApi()->version),
                qPrintable(sharedOmtApi()->path));
    measure(0, pictures);
    measure(1, pictures);
    return 0;
}
