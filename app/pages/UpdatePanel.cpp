#include "app/pages/UpdatePanel.h"

#include "update/UpdateController.h"

#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

UpdatePanel::UpdatePanel(UpdateController *controller, std::function<QString(const QString &)> translate,
                         std::function<void()> requestInstall, QWidget *parent)
    : QFrame(parent), controller(controller), translate(std::move(translate)), requestInstall(std::move(requestInstall))
{
    setObjectName(QStringLiteral("panel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(14);
    version = new QLabel(this);
    layout->addWidget(version);
    state = new QLabel(this);
    state->setWordWrap(true);
    layout->addWidget(state);
    notes = new QPlainTextEdit(this);
    notes->setReadOnly(true);
    notes->setMinimumHeight(180);
    layout->addWidget(notes, 1);
    progress = new QProgressBar(this);
    progress->setRange(0, 100);
    layout->addWidget(progress);
    auto *buttons = new QHBoxLayout;
    check = new QPushButton(this);
    download = new QPushButton(this);
    cancel = new QPushButton(this);
    install = new QPushButton(this);
    for (QPushButton *command : {check, download, cancel, install})
        buttons->addWidget(command);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    hint = new QLabel(this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    connect(check, &QPushButton::clicked, controller, &UpdateController::checkForUpdates);
    connect(download, &QPushButton::clicked, controller, &UpdateController::downloadUpdate);
    connect(cancel, &QPushButton::clicked, controller, &UpdateController::cancelDownload);
    connect(install, &QPushButton::clicked, this, [this] {
        if (this->requestInstall)
            this->requestInstall();
    });
    connect(controller, &UpdateController::changed, this, [this] { refresh(); });
    refresh();
}

UpdatePanel::~UpdatePanel() = default;

void UpdatePanel::refresh()
{
    const QString word = controller->currentText();
    const QString newVersion = controller->manifest().version;
    version->setText(translate(QStringLiteral("Current version")) + QStringLiteral(": ") + controller->currentVersion());
    static const QList<std::pair<QString, QString>> words{{QStringLiteral("idle"), QStringLiteral("Check for updates")},
                                                          {QStringLiteral("checking"), QStringLiteral("Checking for updates…")},
                                                          {QStringLiteral("current"), QStringLiteral("You are up to date")},
                                                          {QStringLiteral("available"), QStringLiteral("Update available")},
                                                          {QStringLiteral("downloading"), QStringLiteral("Downloading update…")},
                                                          {QStringLiteral("ready"), QStringLiteral("Update ready to install")}};
    QString stateText;
    if (word == QStringLiteral("error"))
        stateText = translate(controller->errorText());
    for (const auto &[key, text] : words)
        if (key == word)
            stateText = translate(text);
    if (word == QStringLiteral("available") || word == QStringLiteral("ready"))
        stateText += QStringLiteral(" · ") + newVersion;
    state->setText(stateText);

    const QString notesLanguage = translate(QStringLiteral("LANGUAGE_CODE")) == QStringLiteral("pt-BR") ? QStringLiteral("pt-BR")
                                                                                                     : QStringLiteral("en");
    QStringList lines;
    for (const QJsonValue &entry : controller->manifest().notes.value(notesLanguage).toArray())
        lines << QStringLiteral("• ") + entry.toString();
    notes->setPlainText(lines.join(QStringLiteral("\n\n")));

    check->setText(translate(QStringLiteral("Check now")));
    download->setText(translate(QStringLiteral("Download update")));
    cancel->setText(translate(QStringLiteral("Cancel download")));
    install->setText(translate(QStringLiteral("Install and restart")));
    check->setEnabled(word != QStringLiteral("checking") && word != QStringLiteral("downloading") && word != QStringLiteral("ready"));
    // Only a release newer than the running one is offered, whatever state a failed check left.
    const bool newer = !newVersion.isEmpty() && UpdateController::compareVersions(newVersion, controller->currentVersion()) > 0;
    download->setEnabled(word == QStringLiteral("available") && newer);
    cancel->setVisible(word == QStringLiteral("downloading"));
    install->setEnabled(word == QStringLiteral("ready"));
    progress->setVisible(word == QStringLiteral("downloading") || word == QStringLiteral("ready"));
    progress->setValue(controller->progress());
    hint->setText(translate(QStringLiteral("Updates are optional. Downloads start only when you choose. Stop playback and close "
                                           "outputs before installation; save your show first.")));
}

QString UpdatePanel::stateText() const
{
    return state->text();
}

QString UpdatePanel::notesText() const
{
    return notes->toPlainText();
}
