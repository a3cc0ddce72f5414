#include "app/widgets/DeskMonitor.h"

#include "WidgetCapture.h"

#include <QPointer>
#include <QTest>

class TestDeskMonitor : public QObject
{
    Q_OBJECT

private slots:
    void placement_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("content");
        QTest::newRow("square") << QSize(400, 400) << QRect(0, 87, 400, 225);
        QTest::newRow("wide") << QSize(1000, 300) << QRect(233, 0, 533, 299);
        QTest::newRow("exact 16:9") << QSize(1600, 900) << QRect(0, 0, 1600, 900);
        QTest::newRow("minimum") << QSize(120, 80) << QRect(0, 6, 120, 67);
    }

    void placement()
    {
        QFETCH(QSize, size);
        QFETCH(QRect, content);
        auto *picture = new QWidget;
        DeskMonitor monitor(picture);
        QCOMPARE(picture->parentWidget(), &monitor);
        QCOMPARE(monitor.content(), picture);
        monitor.resize(size);
        monitor.show();
        QTRY_COMPARE(monitor.size(), size);
        QCOMPARE(picture->geometry(), content);
    }

    void blackFrameAroundTheContent()
    {
        auto *picture = new QWidget;
        picture->setAutoFillBackground(true);
        QPalette pal = picture->palette();
        pal.setColor(QPalette::Window, Qt::red);
        picture->setPalette(pal);
        DeskMonitor monitor(picture);
        QVERIFY(monitor.parentWidget() == nullptr);
        QCOMPARE(monitor.minimumSize(), QSize(120, 80));
        QCOMPARE(monitor.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(monitor.sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(monitor.palette().color(group, QPalette::Window), QColor(Qt::black));
        monitor.resize(400, 400);
        const QImage image = grabWidget(&monitor);
        saveCapture(image, QStringLiteral("desk-monitor-400x400"));
        QCOMPARE(image.pixel(200, 40), QColor(Qt::black).rgb());
        QCOMPARE(image.pixel(200, 200), QColor(Qt::red).rgb());
        QCOMPARE(image.pixel(200, 360), QColor(Qt::black).rgb());
    }

    void contentDeletedFirstIsHarmless()
    {
        auto *picture = new QWidget;
        DeskMonitor monitor(picture);
        delete picture;
        QVERIFY(!monitor.content());
        monitor.resize(300, 300);
        monitor.show();
        QTRY_COMPARE(monitor.size(), QSize(300, 300));
    }
};

QTEST_MAIN(TestDeskMonitor)
#include "tst_deskmonitor.moc"
