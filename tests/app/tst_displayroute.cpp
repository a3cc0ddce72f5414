// A display route on the real Xvfb display of the test environment (two monitors side by side):
// the route opens its output window full screen on the second monitor and shows the chosen area of
// a picture whose halves differ, checked from the window's geometry and a screenshot of the screen.
#include "app/MainWindow.h"
#include "outputs/display/OutputWindow.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Share of sampled pixels of the grab that are close to the colour.
double shareNear(const QImage &image, const QColor &color)
{
    int near = 0;
    int total = 0;
    for (int y = 20; y < image.height() - 20; y += 37)
        for (int x = 20; x < image.width() - 20; x += 41) {
            const QColor pixel = image.pixelColor(x, y);
            near += qAbs(pixel.red() - color.red()) + qAbs(pixel.green() - color.green()) + qAbs(pixel.blue() - color.blue()) < 90;
            ++total;
        }
    return total ? double(near) / total : 0;
}

} // namespace

class DisplayRouteTest : public QObject
{
    Q_OBJECT

private slots:
    void opensOnTheSecondMonitorWithItsArea()
    {
        if (QGuiApplication::platformName() != QStringLiteral("xcb") || QGuiApplication::screens().size() < 2)
            QSKIP("needs the two-monitor Xvfb display of scripts/test-env.sh");
        QTemporaryDir state;
        // Left half red, right half blue.
        const QString clip = state.filePath("halves.mp4");
        QCOMPARE(QProcess::execute("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "color=red:size=320x360:rate=25:duration=4",
                                              "-f", "lavfi", "-i", "color=blue:size=320x360:rate=25:duration=4",
                                              "-filter_complex", "[0][1]hstack", "-pix_fmt", "yuv420p", "-c:v", "libx264",
                                              "-y", clip}),
                 0);
        MainWindow window(false, "en", state.path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QScreen *second = QGuiApplication::screens().at(1);
        QComboBox *display = window.routeDisplay(0);
        const int item = display->findData(QString::number(quintptr(second), 16));
        QVERIFY(item > 0);
        display->setCurrentIndex(item);
        window.routeArea(0)->setCurrentIndex(2); // Right half
        window.routeScaling(0)->setCurrentIndex(window.routeScaling(0)->findData("gpu"));
        window.channel(0)->loadPath(clip, true);
        QTRY_VERIFY_WITH_TIMEOUT(!window.channel(0)->currentFrame().size().isEmpty(), 15000);

        window.openDisplayOutput(0);
        OutputWindow *output = window.routeWindow(0);
        QVERIFY2(output, qPrintable(window.statusText()));
        QTRY_VERIFY(output->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(output->geometry(), second->geometry(), 5000);
        const QRect where = second->geometry();
        QCOMPARE(output->area(), QRectF(0.5, 0, 0.5, 1));
        // The area re-targets the open window at once.
        window.routeArea(0)->setCurrentIndex(1); // Left half
        QCOMPARE(output->area(), QRectF(0, 0, 0.5, 1));
        window.routeArea(0)->setCurrentIndex(2);
        QCOMPARE(output->area(), QRectF(0.5, 0, 0.5, 1));
        // The line reads the open window's own pixel size: the picture is scaled to twice the window's
        // width so that its right half fills the window.
        window.refreshScalingInfo();
        const QSize physical = output->physicalSize();
        QCOMPARE(physical, QSize(2 * where.width(), where.height()));
        QCOMPARE(window.routeScalingLine(0)->text(), QStringLiteral("Source 640 × 360 → Output %1 × %2 · Upscale")
                                                         .arg(physical.width()).arg(physical.height()));

        // New pictures reach the window while the Program plays.
        window.channel(0)->setLooping(true);
        if (!window.channel(0)->isPlaying())
            window.channel(0)->togglePlayback();
        const QString dir = qEnvironmentVariable("ZELVO_BUILD_DIR") + "/captures/pages";
        QDir().mkpath(dir);
        QTest::qWait(2000);
        // The window renders itself, OpenGL surface included: a grab of the X screen would not see the
        // surface on this Xvfb display.
        QVERIFY(output->publishedToWindow() > 0);
        QImage shot = output->grab().toImage();
        QCOMPARE(shot.size(), where.size());
        shot.save(dir + "/display-route-right-half.png");
        QVERIFY(shareNear(shot, Qt::red) < 0.02);
        QVERIFY(shareNear(shot, Qt::blue) > 0.9);

        output->close();
        window.channel(0)->clear();
    }
};

QTEST_MAIN(DisplayRouteTest)
#include "tst_displayroute.moc"
