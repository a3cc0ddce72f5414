#include "web/Nv12Conversion.h"

#include <QTest>
#include <vector>

class TestNv12 : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setNv12ThreadsForTesting(0); }

    void colours_data()
    {
        QTest::addColumn<QRgb>("colour");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("cb");
        QTest::addColumn<int>("cr");
        QTest::newRow("black") << qRgb(0, 0, 0) << 16 << 128 << 128;
        QTest::newRow("white") << qRgb(255, 255, 255) << 235 << 127 << 128;
        QTest::newRow("blue") << qRgb(0, 0, 255) << 32 << 240 << 118;
        QTest::newRow("red") << qRgb(255, 0, 0) << 63 << 102 << 240;
    }
    void colours()
    {
        QFETCH(QRgb, colour);
        QFETCH(int, y);
        QFETCH(int, cb);
        QFETCH(int, cr);
        QImage image(4, 4, QImage::Format_RGB32);
        image.fill(colour);
        std::vector<uint8_t> out(24, 0xAA);
        convertToNv12(image, out.data());
        for (int i = 0; i < 16; ++i)
            QCOMPARE(int(out[i]), y);
        for (int i = 16; i < 24; i += 2) {
            QCOMPARE(int(out[i]), cb);
            QCOMPARE(int(out[i + 1]), cr);
        }
    }

    void chromaAveragesTheBlock()
    {
        // Left column blue, right column black: Cb from the average of the 2x2 block.
        QImage image(2, 2, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgb(0, 0, 255));
        image.setPixel(0, 1, qRgb(0, 0, 255));
        image.setPixel(1, 0, qRgb(0, 0, 0));
        image.setPixel(1, 1, qRgb(0, 0, 0));
        std::vector<uint8_t> out(6);
        convertToNv12(image, out.data());
        QCOMPARE(int(out[0]), 32);
        QCOMPARE(int(out[1]), 16);
        QCOMPARE(int(out[4]), ((112 * 128 + 128) >> 8) + 128);  // B average (510 + 2) >> 2 = 128
    }

    // Threaded bands must give exactly the single-threaded result, also for pictures so wide and
    // flat that a band of h / workers rounds to nothing.
    void threadedBandsMatchOneThread_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("720p") << QSize(1280, 720);
        QTest::newRow("1080p") << QSize(1920, 1080);
        QTest::newRow("very wide") << QSize(153600, 6);
    }
    void threadedBandsMatchOneThread()
    {
        QFETCH(QSize, size);
        QImage image(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < size.width(); ++x)
                line[x] = qRgb((x * 7 + y) & 255, (x + y * 3) & 255, (x * y) & 255);
        }
        const size_t bytes = size_t(size.width()) * size.height() * 3 / 2;
        std::vector<uint8_t> single(bytes), threaded(bytes);
        setNv12ThreadsForTesting(1);
        convertToNv12(image, single.data());
        setNv12ThreadsForTesting(8);
        convertToNv12(image, threaded.data());
        QVERIFY(single == threaded);
    }

    void bandRows_data()
    {
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("rows");
        QTest::newRow("1080 over 8") << 1080 << 8 << 136;
        QTest::newRow("720 over 8") << 720 << 8 << 90;
        QTest::newRow("6 over 8") << 6 << 8 << 2;
        QTest::newRow("2 over 8") << 2 << 8 << 2;
    }
    void bandRows()
    {
        QFETCH(int, height);
        QFETCH(int, workers);
        QFETCH(int, rows);
        QCOMPARE(nv12BandRows(height, workers), rows);
    }
};

QTEST_APPLESS_MAIN(TestNv12)
#include "tst_nv12.moc"
