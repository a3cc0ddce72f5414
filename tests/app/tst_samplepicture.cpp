#include "app/widgets/SamplePicture.h"

#include "WidgetCapture.h"

#include <QTest>

class TestSamplePicture : public QObject
{
    Q_OBJECT

private slots:
    void accentByVariant_data()
    {
        QTest::addColumn<int>("variant");
        QTest::addColumn<QString>("accent");
        QTest::newRow("1 amber") << 1 << "#efad60";
        QTest::newRow("2 violet") << 2 << "#a480ee";
        QTest::newRow("0 blue") << 0 << "#46a9e2";
        QTest::newRow("other blue") << 7 << "#46a9e2";
    }

    void accentByVariant()
    {
        QFETCH(int, variant);
        QFETCH(QString, accent);
        SamplePicture picture(variant);
        QCOMPARE(picture.accent(), QColor(accent));
        picture.resize(960, 540);
        const QImage image = grabWidget(&picture);
        saveCapture(image, QStringLiteral("sample-picture-%1").arg(variant));

        // Fixed layers of the stage.
        QVERIFY(colorDistance(image.pixel(480, 2), QColor(QStringLiteral("#030b15")).rgb()) <= 6);
        QCOMPARE(image.pixel(62, 300), QColor(QStringLiteral("#182735")).rgb()); // left pillar
        QCOMPARE(image.pixel(898, 300), QColor(QStringLiteral("#182735")).rgb()); // right pillar
        QVERIFY(hasColorNear(image, QRect(55, 36, 850, 4), QColor(QStringLiteral("#31465a")), 12)); // truss
        QCOMPARE(image.pixel(300, 420), QColor(QStringLiteral("#07101b")).rgb()); // stage front
        QVERIFY(hasColorNear(image, QRect(18, 500, 160, 24), QColor(QStringLiteral("#a7b6c9")), 40)); // caption
        QVERIFY(hasColorNear(image, QRect(0, 520, 960, 20), QColor(QStringLiteral("#030812")), 4)); // audience

        // The screen takes the accent's hue.
        const QColor screen = QColor::fromRgb(image.pixel(480, 267));
        const QColor tint(accent);
        QCOMPARE(screen.red() > screen.blue(), tint.red() > tint.blue());
        QCOMPARE(screen.green() > screen.blue(), tint.green() > tint.blue());
        // The lamp of the first beam is the accent lightened.
        QVERIFY(hasColorNear(image, QRect(98, 73, 5, 4), tint.lighter(155), 60));
    }

    void scalesToTheWidget()
    {
        SamplePicture picture(1);
        picture.resize(480, 270);
        const QImage image = grabWidget(&picture);
        QCOMPARE(image.size(), QSize(480, 270));
        QCOMPARE(image.pixel(31, 150), QColor(QStringLiteral("#182735")).rgb()); // pillar at half scale
    }
};

QTEST_MAIN(TestSamplePicture)
#include "tst_samplepicture.moc"
