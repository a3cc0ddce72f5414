// The Outputs page on a real window: the stored route keys as the AREA row reads them, the region a
// route hands its window, the scaling line for real decoded pictures, the Program inventory with
// removal and its re-indexed routes, and the 64 Program / 128 route limits.
#include "app/AppStyle.h"
#include "app/MainWindow.h"
#include "WidgetCapture.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QStyleFactory>
#include <QtTest>

namespace {

QPushButton *buttonWithText(QWidget *root, const QString &text)
{
    for (QPushButton *candidate : root->findChildren<QPushButton *>())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

QList<int> routePrograms(const MainWindow &window)
{
    QList<int> result;
    for (int r = 0; r < window.routeTotal(); ++r)
        result << window.routeSource(r)->currentIndex();
    return result;
}

} // namespace

class OutputsPageTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { state = std::make_unique<QTemporaryDir>(); }

    void storedRouteKeys_data()
    {
        QTest::addColumn<QVariant>("area");
        QTest::addColumn<QVariant>("region");
        QTest::addColumn<QVariant>("scaler");
        QTest::addColumn<int>("expectedArea");
        QTest::addColumn<QList<double>>("boxes");
        QTest::addColumn<QString>("expectedScaler");
        QTest::addColumn<QString>("storedRegion");

        QTest::newRow("nothing stored") << QVariant() << QVariant() << QVariant() << 0 << QList<double>{0, 0, 100, 100}
                                        << "native" << "0,0,100,100";
        QTest::newRow("three parts") << QVariant(12) << QVariant("10,20,30") << QVariant("gpu") << 12
                                     << QList<double>{0, 0, 100, 100} << "gpu" << "0,0,100,100";
        QTest::newRow("clamped parts") << QVariant(12) << QVariant("120,0,0,50") << QVariant("lanczos") << 12
                                       << QList<double>{99, 0, 1, 50} << "lanczos" << "99,0,1,50";
        QTest::newRow("area above custom") << QVariant(40) << QVariant("25,0,50,100") << QVariant("bicubic") << 12
                                           << QList<double>{25, 0, 50, 100} << "native" << "25,0,50,100";
        QTest::newRow("negative area, text part") << QVariant(-3) << QVariant("x,12.5,33.333,40") << QVariant() << 0
                                                  << QList<double>{0, 12.5, 33.33, 40} << "native" << "0,12.5,33.33,40";
    }

    void storedRouteKeys()
    {
        QFETCH(QVariant, area);
        QFETCH(QVariant, region);
        QFETCH(QVariant, scaler);
        QFETCH(int, expectedArea);
        QFETCH(QList<double>, boxes);
        QFETCH(QString, expectedScaler);
        QFETCH(QString, storedRegion);
        {
            QSettings stored(state->filePath("preferences.ini"), QSettings::IniFormat);
            if (area.isValid())
                stored.setValue("outputArea0", area);
            if (region.isValid())
                stored.setValue("outputRegion0", region);
            if (scaler.isValid())
                stored.setValue("outputScaler0", scaler);
        }
        MainWindow window(false, "en", state->path());
        QCOMPARE(window.routeArea(0)->currentIndex(), expectedArea);
        for (int field = 0; field < 4; ++field) {
            QCOMPARE(window.routeAreaBox(0, field)->value(), boxes[field]);
            QCOMPARE(!window.routeAreaBox(0, field)->isHidden(), expectedArea == 12);
        }
        QCOMPARE(window.routeScaling(0)->currentData().toString(), expectedScaler);
        // Building the row writes both area keys back in their normal form.
        QCOMPARE(window.preferences()->value("outputArea0").toInt(), expectedArea);
        QCOMPARE(window.preferences()->value("outputRegion0").toString(), storedRegion);
    }

