// CUT through the operator window: 50 takes alternating a red and a blue card on Program A, each
// cued and proven on the Preview first, then the CUT button clicked. Prints the median and the
// worst time from the click to the first frame of the taken card that the Program deck publishes.
// Goal: under one frame period (40 ms at 25 fps).
#include "BenchSupport.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

bool isColour(const QVideoFrame &frame, bool blue)
{
    if (!frame.isValid())
        return false;
    const QImage image = frame.toImage();
    const QColor centre = image.pixelColor(image.rect().center());
    return blue ? centre.blue() > 180 && centre.red() < 60 : centre.red() > 180 && centre.blue() < 60;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("ZELVO_FIXTURES");
    const QStringList clips = {dir + QStringLiteral("/card_red.mp4"), dir + QStringLiteral("/card_blue.mp4")};
    for (const QString &clip : clips)
        if (!QFileInfo::exists(clip)) {
            std::fprintf(stderr, "fixture missing: %s\n", qPrintable(clip));
            return 1;
        }
    QTemporaryDir state;
    MainWindow window(false, QStringLiteral("en"), state.path());
    window.resize(1400, 900);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    window.addMedia(clips);
    QTableWidget *table = window.runningOrder();
    auto *cut = window.findChild<QPushButton *>(QStringLiteral("cut"));
    NativeChannel *programA = window.channel(0);

    bool waiting = false;
    bool wantBlue = false;
    QElapsedTimer sinceClick;
    double latencyMs = -1;
    QObject::connect(programA, &NativeChannel::frameReady, &window, [&](const QVideoFrame &frame) {
        if (waiting && isColour(frame, wantBlue)) {
            latencyMs = double(sinceClick.nsecsElapsed()) / 1e6;
            waiting = false;
        }
    });

    std::vector<double> times;
    for (int take = 0; take < 50; ++take) {
        const int row = take % 2;
        const QPoint at = table->visualRect(table->model()->index(row, 1)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
        if (!waitFor([&] { return window.cueReadiness()->readyFor(window.workingPlaylist()[row]); }, 20000)) {
            std::fprintf(stderr, "take %d: the Preview never proved the cue\n", take);
            return 1;
        }
        wantBlue = row == 1;
        latencyMs = -1;
        waiting = true;
        sinceClick.start();
        QTest::mouseClick(cut, Qt::LeftButton);
        if (!waitFor([&] { return !waiting; }, 10000)) {
            std::fprintf(stderr, "take %d: no frame of the taken card\n", take);
            return 1;
        }
        times.push_back(latencyMs);
    }
    std::printf("CUT to first new Program frame over %zu takes: median %.1f ms, worst %.1f ms (goal < 40 ms)\n",
                times.size(), percentile(times, 0.5), percentile(times, 1.0));
    programA->clear();
    return 0;
}
