#include "app/UiText.h"

#include "UntranslatedTexts.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

namespace {

QJsonObject tableOf(const QString &language)
{
    return languageTable(language);
}

QStringList placeholders(const QString &text)
{
    QStringList list;
    auto it = QRegularExpression(QStringLiteral("%\\d")).globalMatch(text);
    while (it.hasNext())
        list << it.next().captured();
    list.sort();
    return list;
}

QStringList headings(const QString &markdown)
{
    QStringList list;
    for (const QString &line : markdown.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1Char('#')))
            list << line;
    return list;
}

} // namespace

class TestUiText : public QObject
{
    Q_OBJECT

private slots:
    void tablesHaveTheSameKeys()
    {
        const QJsonObject en = tableOf(QStringLiteral("en"));
        const QJsonObject pt = tableOf(QStringLiteral("pt-BR"));
        QVERIFY(en.size() > 500);
        QCOMPARE(en.keys(), pt.keys());
        QCOMPARE(en.value(QStringLiteral("LANGUAGE_CODE")).toString(), QStringLiteral("en"));
        QCOMPARE(pt.value(QStringLiteral("LANGUAGE_CODE")).toString(), QStringLiteral("pt-BR"));
        for (auto it = en.constBegin(); it != en.constEnd(); ++it) {
            QVERIFY2(it.value().isString(), qPrintable(it.key()));
            QVERIFY2(pt.value(it.key()).isString(), qPrintable(it.key()));
            if (it.key() == QLatin1String("LANGUAGE_CODE") || it.key() == QLatin1String("HELP_MARKDOWN"))
                continue;
            QCOMPARE(it.value().toString(), it.key());
            const QString translated = pt.value(it.key()).toString();
            QVERIFY2(!translated.trimmed().isEmpty(), qPrintable(it.key()));
            QVERIFY2(placeholders(translated) == placeholders(it.key()), qPrintable(it.key()));
            // A detail is appended to these keys: the separator must survive translation.
            QVERIFY2(it.key().endsWith(QLatin1Char(' ')) == translated.endsWith(QLatin1Char(' ')),
                     qPrintable(it.key()));
        }
    }

