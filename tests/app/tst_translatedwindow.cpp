#include "app/MainWindow.h"
#include "app/UiText.h"

#include "UntranslatedTexts.h"
#include "WidgetCapture.h"

#include <QComboBox>
#include <QTemporaryDir>
#include <QTest>

// The whole operator window in Brazilian Portuguese shows no English text that the table
// translates, on every page, whether it was built in Portuguese or switched to it; and switching
// back shows English again.
class TestTranslatedWindow : public QObject
{
    Q_OBJECT

    static QJsonObject table(const QString &language) { return languageTable(language); }

    static QStringList englishLeft(MainWindow &window)
    {
        return untranslatedTexts(&window, table(QStringLiteral("en")), table(QStringLiteral("pt-BR")));
    }

    // Portuguese texts left after switching back: each Portuguese value maps to its English key.
    static QStringList portugueseLeft(MainWindow &window)
    {
        const QJsonObject pt = table(QStringLiteral("pt-BR"));
        QJsonObject reverse;
        for (auto it = pt.constBegin(); it != pt.constEnd(); ++it)
            if (it.value().toString() != it.key() && it.key() != QLatin1String("HELP_MARKDOWN"))
                reverse.insert(it.value().toString(), it.key());
        return untranslatedTexts(&window, reverse, reverse);
    }

private slots:
    void builtInPortuguese_data()
    {
        QTest::addColumn<bool>("sample");
        QTest::newRow("sample content") << true;
        QTest::newRow("empty show") << false;
    }

    void builtInPortuguese()
    {
        QFETCH(bool, sample);
        QTemporaryDir state;
        MainWindow window(sample, QStringLiteral("pt-BR"), state.path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QStringList found = englishLeft(window);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        if (sample)
            saveCapture(grabWidget(&window), QStringLiteral("window-pt-BR"));
    }

    void switchedAndBack()
    {
        QTemporaryDir state;
        MainWindow window(true, QStringLiteral("en"), state.path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QComboBox *languages = nullptr;
        for (QComboBox *c : window.findChildren<QComboBox *>())
            if (c->findData(QStringLiteral("pt-BR")) >= 0)
                languages = c;
        QVERIFY(languages);
        languages->setCurrentIndex(languages->findData(QStringLiteral("pt-BR")));
        QCOMPARE(window.languageCode(), QStringLiteral("pt-BR"));
        QStringList found = englishLeft(window);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));

        // The cue inspector's transition selector keeps the operator's choice across the change,
        // and the draft state line that choice leaves follows the language too.
        QComboBox *transition = nullptr;
        for (QComboBox *c : window.findChildren<QComboBox *>())
            if (c->findText(table(QStringLiteral("pt-BR")).value(QStringLiteral("Fade through black")).toString()) >= 0)
                transition = c;
        QVERIFY(transition);
        transition->setCurrentIndex(2);
        languages->setCurrentIndex(languages->findData(QStringLiteral("en")));
        QCOMPARE(transition->count(), 3);
        QCOMPARE(transition->currentIndex(), 2);
        QCOMPARE(transition->currentText(), QStringLiteral("Fade through black"));
        found = portugueseLeft(window);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestTranslatedWindow)
#include "tst_translatedwindow.moc"
