#include "app/widgets/BrandMark.h"

#include "WidgetCapture.h"

#include <QTest>

class TestBrandMark : public QObject
{
    Q_OBJECT

private slots:
    // The rail's 24 x 26 mark: drawn into (0, 1, 24, 24).
    void paintsTheMarkOneRowDown()
    {
        BrandMark mark;
        mark.setAutoFillBackground(true);
        QPalette pal = mark.palette();
        pal.setColor(QPalette::Window, Qt::black);
        mark.setPalette(pal);
        mark.setFixedSize(24, 26);
        const QImage image = grabWidget(&mark);
        saveCapture(image.scaled(96, 104), QStringLiteral("brand-mark-x4"));
        QCOMPARE(image.pixel(12, 1), QColor(Qt::black).rgb()); // grid y 0..8 is empty
        QVERIFY(qRed(image.pixel(12, 4)) >= 0xf0);             // top bar of the Z
        QVERIFY(qRed(image.pixel(12, 22)) >= 0xe0);            // bottom bar
        QCOMPARE(image.pixel(12, 25), QColor(Qt::black).rgb()); // below the mark
        QVERIFY(hasColorNear(image, QRect(17, 15, 2, 2), QColor(QStringLiteral("#ffe08a")), 40));
    }
};

QTEST_MAIN(TestBrandMark)
#include "tst_brandmark.moc"
