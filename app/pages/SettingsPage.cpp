// The Settings page: playback preferences, engine diagnostics and updates, one tab each.
#include "app/MainWindow.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSettings>
#include <QTabWidget>
#include <QVBoxLayout>

QWidget *MainWindow::settingsPage()
{
    settingsTabs = new QTabWidget(this);
    auto *playback = new QWidget(settingsTabs);
    auto *form = new QFormLayout(playback);
    form->addRow(makeLabel(QStringLiteral("Playback preferences"), QStringLiteral("heading")));
    decodingCombo = new QComboBox(playback);
    decodingCombo->addItem(uiText(QStringLiteral("Automatic hardware selection")), QStringLiteral("auto"));
    decodingCombo->addItem(uiText(QStringLiteral("CPU decoding")), QStringLiteral("cpu"));
    decodingCombo->setCurrentIndex(settings->value(QStringLiteral("decode")).toString() == QStringLiteral("cpu") ? 1 : 0);
    connect(decodingCombo, &QComboBox::currentIndexChanged, this, [this] {
        if (sampleContent)
            return;
        settings->setValue(QStringLiteral("decode"), decodingCombo->currentData().toString());
        setStatus(QStringLiteral("Restart the application to apply decoding preferences."));
    });
    form->addRow(makeLabel(QStringLiteral("DECODING"), QStringLiteral("eyebrow")), decodingCombo);
    form->addRow(makeLabel(QStringLiteral("Hardware support depends on codec, profile, driver and GPU."), QStringLiteral("muted")));
    settingsTabs->addTab(playback, uiText(QStringLiteral("Playback")));
    settingsTabs->addTab(new QWidget(settingsTabs), uiText(QStringLiteral("Engine diagnostics")));
    settingsTabs->addTab(new QWidget(settingsTabs), uiText(QStringLiteral("Updates")));
    return settingsTabs;
}
