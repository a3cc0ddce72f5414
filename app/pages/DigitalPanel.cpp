#include "app/pages/DigitalPanel.h"

#include "outputs/network/NetworkBus.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

DigitalPanel::DigitalPanel(NetworkBus *bus, QSettings *settings, const QString &programKey,
                           std::function<QString(const QString &)> text, bool sampleContent, QWidget *parent)
    : QFrame(parent), bus(bus), settings(settings), prefix(QStringLiteral("network") + programKey + QLatin1Char('/')),
      text(std::move(text)), sampleContent(sampleContent)
{
    setObjectName(QStringLiteral("panel"));
    setProperty("program", programKey);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);
    title = new QLabel(this);
    title->setObjectName(QStringLiteral("mediaTitle"));
    layout->addWidget(title);

    auto *nameRow = new QHBoxLayout;
    nameLabel = new QLabel(this);
    name = new QLineEdit(this);
    name->setMaxLength(200);
    name->setText(settings->value(prefix + QStringLiteral("name"), QStringLiteral("Zelvo Playout Program ") + programKey).toString());
    audio = new QCheckBox(this);
    audio->setChecked(settings->value(prefix + QStringLiteral("audio"), true).toBool());
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(name, 1);
    nameRow->addWidget(audio);
    layout->addLayout(nameRow);

    auto *buttons = new QHBoxLayout;
    ndiButton = new QPushButton(this);
    ndiButton->setCheckable(true);
    omtButton = new QPushButton(this);
    omtButton->setCheckable(true);
    buttons->addWidget(ndiButton);
    buttons->addWidget(omtButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    status = new QLabel(this);
    status->setWordWrap(true);
    layout->addWidget(status);
    note = new QLabel(this);
    note->setWordWrap(true);
    layout->addWidget(note);

    if (!sampleContent && bus)
        bus->setAudioEnabled(audio->isChecked());
    connect(audio, &QCheckBox::toggled, this, [this](bool on) {
        if (this->sampleContent)
            return;
        this->settings->setValue(prefix + QStringLiteral("audio"), on);
        if (this->bus)
            this->bus->setAudioEnabled(on);
    });
    connect(name, &QLineEdit::editingFinished, this, [this] {
        if (!this->sampleContent)
            this->settings->setValue(prefix + QStringLiteral("name"), name->text());
    });
    connect(ndiButton, &QPushButton::toggled, this, [this](bool on) { toggleProtocol(0, on); });
    connect(omtButton, &QPushButton::toggled, this, [this](bool on) { toggleProtocol(1, on); });
    statusTimer = new QTimer(this);
    statusTimer->setInterval(500);
    connect(statusTimer, &QTimer::timeout, this, [this] { updateStatus(); });
    statusTimer->start();
    retranslate();
}

DigitalPanel::~DigitalPanel() = default;

void DigitalPanel::toggleProtocol(int protocol, bool on)
{
    QPushButton *button = protocolButton(protocol);
    if (sampleContent || !bus) {
        const QSignalBlocker blocker(button);
        button->setChecked(false);
        return;
    }
    if (on) {
        if (!bus->start(protocol, name->text())) {
            const QSignalBlocker blocker(button);
            button->setChecked(false);
        }
    } else {
        bus->stop(protocol);
    }
    updateStatus();
}

QString DigitalPanel::senderLine(int protocol) const
{
    const QString head = QString::fromLatin1(protocol == 0 ? "NDI" : "OMT") + QStringLiteral(": ");
    if (!bus)
        return head + text(QStringLiteral("Stopped"));
    const NetworkBus::Sender &sender = bus->sender(protocol);
    if (sender.isRunning()) {
        const QJsonObject stats = sender.stats();
        return head
            + text(QStringLiteral("Sending · connections %1 · video %2 · audio %3"))
                  .arg(qint64(stats.value(QStringLiteral("connections")).toDouble()))
                  .arg(qint64(stats.value(QStringLiteral("video_frames")).toDouble()))
                  .arg(qint64(stats.value(QStringLiteral("audio_packets")).toDouble()))
            + QLatin1Char('\n') + sender.sourceName();
    }
    const QString error = sender.error();
    return head + text(error.isEmpty() ? QStringLiteral("Stopped") : error);
}

void DigitalPanel::updateStatus()
{
    const bool ndiRunning = bus && bus->sender(0).isRunning();
    const bool omtRunning = bus && bus->sender(1).isRunning();
    ndiButton->setText(text(ndiRunning ? QStringLiteral("Stop NDI") : QStringLiteral("Start NDI")));
    omtButton->setText(text(omtRunning ? QStringLiteral("Stop OMT") : QStringLiteral("Start OMT")));
    const QString lines = senderLine(0) + QLatin1Char('\n') + senderLine(1);
    if (status->text() != lines)
        status->setText(lines);
    name->setEnabled(!ndiRunning && !omtRunning);
}

QString DigitalPanel::statusText() const
{
    return status->text();
}

void DigitalPanel::retranslate()
{
    const QString programName = property("programName").toString();
    if (!programName.isEmpty())
        title->setText(text(programName));
    else
        title->setText(text(property("program").toString() == QStringLiteral("A") ? QStringLiteral("Program A")
                                                                                  : QStringLiteral("Program B")));
    nameLabel->setText(text(QStringLiteral("Source name")));
    audio->setText(text(QStringLiteral("Include audio")));
    note->setText(text(QStringLiteral("SDR video at source size and cadence. Start each protocol manually. Both can run "
                                      "together; monitor outputs remain independent.")));
    updateStatus();
}
