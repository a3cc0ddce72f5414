// Pictures of MAIN, EDIT and the Library with a clip playing on Program A and a card proven on the
// Preview, in both languages, for a person to look at (<build dir>/captures/desk). Runs on the X
// display: the decks' video views draw outside the widget backing store, so the screen is grabbed.
#include "support/FrameCode.h"
#include "app/AppStyle.h"
#include "app/MainWindow.h"

#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QVideoWidget>
#include <QtTest>

class DeskCapturesTest : public QObject
{
    Q_OBJECT

private slots:
    // The captures show the window as the program styles it.
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        qApp->setStyleSheet(applicationStyleSheet());
    }

    void init() { state = std::make_unique<QTemporaryDir>(); }

    // Pictures of MAIN, EDIT and the Library with a clip playing on Program A and a card proven on
    // the Preview, for a person to look at.
    void captures_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("en") << "en";
        QTest::newRow("pt-BR") << "pt-BR";
    }

    void captures()
    {
        QFETCH(QString, language);
        const QString dir = qEnvironmentVariable("ZELVO_BUILD_DIR") + QStringLiteral("/captures/desk");
        QVERIFY(QDir().mkpath(dir));
        MainWindow window(false, language, state->path());
        window.resize(1600, 1000);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.addMedia({fixture(QStringLiteral("clip_360p25.mp4")), fixture(QStringLiteral("card_green.mp4")),
                         fixture(QStringLiteral("card_blue.mp4"))});
        cueRow(window, 0);
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cut")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(window.channel(0)->isPlaying() && frameCodeOf(window.channel(0)->currentFrame()) > 5, 15000);
        cueRow(window, 1);
        QTest::qWait(400);
        const QStringList pages = {QStringLiteral("main"), QStringLiteral("edit"), QStringLiteral("library")};
        for (int page = 0; page < pages.size(); ++page) {
            window.showPage(page);
            QTest::qWait(300);
            // The decks' video views draw outside the widget backing store: take the screen's pixels.
            // On a busy machine the monitors may paint later than the page; MAIN waits for them.
            QImage image = window.screen()->grabWindow(window.winId()).toImage();
            QDeadlineTimer deadline(10000);
            while (page == 0 && !monitorsShowPictures(window, image) && !deadline.hasExpired()) {
                QTest::qWait(100);
                image = window.screen()->grabWindow(window.winId()).toImage();
            }
            QVERIFY(!image.isNull());
            QVERIFY(image.save(dir + QStringLiteral("/%1-%2.png").arg(pages[page], language)));
            if (page == 0)
                QVERIFY2(monitorsShowPictures(window, image), "the desk monitors are black");
        }
        window.channel(0)->clear();
    }

private:
    std::unique_ptr<QTemporaryDir> state;

    static QString fixture(const QString &name)
    {
        return QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(name);
    }

    // Both MAIN monitors hold a deck's picture: some pixel of each is far from black.
    static bool monitorsShowPictures(MainWindow &window, const QImage &image)
    {
        int lit = 0;
        const qreal ratio = image.width() / qreal(window.width());
        for (QVideoWidget *view : window.findChildren<QVideoWidget *>()) {
            if (!view->isVisible())
                continue;
            const QRect area(view->mapTo(&window, QPoint(0, 0)) * ratio, view->size() * ratio);
            bool found = false;
            for (int y = area.top(); y < area.bottom() && !found; y += 4)
                for (int x = area.left(); x < area.right() && !found; x += 4)
                    found = image.rect().contains(x, y) && qGray(image.pixel(x, y)) > 60;
            lit += found ? 1 : 0;
        }
        return lit >= 2;
    }

    static void cueRow(MainWindow &window, int row)
    {
        QTableWidget *table = window.runningOrder();
        table->setCurrentCell(row, 1);
        emit table->cellDoubleClicked(row, 1);
        QTRY_VERIFY_WITH_TIMEOUT(window.cueReadiness()->readyFor(window.workingPlaylist()[row]), 20000);
    }
};

QTEST_MAIN(DeskCapturesTest)
#include "tst_deskcaptures.moc"
