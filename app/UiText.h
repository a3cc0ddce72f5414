#pragma once

#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QRegularExpression>
#include <QString>
#include <QWidget>

#include <functional>

class QAction;
class QComboBox;

// The interface language of the operator window: the loaded text table, the lookup through which
// every visible system text passes right before it is shown, and the memory of which widget shows
// which source text, so that a language change can set every text again.
//
// Keys are the English source texts as the code passes them; the tables are compiled into the
// program as :/i18n/en.json and :/i18n/pt-BR.json. Only the system's own texts are looked up:
// names the operator typed (Program names above all) go through programName(), which translates a
// name only when it is one the system generated ("Program B", "PROGRAM 27"), never "Program notes".
//
// GUI thread only; the window owns one instance and hands text() out as its lookup callback.
class UiText
{
public:
    explicit UiText(std::function<int()> programCount = {});

    // The language code in use; any code other than "pt-BR" loads the English table, while the
    // code itself stays the one given (number fields read it).
    void setLanguage(const QString &code);
    QString language() const { return languageCode; }
    static QString fileCode(const QString &language);

    // Loads the table of the current language from the resources. A file that cannot be opened
    // keeps the current table; content that is not a JSON object empties it. Returns whether the
    // table was replaced.
    bool loadTranslations();
    bool loadFile(const QString &path);
    const QJsonObject &table() const { return translations; }
    void setTable(const QJsonObject &table);

    // Stores the code and loads its table; the caller then re-applies the window's texts.
    void switchLanguage(const QString &code);

    // How many Programs the window has: with exactly one, "Program A" reads as "Program".
    void setProgramCount(std::function<int()> count) { programCount = std::move(count); }

    // The text to show for an English source text of the system.
    QString text(const QString &key) const;
    // A message that a service composed from a fixed text and its details: the whole message when
    // the table has it; else a key with placeholders that the message fills ("PTP ports 319/320
    // unavailable (error 13)"), translated and filled with the same values; else its longest known
    // prefix that ends in ": " ("File not found: " + path), translated with the detail kept.
    QString messageText(const QString &message) const;
    // The text to show for a Program's stored name: translated when the system generated the name,
    // shown as typed otherwise.
    QString programName(const QString &storedName) const;
    // "Program X"/"PROGRAM X" where X is one letter A..Z or a whole number: the names (and title
    // keys) the system makes for Programs.
    static bool isGeneratedProgramName(const QString &name);

    // Widget memory. remember() records a label, push button, check box or line edit with its
    // source text; setTextKey() and setTipKey() tag an action's text and a widget's tooltip.
    void remember(QWidget *widget, const QString &key);
    void setTextKey(QAction *action, const QString &key) const;
    void setTipKey(QWidget *widget, const QString &key) const;
    int rememberedCount() const { return int(translatable.size()); }

    // Steps of a language change, each over everything below root (root included).
    void dropDestroyedWidgets();
    void applyActionTexts(QObject *root) const;
    void applyTipKeys(QWidget *root) const;
    void applyRememberedTexts() const;
    // All of the above, in that order.
    void retranslate(QWidget *root);

    // The window's language selector: "English" (en) and "Português (Brasil)" (pt-BR).
    static void fillLanguageCombo(QComboBox *combo, const QString &language);

private:
    QString patternText(const QString &pattern, const QString &rest) const;
    void buildMessagePatterns();

    // A key with placeholders as a matcher of filled messages; numbers[i] is the placeholder that
    // capture i + 1 fills.
    struct MessagePattern
    {
        QString key;
        QRegularExpression matcher;
        QList<int> numbers;
    };

    struct Entry
    {
        QPointer<QWidget> widget;
        QString key;
    };

    std::function<int()> programCount;
    QString languageCode = QStringLiteral("en");
    QJsonObject translations;
    QList<Entry> translatable;
    QList<MessagePattern> messagePatterns;
};
