#include "app/widgets/LineIcons.h"

#include "WidgetCapture.h"

#include <QPainter>
#include <QTest>

namespace {

const QColor ink(QStringLiteral("#64d3e6"));

QImage iconImage(int kind, const QColor &color = ink)
{
    const QIcon icon = lineIcon(kind, color);
    return icon.pixmap(QSize(48, 48)).toImage().convertToFormat(QImage::Format_ARGB32);
}

bool isInk(QRgb pixel, const QColor &color = ink)
{
    return qAlpha(pixel) >= 200 && colorDistance(pixel, color.rgb()) <= 12;
}

bool isEmpty(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

} // namespace

class TestLineIcons : public QObject
{
    Q_OBJECT

private slots:
    // One point that each shape covers and one that it must leave clear, in pixels of the 48 x 48
    // picture (twice the 24 x 24 grid).
    void shapes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QPoint>("drawn");
        QTest::addColumn<QPoint>("clear");
        QTest::newRow("0 play") << 0 << QPoint(20, 24) << QPoint(8, 8);
        QTest::newRow("1 pause") << 1 << QPoint(16, 24) << QPoint(24, 24);
        QTest::newRow("2 stop") << 2 << QPoint(24, 24) << QPoint(6, 6);
        QTest::newRow("3 skip back") << 3 << QPoint(10, 24) << QPoint(42, 6);
        QTest::newRow("3 skip back triangle") << 3 << QPoint(28, 24) << QPoint(14, 10);
        QTest::newRow("5 pencil") << 5 << QPoint(20, 20) << QPoint(24, 24);
        QTest::newRow("6 folder") << 6 << QPoint(24, 40) << QPoint(24, 28);
        QTest::newRow("7 display") << 7 << QPoint(24, 38) << QPoint(24, 20);
        QTest::newRow("8 level bars") << 8 << QPoint(10, 14) << QPoint(20, 14);
        QTest::newRow("9 gear ring") << 9 << QPoint(38, 24) << QPoint(24, 24);
        QTest::newRow("9 gear spoke") << 9 << QPoint(41, 24) << QPoint(46, 24);
        QTest::newRow("10 scissors") << 10 << QPoint(18, 36) << QPoint(12, 36);
        QTest::newRow("11 two triangles") << 11 << QPoint(12, 24) << QPoint(24, 10);
        QTest::newRow("11 second triangle") << 11 << QPoint(36, 24) << QPoint(24, 40);
        QTest::newRow("12 plus") << 12 << QPoint(24, 24) << QPoint(12, 12);
        QTest::newRow("13 save") << 13 << QPoint(24, 28) << QPoint(24, 35);
        QTest::newRow("14 arrow up") << 14 << QPoint(24, 24) << QPoint(12, 36);
        QTest::newRow("15 arrow down") << 15 << QPoint(24, 24) << QPoint(12, 12);
        QTest::newRow("16 open outside") << 16 << QPoint(31, 17) << QPoint(16, 20);
        QTest::newRow("17 into a box") << 17 << QPoint(32, 18) << QPoint(14, 32);
        QTest::newRow("18 full screen") << 18 << QPoint(8, 8) << QPoint(24, 24);
        QTest::newRow("18 full screen opposite") << 18 << QPoint(40, 40) << QPoint(24, 40);
        QTest::newRow("19 sound on") << 19 << QPoint(10, 24) << QPoint(36, 24);
        QTest::newRow("19 sound on arc") << 19 << QPoint(40, 24) << QPoint(46, 4);
        QTest::newRow("20 sound off") << 20 << QPoint(36, 24) << QPoint(40, 24);
        QTest::newRow("20 sound off speaker") << 20 << QPoint(10, 24) << QPoint(28, 24);
    }

    void shapes()
    {
        QFETCH(int, kind);
        QFETCH(QPoint, drawn);
        QFETCH(QPoint, clear);
        const QImage image = iconImage(kind);
        QCOMPARE(image.size(), QSize(48, 48));
        QVERIFY2(isInk(image.pixel(drawn)), qPrintable(QString::number(image.pixel(drawn), 16)));
        QCOMPARE(qAlpha(image.pixel(clear)), 0);
    }