    void areaPresetsAndCustomRegion()
    {
        MainWindow window(false, "en", state->path());
        QCOMPARE(MainWindow::areaPresets().size(), 12);
        QComboBox *area = window.routeArea(0);
        QCOMPARE(area->count(), 13);
        QCOMPARE(area->itemText(0), QStringLiteral("Full frame"));
        area->setCurrentIndex(7);
        QCOMPARE(window.routeRegion(0), QRectF(2.0 / 3.0, 0, 1.0 / 3.0, 1));
        area->setCurrentIndex(12);
        window.routeAreaBox(0, 0)->setValue(25);
        window.routeAreaBox(0, 2)->setValue(50);
        QCOMPARE(window.routeRegion(0), QRectF(0.25, 0, 0.5, 1));
        QCOMPARE(window.preferences()->value("outputRegion0").toString(), QStringLiteral("25,0,50,100"));
        // A preset hides the boxes and keeps their values in the stored region.
        area->setCurrentIndex(9);
        QVERIFY(window.routeAreaBox(0, 0)->isHidden());
        QCOMPARE(window.preferences()->value("outputRegion0").toString(), QStringLiteral("25,0,50,100"));
        QCOMPARE(window.preferences()->value("outputArea0").toInt(), 9);
        QCOMPARE(window.routeRegion(0), QRectF(0.5, 0, 0.5, 0.5));
        QCOMPARE(window.routeRegion(5), QRectF(0, 0, 1, 1));
    }

