#include "app/pages/AudioPanel.h"

#include "engine/NativeChannel.h"

#include <QAudioDevice>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QProgressBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

const QString silentText = QStringLiteral("\u2212\u221e dBFS");

QProgressBar *meterBar(QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setFormat(silentText);
    return bar;
}

} // namespace

AudioPanel::AudioPanel(NativeChannel *deck, QSettings *settings, const QString &programKey,
                       std::function<QString(const QString &)> text, bool sampleContent, QWidget *parent)
    : QFrame(parent), deck(deck), settings(settings), prefix(QStringLiteral("audio") + programKey + QLatin1Char('/')),
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

    auto *volumeRow = new QHBoxLayout;
    volumeLabel = new QLabel(this);
    volume = new QSlider(Qt::Horizontal, this);
    volume->setObjectName(QStringLiteral("audioVolume") + programKey);
    volume->setRange(0, 100);
    volume->setValue(std::clamp(settings->value(prefix + QStringLiteral("volume"), 100).toInt(), 0, 100));
    volumeValue = new QLabel(QString::number(volume->value()) + QStringLiteral(" %"), this);
    volumeValue->setMinimumWidth(48);
    mute = new QCheckBox(this);
    mute->setObjectName(QStringLiteral("audioMute") + programKey);
    mute->setChecked(settings->value(prefix + QStringLiteral("mute"), false).toBool());
    volumeRow->addWidget(volumeLabel);
    volumeRow->addWidget(volume, 1);
    volumeRow->addWidget(volumeValue);
    volumeRow->addWidget(mute);
    layout->addLayout(volumeRow);

    auto *deviceRow = new QHBoxLayout;
    local = new QCheckBox(this);
    local->setObjectName(QStringLiteral("audioLocal") + programKey);
    local->setChecked(settings->value(prefix + QStringLiteral("local"), true).toBool());
    deviceLabel = new QLabel(this);
    device = new QComboBox(this);
    device->setObjectName(QStringLiteral("audioDevice") + programKey);
    deviceRow->addWidget(local);
    deviceRow->addWidget(deviceLabel);
    deviceRow->addWidget(device, 1);
    layout->addLayout(deviceRow);

    auto *meterRow = new QHBoxLayout;
    leftBar = meterBar(this);
    rightBar = meterBar(this);
    meterRow->addWidget(new QLabel(QStringLiteral("L"), this));
    meterRow->addWidget(leftBar, 1);
    meterRow->addWidget(new QLabel(QStringLiteral("R"), this));
    meterRow->addWidget(rightBar, 1);
    layout->addLayout(meterRow);
    note = new QLabel(this);
    note->setWordWrap(true);
    layout->addWidget(note);

    refreshDevices();
    if (!sampleContent && deck) {
        deck->setVolume(volume->value() / 100.0f);
        deck->setMuted(mute->isChecked());
        deck->setAudioEnabled(local->isChecked());
        deck->setAudioDevice(settings->value(prefix + QStringLiteral("device")).toByteArray());
    }

    connect(volume, &QSlider::valueChanged, this, [this](int value) {
        volumeValue->setText(QString::number(value) + QStringLiteral(" %"));
        if (this->sampleContent)
            return;
        if (this->deck)
            this->deck->setVolume(value / 100.0f);
        this->settings->setValue(prefix + QStringLiteral("volume"), value);
    });
    connect(mute, &QCheckBox::toggled, this, [this](bool on) {
        if (this->sampleContent)
            return;
        if (this->deck)
            this->deck->setMuted(on);
        this->settings->setValue(prefix + QStringLiteral("mute"), on);
    });
    connect(local, &QCheckBox::toggled, this, [this](bool on) {
        if (this->sampleContent)
            return;
        if (this->deck)
            this->deck->setAudioEnabled(on);
        this->settings->setValue(prefix + QStringLiteral("local"), on);
    });
    connect(device, &QComboBox::currentIndexChanged, this, [this] {
        if (this->sampleContent)
            return;
        const QByteArray id = device->currentData().toByteArray();
        this->settings->setValue(prefix + QStringLiteral("device"), id);
        if (this->deck)
            this->deck->setAudioDevice(id);
    });

    devices = new QMediaDevices(this);
    connect(devices, &QMediaDevices::audioOutputsChanged, this, [this] { refreshDevices(); });
    if (deck)
        connect(deck, &NativeChannel::audioMeter, this, [this](float left, float right) {
            leftPeak = std::max(leftPeak, left);
            rightPeak = std::max(rightPeak, right);
        });
    meterTimer = new QTimer(this);
    meterTimer->setInterval(80);
    connect(meterTimer, &QTimer::timeout, this, [this] { showPeaks(); });
    meterTimer->start();
    retranslate();
}

AudioPanel::~AudioPanel() = default;

int AudioPanel::meterValue(float peak)
{
    return int(std::lround(100.0 * std::clamp<double>(peak, 0.0, 1.0)));
}

QString AudioPanel::meterText(float peak)
{
    if (!(peak > 0.00001f))
        return silentText;
    return QString::number(20.0 * std::log10(double(peak)), 'f', 1) + QStringLiteral(" dBFS");
}

void AudioPanel::showPeaks()
{
    leftBar->setValue(meterValue(leftPeak));
    leftBar->setFormat(meterText(leftPeak));
    rightBar->setValue(meterValue(rightPeak));
    rightBar->setFormat(meterText(rightPeak));
    leftPeak = 0;
    rightPeak = 0;
}

void AudioPanel::refreshDevices()
{
    const QSignalBlocker blocker(device);
    const QByteArray stored = settings->value(prefix + QStringLiteral("device")).toByteArray();
    device->clear();
    device->addItem(text(QStringLiteral("System default")), QByteArray());
    for (const QAudioDevice &output : QMediaDevices::audioOutputs())
        device->addItem(output.description(), output.id());
    int found = -1;
    for (int i = 0; i < device->count() && found < 0; ++i)
        if (device->itemData(i).toByteArray() == stored)
            found = i;
    if (found < 0) {
        device->addItem(text(QStringLiteral("Unavailable device")), stored);
        found = device->count() - 1;
    }
    device->setCurrentIndex(found);
}

void AudioPanel::retranslate()
{
    const QString name = property("programName").toString();
    const bool preview = property("preview").toBool();
    if (preview)
        title->setText(text(QStringLiteral("PREVIEW")));
    else if (!name.isEmpty())
        title->setText(text(name));
    else
        title->setText(text(property("program").toString() == QStringLiteral("A") ? QStringLiteral("Program A")
                                                                                  : QStringLiteral("Program B")));
    volumeLabel->setText(text(QStringLiteral("Master volume")));
    mute->setText(text(QStringLiteral("Mute")));
    local->setText(text(preview ? QStringLiteral("Listen to Preview") : QStringLiteral("Local monitoring")));
    deviceLabel->setText(text(QStringLiteral("Audio device")));
    note->setText(text(preview ? QStringLiteral("Preview listening (PFL) for headphones or a monitor speaker: check a cue before "
                                                "taking it. It never goes to the Program, NDI/OMT, AES67 or the web monitor.")
                               : QStringLiteral("Master volume and mute affect local and network audio. Local monitoring can be "
                                                "disabled independently. Network audio: stereo, 48 kHz.")));
    refreshDevices();
}
