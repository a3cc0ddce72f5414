#pragma once

// Finds English texts left in a widget tree that is meant to show another language: every visible
// text (labels, buttons, placeholders, tooltips, combo items, tab titles, group titles, table
// headers, actions, window titles) that is a key of the English table and that the other table
// translates differently. Texts that read the same in both languages and texts that are no keys
// (file names, Program names typed by the operator) are not reported. Usable on a single widget or
// on a whole window.

#include "app/UiText.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTabBar>
#include <QTableWidget>
#include <QWidget>

#include <functional>

// The compiled-in table of a language code ("en", "pt-BR").
inline QJsonObject languageTable(const QString &language)
{
    UiText texts;
    texts.setLanguage(language);
    texts.loadTranslations();
    return texts.table();
}

inline QStringList untranslatedTexts(QWidget *root, const QJsonObject &english, const QJsonObject &translated)
{
    QStringList found;
    auto check = [&](QObject *where, const QString &text) {
        if (text.isEmpty() || !english.contains(text))
            return;
        if (text == QLatin1String("LANGUAGE_CODE") || text == QLatin1String("HELP_MARKDOWN"))
            return;
        if (translated.value(text).toString() == text)
            return;
        found << QStringLiteral("%1#%2: %3")
                     .arg(QString::fromLatin1(where->metaObject()->className()), where->objectName(), text);
    };

    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *w : widgets) {
        check(w, w->toolTip());
        check(w, w->accessibleName());
        if (w->isWindow())
            check(w, w->windowTitle());
        if (auto *label = qobject_cast<QLabel *>(w))
            check(w, label->text());
        if (auto *button = qobject_cast<QAbstractButton *>(w))
            check(w, button->text());
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            check(w, edit->placeholderText());
        if (auto *combo = qobject_cast<QComboBox *>(w))
            for (int i = 0; i < combo->count(); ++i)
                check(w, combo->itemText(i));
        if (auto *tabs = qobject_cast<QTabBar *>(w))
            for (int i = 0; i < tabs->count(); ++i)
                check(w, tabs->tabText(i));
        if (auto *group = qobject_cast<QGroupBox *>(w))
            check(w, group->title());
        if (auto *table = qobject_cast<QTableWidget *>(w))
            for (int c = 0; c < table->columnCount(); ++c)
                if (QTableWidgetItem *header = table->horizontalHeaderItem(c))
                    check(w, header->text());
        for (QAction *action : w->actions())
            check(action, action->text());
    }
    for (QAction *action : root->findChildren<QAction *>())
        check(action, action->text());
    found.removeDuplicates();
    return found;
}