    // Real pictures on Program A into the floating test window's 720 x 405.
    void scalingLine_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("line");
        QTest::newRow("1080p") << "clip_1080p25.mp4" << "Source 1920 × 1080 → Output 720 × 405 · Downscale";
        QTest::newRow("360p") << "clip_360p25.mp4" << "Source 640 × 360 → Output 720 × 405 · Upscale";
        QTest::newRow("720x300") << "generated-720x300.mp4" << "Source 720 × 300 → Output 720 × 405 · 1:1";
    }

    void scalingLine()
    {
        QFETCH(QString, clip);
        QFETCH(QString, line);
        QString path = QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(clip);
        if (clip.startsWith("generated")) {
            path = state->filePath(clip);
            QCOMPARE(QProcess::execute("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=720x300:rate=25:duration=1",
                                                  "-pix_fmt", "yuv420p", "-c:v", "libx264", "-y", path}),
                     0);
        }
        QVERIFY2(QFile::exists(path), qPrintable(path));
        MainWindow window(false, "en", state->path());
        QCOMPARE(window.routeScalingLine(0)->text(), QStringLiteral("No media loaded"));
        window.channel(0)->loadPath(path, false);
        QTRY_VERIFY_WITH_TIMEOUT(!window.channel(0)->currentFrame().size().isEmpty(), 15000);
        window.refreshScalingInfo();
        QCOMPARE(window.routeScalingLine(0)->text(), line);
        window.channel(0)->clear();
    }

    void sampleContentScalingLines()
    {
        MainWindow window(true, "en", state->path());
        window.addRoute(0);
        window.addRoute(0);
        window.refreshScalingInfo();
        QCOMPARE(window.routeScalingLine(0)->text(), QStringLiteral("Source 3840 × 2160 → Output 720 × 405 · Downscale"));
        QCOMPARE(window.routeScalingLine(2)->text(), QStringLiteral("Source 1920 × 1080 → Output 720 × 405 · Downscale"));
        QVERIFY(!window.preferences()->contains("outputArea0"));
    }

    void inventoryAndRemovalReindexRoutes()
    {
        MainWindow window(false, "en", state->path());
        QTableWidget *inventory = window.programInventory();
        QCOMPARE(inventory->rowCount(), 1);
        QCOMPARE(inventory->item(0, 2)->text(), QStringLiteral("01"));
        QPushButton *remove = buttonWithText(&window, "Remove selected Program");
        QVERIFY(remove && !remove->isEnabled());
        QPushButton *removeRoute = buttonWithText(&window, "Remove last display output");
        QVERIFY(removeRoute && !removeRoute->isEnabled());

        for (int i = 0; i < 3; ++i)
            QVERIFY(window.addProgram(false));
        QPushButton *addProgramButton = buttonWithText(window.pages()->widget(3), "+ Add Program");
        QVERIFY(addProgramButton);
        QVERIFY(window.addRoute(2));
        QVERIFY(window.addRoute(3));
        QCOMPARE(routePrograms(window), (QList<int>{0, 2, 3}));
        QCOMPARE(inventory->rowCount(), 4);
        QCOMPARE(inventory->item(1, 2)->text(), QStringLiteral("No display route"));
        QCOMPARE(inventory->item(2, 2)->text(), QStringLiteral("02"));

        // The Program at index 2 of four goes; routes on 0, 2 and 3 then show 0, 0 and 2.
        window.selectProgram(2, false);
        QVERIFY(remove->isEnabled());
        remove->click();
        QCOMPARE(window.programTotal(), 3);
        QCOMPARE(routePrograms(window), (QList<int>{0, 0, 2}));
        QCOMPARE(inventory->rowCount(), 3);
        QCOMPARE(inventory->item(0, 2)->text(), QStringLiteral("01, 02"));
        QCOMPARE(inventory->item(2, 2)->text(), QStringLiteral("03"));
        QVERIFY(window.isModified());
        QCOMPARE(window.selectedProgram(), 0);
        QVERIFY(!remove->isEnabled());
        QVERIFY(!window.removeSelectedProgram());
        QCOMPARE(window.statusText(), QStringLiteral("The main Program cannot be removed."));
    }

    void inventoryHeightStopsAtFiveRows()
    {
        MainWindow window(false, "en", state->path());
        for (int i = 0; i < 4; ++i)
            window.addProgram(false);
        const int five = window.programInventory()->height();
        window.addProgram(false);
        window.addProgram(false);
        QCOMPARE(window.programInventory()->height(), five);
        window.selectProgram(6, true);
        window.removeSelectedProgram();
        QCOMPARE(window.programInventory()->height(), five);
    }

    void limitsRefuseWithTheirTexts()
    {
        MainWindow window(false, "en", state->path());
        while (window.programTotal() < 64)
            QVERIFY(window.addProgram(false));
        QPushButton *addProgramButton = buttonWithText(window.pages()->widget(3), "+ Add Program");
        QVERIFY(addProgramButton->isEnabled());
        QVERIFY(!window.findChild<QPushButton *>("addProgram")->isEnabled());
        addProgramButton->click();
        QCOMPARE(window.programTotal(), 64);
        QCOMPARE(window.statusText(), QStringLiteral("Program allocation limit reached"));

        while (window.routeTotal() < 128)
            QVERIFY(window.addRoute(0));
        QPushButton *addDisplay = buttonWithText(&window, "+ Add display output");
        QVERIFY(!addDisplay->isEnabled());
        QVERIFY(!window.addRoute(0));
        QCOMPARE(window.routeTotal(), 128);
        for (int row = 0; row < 64; ++row)
            QVERIFY(!window.programInventory()->cellWidget(row, 3)->isEnabled());
        QVERIFY(buttonWithText(&window, "Remove last display output")->isEnabled());
        buttonWithText(&window, "Remove last display output")->click();
        QCOMPARE(window.routeTotal(), 127);
        QVERIFY(addDisplay->isEnabled());
    }

    void countLabelWordsAndCaptures_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("en") << "en";
        QTest::newRow("pt-BR") << "pt-BR";
    }

    void countLabelWordsAndCaptures()
    {
        QFETCH(QString, language);
        // The captures show the window as the program styles it.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        qApp->setStyleSheet(applicationStyleSheet());
        MainWindow window(false, language, state->path());
        window.resize(1600, 1000);
        const QString single = window.programInventory()->parentWidget()->findChildren<QLabel *>().first()->text();
        if (language == "en")
            QCOMPARE(single, QStringLiteral("1 Program · 1 display route"));
        window.addProgram(false);
        window.addRoute(1);
        window.addRoute(0);
        const QString plural = window.programInventory()->parentWidget()->findChildren<QLabel *>().first()->text();
        if (language == "en")
            QCOMPARE(plural, QStringLiteral("2 Programs · 3 display routes"));
        else
            QVERIFY2(plural.startsWith("2 ") && plural.contains(" · 3 "), qPrintable(plural));
        window.showPage(3);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.routeArea(1)->setCurrentIndex(12);
        const QString dir = qEnvironmentVariable("ZELVO_BUILD_DIR") + "/captures/pages";
        QDir().mkpath(dir);
        window.captureBoard(dir + "/outputs-" + language + ".png");
        QVERIFY(QFile::exists(dir + "/outputs-" + language + ".png"));
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(OutputsPageTest)
#include "tst_outputspage.moc"
