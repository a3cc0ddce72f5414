#include "app/widgets/DeckWindow.h"

#include <QPointer>
#include <QShortcut>
#include <QTest>

class TestDeckWindow : public QObject
{
    Q_OBJECT

private slots:
    void construction()
    {
        QWidget owner;
        auto *window = new DeckWindow(&owner, nullptr);
        QVERIFY(window->isWindow());
        QCOMPARE(window->objectName(), QStringLiteral("deckWindow"));
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(window->minimumSize(), QSize(360, 260));
        QList<QKeySequence> keys;
        for (QShortcut *shortcut : window->findChildren<QShortcut *>())
            keys << shortcut->key();
        QCOMPARE(keys, (QList<QKeySequence>{QKeySequence(Qt::Key_F11), QKeySequence(Qt::Key_Escape)}));
        delete window;
    }

    // F11 twice brings the window back to its normal geometry; Escape leaves full screen and does
    // nothing in normal mode.
    void fullScreenKeys()
    {
        auto *window = new DeckWindow(nullptr, nullptr);
        QPointer<DeckWindow> guard(window);
        window->setGeometry(100, 120, 500, 400);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        const QRect normal = window->geometry();

        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!window->isFullScreen());
        QCOMPARE(window->geometry(), normal);

        QTest::keyClick(window, Qt::Key_F11);
        QTRY_VERIFY(window->isFullScreen());
        QTest::keyClick(window, Qt::Key_F11);
        QTRY_VERIFY(!window->isFullScreen());
        QTRY_COMPARE(window->geometry(), normal);

        QTest::keyClick(window, Qt::Key_F11);
        QTRY_VERIFY(window->isFullScreen());
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!window->isFullScreen());
        QTRY_COMPARE(window->geometry(), normal);
        window->close();
        QTRY_VERIFY(guard.isNull());
    }

    void closeRunsTheCallbackOnce()
    {
        int calls = 0;
        DeckWindow *seen = nullptr;
        auto *window = new DeckWindow(nullptr, [&](DeckWindow *w) {
            ++calls;
            seen = w;
            w->close(); // a callback that closes again must not run twice
        });
        QPointer<DeckWindow> guard(window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->close();
        QCOMPARE(calls, 1);
        QCOMPARE(seen, window);
        QTRY_VERIFY(guard.isNull()); // deleted on close
        QCOMPARE(calls, 1);
    }

    void closeWithoutCallback()
    {
        auto *window = new DeckWindow(nullptr, nullptr);
        QPointer<DeckWindow> guard(window);
        window->show();
        window->close();
        QTRY_VERIFY(guard.isNull());
    }
};

QTEST_MAIN(TestDeckWindow)
#include "tst_deckwindow.moc"