    // The program runs on Linux: no text names Windows or its audio and media interfaces.
    void noTextNamesWindows()
    {
        static const QRegularExpression windows(QStringLiteral("Windows|WASAPI|ASIO|DXGI|Media Foundation"));
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")}) {
            const QJsonObject table = tableOf(language);
            for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
                QVERIFY2(!windows.match(it.key()).hasMatch(), qPrintable(it.key()));
                QVERIFY2(!windows.match(it.value().toString()).hasMatch(), qPrintable(it.key()));
            }
        }
        const QJsonObject en = tableOf(QStringLiteral("en"));
        QVERIFY(en.contains(QStringLiteral("ALSA exclusive")));
        QVERIFY(en.contains(QStringLiteral("ALSA shared low-latency")));
    }

    // Messages that the engine, outputs and services emit are keys of both tables.
    void serviceMessagesAreKeys_data()
    {
        QTest::addColumn<QString>("key");
        for (const char *key : {"Media preparation timed out", "File not found: ", "Transition frame conversion failed",
                                "Lanczos runtime could not be loaded", "Lanczos runtime ABI mismatch",
                                "Lanczos RGBA format unavailable", "Lanczos runtime could not be loaded; using Native scaling",
                                "PTP ports 319/320 unavailable (error %1)", "Invalid AES67 multicast address: ",
                                "Audio device rejected the stream (0x%1)", "Audio device has no render service",
                                "Audio device not found", "Device is in use by another application in exclusive mode",
                                "Could not open media: ", "Unsupported codec: ", "Discovery port busy; connect by address",
                                "H.264 encoder rejected a frame", "Test (no device)"})
            QTest::newRow(key) << QString::fromUtf8(key);
    }

    void serviceMessagesAreKeys()
    {
        QFETCH(QString, key);
        const QJsonObject pt = tableOf(QStringLiteral("pt-BR"));
        QVERIFY(tableOf(QStringLiteral("en")).contains(key));
        QVERIFY(pt.value(key).toString() != key);
    }

    void telling_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("portuguese");
        QTest::newRow("Program") << "Program" << "Programa";
        QTest::newRow("PROGRAM") << "PROGRAM" << "PROGRAMA";
        QTest::newRow("Program A") << "Program A" << "Programa A";
        QTest::newRow("PROGRAM A") << "PROGRAM A" << "PROGRAMA A";
        QTest::newRow("Program %1") << "Program %1" << "Programa %1";
        QTest::newRow("PROGRAM %1") << "PROGRAM %1" << "PROGRAMA %1";
        QTest::newRow("RUNNING ORDER") << "RUNNING ORDER" << QStringLiteral("ORDEM DE REPRODUÇÃO");
        QTest::newRow("Not available") << "Not available" << QStringLiteral("Não disponível");
        QTest::newRow("Untitled show") << "Untitled show" << QStringLiteral("Show sem título");
        QTest::newRow("Update available") << "Update available" << QStringLiteral("Atualização disponível");
    }

    void telling()
    {
        QFETCH(QString, key);
        QFETCH(QString, portuguese);
        QCOMPARE(tableOf(QStringLiteral("pt-BR")).value(key).toString(), portuguese);
    }

    void helpHasTheSameSections()
    {
        const QStringList en = headings(tableOf(QStringLiteral("en")).value(QStringLiteral("HELP_MARKDOWN")).toString());
        const QStringList pt = headings(tableOf(QStringLiteral("pt-BR")).value(QStringLiteral("HELP_MARKDOWN")).toString());
        const QStringList expected = {
            "# Your first show", "## Programs, copies and mirrors", "## Live operation", "## Language and performance",
            "## Output resolution and scaling", "## Program audio", "## Digital NDI and OMT outputs",
            "## Live Desk controls and performance", "## Detached decks and ON AIR",
            "## Web monitor (watch in a browser)", "## Low-latency audio output",
            "## Autosave, recovery and missing media", "## Portable show package",
            "## Zelvo Link: several machines on the network", "### Main + backup (mirroring)",
            "### Several PCs playing together (split LED wall)", "### Remote control (control station)",
            "### AES67 network audio (Dante-compatible)", "### Web monitor quality",
            "### Listening to the Preview (PFL)", "### Project frame rate"};
        QCOMPARE(en, expected);
        QCOMPARE(pt.size(), en.size());
        for (int i = 0; i < en.size(); ++i) {
            QCOMPARE(pt[i].section(QLatin1Char(' '), 0, 0), en[i].section(QLatin1Char(' '), 0, 0));
            QVERIFY2(pt[i] != en[i], qPrintable(pt[i]));
        }
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<int>("programs");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        const QString en = QStringLiteral("en");
        const QString pt = QStringLiteral("pt-BR");
        QTest::newRow("en one Program A") << en << 1 << "Program A" << "Program";
        QTest::newRow("en two Program A") << en << 2 << "Program A" << "Program A";
        QTest::newRow("pt one Program A") << pt << 1 << "Program A" << "Programa";
        QTest::newRow("pt two Program A") << pt << 2 << "Program A" << "Programa A";
        QTest::newRow("pt one PROGRAM A") << pt << 1 << "PROGRAM A" << "PROGRAMA";
        QTest::newRow("pt two PROGRAM A") << pt << 2 << "PROGRAM A" << "PROGRAMA A";
        QTest::newRow("pt Program B in table") << pt << 2 << "Program B" << "Programa B";
        QTest::newRow("pt Program C by pattern") << pt << 3 << "Program C" << "Programa C";
        QTest::newRow("pt Program 27 by pattern") << pt << 27 << "Program 27" << "Programa 27";
        QTest::newRow("pt PROGRAM Z by pattern") << pt << 26 << "PROGRAM Z" << "PROGRAMA Z";
        QTest::newRow("en Program C by pattern") << en << 3 << "Program C" << "Program C";
        QTest::newRow("pt Programs not rewritten") << pt << 1 << "Programs" << "Programas";
        QTest::newRow("en Programs") << en << 1 << "Programs" << "Programs";
        QTest::newRow("pt key of the table") << pt << 1 << "Program allocation limit reached"
                                              << "Limite de Programas atingido";
        QTest::newRow("pt typed words keep theirs") << pt << 1 << "Program notes" << "Program notes";
        QTest::newRow("pt lower-case letter") << pt << 2 << "Program b" << "Program b";
        QTest::newRow("pt unknown key") << pt << 1 << "Not a key of the table" << "Not a key of the table";
        QTest::newRow("en unknown key") << en << 1 << "Not a key of the table" << "Not a key of the table";
        QTest::newRow("pt language code") << pt << 1 << "LANGUAGE_CODE" << "pt-BR";
        QTest::newRow("de loads English") << QStringLiteral("de") << 1 << "Untitled show" << "Untitled show";
        QTest::newRow("de language code") << QStringLiteral("de") << 1 << "LANGUAGE_CODE" << "en";
        QTest::newRow("pt-br is not pt-BR") << QStringLiteral("pt-br") << 1 << "Untitled show" << "Untitled show";
    }

    void lookup()
    {
        QFETCH(QString, language);
        QFETCH(int, programs);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        UiText texts([programs] { return programs; });
        texts.setLanguage(language);
        QVERIFY(texts.loadTranslations());
        QCOMPARE(texts.language(), language);
        QCOMPARE(texts.text(key), expected);
    }

    // Program names the operator typed are shown as typed; only the names the system gives are
    // translated.
    void programNames_data()
    {
        QTest::addColumn<int>("programs");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("typed words") << 2 << "Program notes" << "Program notes";
        QTest::newRow("typed key of the table") << 2 << "Open show" << "Open show";
        QTest::newRow("typed Programs") << 2 << "Programs" << "Programs";
        QTest::newRow("system letter") << 2 << "Program B" << "Programa B";
        QTest::newRow("system number") << 40 << "Program 40" << "Programa 40";
        QTest::newRow("only Program") << 1 << "Program A" << "Programa";
        QTest::newRow("zero is no id") << 2 << "Program 0" << "Program 0";
    }

    void programNames()
    {
        QFETCH(int, programs);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        UiText texts([programs] { return programs; });
        texts.setLanguage(QStringLiteral("pt-BR"));
        texts.loadTranslations();
        QCOMPARE(texts.programName(name), expected);
    }

    void messagesWithDetail_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("prefix") << "File not found: /media/Clip: 2.mp4"
                                << QStringLiteral("Arquivo não encontrado: /media/Clip: 2.mp4");
        QTest::newRow("longest prefix") << "Could not open media: out of memory"
                                        << QStringLiteral("Não foi possível abrir a mídia: memória insuficiente");
        QTest::newRow("open prefix") << "Could not open media: Invalid data"
                                     << QStringLiteral("Não foi possível abrir a mídia: Invalid data");
        QTest::newRow("whole") << "Media preparation timed out" << QStringLiteral("A preparação da mídia expirou");
        QTest::newRow("unknown") << "Something else: detail" << "Something else: detail";
        QTest::newRow("filled pattern") << "PTP ports 319/320 unavailable (error 13)"
                                        << QStringLiteral("Portas PTP 319/320 indisponíveis (erro 13)");
        QTest::newRow("two values") << "Sending to 239.69.1.2:5004 failed: Network unreachable"
                                    << QStringLiteral("Falha no envio para 239.69.1.2:5004: Network unreachable");
        QTest::newRow("two numbers") << "Relinked 3 of 5 media files."
                                          << QStringLiteral("3 de 5 arquivos de mídia reencontrados.");
        QTest::newRow("longer pattern wins")
            << "PTP ports 319/320 unavailable (error 13): ports below 1024 need root or CAP_NET_BIND_SERVICE"
            << QStringLiteral("Portas PTP 319/320 indisponíveis (erro 13): portas abaixo de 1024 exigem root ou CAP_NET_BIND_SERVICE");
        QTest::newRow("typed Program name") << "Program notes" << "Program notes";
        QTest::newRow("little fixed text") << "Backup 40 ms" << "Backup 40 ms";
    }

    void messagesWithDetail()
    {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        UiText texts;
        texts.setLanguage(QStringLiteral("pt-BR"));
        texts.loadTranslations();
        QCOMPARE(texts.messageText(message), expected);
    }

    void unreadableFilesKeepOrEmptyTheTable()
    {
        UiText texts([] { return 3; });
        texts.setLanguage(QStringLiteral("pt-BR"));
        texts.loadTranslations();
        QVERIFY(!texts.loadFile(QStringLiteral("/nonexistent/pt-BR.json")));
        QCOMPARE(texts.text(QStringLiteral("Save show")), QStringLiteral("Salvar show"));

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("broken.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[\"not\", \"an object\"]");
        file.close();
        QVERIFY(texts.loadFile(path));
        QVERIFY(texts.table().isEmpty());
        QCOMPARE(texts.text(QStringLiteral("Save show")), QStringLiteral("Save show"));
        // Without a pattern entry the literal pattern is filled.
        QCOMPARE(texts.text(QStringLiteral("Program C")), QStringLiteral("Program C"));
        QCOMPARE(texts.text(QStringLiteral("PROGRAM 27")), QStringLiteral("PROGRAM 27"));
    }

    void nonStringValueGivesEmptyText()
    {
        UiText texts;
        texts.setTable(QJsonObject{{QStringLiteral("Save show"), 3}});
        QCOMPARE(texts.text(QStringLiteral("Save show")), QString());
    }

    void languageCombo()
    {
        QComboBox combo;
        UiText::fillLanguageCombo(&combo, QStringLiteral("pt-BR"));
        QCOMPARE(combo.count(), 2);
        QCOMPARE(combo.currentIndex(), 1);
        QCOMPARE(combo.itemData(0).toString(), QStringLiteral("en"));
        QCOMPARE(combo.itemText(1), QStringLiteral("Português (Brasil)"));
        UiText::fillLanguageCombo(&combo, QStringLiteral("de"));
        QCOMPARE(combo.count(), 2);
        QCOMPARE(combo.currentIndex(), 0);
    }

    // A switch to Portuguese and back sets every remembered text, tagged action and tooltip again,
    // and drops widgets destroyed in between.
    void retranslateRoundTrip()
    {
        UiText texts([] { return 1; });
        texts.loadTranslations();
        QWidget root;
        auto *layout = new QVBoxLayout(&root);
        auto *label = new QLabel(texts.text(QStringLiteral("RUNNING ORDER")));
        auto *button = new QPushButton(texts.text(QStringLiteral("Save show")));
        auto *check = new QCheckBox(texts.text(QStringLiteral("Loop")));
        auto *search = new QLineEdit;
        search->setPlaceholderText(texts.text(QStringLiteral("Search media")));
        auto *doomed = new QLabel(texts.text(QStringLiteral("Library")));
        auto *black = new QPushButton;
        for (QWidget *w : {static_cast<QWidget *>(label), static_cast<QWidget *>(button),
                           static_cast<QWidget *>(check), static_cast<QWidget *>(search),
                           static_cast<QWidget *>(doomed), static_cast<QWidget *>(black)})
            layout->addWidget(w);
        texts.remember(label, QStringLiteral("RUNNING ORDER"));
        texts.remember(button, QStringLiteral("Save show"));
        texts.remember(check, QStringLiteral("Loop"));
        texts.remember(search, QStringLiteral("Search media"));
        texts.remember(doomed, QStringLiteral("Library"));
        texts.setTipKey(black, QStringLiteral("Black selected channel"));
        auto *menu = new QMenu(&root);
        QAction *addFiles = menu->addAction(QString());
        texts.setTextKey(addFiles, QStringLiteral("Add files"));
        QCOMPARE(addFiles->text(), QStringLiteral("Add files"));
        QCOMPARE(texts.rememberedCount(), 5);

        texts.switchLanguage(QStringLiteral("pt-BR"));
        texts.retranslate(&root);
        QCOMPARE(label->text(), QStringLiteral("ORDEM DE REPRODUÇÃO"));
        QCOMPARE(button->text(), QStringLiteral("Salvar show"));
        QCOMPARE(check->text(), QStringLiteral("Loop"));
        QCOMPARE(search->placeholderText(), QStringLiteral("Buscar mídia"));
        QCOMPARE(doomed->text(), QStringLiteral("Biblioteca"));
        QCOMPARE(black->toolTip(), QStringLiteral("Tela preta no canal selecionado"));
        QCOMPARE(black->accessibleName(), black->toolTip());
        QCOMPARE(addFiles->text(), QStringLiteral("Adicionar arquivos"));

        delete doomed;
        texts.switchLanguage(QStringLiteral("en"));
        texts.retranslate(&root);
        QCOMPARE(texts.rememberedCount(), 4);
        QCOMPARE(label->text(), QStringLiteral("RUNNING ORDER"));
        QCOMPARE(button->text(), QStringLiteral("Save show"));
        QCOMPARE(search->placeholderText(), QStringLiteral("Search media"));
        QCOMPARE(black->toolTip(), QStringLiteral("Black selected channel"));
        QCOMPARE(addFiles->text(), QStringLiteral("Add files"));
    }

    // The walker finds English texts that the table translates, and only those.
    void walkerFindsEnglishLeftOver()
    {
        UiText texts([] { return 2; });
        texts.setLanguage(QStringLiteral("pt-BR"));
        texts.loadTranslations();
        const QJsonObject en = tableOf(QStringLiteral("en"));

        QWidget root;
        auto *layout = new QVBoxLayout(&root);
        auto *title = new QLabel;
        texts.remember(title, QStringLiteral("Media library"));
        layout->addWidget(title);
        layout->addWidget(new QLabel(texts.programName(QStringLiteral("Program notes"))));
        layout->addWidget(new QLabel(QStringLiteral("01 - Doors open.mp4")));
        layout->addWidget(new QLabel(texts.text(QStringLiteral("Zelvo Link"))));
        auto *combo = new QComboBox;
        combo->addItem(texts.text(QStringLiteral("Cut")));
        layout->addWidget(combo);
        texts.retranslate(&root);
        QCOMPARE(untranslatedTexts(&root, en, texts.table()), QStringList());

        auto *stray = new QPushButton(QStringLiteral("Save show"));
        stray->setObjectName(QStringLiteral("stray"));
        layout->addWidget(stray);
        combo->addItem(QStringLiteral("Dissolve"));
        combo->addItem(QStringLiteral("Fade through black"));
        auto *action = new QAction(QStringLiteral("Remove cue"), &root);
        root.addAction(action);
        const QStringList found = untranslatedTexts(&root, en, texts.table());
        QCOMPARE(found.size(), 3);
        QVERIFY(found.contains(QStringLiteral("QPushButton#stray: Save show")));
        QVERIFY(found.contains(QStringLiteral("QComboBox#: Fade through black")));
        QVERIFY(found.contains(QStringLiteral("QAction#: Remove cue")));
    }
};

QTEST_MAIN(TestUiText)
#include "tst_uitext.moc"
