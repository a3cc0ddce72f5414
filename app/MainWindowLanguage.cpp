#include "app/MainWindow.h"

#include "app/widgets/DeckWindow.h"
#include "app/widgets/ElidedLabel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include "update/UpdateController.h"

void MainWindow::loadTranslations()
{
    texts.setLanguage(language);
    texts.loadTranslations();
}

QString MainWindow::uiText(const QString &key) const
{
    return texts.text(key);
}

void MainWindow::retranslate()
{
    texts.dropDestroyedWidgets();
    texts.applyActionTexts(this);
    if (settingsTabs) {
        const char *keys[] = {"Playback", "Engine diagnostics", "Updates"};
        for (int i = 0; i < 3 && i < settingsTabs->count(); ++i)
            settingsTabs->setTabText(i, uiText(QString::fromLatin1(keys[i])));
    }
    if (updateLabel && updateController && !updateController->manifest().version.isEmpty())
        updateLabel->setText(uiText(QStringLiteral("Update available")) + QStringLiteral(" · ")
                             + updateController->manifest().version);
    if (outputsTabs) {
        const char *keys[] = {"Displays", "NDI / OMT", "Web monitor", "Zelvo Link"};
        for (int i = 0; i < 4 && i < outputsTabs->count(); ++i)
            outputsTabs->setTabText(i, uiText(QString::fromLatin1(keys[i])));
    }
    texts.applyTipKeys(this);
    for (DeckWindow *window : deckWindowList())
        texts.applyTipKeys(window);
    for (int i = 0; i < programCount; ++i) {
        if (i < digitalPanels.size() && digitalPanels[i])
            digitalPanels[i]->setProperty("programName", programs[i].name);
        if (i < audioPanels.size() && audioPanels[i])
            audioPanels[i]->setProperty("programName", programs[i].name);
    }
    retranslatePagePanels();
    texts.applyRememberedTexts();
    for (QPushButton *mode : {manualButton, sequentialButton}) {
        if (!mode)
            continue;
        mode->style()->unpolish(mode);
        mode->style()->polish(mode);
        QFont font = mode->font();
        font.setWeight(QFont::DemiBold);
        mode->setMinimumWidth(std::max(80, QFontMetrics(font).horizontalAdvance(mode->text()) + 30));
    }
    refreshResourceText();
    if (footer)
        footer->setText(texts.messageText(statusKey));
    if (orderTitle)
        orderTitle->setText(uiText(QStringLiteral("RUNNING ORDER")) + QStringLiteral(" · ") + programName(selectedProgramIndex));
    for (const RouteWidgets &route : std::as_const(routes)) {
        if (route.scaling) {
            const char *keys[] = {"Native · performance", "Lanczos · experimental (CPU)", "Lanczos · GPU (SDR)"};
            for (int i = 0; i < 3 && i < route.scaling->count(); ++i)
                route.scaling->setItemText(i, uiText(QString::fromUtf8(keys[i])));
        }
        if (route.display && route.display->count() > 0)
            route.display->setItemText(0, uiText(QStringLiteral("Floating test window")));
        if (route.source)
            for (int j = 0; j < route.source->count() && j < programCount; ++j)
                route.source->setItemText(j, programName(j));
    }
    refreshProgramInventory();
    refreshWebMonitorStatus();
    retranslateLinkPage();
    if (decodingCombo && decodingCombo->count() >= 2) {
        decodingCombo->setItemText(0, uiText(QStringLiteral("Automatic hardware selection")));
        decodingCombo->setItemText(1, uiText(QStringLiteral("CPU decoding")));
    }
    if (inField) {
        const QLocale numbers(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US"));
        for (QDoubleSpinBox *field : {inField, outField, transitionField, fadeInField, fadeOutField})
            if (field)
                field->setLocale(numbers);
        const char *kinds[] = {"Cut", "Dissolve", "Fade through black"};
        for (int i = 0; transitionCombo && i < 3 && i < transitionCombo->count(); ++i)
            transitionCombo->setItemText(i, uiText(QString::fromLatin1(kinds[i])));
        if (outField)
            outField->setSpecialValueText(uiText(QStringLiteral("End of media")));
    }
    // The state line holds its English key in editorStatus, which other code compares against.
    if (editorStateLabel)
        editorStateLabel->setText(uiText(editorStatus));
    if (heading) {
        if (sampleContent)
            heading->setText(QStringLiteral("Opening Night / ") + uiText(QStringLiteral("Sample show")));
        else if (showPath.isEmpty())
            heading->setText(uiText(QStringLiteral("Untitled show")));
        else
            heading->setText(QFileInfo(showPath).completeBaseName());
    }
    if (subtitle)
        subtitle->setText(sampleContent ? uiText(QStringLiteral("Layout preview — sample content"))
                                        : uiText(QStringLiteral("Native playback · EN / PT-BR · No mandatory conversion")));
    refreshPlaylistTable();
    tick();
}
