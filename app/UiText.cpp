#include "app/UiText.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>

// The tables live in the app library's resources; a static library's resource object is only
// linked when something refers to it.
static void initLanguageResources()
{
    Q_INIT_RESOURCE(i18n);
}

namespace {

const QString programPrefix = QStringLiteral("Program ");
const QString upperProgramPrefix = QStringLiteral("PROGRAM ");

} // namespace

UiText::UiText(std::function<int()> count)
    : programCount(std::move(count))
{
}

void UiText::setLanguage(const QString &code)
{
    languageCode = code;
}

QString UiText::fileCode(const QString &language)
{
    return language == QLatin1String("pt-BR") ? QStringLiteral("pt-BR") : QStringLiteral("en");
}

bool UiText::loadTranslations()
{
    initLanguageResources();
    return loadFile(QStringLiteral(":/i18n/") + fileCode(languageCode) + QStringLiteral(".json"));
}

bool UiText::loadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    setTable(document.isObject() ? document.object() : QJsonObject());
    return true;
}

void UiText::setTable(const QJsonObject &table)
{
    translations = table;
    buildMessagePatterns();
}

void UiText::buildMessagePatterns()
{
    static const QRegularExpression placeholder(QStringLiteral("%([1-9])"));
    messagePatterns.clear();
    for (auto it = translations.constBegin(); it != translations.constEnd(); ++it) {
        const QString &key = it.key();
        // Program names are never messages: "Program notes" must not fill "Program %1".
        if (key.startsWith(programPrefix) || key.startsWith(upperProgramPrefix))
            continue;
        QString expression = QStringLiteral("^");
        QList<int> numbers;
        qsizetype literal = 0;
        qsizetype from = 0;
        auto match = placeholder.globalMatch(key);
        while (match.hasNext()) {
            const QRegularExpressionMatch m = match.next();
            expression += QRegularExpression::escape(key.mid(from, m.capturedStart() - from)) + QStringLiteral("(.+?)");
            literal += m.capturedStart() - from;
            numbers << m.captured(1).toInt();
            from = m.capturedEnd();
        }
        if (numbers.isEmpty())
            continue;
        literal += key.size() - from;
        // A pattern of little fixed text ("%1 ms") would match nearly any message.
        if (literal < 6)
            continue;
        expression += QRegularExpression::escape(key.mid(from)) + QStringLiteral("$");
        messagePatterns.append({key, QRegularExpression(expression), numbers});
    }
    // Longer fixed texts are more specific: try them first.
    std::stable_sort(messagePatterns.begin(), messagePatterns.end(),
                     [](const MessagePattern &a, const MessagePattern &b) { return a.key.size() > b.key.size(); });
}

void UiText::switchLanguage(const QString &code)
{
    setLanguage(code);
    loadTranslations();
}

QString UiText::patternText(const QString &pattern, const QString &rest) const
{
    const QJsonValue value = translations.value(pattern);
    const QString text = value.isUndefined() ? pattern : value.toString();
    return text.arg(rest);
}

QString UiText::text(const QString &key) const
{
    QString lookup = key;
    if (programCount && programCount() == 1) {
        if (key == QLatin1String("Program A"))
            lookup = QStringLiteral("Program");
        else if (key == QLatin1String("PROGRAM A"))
            lookup = QStringLiteral("PROGRAM");
    }
    const auto it = translations.constFind(lookup);
    if (it != translations.constEnd())
        return it->toString();
    // Names of further Programs are not all in the table: they are shown through the pattern. Only
    // names of the system's own form are rewritten, so a text that merely starts with "Program "
    // keeps its words.
    if (isGeneratedProgramName(lookup)) {
        const QString rest = lookup.mid(programPrefix.size());
        return patternText(lookup.startsWith(programPrefix) ? QStringLiteral("Program %1")
                                                            : QStringLiteral("PROGRAM %1"),
                           rest);
    }
    return lookup;
}

