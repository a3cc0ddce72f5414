#include "app/widgets/MediaDelegate.h"

#include "WidgetCapture.h"

#include <QApplication>
#include <QPainter>
#include <QStandardItemModel>
#include <QTest>

namespace {

const QColor violet(QStringLiteral("#b38bea"));
const QColor coral(QStringLiteral("#f37e75"));
const QColor cyan(QStringLiteral("#64cde0"));
const QColor nameInk(QStringLiteral("#e4edf6"));
const QRect tile(0, 0, 420, 48);

// Paints one tile of (name, status) on a dark background, as the running order shows it.
QImage paintTile(const QString &name, const QString &status)
{
    QStandardItemModel model;
    auto *item = new QStandardItem(name);
    if (!status.isNull())
        item->setData(status, MediaDelegate::statusRole);
    model.appendRow(item);
    MediaDelegate delegate;
    QStyleOptionViewItem option;
    option.rect = tile;
    option.font = QApplication::font();
    option.state = QStyle::State_Enabled;
    QImage image(tile.size(), QImage::Format_ARGB32);
    image.fill(QColor(QStringLiteral("#0d151d")));
    QPainter painter(&image);
    delegate.paint(&painter, option, model.index(0, 0));
    painter.end();
    return image;
}

int countNear(const QImage &image, const QRect &rect, const QColor &color, int tolerance)
{
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (colorDistance(image.pixel(x, y), color.rgb()) <= tolerance)
                ++n;
    return n;
}

} // namespace

class TestMediaDelegate : public QObject
{
    Q_OBJECT

private slots:
    void statusColour_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("color");
        QTest::newRow("A") << "A · ON AIR" << "#f37e75";
        QTest::newRow("PROGRAM") << "PROGRAM" << "#f37e75";
        QTest::newRow("PROGRAM B") << "PROGRAM B" << "#f37e75";
        QTest::newRow("B") << "B" << "#b38bea";
        QTest::newRow("lower b") << "b" << "#64cde0";
        QTest::newRow("Program lower") << "Program" << "#64cde0";
        QTest::newRow("CUED") << "CUED" << "#64cde0";
        QTest::newRow("empty") << "" << "#64cde0";
    }

    void statusColour()
    {
        QFETCH(QString, status);
        QFETCH(QString, color);
        QCOMPARE(MediaDelegate::statusColor(status), QColor(color));
    }

    // Badge and status of a tile whose status is "B" are violet; nothing is drawn in the other
    // status colours; the name stays left of the status.
    void programBTile()
    {
        const QImage image = paintTile(QStringLiteral("02 - Opening film.mov"), QStringLiteral("B"));
        saveCapture(image, QStringLiteral("media-tile-b"));
        const QRect badge(8, 12, 46, 24);
        QCOMPARE(image.pixel(12, 30), QColor(QStringLiteral("#1a3040")).rgb());
        QVERIFY(colorDistance(image.pixel(30, 12), QColor(QStringLiteral("#324d61")).rgb()) <= 6); // border
        QVERIFY(colorDistance(image.pixel(30, 35), QColor(QStringLiteral("#324d61")).rgb()) <= 6);
        QCOMPARE(image.pixel(30, 11), QColor(QStringLiteral("#0d151d")).rgb());
        QVERIFY(countNear(image, badge, violet, 60) > 5);
        // Status at the right: width max(advance + 12, 49) ending at r's right edge (412).
        const QRect status(412 - 49, 14, 49, 20);
        QVERIFY(countNear(image, status, violet, 60) > 3);
        QCOMPARE(countNear(image, tile, cyan, 40), 0);
        QCOMPARE(countNear(image, tile, coral, 40), 0);
        // The name in its colour, between the badge and the status.
        QVERIFY(countNear(image, QRect(66, 5, 100, 38), nameInk, 60) > 10);
        QCOMPARE(countNear(image, status, nameInk, 60), 0);
    }

    void longNameIsElidedBeforeTheStatus()
    {
        const QString name = QStringLiteral("A very long media file name that cannot fit into one running order tile at all.mp4");
        const QImage image = paintTile(name, QStringLiteral("PROGRAM A · ON AIR"));
        saveCapture(image, QStringLiteral("media-tile-long"));
        const int advance = QFontMetrics(QApplication::font()).horizontalAdvance(QStringLiteral("PROGRAM A · ON AIR"));
        const int width = std::min(std::max(advance + 12, 49), 404 - 64);
        const QRect status(412 - width, 14, width, 20);
        QVERIFY(countNear(image, status, coral, 60) > 5);
        QCOMPARE(countNear(image, status.adjusted(-5, 0, 0, 0), nameInk, 60), 0);
        QVERIFY(countNear(image, QRect(66, 5, 60, 38), nameInk, 60) > 10);
    }

    void noStatusGivesTheNameTheWholeWidth()
    {
        const QString name = QStringLiteral("A very long media file name that cannot fit into one running order tile at all.mp4");
        const QImage image = paintTile(name, QString());
        // No status text: the name runs to the right edge and the badge is cyan.
        QVERIFY(countNear(image, QRect(360, 5, 52, 38), nameInk, 60) > 5);
        QVERIFY(countNear(image, QRect(8, 12, 46, 24), cyan, 60) > 5);
    }

    void badgeShowsAtMostSixSuffixCharacters()
    {
        // An overlong suffix is cut, not spilled beyond the badge.
        const QImage image = paintTile(QStringLiteral("clip.verylongsuffix"), QStringLiteral("B"));
        QCOMPARE(countNear(image, QRect(55, 0, 10, 48), violet, 60), 0);
    }
};

QTEST_MAIN(TestMediaDelegate)
#include "tst_mediadelegate.moc"