    void everyKindDrawsInItsColour()
    {
        const QColor rail(QStringLiteral("#afc2d5"));
        QImage sheet(48 * 21, 48, QImage::Format_ARGB32);
        sheet.fill(QColor(QStringLiteral("#101820")));
        QPainter painter(&sheet);
        for (int kind = 0; kind <= 20; ++kind) {
            const QImage image = iconImage(kind, rail);
            QVERIFY2(!isEmpty(image), qPrintable(QString::number(kind)));
            bool foreign = false;
            for (int y = 0; y < 48; ++y)
                for (int x = 0; x < 48; ++x) {
                    const QRgb p = image.pixel(x, y);
                    // Premultiplied edges aside, every painted pixel has the icon's colour.
                    if (qAlpha(p) == 255 && colorDistance(p, rail.rgb()) > 3)
                        foreign = true;
                }
            QVERIFY2(!foreign, qPrintable(QString::number(kind)));
            painter.drawImage(48 * kind, 0, image);
        }
        painter.end();
        saveCapture(sheet, QStringLiteral("line-icons"));
    }

    void outOfRangeKindsAreTransparent()
    {
        for (int kind : {-1, 21, 1000}) {
            const QImage image = iconImage(kind);
            QCOMPARE(image.size(), QSize(48, 48));
            QVERIFY(isEmpty(image));
        }
    }

    void playKindsAreIdentical()
    {
        QCOMPARE(iconImage(0), iconImage(4));
        QVERIFY(iconImage(0) != iconImage(1));
    }

    void pixmapKeepsRatioOne()
    {
        const QList<QSize> sizes = lineIcon(5, ink).availableSizes();
        QCOMPARE(sizes, QList<QSize>{QSize(48, 48)});
        QCOMPARE(lineIcon(5, ink).pixmap(QSize(48, 48)).devicePixelRatio(), 1.0);
    }

    void applicationIconSizes()
    {
        const QIcon icon = makeApplicationIcon();
        QCOMPARE(icon.availableSizes(),
                 (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    }

    void applicationIconPicture()
    {
        const QImage image = makeApplicationIcon().pixmap(QSize(256, 256)).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(256, 256));
        saveCapture(image, QStringLiteral("application-icon-256"));
        const QColor plate(QStringLiteral("#14110c"));
        QCOMPARE(qAlpha(image.pixel(1, 1)), 0); // rounded corner
        QVERIFY(isInk(image.pixel(128, 14), plate)); // above the mark
        QVERIFY(isInk(image.pixel(147, 147), plate)); // the notch between Z and play mark
        QVERIFY(isInk(image.pixel(176, 147), QColor(QStringLiteral("#ffe08a"))));
        // Top bar of the Z: between the two ends of its gradient.
        const QRgb bar = image.pixel(128, 62);
        QVERIFY(qRed(bar) >= 0xf0 && qGreen(bar) > 0x86 && qGreen(bar) < 0xc2 && qBlue(bar) > 0x1c && qBlue(bar) < 0x47);
        // The gradient runs from the top left (lighter) to the bottom right (deeper orange).
        QVERIFY(qGreen(image.pixel(50, 50)) > qGreen(image.pixel(200, 200)) + 40);
    }

    void brandMarkFillsItsRectangle()
    {
        QImage image(300, 200, QImage::Format_ARGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        painter.setPen(Qt::red);
        drawBrandMark(&painter, QRectF(100, 50, 100, 100));
        // The painter is left as it was found.
        QCOMPARE(painter.pen().color(), QColor(Qt::red));
        QCOMPARE(painter.transform(), QTransform());
        painter.end();
        QCOMPARE(image.pixel(150, 56), QColor(Qt::black).rgb()); // above the bar (y 8 on the grid)
        QVERIFY(qRed(image.pixel(150, 66)) >= 0xf0);                // the bar
        QVERIFY(isInk(image.pixel(175, 110), QColor(QStringLiteral("#ffe08a"))));
        QCOMPARE(image.pixel(99, 100), QColor(Qt::black).rgb());
    }
};

QTEST_MAIN(TestLineIcons)
#include "tst_lineicons.moc"