QString UiText::messageText(const QString &message) const
{
    if (translations.contains(message))
        return text(message);
    for (const MessagePattern &pattern : messagePatterns) {
        const QRegularExpressionMatch m = pattern.matcher.match(message);
        if (!m.hasMatch())
            continue;
        QString filled = text(pattern.key);
        static const QRegularExpression placeholder(QStringLiteral("%([1-9])"));
        QString result;
        qsizetype from = 0;
        auto it = placeholder.globalMatch(filled);
        while (it.hasNext()) {
            const QRegularExpressionMatch p = it.next();
            const int index = pattern.numbers.indexOf(p.captured(1).toInt());
            result += filled.mid(from, p.capturedStart() - from);
            result += index >= 0 ? m.captured(index + 1) : p.captured();
            from = p.capturedEnd();
        }
        return result + filled.mid(from);
    }
    QString prefix;
    for (auto it = translations.constBegin(); it != translations.constEnd(); ++it) {
        const QString &key = it.key();
        if (key.size() > prefix.size() && key.endsWith(QLatin1String(": ")) && message.startsWith(key))
            prefix = key;
    }
    if (prefix.isEmpty())
        return text(message);
    return text(prefix) + message.mid(prefix.size());
}

QString UiText::programName(const QString &storedName) const
{
    return isGeneratedProgramName(storedName) ? text(storedName) : storedName;
}

bool UiText::isGeneratedProgramName(const QString &name)
{
    static const QRegularExpression generated(QStringLiteral("^(Program|PROGRAM) ([A-Z]|[1-9][0-9]*)$"));
    return generated.match(name).hasMatch();
}

void UiText::remember(QWidget *widget, const QString &key)
{
    if (widget)
        translatable.append({widget, key});
}

void UiText::setTextKey(QAction *action, const QString &key) const
{
    action->setProperty("textKey", key);
    action->setText(text(key));
}

void UiText::setTipKey(QWidget *widget, const QString &key) const
{
    widget->setProperty("tipKey", key);
    widget->setToolTip(text(key));
    widget->setAccessibleName(text(key));
}

void UiText::dropDestroyedWidgets()
{
    translatable.removeIf([](const Entry &entry) { return entry.widget.isNull(); });
}

void UiText::applyActionTexts(QObject *root) const
{
    QList<QAction *> actions = root->findChildren<QAction *>();
    if (auto *self = qobject_cast<QAction *>(root))
        actions.prepend(self);
    for (QAction *action : actions) {
        const QString key = action->property("textKey").toString();
        if (!key.isEmpty())
            action->setText(text(key));
    }
}

void UiText::applyTipKeys(QWidget *root) const
{
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *widget : widgets) {
        const QString key = widget->property("tipKey").toString();
        if (key.isEmpty())
            continue;
        widget->setToolTip(text(key));
        widget->setAccessibleName(text(key));
    }
}

void UiText::applyRememberedTexts() const
{
    for (const Entry &entry : translatable) {
        QWidget *widget = entry.widget.data();
        if (!widget)
            continue;
        const QString shown = text(entry.key);
        if (auto *label = qobject_cast<QLabel *>(widget))
            label->setText(shown);
        else if (auto *button = qobject_cast<QPushButton *>(widget))
            button->setText(shown);
        else if (auto *check = qobject_cast<QCheckBox *>(widget))
            check->setText(shown);
        else if (auto *edit = qobject_cast<QLineEdit *>(widget))
            edit->setPlaceholderText(shown);
    }
}

void UiText::retranslate(QWidget *root)
{
    dropDestroyedWidgets();
    if (root) {
        applyActionTexts(root);
        applyTipKeys(root);
    }
    applyRememberedTexts();
}

void UiText::fillLanguageCombo(QComboBox *combo, const QString &language)
{
    combo->clear();
    combo->addItem(QStringLiteral("English"), QStringLiteral("en"));
    combo->addItem(QStringLiteral("Português (Brasil)"), QStringLiteral("pt-BR"));
    combo->setCurrentIndex(language == QLatin1String("pt-BR") ? 1 : 0);
}
