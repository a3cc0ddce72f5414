#include "app/widgets/ElidedLabel.h"

#include "WidgetCapture.h"

#include <QTest>

class TestElidedLabel : public QObject
{
    Q_OBJECT

private slots:
    void sizeHints()
    {
        ElidedLabel label(QStringLiteral("A very long heading that would widen the header row a lot"));
        QLabel plain(label.text());
        QCOMPARE(label.minimumSizeHint(), QSize(0, plain.minimumSizeHint().height()));
        QCOMPARE(label.sizeHint(), QSize(140, plain.sizeHint().height()));
    }

    void longPathKeepsStartAndEnd()
    {
        const QString path = QStringLiteral("/media/shows/2026/opening-night/rehearsal/final/03 - Speaker intro.mkv");
        ElidedLabel label(path);
        label.resize(220, 24);
        const QString shown = label.elidedText();
        QVERIFY(shown.contains(QChar(0x2026)));
        QVERIFY(shown.startsWith(QStringLiteral("/media")));
        QVERIFY(shown.endsWith(QStringLiteral(".mkv")));
        QVERIFY(label.fontMetrics().horizontalAdvance(shown) <= label.contentsRect().width());
        // The text itself is kept whole.
        QCOMPARE(label.text(), path);

        label.resize(2000, 24);
        QCOMPARE(label.elidedText(), path);
    }

    void paintsWithinItsWidth()
    {
        ElidedLabel label(QStringLiteral("MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM"));
        QPalette pal = label.palette();
        pal.setColor(QPalette::Window, Qt::black);
        pal.setColor(QPalette::WindowText, QColor(QStringLiteral("#e4edf6")));
        label.setPalette(pal);
        label.setAutoFillBackground(true);
        label.resize(160, 24);
        const QImage image = grabWidget(&label);
        saveCapture(image, QStringLiteral("elided-label"));
        QVERIFY(hasColorNear(image, QRect(0, 0, 30, 24), QColor(QStringLiteral("#e4edf6")), 40));
        QVERIFY(hasColorNear(image, QRect(130, 0, 30, 24), QColor(QStringLiteral("#e4edf6")), 40));
    }
};

QTEST_MAIN(TestElidedLabel)
#include "tst_elidedlabel.moc"
